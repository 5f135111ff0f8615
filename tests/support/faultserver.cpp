#include "support/faultserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace rostrel {

namespace {

const QByteArray kHeadEnd = QByteArrayLiteral("\r\n\r\n");

// The Content-Length of a request head, 0 when it names none.
qint64 contentLength(QByteArrayView head)
{
    for (const QByteArray& line : head.toByteArray().split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).trimmed().compare("content-length", Qt::CaseInsensitive) == 0)
            return line.sliced(colon + 1).trimmed().toLongLong();
    }
    return 0;
}

QByteArray patternBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    // Every byte value appears, NULs and invalid UTF-8 included; 251 is prime so the pattern does
    // not line up with any buffer size.
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7) % 251 + (i % 5 == 0 ? 5 : 0));
    return bytes;
}

} // namespace

FaultServer::FaultServer(Mode mode, QByteArray okBody, QObject* parent)
    : QObject(parent)
    , m_mode(mode)
    , m_okBody(std::move(okBody))
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
}

FaultServer::~FaultServer() = default;

quint16 FaultServer::listen()
{
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        return 0;
    m_port = m_server->serverPort();
    if (m_mode == Mode::Refuse)
        m_server->close();
    return m_port;
}

QString FaultServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(m_port);
}

QString FaultServer::baseUrl() const
{
    return QStringLiteral("http://") + hostAndPort();
}

void FaultServer::setMode(Mode mode, QByteArray okBody)
{
    m_mode = mode;
    m_okBody = std::move(okBody);
    if (m_port == 0)
        return;
    if (mode == Mode::Refuse)
        m_server->close();
    else if (!m_server->isListening())
        m_server->listen(QHostAddress::LocalHost, m_port);
}

QByteArray FaultServer::hugeBody()
{
    return patternBytes(kHugeBodySize);
}

void FaultServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        m_pending.insert(socket, {});
        if (m_mode == Mode::SlowRead) {
            // A tenth of the rate ten times a second; the rest waits in the buffers.
            socket->setReadBufferSize(kSlowReadRate / 10);
            auto* reader = new QTimer(socket);
            connect(reader, &QTimer::timeout, socket, [this, socket] { onReadyRead(socket, kSlowReadRate / 10); });
            reader->start(100);
        } else {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        }
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_pending.remove(socket); });
    }
}

void FaultServer::onReadyRead(QTcpSocket* socket, qint64 atMost)
{
    auto pending = m_pending.find(socket);
    if (pending == m_pending.end()) {
        // Already answered (or never will be): whatever else comes is read and dropped.
        atMost < 0 ? socket->readAll() : socket->read(atMost);
        return;
    }
    pending->append(atMost < 0 ? socket->readAll() : socket->read(atMost));
    const qsizetype headEnd = pending->indexOf(kHeadEnd);
    if (headEnd < 0)
        return;
    const qint64 total = headEnd + kHeadEnd.size() + contentLength(QByteArrayView(*pending).first(headEnd));
    if (pending->size() < total)
        return;

    m_lastRequest = *pending;
    m_pending.erase(pending);
    ++m_requestCount;
    Q_EMIT requestReceived(m_lastRequest);
    respond(socket);
}

QByteArray FaultServer::head(const QByteArray& status, const QByteArray& contentType, qint64 length)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n";
}

void FaultServer::respond(QTcpSocket* socket)
{
    switch (m_mode) {
    case Mode::Refuse:
    case Mode::NeverAnswer:
        break;
    case Mode::Error500Html: {
        const QByteArray page = QByteArrayLiteral("<html><head><title>500 Internal Server Error</title></head>"
                                                  "<body><h1>Internal Server Error</h1></body></html>");
        socket->write(head("500 Internal Server Error", "text/html", page.size()) + page);
        socket->disconnectFromHost();
        break;
    }
    case Mode::ResetMidBody:
        socket->write(head("200 OK", "application/octet-stream", kResetBodySize));
        socket->write(patternBytes(kResetBodySize / 2));
        // Cut the connection only once the half body has left, so the client sees it arrive
        // and then the connection die under it.
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
            if (socket->bytesToWrite() == 0)
                socket->abort();
        });
        break;
    case Mode::Huge10MBBinary:
        socket->write(head("200 OK", "application/octet-stream", kHugeBodySize) + hugeBody());
        socket->disconnectFromHost();
        break;
    case Mode::Trickle: {
        socket->write(head("200 OK", "text/plain", kTrickleBodySize) + "x");
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(1000);
        break;
    }
    case Mode::StallMidFile:
        socket->write(head("200 OK", "application/octet-stream", kStallBodySize) + patternBytes(kStallBodySize / 3));
        break;
    case Mode::SlowRead:
    case Mode::Ok:
        socket->write(head("200 OK", "text/plain", m_okBody.size()) + m_okBody);
        socket->disconnectFromHost();
        break;
    case Mode::Raw:
        socket->write(m_okBody);
        socket->disconnectFromHost();
        break;
    }
}

} // namespace rostrel
