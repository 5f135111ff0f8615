#include "guild-site/httpserver.h"
#include "guild-site/tlsserver.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

Q_LOGGING_CATEGORY(lcHttpServer, "rostrel.guildsite.http", QtInfoMsg)

namespace rostrel {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray trimmedBytes(QByteArrayView text)
{
    return text.trimmed().toByteArray();
}

// Content-Length as digits only: a sign, blanks inside or a value past 2^62 is no length.
std::optional<qint64> parseLength(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

RequestHead parseRequestHead(QByteArrayView text)
{
    RequestHead head;
    auto fail = [&head](int status, const QByteArray& why) {
        head.status = status;
        head.error = why;
        return head;
    };
    const QList<QByteArray> lines = text.toByteArray().split('\n');
    const QList<QByteArray> requestLine = trimmedBytes(lines.constFirst()).split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty()
        || !requestLine[2].startsWith("HTTP/1."))
        return fail(400, QByteArrayLiteral("Malformed request line."));
    head.request.method = requestLine[0];
    head.request.target = requestLine[1];
    if (head.request.target.startsWith("http://") || head.request.target.startsWith("https://")) {
        const qsizetype slash = head.request.target.indexOf('/', head.request.target.indexOf("//") + 2);
        head.request.target = slash < 0 ? QByteArray("/") : head.request.target.mid(slash);
    }
    head.keepAlive = requestLine[2] == "HTTP/1.1";

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.first(colon).contains(' ') || line.first(colon).contains('\t'))
            return fail(400, QByteArrayLiteral("Malformed header line."));
        const QByteArray name = line.first(colon);
        const QByteArray value = trimmedBytes(QByteArrayView(line).sliced(colon + 1));
        head.request.headers.append({ name, value });
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            const auto parsed = parseLength(value);
            if (!parsed || (head.contentLength && *head.contentLength != *parsed))
                return fail(400, QByteArrayLiteral("Malformed Content-Length."));
            head.contentLength = parsed;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            return fail(411, QByteArrayLiteral("Send the body with a Content-Length."));
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0) {
            if (value.compare("close", Qt::CaseInsensitive) == 0)
                head.keepAlive = false;
            else if (value.compare("keep-alive", Qt::CaseInsensitive) == 0)
                head.keepAlive = true;
        } else if (name.compare("Expect", Qt::CaseInsensitive) == 0) {
            head.expectContinue = value.compare("100-continue", Qt::CaseInsensitive) == 0;
        }
    }
    return head;
}

// One client connection: reads requests one after the other (keep-alive), answers each through the
// server's handler, and watches the clock while a request is coming in.
class HttpConnection final : public QObject
{
public:
    HttpConnection(HttpServer& server, QTcpSocket* socket)
        : QObject(&server)
        , m_server(server)
        , m_limits(server.limits())
        , m_socket(socket)
    {
        socket->setParent(this);
        ++m_server.m_connections;
        const auto tick
            = std::clamp(m_limits.headerTimeout / 4, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
        m_watchdog.setInterval(tick);
        connect(&m_watchdog, &QTimer::timeout, this, &HttpConnection::check);
        // What the client sends while an answer waits for it to read stays in the kernel's buffers.
        socket->setReadBufferSize(readWindow());
        connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
            m_tls = tls;
            connect(tls, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::SslHandshakeFailedError)
                    Q_EMIT m_server.clientRefused(QStringLiteral("TLS error"));
            });
        }
        m_clock.start();
        m_watchdog.start();
        onReadyRead();
    }
    ~HttpConnection() override { --m_server.m_connections; }

private:
    enum class State
    {
        Head,
        Body,
        Draining, // refused: what still comes is read and dropped until the client gives up
        Closed
    };

    // Room for the largest request head allowed, and for a good part of a body in one go.
    qint64 readWindow() const { return std::max<qint64>(256 * 1024, m_limits.maxHeaderBytes + 4); }

    // An answer is still on its way out: the next request waits until the client has read it.
    bool writeBacklogged() const { return m_socket->bytesToWrite() > 0; }

    void onBytesWritten()
    {
        if (m_state != State::Head)
            return;
        m_clock.restart(); // the client reads: the next request's clock starts now
        if (!writeBacklogged())
            onReadyRead();
    }

    // Reads no more than one buffer ahead of the requests being answered, so a client that sends
    // faster than it reads the answers waits in the kernel's buffers, not in ours.
    void onReadyRead()
    {
        for (;;) {
            if (m_state == State::Closed || (m_state == State::Head && writeBacklogged()))
                return;
            const QByteArray chunk = m_socket->read(std::max<qint64>(0, readWindow() - m_in.size()));
            if (m_state == State::Draining) {
                if (chunk.isEmpty())
                    return;
                continue;
            }
            if (!chunk.isEmpty() && m_state == State::Head && m_in.isEmpty())
                m_clock.restart(); // the headers' clock starts at their first byte
            m_in += chunk;
            process();
            if (chunk.isEmpty())
                return;
        }
    }

    void process()
    {
        while (m_state != State::Closed && m_state != State::Draining) {
            if (m_state == State::Head && !readHead())
                return;
            if (m_state != State::Body)
                return;
            const qint64 need = m_length - m_request.body.size();
            const qsizetype take = qsizetype(std::min<qint64>(need, m_in.size()));
            m_request.body += QByteArrayView(m_in).first(take);
            m_in.remove(0, take);
            if (m_request.body.size() < m_length)
                return;
            respond(m_server.m_handler(m_request));
            if (m_state == State::Closed)
                return; // nothing after "Connection: close" is answered
            m_request = HttpRequest();
            m_state = State::Head;
            m_clock.restart();
            if (m_in.isEmpty() || writeBacklogged())
                return;
        }
    }

    // Parses the request line and headers once they are complete; false while they are not or
    // after the request was refused.
    bool readHead()
    {
        const qsizetype end = m_in.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_in.size() > m_limits.maxHeaderBytes)
                refuse(431, QByteArrayLiteral("The request headers are too large."));
            return false;
        }
        if (end > m_limits.maxHeaderBytes) {
            refuse(431, QByteArrayLiteral("The request headers are too large."));
            return false;
        }
        const RequestHead parsed = parseRequestHead(QByteArrayView(m_in).first(end));
        m_in.remove(0, end + 4);
        if (parsed.status != 0) {
            refuse(parsed.status, parsed.error);
            return false;
        }
        m_request = parsed.request;
        m_keepAlive = parsed.keepAlive;
        const std::optional<qint64> length = parsed.contentLength;
        const bool expectContinue = parsed.expectContinue;
        m_length = length.value_or(0);
        if (m_length > m_limits.maxBodyBytes) {
            refuse(413,
                QByteArrayLiteral("The request body is larger than ") + QByteArray::number(m_limits.maxBodyBytes)
                    + QByteArrayLiteral(" bytes."));
            return false;
        }
        if (expectContinue && m_length > 0)
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        m_state = State::Body;
        m_clock.restart();
        return true;
    }

    void respond(const HttpResponse& response, bool lingering = false)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status)
            + "\r\nContent-Type: " + response.contentType
            + "\r\nContent-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        if (!m_keepAlive)
            head += "Connection: close\r\n";
        head += "\r\n";
        m_socket->write(head);
        if (m_request.method != "HEAD")
            m_socket->write(response.body);
        if (!m_keepAlive && !lingering) {
            m_state = State::Closed;
            m_socket->disconnectFromHost();
        }
    }

    // Answers with an error and stops reading requests. What the client still sends is read and
    // dropped for a moment, so that closing does not reset the connection under the answer.
    void refuse(int status, const QByteArray& why)
    {
        Q_EMIT m_server.clientRefused(QString::number(status) + u' ' + QString::fromUtf8(why));
        m_keepAlive = false;
        respond({ status, QByteArrayLiteral("text/plain"), why }, true);
        m_state = State::Draining;
        m_in.clear();
        m_clock.restart();
    }

    void drop(const QString& why)
    {
        qCInfo(lcHttpServer) << "dropping" << m_socket->peerAddress().toString() << why;
        Q_EMIT m_server.clientRefused(why);
        m_state = State::Closed;
        m_watchdog.stop();
        m_socket->abort();
        deleteLater();
    }

    void check()
    {
        const auto elapsed = std::chrono::milliseconds(m_clock.elapsed());
        switch (m_state) {
        case State::Head:
            if (m_tls && !m_tls->isEncrypted() && elapsed > m_limits.headerTimeout) {
                drop(QStringLiteral("TLS handshake not complete in time"));
            } else if (writeBacklogged()) {
                if (elapsed > m_limits.idleTimeout)
                    drop(QStringLiteral("answer not read in time"));
            } else if (m_in.isEmpty() && elapsed > m_limits.idleTimeout) {
                m_state = State::Closed;
                m_socket->disconnectFromHost();
            } else if (!m_in.isEmpty() && elapsed > m_limits.headerTimeout) {
                drop(QStringLiteral("headers not complete in time"));
            }
            break;
        case State::Body: {
            const auto late = elapsed - m_limits.bodyGrace;
            if (late.count() > 0 && m_request.body.size() < m_limits.minBodyRate * late.count() / 1000)
                drop(QStringLiteral("body arriving too slowly"));
            break;
        }
        case State::Draining:
            if (elapsed > std::min(m_limits.headerTimeout, std::chrono::milliseconds(2000))) {
                m_state = State::Closed;
                m_socket->disconnectFromHost();
            }
            break;
        case State::Closed:
            break;
        }
    }

    HttpServer& m_server;
    const HttpLimits m_limits;
    QTcpSocket* m_socket;
    QSslSocket* m_tls = nullptr;
    QTimer m_watchdog;
    QElapsedTimer m_clock;
    State m_state = State::Head;
    QByteArray m_in;
    HttpRequest m_request;
    qint64 m_length = 0;
    bool m_keepAlive = true;
};

HttpServer::HttpServer(Handler handler, HttpLimits limits, QObject* parent)
    : QObject(parent)
    , m_handler(std::move(handler))
    , m_limits(limits)
{ }

HttpServer::~HttpServer()
{
    // The connections count themselves out of this server, so they go while it is still whole.
    const QObjectList owned = children();
    qDeleteAll(owned);
}

quint16 HttpServer::listen(const QHostAddress& address, quint16 port, const std::optional<QSslConfiguration>& tls)
{
    delete m_server;
    m_server = tls ? new TlsServer(*tls, this) : new QTcpServer(this);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &HttpServer::accept);
    // Out of file descriptors, Qt's server can stop accepting for good; it tries again shortly, once
    // connections that ended or were dropped have given some back.
    connect(m_server, &QTcpServer::acceptError, m_server, [server = m_server] {
        QTimer::singleShot(std::chrono::milliseconds(100), server, [server] { server->resumeAccepting(); });
    });
    if (!m_server->listen(address, port))
        return 0;
    return m_server->serverPort();
}

void HttpServer::accept()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection())
        new HttpConnection(*this, socket);
}

} // namespace rostrel
