#pragma once
// The change watcher: while logged in, every five seconds one checked entry is looked at, taking
// the checked entries in turn, and its profile is posted again when its file's last-modified time
// differs from the one recorded. Entries whose folder the system reported changed, and those whose
// post failed, are looked at first, in the order they changed; the turns go on round the list for
// changes that were not reported.
//
// It works unattended, for weeks: a failed post opens no box, it goes to the log once for a run of
// failures of the same kind; while the site fails, posts back off, and while the site refuses one
// profile alone, that profile backs off and the others go on; a refused login stops the posting;
// and a profile the game is still writing is not read but looked at again shortly after.

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <chrono>
#include <map>

namespace rostrel {

class Discovery;
class CharacterList;
class ProfileReader;
class Uploader;
class MessageSink;
class Clock;
struct PostOutcome;
struct WatchedEntry;

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
    // Between two turns.
    std::chrono::milliseconds turn { kUpdateInterval };
};

class Watcher : public QObject
{
    Q_OBJECT
public:
    Watcher(Discovery& discovery, CharacterList& list, ProfileReader& profiles, Uploader& uploader, MessageSink& log,
        const Clock& clock, QObject* parent = nullptr);

    // A login starts the watcher afresh: no pause or back-off is left from before. An answer to a
    // post sent before a stop (or a new start) changes nothing.
    void start();
    void stop();
    bool isRunning() const { return m_updateTimer.isActive(); }
    void setTimings(const WatcherTimings& timings);
    const WatcherTimings& timings() const { return m_timings; }

    // One tick. A tick that comes while another one waits for its reply is skipped.
    void UpdateTimer_Timer();

Q_SIGNALS:
    void tickFinished();
    // Uploads have just started failing (not sent again for each further failure), or the site
    // has started refusing one profile.
    void uploadsFailing(const QString& why);
    // The site refused the login: the watcher has stopped, and the player must log in again.
    void loginRefused(const QString& line);

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
    // True when the look took the turn: it posted the profile, or found the file missing or unfit.
    bool look(int index);
    // The queued entries that may be looked at now, ahead of the cursor's.
    QList<int> waitingEntries();
    // Puts an entry on that queue, at its end, or first when it was just found still changing.
    void queueChanged(int index, bool first = false);
    // Whether the file, by its size and time alone, has stood still long enough to be read.
    bool stillLongEnough(const WatchedEntry& entry, qint64 size, const QDateTime& modified);
    void lookAgainSoon(const Look& now);
    // Posts the profile as it is read; false when it went nowhere (unreadable, or rewritten meanwhile).
    bool post(const WatchedEntry& entry, qint64 size, const QDateTime& modified);
    void postFailed(const QString& entry, const QString& url, const PostOutcome& outcome);
    void profileRefused(int index, const QString& entry, const QString& url, const PostOutcome& outcome);
    void postWorked(const QString& url);

    // A profile the site refuses on its own backs off by itself.
    struct Trouble
    {
        std::chrono::milliseconds backOff { 0 };
        SteadyClock::time_point resumeAt;
        QString kind;
    };

    Discovery& m_discovery;
    CharacterList& m_list;
    ProfileReader& m_profiles;
    Uploader& m_uploader;
    MessageSink& m_log;
    const Clock& m_clock;
    QTimer m_updateTimer;
    QTimer m_relookTimer;
    WatcherTimings m_timings;
    bool m_inTick = false;
    quint64 m_run = 0; // counts starts and stops
    Look m_lastLook;
    std::chrono::milliseconds m_backOff { 0 };
    SteadyClock::time_point m_postsResumeAt;
    QString m_failingWith; // the kind of the failures under way; empty while posts work
    std::map<int, Trouble> m_refused; // by entry
    QSet<int> m_missing; // entries whose missing file has been logged
    QList<int> m_changed; // entries to look at before the cursor's, each once
};

} // namespace rostrel
