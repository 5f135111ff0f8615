#pragma once
// The HTTP request object: one request per object, opened, given a header, sent with an optional
// body, then waited for until its ready state is complete. The wait runs a local event loop (the
// window keeps handling events, no CPU is burned) and gives up after a stretch without progress.
// A POST goes out on a connection of its own (HttpExchange) unless a proxy stands in the way; the
// rest goes through the network access manager.
//
// Redirects: a GET follows them as long as none goes from https down to http. Anything else (a
// POST carries the login, the password and the profile) is sent again, the same request with the
// same body and headers, only to the host it was addressed to: same name, https or the scheme it
// had, any port; never to another host and never from https down to http. At most
// kMaxRedirects are followed.

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace rostrel {

class HttpExchange;

// A request that makes no progress for this long fails with a time-out.
inline constexpr std::chrono::milliseconds kStallTimeout { 30000 };
// However much progress it makes, a request ends this long after it started, plus the time its body
// needs at kSlowestRate bytes a second: a server or middlebox reading just enough to beat the stall
// limit would otherwise hold the login, a watcher turn or the update check for hours. The end is
// fixed when the request starts and progress never moves it, so a steady upload over a slow link
// still finishes and one that crawls below that rate ends.
inline constexpr std::chrono::milliseconds kOverallTimeout { 5 * 60 * 1000 };
inline constexpr qint64 kSlowestRate = 16 * 1024;
inline constexpr int kMaxRedirects = 5;
// Replies are profiles' answers, version texts and addon files; anything bigger is not ours.
inline constexpr qint64 kMaxReplyBytes = 64 * 1024 * 1024;

class XmlHttpRequest : public QObject
{
    Q_OBJECT
public:
    enum ReadyState
    {
        Unsent = 0,
        Opened = 1,
        HeadersReceived = 2,
        Loading = 3,
        Done = 4
    };

    XmlHttpRequest(QNetworkAccessManager& network, std::chrono::milliseconds stallTimeout = kStallTimeout,
        std::chrono::milliseconds overallTimeout = kOverallTimeout, qint64 slowestRate = kSlowestRate,
        QObject* parent = nullptr);
    ~XmlHttpRequest() override;

    // Fails (returns false, sets errorString()) for an address that cannot be requested.
    bool Open(const QString& method, const QString& url, bool async = true);
    void setRequestHeader(const QByteArray& name, const QByteArray& value);
    // Starts the request; returns false when it could not be started.
    bool send(const QByteArray& body = {});
    // The same with the body in parts, sent one after another: none is copied, so a profile of tens
    // of megabytes goes out from the one buffer it was read into.
    bool send(QByteArrayList body);
    // A body still being read when the request starts: `size` bytes in all, `head` first. A POST
    // goes out at once with what there is; appendBody() adds the next bytes, which are not copied
    // and must stay where they are until the request is done, and endBody() the last ones.
    bool sendStreamed(QByteArray head, qint64 size);
    void appendBody(QByteArrayView bytes);
    void endBody(QByteArray tail);
    // Ends the request as failed with this description, its body unfinished.
    void cancel(const QString& why, int code);

    // A GET that does not follow redirects: the reply stands as it came, and redirectTarget()
    // says where it pointed. Call before send().
    void setFollowRedirects(bool follow) { m_followRedirects = follow; }

    int readyState() const { return m_readyState; }
    // Blocks the caller (not the event loop) until readyState() is Done, and returns !failed().
    // When the program quits during the wait its event loops end with the reply still out: the
    // request is then abandoned and fails, so no caller takes an unfinished reply for an answer.
    bool waitForCompletion();

    // The reply body as bytes and as text (UTF-8, as the server's text replies are).
    QByteArray responseBody() const { return m_body; }
    QString responseText() const { return QString::fromUtf8(m_body); }
    // HTTP status of the reply, 0 when none came, and its reason phrase ("Bad Gateway").
    int status() const { return m_status; }
    QString statusText() const { return m_statusText; }
    // True when no complete reply came (refused, reset, time-out, bad address).
    bool failed() const { return m_failed; }
    QString errorString() const { return m_error; }
    // The kind of failure: a QNetworkReply::NetworkError, or one of the ErrorCode values below;
    // 0 when the request did not fail.
    int errorCode() const { return m_errorCode; }
    enum ErrorCode
    {
        StalledError = -1,
        DeadlineError = -2,
        RedirectRefusedError = -3,
        ReplyTooLargeError = -4,
        UntrustedCertificateError = -5,
        CutShortError = -6,
        BadAddressError = -7,
    };
    // The first of the caller's own codes for cancel().
    static constexpr int kFirstCallerCode = -100;
    // A header of the reply ("Retry-After"), empty when it had none.
    QByteArray responseHeader(const QByteArray& name) const;
    // Where a redirect that was not followed pointed (resolved against the request's address).
    QUrl redirectTarget() const { return m_redirectTarget; }

Q_SIGNALS:
    void completed();

private:
    void begin();
    void start();
    // Whether this request goes out on a connection of its own (a POST with no proxy in the way).
    bool ownConnection() const;
    void startReply();
    void startExchange();
    void abortTransfer();
    void releaseTransfer();
    // What the finished transfer brought: status, headers, body, where a redirect points, and the
    // failure of the connection when there was one.
    QUrl collectReply();
    QUrl collectExchange();
    void finish();
    QString deadlineText() const;
    void onProgress();
    void cutShort();
    // Whether the finished reply is a redirect this request follows; sets m_error when it is one
    // that must not be followed.
    bool followRedirect(const QUrl& location);

    QNetworkAccessManager& m_network;
    std::chrono::milliseconds m_stallTimeout;
    std::chrono::milliseconds m_overallTimeout;
    qint64 m_slowestRate;
    QString m_method;
    QUrl m_url;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QByteArrayList m_requestBody;
    qint64 m_requestSize = 0;
    qint64 m_bodyGiven = 0; // of the request body, what the caller has handed over so far
    bool m_bodyComplete = true;
    int m_redirects = 0;
    QString m_sslProblems; // why the server's certificate was refused, when it was
    bool m_followRedirects = true;
    QUrl m_redirectTarget;
    QList<QPair<QByteArray, QByteArray>> m_responseHeaders;
    int m_errorCode = 0;
    QPointer<QNetworkReply> m_reply;
    QPointer<HttpExchange> m_exchange;
    int m_transportCode = 0; // the connection's failure, as a QNetworkReply::NetworkError
    QString m_transportText;
    QTimer* m_stallTimer = nullptr;
    QTimer* m_deadlineTimer = nullptr;
    bool m_pastDeadline = false;
    int m_readyState = Unsent;
    QByteArray m_body;
    int m_status = 0;
    QString m_statusText;
    bool m_failed = false;
    bool m_timedOut = false;
    QString m_error;
    // Bytes moved so far, and the count when the stall clock last restarted.
    qint64 m_bytesSent = 0;
    qint64 m_bytesReceived = 0;
    qint64 m_progressMark = 0;
};

// Hands out a fresh request object per request, or none when the HTTP client is unavailable.
class RequestFactory
{
public:
    virtual ~RequestFactory() = default;
    virtual std::unique_ptr<XmlHttpRequest> create() = 0;
};

class NetworkRequestFactory final : public RequestFactory
{
public:
    explicit NetworkRequestFactory(QNetworkAccessManager& network,
        std::chrono::milliseconds stallTimeout = kStallTimeout,
        std::chrono::milliseconds overallTimeout = kOverallTimeout, qint64 slowestRate = kSlowestRate)
        : m_network(network)
        , m_stallTimeout(stallTimeout)
        , m_overallTimeout(overallTimeout)
        , m_slowestRate(slowestRate)
    { }
    std::unique_ptr<XmlHttpRequest> create() override
    {
        return std::make_unique<XmlHttpRequest>(m_network, m_stallTimeout, m_overallTimeout, m_slowestRate);
    }

private:
    QNetworkAccessManager& m_network;
    std::chrono::milliseconds m_stallTimeout;
    std::chrono::milliseconds m_overallTimeout;
    qint64 m_slowestRate;
};

class Dialogs;
class ProgramExit;
class BrowserOpener;

// Where the subsystems get their request objects. CreateXMLObject() always yields one: when the
// HTTP client has none, the user is told where to get the component, the download page is opened
// and the program ends inside the call.
class RequestSource
{
public:
    RequestSource(RequestFactory& client, Dialogs& dialogs, BrowserOpener& browser, ProgramExit& exit)
        : m_client(client)
        , m_dialogs(dialogs)
        , m_browser(browser)
        , m_exit(exit)
    { }

    std::unique_ptr<XmlHttpRequest> CreateXMLObject();

private:
    RequestFactory& m_client;
    Dialogs& m_dialogs;
    BrowserOpener& m_browser;
    ProgramExit& m_exit;
};

} // namespace rostrel
