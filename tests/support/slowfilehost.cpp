#include "support/slowfilehost.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace rostrel {

namespace {
const QByteArray kPrefix = QByteArrayLiteral("/files/Rostrel/");
}

SlowFileHost::SlowFileHost(qint64 chunkBytes, std::chrono::milliseconds pause, QObject* parent)
    : QObject(parent)
    , m_chunkBytes(chunkBytes)
    , m_pause(pause)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            m_pending.insert(socket, {});
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this, [this, socket] { m_pending.remove(socket); });
        }
    });
}

SlowFileHost::~SlowFileHost() = default;

quint16 SlowFileHost::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0;
}

QString SlowFileHost::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(m_server->serverPort());
}

void SlowFileHost::onReadyRead(QTcpSocket* socket)
{
    auto pending = m_pending.find(socket);
    if (pending == m_pending.end()) {
        socket->readAll(); // answered already
        return;
    }
    pending->append(socket->readAll());
    const qsizetype headEnd = pending->indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    // "GET /files/Rostrel/<name> HTTP/1.1": the downloads carry no body.
    const QList<QByteArray> requestLine = pending->left(pending->indexOf("\r\n")).split(' ');
    m_pending.erase(pending);
    const QByteArray target = requestLine.size() == 3 ? requestLine.at(1) : QByteArray();
    const QString name = target.startsWith(kPrefix) ? QUrl::fromPercentEncoding(target.mid(kPrefix.size())) : QString();
    Q_EMIT requested(name);
    serve(socket, name);
}

void SlowFileHost::serve(QTcpSocket* socket, const QString& name)
{
    const auto file = m_files.constFind(name);
    if (name.isEmpty() || file == m_files.cend()) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const QByteArray body = *file;
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
    auto* timer = new QTimer(socket);
    timer->setInterval(m_pause);
    auto offset = std::make_shared<qint64>(0);
    const auto sendChunk = [this, socket, timer, body, offset, name] {
        const qint64 size = std::min(m_chunkBytes, body.size() - *offset);
        socket->write(body.constData() + *offset, size);
        *offset += size;
        if (*offset < body.size())
            return;
        timer->stop();
        Q_EMIT sent(name);
        socket->disconnectFromHost();
    };
    connect(timer, &QTimer::timeout, socket, sendChunk);
    sendChunk();
    if (*offset < body.size())
        timer->start();
}

} // namespace rostrel
