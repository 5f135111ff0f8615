#pragma once
// The change watcher: while logged in, every five seconds one checked entry is looked at, taking
// the checked entries in turn, and its profile is posted again when its file's last-modified time
// differs from the one recorded.

#include <QObject>
#include <QTimer>

namespace rostrel {

class Discovery;
class CharacterList;
class ProfileReader;
class GameFolders;
class Uploader;
class MessageSink;

inline constexpr int kUpdateInterval = 5000;

class Watcher : public QObject
{
    Q_OBJECT
public:
    Watcher(Discovery& discovery, CharacterList& list, ProfileReader& profiles, GameFolders& folders,
        Uploader& uploader, MessageSink& log, QObject* parent = nullptr);

    void start() { m_updateTimer.start(); }
    void stop() { m_updateTimer.stop(); }
    bool isRunning() const { return m_updateTimer.isActive(); }
    QTimer& UpdateTimer() { return m_updateTimer; }

    // One tick. A tick that comes while another one waits for its reply is skipped.
    void UpdateTimer_Timer();

Q_SIGNALS:
    void tickFinished();

private:
    void tick();

    Discovery& m_discovery;
    CharacterList& m_list;
    ProfileReader& m_profiles;
    GameFolders& m_folders;
    Uploader& m_uploader;
    MessageSink& m_log;
    QTimer m_updateTimer;
    bool m_inTick = false;
};

} // namespace rostrel
