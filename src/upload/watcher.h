#pragma once
// The change watcher: while logged in, every five seconds one checked entry is looked at, taking
// the checked entries in turn, and its profile is posted again when its file's last-modified time
// differs from the one recorded.
//
// It works unattended, for weeks: a failed post opens no box, it goes to the log once for a run of
// failures of the same kind; while the site fails, posts back off; and a profile the game is still
// writing is not posted but looked at again shortly after.

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <chrono>

namespace rostrel {

class Discovery;
class CharacterList;
class ProfileReader;
class GameFolders;
class Uploader;
class MessageSink;

inline constexpr int kUpdateInterval = 5000;

struct WatcherTimings
{
    // How long a profile must have stayed as it is before it is posted, and how soon an entry
    // whose file was still changing is looked at again.
    std::chrono::milliseconds settle { 2000 };
    // The pause in posting after a failed post, doubled after each further failure up to the
    // longest; the first post that works ends it.
    std::chrono::milliseconds firstBackOff { 5000 };
    std::chrono::milliseconds longestBackOff { 5 * 60 * 1000 };
};

class Watcher : public QObject
{
    Q_OBJECT
public:
    Watcher(Discovery& discovery, CharacterList& list, ProfileReader& profiles, GameFolders& folders,
        Uploader& uploader, MessageSink& log, QObject* parent = nullptr);

    void start() { m_updateTimer.start(); }
    void stop()
    {
        m_updateTimer.stop();
        m_relookTimer.stop();
    }
    bool isRunning() const { return m_updateTimer.isActive(); }
    QTimer& UpdateTimer() { return m_updateTimer; }
    void setTimings(const WatcherTimings& timings);

    // One tick. A tick that comes while another one waits for its reply is skipped.
    void UpdateTimer_Timer();

Q_SIGNALS:
    void tickFinished();
    // Uploads have just started failing (not sent again for each further failure).
    void uploadsFailing(const QString& why);

private:
    using SteadyClock = std::chrono::steady_clock;

    // A look at an entry's file that found it changing or too fresh to post.
    struct Look
    {
        int index = -1;
        QString path;
        qint64 size = -1;
        QDateTime modified;
        SteadyClock::time_point at;
    };

    void tick();
    void lookAgain();
    void look(int index);
    bool settled(
        int index, const QString& path, const QString& hostPath, qint64 sizeBefore, const QDateTime& modifiedBefore);
    void post(int index, QByteArray profile, const QDateTime& modified);
    void postFailed(const QString& entry, const QString& url, const QString& why);
    void postWorked(const QString& url);

    Discovery& m_discovery;
    CharacterList& m_list;
    ProfileReader& m_profiles;
    GameFolders& m_folders;
    Uploader& m_uploader;
    MessageSink& m_log;
    QTimer m_updateTimer;
    QTimer m_relookTimer;
    WatcherTimings m_timings;
    bool m_inTick = false;
    Look m_lastLook;
    std::chrono::milliseconds m_backOff { 0 };
    SteadyClock::time_point m_postsResumeAt;
    QString m_failingWith; // the reason of the failures under way; empty while posts work
};

} // namespace rostrel
