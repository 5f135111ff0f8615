#pragma once
// One program per settings folder and user. The first start takes a lock file in the settings
// folder and listens on a local socket named after the folder and the user; a later start in the
// same folder asks it to show its window and ends without touching anything. A lock left by a
// program that ended without letting go (a crash, a power cut) names a process that is gone and
// is taken over. Starts in other folders (two guilds, two settings) run side by side.

#include <QLockFile>
#include <QObject>
#include <QString>
#include <chrono>

class QLocalServer;

namespace rostrel {

inline const QString kLockFileName = QStringLiteral("RostrelUploader.lock");

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // abstractSocket: the socket's name lives in Linux's abstract namespace, so no file is left
    // behind whatever way the program ends.
    SingleInstance(const QString& settingsFolder, bool abstractSocket, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this start is the folder's program (it then listens for later starts, and also when
    // the folder cannot hold a lock, as before there was one); false when another program runs
    // there and has been asked to show its window.
    bool claim(std::chrono::milliseconds patience = std::chrono::seconds(5));
    // Lets go of the lock and the socket (at the end of the program).
    void release();

    // The socket's name: the same for one folder and user, whichever way the folder was written.
    static QString serverName(const QString& settingsFolder);

Q_SIGNALS:
    // A later start in this folder asked for the window.
    void showRequested();

private:
    bool askToShow();

    QString m_name;
    bool m_abstract;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace rostrel
