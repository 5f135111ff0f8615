#include "app/singleinstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QThread>

Q_LOGGING_CATEGORY(lcInstance, "rostrel.instance", QtInfoMsg)

namespace rostrel {

namespace {
const QByteArray kShowRequest = QByteArrayLiteral("show\n");
constexpr int kSocketWaitMs = 1000;

QString canonicalFolder(const QString& folder)
{
    const QFileInfo info(folder);
    QString path = info.canonicalFilePath();
    if (path.isEmpty())
        path = info.absoluteFilePath();
    // Windows' file names ignore case: C:\Games and c:\games are one folder there. Elsewhere two
    // folders told apart by case alone share a name; the lock in each still keeps them apart.
    return QDir::cleanPath(path).toLower();
}
} // namespace

SingleInstance::SingleInstance(const QString& settingsFolder, bool abstractSocket, QObject* parent)
    : QObject(parent)
    , m_name(serverName(settingsFolder))
    , m_abstract(abstractSocket)
    , m_lock(QDir(settingsFolder).filePath(kLockFileName))
{
    // The program runs for weeks: a lock is stale only when the process it names is gone.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    release();
}

QString SingleInstance::serverName(const QString& settingsFolder)
{
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    const QByteArray key = (user + u'\n' + canonicalFolder(settingsFolder)).toUtf8();
    return QStringLiteral("RostrelUploader-")
        + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24));
}

bool SingleInstance::claim(std::chrono::milliseconds patience)
{
    const QDeadlineTimer deadline(patience);
    QElapsedTimer asking;
    asking.start();
    do {
        if (m_lock.tryLock(0)) {
            m_server = new QLocalServer(this);
            m_server->setSocketOptions(
                m_abstract ? QLocalServer::AbstractNamespaceOption : QLocalServer::UserAccessOption);
            if (!m_abstract)
                QLocalServer::removeServer(m_name); // a socket file of a program that is gone
            if (!m_server->listen(m_name))
                qCWarning(lcInstance) << "cannot listen for later starts:" << m_server->errorString();
            connect(m_server, &QLocalServer::newConnection, this, [this] {
                while (QLocalSocket* socket = m_server->nextPendingConnection()) {
                    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                        if (socket->readAll().contains(kShowRequest.trimmed()))
                            Q_EMIT showRequested();
                        socket->disconnectFromServer();
                    });
                }
            });
            return true;
        }
        if (m_lock.error() != QLockFile::LockFailedError) {
            // A folder that cannot hold the lock (read-only, full) still runs the program.
            qCWarning(lcInstance) << "cannot take the lock in the settings folder; running without it";
            return true;
        }
        if (askToShow())
            return false;
        // No program answers for the folder: it is just starting and not listening yet, or just
        // ending. Or the lock was left by one that ended without letting go and names a process that
        // now runs under the same number (after a restart; under Wine at every restart of its
        // server): once a program would have answered, the lock is removed unless one holds it.
        if (asking.elapsed() < kSocketWaitMs || !m_lock.removeStaleLockFile())
            QThread::msleep(100);
    } while (!deadline.hasExpired());
    qCInfo(lcInstance) << "another program holds the settings folder and did not answer; ending";
    return false;
}

bool SingleInstance::askToShow()
{
    QLocalSocket socket;
    if (m_abstract)
        socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kSocketWaitMs))
        return false;
    socket.write(kShowRequest);
    const bool sent = socket.waitForBytesWritten(kSocketWaitMs);
    socket.disconnectFromServer();
    return sent;
}

void SingleInstance::release()
{
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    m_lock.unlock();
}

} // namespace rostrel
