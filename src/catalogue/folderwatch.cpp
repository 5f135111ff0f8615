#include "catalogue/folderwatch.h"

#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QStorageInfo>
#include <QTemporaryDir>

Q_DECLARE_LOGGING_CATEGORY(lcCatalogue)

namespace rostrel {
namespace {

// File systems whose changes are made elsewhere (another machine) and never reported here.
bool isRemote(const QByteArray& type)
{
    static const char* const kRemote[] = { "nfs", "nfs4", "cifs", "smb", "smb2", "smb3", "smbfs", "9p", "afs", "ceph",
        "glusterfs", "davfs", "fuse.sshfs", "fuse.rclone", "fuse.gvfsd-fuse", "fuse.s3fs" };
    for (const char* remote : kRemote) {
        if (type == remote)
            return true;
    }
    return false;
}

class SystemFolderWatch final : public FolderWatch
{
public:
    SystemFolderWatch()
    {
        connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this](const QString& folder) {
            if (folder == m_sentinelPath)
                Q_EMIT changesLost();
            else
                Q_EMIT folderChanged(folder);
        });
    }

    bool watch(const QString& folder) override
    {
        if (m_sentinelPath.isEmpty() && !makeSentinel())
            return false;
        return m_watcher.addPath(folder);
    }

    void unwatch(const QString& folder) override { m_watcher.removePath(folder); }

    bool reportsChanges(const QString& folder, QString* why) const override
    {
        const QByteArray type = QStorageInfo(folder).fileSystemType();
        if (!isRemote(type))
            return true;
        if (why)
            *why = QString::fromLatin1(type);
        return false;
    }

    void deliverPending() override
    {
        // On Linux the watcher reads its inotify queue when its socket notifier fires; firing it
        // by hand reads what is queued now (nothing when the queue is empty). Elsewhere the
        // reports come as posted calls from the watcher's threads.
        for (QSocketNotifier* notifier : m_watcher.findChildren<QSocketNotifier*>()) {
            QEvent activate(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &activate);
        }
        for (QObject* engine : m_watcher.children())
            QCoreApplication::sendPostedEvents(engine, QEvent::MetaCall);
    }

private:
    // Qt's inotify engine reports a queue overflow (watch descriptor -1) as a change of the
    // folder holding descriptor 1, which is why a private, otherwise quiet folder is watched
    // first: a change reported for it means reports were lost.
    bool makeSentinel()
    {
        m_sentinel = std::make_unique<QTemporaryDir>();
        if (!m_sentinel->isValid() || !m_watcher.addPath(m_sentinel->path())) {
            qCWarning(lcCatalogue) << "No folder to learn of lost change reports:" << m_sentinel->errorString();
            return false;
        }
        m_sentinelPath = m_sentinel->path();
        return true;
    }

    QFileSystemWatcher m_watcher;
    std::unique_ptr<QTemporaryDir> m_sentinel;
    QString m_sentinelPath;
};

} // namespace

std::unique_ptr<FolderWatch> makeSystemFolderWatch()
{
    return std::make_unique<SystemFolderWatch>();
}

} // namespace rostrel
