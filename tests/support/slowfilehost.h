#pragma once
// A file host on loopback that serves the addon's files under /files/Rostrel/ at a set pace: each
// body goes out in chunks with a pause between them, so a test knows when a download ends and
// can act around the moment the program stores the file.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <chrono>

class QTcpServer;
class QTcpSocket;

namespace rostrel {

class SlowFileHost : public QObject
{
    Q_OBJECT
public:
    SlowFileHost(qint64 chunkBytes, std::chrono::milliseconds pause, QObject* parent = nullptr);
    ~SlowFileHost() override;

    // Starts on a free loopback port and returns it (0 on failure).
    quint16 listen();
    QString hostAndPort() const;

    // Serves bytes under /files/Rostrel/<name>; unknown names get a 404.
    void publish(const QString& name, const QByteArray& bytes) { m_files.insert(name, bytes); }

Q_SIGNALS:
    void requested(const QString& name);
    // The last byte of the body has been handed to the connection.
    void sent(const QString& name);

private:
    void onReadyRead(QTcpSocket* socket);
    void serve(QTcpSocket* socket, const QString& name);

    qint64 m_chunkBytes;
    std::chrono::milliseconds m_pause;
    QTcpServer* m_server = nullptr;
    QHash<QString, QByteArray> m_files;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

} // namespace rostrel
