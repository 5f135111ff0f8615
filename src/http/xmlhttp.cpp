#include "http/xmlhttp.h"

#include "http/httpexchange.h"

#include "core/browser.h"
#include "core/gotourl.h"
#include "core/seams.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

Q_LOGGING_CATEGORY(lcHttp, "rostrel.http", QtInfoMsg)

namespace rostrel {

namespace {
// What counts as progress that restarts the stall clock. A server that trickles a byte now and then
// would otherwise hold the request, and the login, watcher turn or update check waiting on it, for
// ever; any working link moves this much in a stall time-out many times over.
constexpr qint64 kMinProgressBytes = 1024;
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

    startReply();
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
