#include "http/xmlhttp.h"

#include "http/httpexchange.h"
#include "http/partsdevice.h"

#include "core/browser.h"
#include "core/gotourl.h"
#include "core/seams.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#if QT_CONFIG(ssl)
#include <QSslError>
#endif
#include <QTimer>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

Q_LOGGING_CATEGORY(lcHttp, "rostrel.http", QtInfoMsg)

namespace rostrel {

namespace {
// Replies are profiles' answers, version texts and addon files; anything bigger is not ours.
constexpr qint64 kMaxReplyBytes = 64 * 1024 * 1024;
// What counts as progress that restarts the stall clock. A server that trickles a byte now and then
// would otherwise hold the request, and the login, watcher turn or update check waiting on it, for
// ever; any working link moves this much in a stall time-out many times over.
constexpr qint64 kMinProgressBytes = 1024;

// Whether no complete answer came: the connection or the proxy failed, or the reply was cut short
// under way. Qt reports some statuses (400 among them) with a protocol error; with a status they
// are the site's word, not a failure to reach it.
bool isTransportError(QNetworkReply::NetworkError error, int status)
{
    const int code = static_cast<int>(error);
    return status == 0 || (code >= 1 && code < 200);
}
} // namespace

XmlHttpRequest::XmlHttpRequest(QNetworkAccessManager& network, std::chrono::milliseconds stallTimeout,
    std::chrono::milliseconds overallTimeout, qint64 slowestRate, QObject* parent)
    : QObject(parent)
    , m_network(network)
    , m_stallTimeout(stallTimeout)
    , m_overallTimeout(overallTimeout)
    , m_slowestRate(std::max<qint64>(1, slowestRate))
{ }

XmlHttpRequest::~XmlHttpRequest()
{
    if (m_reply)
        m_reply->disconnect(this);
    if (m_exchange)
        m_exchange->disconnect(this);
    abortTransfer();
    releaseTransfer();
}

bool XmlHttpRequest::Open(const QString& method, const QString& url, bool /*async: always*/)
{
    m_method = method.toUpper();
    m_url = QUrl(url, QUrl::StrictMode);
    const QString scheme = m_url.scheme().toLower();
    if (!m_url.isValid() || m_url.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        m_failed = true;
        m_errorCode = BadAddressError;
        m_error = QStringLiteral("The address \"%1\" is not a valid web address.").arg(url);
        m_readyState = Done;
        return false;
    }
    m_readyState = Opened;
    return true;
}

void XmlHttpRequest::setRequestHeader(const QByteArray& name, const QByteArray& value)
{
    m_headers.append({ name, value });
}

bool XmlHttpRequest::send(const QByteArray& body)
{
    return send(QByteArrayList { body });
}

bool XmlHttpRequest::send(QByteArrayList body)
{
    if (m_readyState != Opened || m_reply || m_exchange)
        return false;
    m_requestBody = std::move(body);
    m_requestSize = 0;
    for (const QByteArray& part : std::as_const(m_requestBody))
        m_requestSize += part.size();
    m_bodyGiven = m_requestSize;
    m_bodyComplete = true;
    begin();
    return true;
}

bool XmlHttpRequest::sendStreamed(QByteArray head, qint64 size)
{
    if (m_readyState != Opened || m_reply || m_exchange || size < head.size())
        return false;
    m_bodyGiven = head.size();
    m_requestBody = { std::move(head) };
    m_requestSize = size;
    m_bodyComplete = false;
    begin();
    return true;
}

void XmlHttpRequest::appendBody(QByteArrayView bytes)
{
    if (m_bodyComplete || bytes.isEmpty() || m_readyState == Done)
        return;
    const QByteArray piece = QByteArray::fromRawData(bytes.data(), bytes.size());
    m_requestBody.append(piece);
    m_bodyGiven += piece.size();
    if (m_exchange)
        m_exchange->append(piece);
}

void XmlHttpRequest::endBody(QByteArray tail)
{
    if (m_bodyComplete || m_readyState == Done)
        return;
    if (m_bodyGiven + tail.size() != m_requestSize) {
        cancel(u"The request's body did not come to the length it announced."_s, QNetworkReply::UnknownNetworkError);
        return;
    }
    m_requestBody.append(tail);
    m_bodyGiven += tail.size();
    m_bodyComplete = true;
    if (m_exchange)
        m_exchange->append(tail);
    else if (!m_reply)
        start(); // the network layer takes a body only whole
}

void XmlHttpRequest::cancel(const QString& why, int code)
{
    if (m_readyState == Done || m_readyState == Unsent)
        return;
    m_error = why;
    m_errorCode = code;
    if (m_reply || m_exchange) {
        abortTransfer(); // finishes, failed with the error set here
        return;
    }
    if (m_stallTimer)
        m_stallTimer->stop();
    if (m_deadlineTimer)
        m_deadlineTimer->stop();
    m_failed = true;
    m_readyState = Done;
    Q_EMIT completed();
}

void XmlHttpRequest::begin()
{
    // One deadline for the whole request, redirects included.
    m_deadlineTimer = new QTimer(this);
    m_deadlineTimer->setSingleShot(true);
    connect(m_deadlineTimer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        m_pastDeadline = true;
        if (m_reply || m_exchange)
            abortTransfer();
        else
            cancel(deadlineText(), DeadlineError); // a body that never came whole
    });
    m_deadlineTimer->start(m_overallTimeout + std::chrono::milliseconds(m_requestSize * 1000 / m_slowestRate));
    start();
}

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

void XmlHttpRequest::start()
{
    if (!m_stallTimer) {
        m_stallTimer = new QTimer(this);
        m_stallTimer->setSingleShot(true);
        m_stallTimer->setInterval(m_stallTimeout);
        connect(m_stallTimer, &QTimer::timeout, this, [this] {
            m_timedOut = true;
            abortTransfer();
        });
    }
    m_bytesSent = m_bytesReceived = m_progressMark = 0;
    m_body.clear();
    m_stallTimer->start();
    if (ownConnection()) {
        startExchange();
        return;
    }
    if (!m_bodyComplete) {
        m_stallTimer->stop();
        return; // endBody() starts it
    }

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
        QStringList texts;
        for (const QSslError& error : errors)
            texts.append(error.errorString());
        m_sslProblems = texts.join(QStringLiteral("; "));
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

bool XmlHttpRequest::followRedirect(const QUrl& location)
{
    // Not 303: it answers a request the site has handled, and sending that again would repeat it.
    static const int kRedirects[] = { 301, 302, 307, 308 };
    if (m_method == u"GET" || m_timedOut || !m_error.isEmpty()
        || std::find(std::begin(kRedirects), std::end(kRedirects), m_status) == std::end(kRedirects))
        return false;
    if (location.isEmpty())
        return false; // nowhere to go: the reply stands as it is
    const QUrl target = m_url.resolved(location);
    const QString from = m_url.scheme().toLower();
    const QString to = target.scheme().toLower();
    const QString shown = target.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
    if (target.host().compare(m_url.host(), Qt::CaseInsensitive) != 0 || target.host().isEmpty()
        || (to != u"https" && to != from)) {
        m_error = QStringLiteral("The site at %1 redirected the upload to %2, which is not the site you entered; "
                                 "nothing was sent there.")
                      .arg(m_url.host(), shown);
        m_errorCode = RedirectRefusedError;
        return false;
    }
    if (m_redirects >= kMaxRedirects) {
        m_error = QStringLiteral("The site at %1 redirected the upload more than %2 times.")
                      .arg(m_url.host())
                      .arg(kMaxRedirects);
        m_errorCode = RedirectRefusedError;
        return false;
    }
    ++m_redirects;
    qCDebug(lcHttp) << m_method << m_url.toString() << "redirected" << m_status << "to" << target.toString();
    m_url = target;
    m_status = 0;
    m_readyState = Opened;
    releaseTransfer();
    start();
    return true;
}

QByteArray XmlHttpRequest::responseHeader(const QByteArray& name) const
{
    for (const auto& [key, value] : m_responseHeaders) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

void XmlHttpRequest::onProgress()
{
    const qint64 moved = m_bytesSent + m_bytesReceived;
    if (!m_stallTimer || m_readyState == Done || moved - m_progressMark < kMinProgressBytes)
        return;
    m_progressMark = moved;
    m_stallTimer->start();
}

QString XmlHttpRequest::deadlineText() const
{
    return QStringLiteral("The transfer with %1 was still not complete %2 seconds after the request "
                          "started: the request timed out.")
        .arg(m_url.host())
        .arg(m_deadlineTimer->interval() / 1000.0);
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

void XmlHttpRequest::finish()
{
    if ((!m_reply && !m_exchange) || m_readyState == Done)
        return;
    m_stallTimer->stop();
    m_deadlineTimer->stop();
    m_transportCode = 0;
    m_transportText.clear();
    const QUrl location = m_reply ? collectReply() : collectExchange();
    if (!m_followRedirects && m_status >= 300 && m_status < 400)
        m_redirectTarget = m_url.resolved(location);
    if (followRedirect(location))
        return;
    if (m_pastDeadline) {
        m_failed = true;
        m_errorCode = DeadlineError;
        m_error = deadlineText();
    } else if (m_timedOut) {
        m_failed = true;
        m_errorCode = StalledError;
        if (m_bytesReceived > 0 && m_bytesSent + m_bytesReceived > m_progressMark)
            m_error
                = QStringLiteral("The transfer with %1 moved less than %2 bytes in %3 seconds: the request timed out.")
                      .arg(m_url.host())
                      .arg(kMinProgressBytes)
                      .arg(m_stallTimeout.count() / 1000.0);
        else
            m_error = QStringLiteral("No answer from %1 for %2 seconds: the request timed out.")
                          .arg(m_url.host())
                          .arg(m_stallTimeout.count() / 1000.0);
    } else if (!m_error.isEmpty()) {
        m_failed = true;
    } else if (!m_sslProblems.isEmpty()) {
        m_failed = true;
        m_errorCode = UntrustedCertificateError;
        m_error = QStringLiteral("The secure connection to %1 was refused because its certificate cannot be "
                                 "trusted: %2.")
                      .arg(m_url.host(), m_sslProblems);
    } else if (m_transportCode != 0) {
        m_failed = true;
        m_status = 0;
        m_errorCode = m_transportCode;
        m_error = m_transportText;
    }
    qCDebug(lcHttp) << m_method << m_url.toString() << "status" << m_status << "failed" << m_failed << m_error;
    releaseTransfer();
    m_readyState = Done;
    Q_EMIT completed();
}

bool XmlHttpRequest::waitForCompletion()
{
    if (m_readyState == Done || m_readyState == Unsent)
        return !m_failed;
    if (m_readyState == Opened && !m_deadlineTimer)
        return !m_failed; // never sent
    QEventLoop loop;
    connect(this, &XmlHttpRequest::completed, &loop, &QEventLoop::quit);
    loop.exec();
    // Only the application quitting (a log-off, the session ending) ends the loop otherwise; it
    // ends every nested loop, and any loop started after it returns at once.
    if (m_readyState != Done)
        cutShort();
    return !m_failed;
}

void XmlHttpRequest::cutShort()
{
    if (m_stallTimer)
        m_stallTimer->stop();
    if (m_deadlineTimer)
        m_deadlineTimer->stop();
    if (m_reply)
        m_reply->disconnect(this);
    if (m_exchange)
        m_exchange->disconnect(this);
    abortTransfer();
    releaseTransfer();
    qCDebug(lcHttp) << m_method << m_url.toString() << "cut short";
    m_failed = true;
    m_errorCode = CutShortError;
    m_error = u"The request to %1 was cut short because the program is closing."_s.arg(m_url.host());
    m_readyState = Done;
    Q_EMIT completed();
}

std::unique_ptr<XmlHttpRequest> RequestSource::CreateXMLObject()
{
    if (auto request = m_client.create())
        return request;
    m_dialogs.show({ u"We were unable to initialize.  Please download and install the program that you are taken "
                     "to after clicking 'OK'"_s
            + u"\r\n\r\n"_s
            + u"Note: If you are unsure about which file to download from that page, then download the first one "
              "(msxml6.msi)"_s,
        kAppTitle, BoxIcon::Critical, BoxButtons::Ok });
    OpenInBrowser(u"https://www.microsoft.com/downloads/details.aspx?FamilyId=993c0bcf-3bcf-4009-be21-27e85e1857b1"_s,
        m_browser, m_dialogs);
    m_exit.exitNow(1);
    return nullptr; // not reached: exitNow does not return
}

} // namespace rostrel
