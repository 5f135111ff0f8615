// The transfers under a request: the network access manager's reply, or a connection of the
// request's own for a POST, and what each brought.

#include "http/httpexchange.h"
#include "http/partsdevice.h"
#include "http/xmlhttp.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#if QT_CONFIG(ssl)
#include <QSslError>
#endif
#include <QTimer>

#include <algorithm>

namespace rostrel {

namespace {
// Whether no complete answer came: the connection or the proxy failed, or the reply was cut short
// under way. Qt reports some statuses (400 among them) with a protocol error; with a status they
// are the site's word, not a failure to reach it.
bool isTransportError(QNetworkReply::NetworkError error, int status)
{
    const int code = static_cast<int>(error);
    return status == 0 || (code >= 1 && code < 200);
}
} // namespace

bool XmlHttpRequest::ownConnection() const
{
    if (m_method != u"POST")
        return false;
    const QNetworkProxyQuery query(m_url);
    QList<QNetworkProxy> proxies;
    if (QNetworkProxyFactory* factory = m_network.proxyFactory())
        proxies = factory->queryProxy(query);
    else if (m_network.proxy().type() != QNetworkProxy::DefaultProxy)
        proxies = { m_network.proxy() };
    else
        proxies = QNetworkProxyFactory::proxyForQuery(query);
    return proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
}

void XmlHttpRequest::startReply()
{
    QNetworkRequest request(m_url);
    for (const auto& [name, value] : std::as_const(m_headers))
        request.setRawHeader(name, value);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (m_method == u"GET" && !m_followRedirects) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        m_reply = m_network.get(request);
    } else if (m_method == u"GET") {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(kMaxRedirects);
        m_reply = m_network.get(request);
    } else {
        // The network layer would turn a POST answered by 301 or 302 into a GET, and would send a
        // 307 or 308 on to any host: followRedirect() decides instead.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        auto* body = new PartsDevice(m_requestBody, this);
        if (m_method == u"POST")
            m_reply = m_network.post(request, body);
        else
            m_reply = m_network.sendCustomRequest(request, m_method.toLatin1(), body);
        body->setParent(m_reply); // read until the reply is done, and let go with it
    }

#if QT_CONFIG(ssl)
    connect(m_reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>& errors) {
        // Not ignored: the reply fails. Kept to say plainly why.
        m_sslProblems = describeCertificateProblems(errors);
    });
#endif
    connect(m_reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64) {
        m_bytesSent = std::max(m_bytesSent, sent);
        onProgress();
    });
    connect(m_reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        m_bytesReceived = std::max(m_bytesReceived, received);
        onProgress();
    });
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        if (m_readyState < HeadersReceived)
            m_readyState = HeadersReceived;
    });
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        m_readyState = Loading;
        if (m_reply && m_body.size() + m_reply->bytesAvailable() > kMaxReplyBytes) {
            m_error = QStringLiteral("The reply is larger than %1 bytes.").arg(kMaxReplyBytes);
            m_errorCode = ReplyTooLargeError;
            m_reply->abort();
            return;
        }
        if (m_reply)
            m_body += m_reply->readAll();
        // downloadProgress is throttled; the bytes read here count at once.
        m_bytesReceived = std::max(m_bytesReceived, qint64(m_body.size()));
        onProgress();
    });
    connect(m_reply, &QNetworkReply::finished, this, &XmlHttpRequest::finish);
}

void XmlHttpRequest::startExchange()
{
    m_exchange = new HttpExchange(m_method, m_url, m_headers, m_requestSize, kMaxReplyBytes, this);
    for (const QByteArray& piece : std::as_const(m_requestBody))
        m_exchange->append(piece);
    connect(m_exchange, &HttpExchange::progressed, this, [this] {
        m_bytesSent = m_exchange->bytesSent();
        m_bytesReceived = m_exchange->bytesReceived();
        if (m_exchange->reply().headersDone())
            m_readyState = m_exchange->reply().bodySize() > 0 ? Loading : HeadersReceived;
        onProgress();
    });
    connect(m_exchange, &HttpExchange::finished, this, &XmlHttpRequest::finish);
    m_exchange->start();
}

void XmlHttpRequest::abortTransfer()
{
    if (m_reply)
        m_reply->abort();
    else if (m_exchange)
        m_exchange->abort();
}

void XmlHttpRequest::releaseTransfer()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (m_exchange) {
        m_exchange->disconnect(this);
        m_exchange->deleteLater();
        m_exchange = nullptr;
    }
}

QUrl XmlHttpRequest::collectReply()
{
    if (m_error.isEmpty() && m_reply->isOpen())
        m_body += m_reply->readAll();
    m_status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    m_statusText = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    m_responseHeaders = m_reply->rawHeaderPairs();
    const auto error = m_reply->error();
    if (isTransportError(error, m_status)) {
        m_transportCode = error == QNetworkReply::NoError ? QNetworkReply::UnknownNetworkError : error;
        m_transportText = m_reply->errorString();
    }
    return m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
}

QUrl XmlHttpRequest::collectExchange()
{
    ReplyParser& reply = m_exchange->reply();
    if (m_exchange->failed()) {
        if (reply.tooLarge() && m_error.isEmpty()) {
            m_error = reply.error();
            m_errorCode = ReplyTooLargeError;
        }
        if (m_sslProblems.isEmpty())
            m_sslProblems = m_exchange->certificateProblems();
        m_transportCode = m_exchange->errorCode();
        m_transportText = m_exchange->errorString();
        return {};
    }
    m_body = reply.takeBody();
    m_status = reply.status();
    m_statusText = QString::fromLatin1(reply.reason());
    m_responseHeaders = reply.headers();
    const QByteArray location = reply.header("Location");
    return location.isEmpty() ? QUrl() : QUrl(QString::fromUtf8(location));
}

} // namespace rostrel
