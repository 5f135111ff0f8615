#include "catalogue/folderwatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileSystemWatcher>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QStorageInfo>

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
        if (m_sentinelPath.isEmpty() && !watchSentinel())
            return false;
        // Already watched as the sentinel: its changes come as lost reports, which re-list all.
        return folder == m_sentinelPath || m_watcher.addPath(folder);
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
    // folder holding descriptor 1, which is why a quiet folder is watched first: a change reported
    // for it means reports were lost. A folder of its own would be left behind by every run that
    // ends without unwinding (Exit Program, a signal, a crash), so an existing folder that seldom
    // changes stands in: the program's own, or the root. Should it change after all, the only cost
    // is one walk of every game folder.
    bool watchSentinel()
    {
        for (const QString& quiet : { QCoreApplication::applicationDirPath(), QDir::rootPath() }) {
            if (!quiet.isEmpty() && m_watcher.addPath(quiet)) {
                m_sentinelPath = quiet;
                return true;
            }
        }
        qCWarning(lcCatalogue) << "No folder to learn of lost change reports";
        return false;
    }

    QFileSystemWatcher m_watcher;
    QString m_sentinelPath;
};

} // namespace

std::unique_ptr<FolderWatch> makeSystemFolderWatch()
{
    return std::make_unique<SystemFolderWatch>();
}

} // namespace rostrel
