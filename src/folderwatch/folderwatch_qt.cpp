// Change reports on Unix other than Linux, through QFileSystemWatcher (kqueue, FSEvents). Those
// have no queue that runs over, so no report is ever known to be lost.

#include "folderwatch/folderwatch.h"
#include "folderwatch/remotefs.h"

#include <QCoreApplication>
#include <QFileSystemWatcher>

namespace rostrel {
namespace {

class QtFolderWatch final : public FolderWatch
{
public:
    QtFolderWatch() { connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &FolderWatch::folderChanged); }

    bool watch(const QString& folder) override { return m_watcher.addPath(folder); }
    void unwatch(const QString& folder) override { m_watcher.removePath(folder); }
    bool reportsChanges(const QString& folder, QString* why) const override { return reportsLocalChanges(folder, why); }

    void deliverPending() override
    {
        // The reports come as posted calls from the watcher's threads.
        for (QObject* engine : m_watcher.children())
            QCoreApplication::sendPostedEvents(engine, QEvent::MetaCall);
    }

private:
    QFileSystemWatcher m_watcher;
};

} // namespace

std::unique_ptr<FolderWatch> makeFolderWatch()
{
    return std::make_unique<QtFolderWatch>();
}

} // namespace rostrel
