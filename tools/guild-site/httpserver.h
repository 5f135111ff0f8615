#pragma once
// A small HTTP/1.1 server for the reference guild site, with the limits a site that anyone may
// reach needs: a body over the size limit is refused with 413 from its headers alone, before any
// of it is read; a client that sends its headers or body too slowly is dropped, and being
// event-driven, never holds up the other clients while it dawdles. Plain TCP or TLS.

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <chrono>
#include <functional>
#include <optional>

class QTcpServer;

namespace rostrel {

struct HttpLimits
{
    // Largest request body accepted; a larger Content-Length gets 413 unread.
    qint64 maxBodyBytes = qint64(64) * 1024 * 1024;
    // Largest request line plus headers; more gets 431.
    qsizetype maxHeaderBytes = 64 * 1024;
    // Time allowed for the request line and headers, from their first byte.
    std::chrono::milliseconds headerTimeout { 10000 };
    // After this long, a body must keep arriving at minBodyRate on average or the client is dropped.
    std::chrono::milliseconds bodyGrace { 10000 };
    qint64 minBodyRate = 4096; // bytes per second
    // A kept-alive connection with no request in it is closed after this long.
    std::chrono::milliseconds idleTimeout { 60000 };
};

struct HttpRequest
{
    QByteArray method;
    QByteArray target; // as sent, still percent-encoded; an absolute URL is cut to its path
    QList<QPair<QByteArray, QByteArray>> headers; // as sent, in order
    QByteArray body;
};

struct HttpResponse
{
    HttpResponse(int status_ = 200, QByteArray contentType_ = {}, QByteArray body_ = {})
        : status(status_)
        , contentType(std::move(contentType_))
        , body(std::move(body_))
    { }

    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // beyond Content-Type and Content-Length
};

// A request line and its headers, without the empty line that ends them.
struct RequestHead
{
    int status = 0; // when not 0, the request is refused with this status and error
    QByteArray error;
    HttpRequest request; // method, target and headers; no body yet
    std::optional<qint64> contentLength;
    bool keepAlive = true;
    bool expectContinue = false;
};
RequestHead parseRequestHead(QByteArrayView head);

class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    HttpServer(Handler handler, HttpLimits limits, QObject* parent = nullptr);
    ~HttpServer() override;

    // The port listened on, 0 on failure. With tls set, every connection is TLS.
    quint16 listen(const QHostAddress& address, quint16 port, const std::optional<QSslConfiguration>& tls);
    const HttpLimits& limits() const { return m_limits; }
    // Connections open right now.
    int connectionCount() const { return m_connections; }

Q_SIGNALS:
    // A client was dropped or refused; the reason is for the site's log.
    void clientRefused(const QString& reason);

private:
    friend class HttpConnection;
    void accept();

    Handler m_handler;
    HttpLimits m_limits;
    QTcpServer* m_server = nullptr;
    int m_connections = 0;
};

} // namespace rostrel
