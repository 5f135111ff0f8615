// Change reports on Linux: inotify, a watch per folder (cheap there). Our own reader rather than
// QFileSystemWatcher's, because only inotify's own queue-overflow event tells reliably that
// reports were lost, and Qt's engine passes that on as a change of whichever folder it watched
// first.

#include "folderwatch/folderwatch.h"
#include "folderwatch/remotefs.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QSocketNotifier>
#include <QStringList>

#include <memory>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace rostrel {
namespace {

// Names, and files written: the walk looks only at which folders and files there are, but the
// watcher looks first at a profile whose folder reported a write, however it was written.
constexpr uint32_t kMask
    = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class InotifyFolderWatch final : public FolderWatch
{
public:
    InotifyFolderWatch()
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd < 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    }
    ~InotifyFolderWatch() override
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool watch(const QString& folder) override
    {
        if (m_fd < 0)
            return false;
        const int wd = inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), kMask);
        if (wd < 0)
            return false;
        // Two paths to one folder (a bind mount) share its watch.
        QStringList& folders = m_folders[wd];
        if (!folders.contains(folder))
            folders.append(folder);
        m_ids.insert(folder, wd);
        return true;
    }

    void unwatch(const QString& folder) override
    {
        const auto id = m_ids.constFind(folder);
        if (id == m_ids.constEnd())
            return;
        const int wd = *id;
        m_ids.erase(id);
        QStringList& folders = m_folders[wd];
        folders.removeAll(folder);
        if (folders.isEmpty()) {
            m_folders.remove(wd);
            inotify_rm_watch(m_fd, wd);
        }
    }

    bool reportsChanges(const QString& folder, QString* why) const override { return reportsLocalChanges(folder, why); }

    void deliverPending() override { readEvents(); }

private:
    void readEvents()
    {
        if (m_fd < 0)
            return;
        alignas(inotify_event) char buffer[16 * 1024];
        // A burst names a folder many times; each is reported once, in the order it first changed.
        QSet<QString> seen;
        QStringList changed;
        bool lost = false;
        for (;;) {
            const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    lost = true;
                    continue;
                }
                const auto folders = m_folders.constFind(event->wd);
                if (folders == m_folders.constEnd())
                    continue;
                for (const QString& folder : *folders) {
                    if (!seen.contains(folder)) {
                        seen.insert(folder);
                        changed.append(folder);
                    }
                }
                // The kernel ended this watch (its folder deleted, or its file system unmounted).
                if (event->mask & IN_IGNORED) {
                    for (const QString& folder : *folders) {
                        if (m_ids.value(folder) == event->wd) // not since watched anew
                            m_ids.remove(folder);
                    }
                    m_folders.erase(folders);
                }
            }
        }
        for (const QString& folder : std::as_const(changed))
            Q_EMIT folderChanged(folder);
        if (lost)
            Q_EMIT changesLost();
    }

    const int m_fd;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QHash<int, QStringList> m_folders; // by watch descriptor
    QHash<QString, int> m_ids;
};

} // namespace

std::unique_ptr<FolderWatch> makeFolderWatch()
{
    return std::make_unique<InotifyFolderWatch>();
}

} // namespace rostrel
