#pragma once
// A loopback HTTP server that misbehaves on purpose, one way at a time, so tests can watch the
// program meet a refused connection, a server that never answers, an error page, a reset, a
// flood, a trickle or a stall.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace rostrel {

class FaultServer : public QObject
{
    Q_OBJECT
public:
    enum class Mode
    {
        Refuse, // nothing listens on the port handed out
        NeverAnswer, // accepts and reads the request, never replies
        Error500Html, // HTTP 500 with an HTML page
        ResetMidBody, // promises kResetBodySize bytes, sends half, then aborts the connection
        Huge10MBBinary, // 200 OK with kHugeBodySize bytes of binary data
        Trickle, // 200 OK, then one byte a second of a body that never completes in a test
        StallMidFile, // promises kStallBodySize bytes, sends part, then goes silent
        Ok, // a plain 200 with the body given
        Raw, // the bytes given, a whole response as they are
        SlowRead, // reads the request at kSlowReadRate bytes a second, then answers as Ok
    };
    Q_ENUM(Mode)

    static constexpr qint64 kResetBodySize = 1000;
    static constexpr qint64 kHugeBodySize = 10 * 1024 * 1024;
    static constexpr qint64 kTrickleBodySize = 1000000;
    static constexpr qint64 kStallBodySize = 100000;
    static constexpr qint64 kSlowReadRate = 256 * 1024;

    explicit FaultServer(Mode mode, QByteArray okBody = {}, QObject* parent = nullptr);
    ~FaultServer() override;

    // Starts on a free loopback port and returns it (0 on failure). For Refuse the port was
    // bound and released again, so connecting to it is refused.
    quint16 listen();
    quint16 port() const { return m_port; }
    QString hostAndPort() const;
    QString baseUrl() const;

    // Changes the behaviour for the connections that come after.
    void setMode(Mode mode, QByteArray okBody = {});
    Mode mode() const { return m_mode; }

    // The bytes that should have come after a reply's headers in this mode.
    static QByteArray hugeBody();

    // Requests read completely (head and body) so far, and the last one as raw bytes.
    int requestCount() const { return m_requestCount; }
    QByteArray lastRequest() const { return m_lastRequest; }

Q_SIGNALS:
    void requestReceived(const QByteArray& rawRequest);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket, qint64 atMost = -1); // -1: all there is
    void respond(QTcpSocket* socket);
    static QByteArray head(const QByteArray& status, const QByteArray& contentType, qint64 length);

    Mode m_mode;
    QByteArray m_okBody;
    QTcpServer* m_server = nullptr;
    quint16 m_port = 0;
    int m_requestCount = 0;
    QByteArray m_lastRequest;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

} // namespace rostrel
