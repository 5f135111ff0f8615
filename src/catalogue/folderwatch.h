#pragma once
// Change notifications for folders, so that discovery re-lists only what changed. The system's
// own reports (inotify, the Windows change notifications) through QFileSystemWatcher; tests hand
// in doubles that refuse watches or lose reports.

#include <QObject>
#include <QString>
#include <memory>

namespace rostrel {

class FolderWatch : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts reporting changes to the folder's own entries (not deeper). False when the system
    // will not (its watch limit reached, the folder gone or unreadable).
    virtual bool watch(const QString& folder) = 0;
    virtual void unwatch(const QString& folder) = 0;
    // False where the file system holding the folder does not report changes (network shares).
    virtual bool reportsChanges(const QString& folder, QString* why) const = 0;
    // Hands out, before it returns, the reports the system has queued already, so that a change
    // made just before a turn is seen by that turn.
    virtual void deliverPending() { }

Q_SIGNALS:
    void folderChanged(const QString& folder);
    // Reports were dropped (the system's queue ran over): any folder may have changed.
    void changesLost();
};

// The system's notifications.
std::unique_ptr<FolderWatch> makeSystemFolderWatch();

} // namespace rostrel
