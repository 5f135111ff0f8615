#pragma once
// Change notifications for folders, so that discovery re-lists only what changed: the system's
// own reports, one backend per OS (inotify on Linux, one recursive ReadDirectoryChangesW per
// account tree on Windows, QFileSystemWatcher elsewhere), built by makeFolderWatch. Tests hand in
// doubles that refuse watches or lose reports.

#include <QObject>
#include <QString>

#include <memory>

namespace rostrel {

class FolderWatch : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts reporting changes to the folder's own entries (at least; a backend that watches
    // whole trees answers for a folder inside one from that tree's watch). False when the system
    // will not (its watch limit reached, the folder gone or unreadable).
    virtual bool watch(const QString& folder) = 0;
    virtual void unwatch(const QString& folder) = 0;
    // False where the file system holding the folder does not report changes (network shares).
    virtual bool reportsChanges(const QString& folder, QString* why) const = 0;
    // Hands out, before it returns, the reports the system has queued already, so that a change
    // made just before a turn is seen by that turn. A watch that the system ended while its folder
    // is still there is opened again here or at the next watch().
    virtual void deliverPending() { }

Q_SIGNALS:
    // Reports name the folder as the walk does: the canonical path of the account folder and the
    // names as listed below it.
    void folderChanged(const QString& folder);
    // Reports were dropped (the system's queue ran over, or a watch ended): any folder may have
    // changed.
    void changesLost();
};

// The system's reports on this OS.
std::unique_ptr<FolderWatch> makeFolderWatch();

} // namespace rostrel
