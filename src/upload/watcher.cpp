#include "upload/watcher.h"

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/profiles.h"
#include "core/seams.h"
#include "http/nestingguard.h"
#include "upload/uploader.h"

#include <QFileInfo>
#include <QUrl>
#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {
QString hostOf(const QString& url)
{
    const QUrl parsed(url);
    return parsed.port() < 0 ? parsed.host() : u"%1:%2"_s.arg(parsed.host()).arg(parsed.port());
}
} // namespace

Watcher::Watcher(Discovery& discovery, CharacterList& list, ProfileReader& profiles, Uploader& uploader,
    MessageSink& log, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_discovery(discovery)
    , m_list(list)
    , m_profiles(profiles)
    , m_uploader(uploader)
    , m_log(log)
    , m_clock(clock)
{
    m_updateTimer.setInterval(m_timings.turn);
    connect(&m_updateTimer, &QTimer::timeout, this, &Watcher::UpdateTimer_Timer);
    m_relookTimer.setSingleShot(true);
    m_relookTimer.setInterval(m_timings.settle);
    connect(&m_relookTimer, &QTimer::timeout, this, &Watcher::lookAgain);
    connect(&m_discovery, &Discovery::profileChanged, this, [this](int index) { queueChanged(index); });
}

void Watcher::setTimings(const WatcherTimings& timings)
{
    m_timings = timings;
    m_updateTimer.setInterval(m_timings.turn);
    m_relookTimer.setInterval(m_timings.settle);
}

void Watcher::start()
{
    ++m_run;
    m_backOff = std::chrono::milliseconds(0);
    m_postsResumeAt = {};
    m_refused.clear();
    m_updateTimer.start();
}

void Watcher::stop()
{
    ++m_run;
    m_updateTimer.stop();
    m_relookTimer.stop();
}

void Watcher::UpdateTimer_Timer()
{
    {
        const NestingGuard guard(m_inTick);
        if (!guard.entered())
            return;
        tick();
    }
    Q_EMIT tickFinished();
}

void Watcher::tick()
{
    m_discovery.LoadfilesFromHardDrive();
    // The queue first, each entry once a turn. A turn posts one profile at most; queued entries with
    // nothing to post (a report of another file in the folder, a file still being written) leave
    // the turn to the next, then to the cursor.
    for (const int index : waitingEntries()) {
        if (look(index))
            return;
    }
    m_list.GetNextListIndexnoupload();
    const int index = m_list.WatchIndex();
    if (index < 0)
        return;
    look(index);
}

QList<int> Watcher::waitingEntries()
{
    if (m_changed.isEmpty())
        return {};
    // While posts pause, the cursor goes on, and the changes it finds join the queue.
    const auto now = m_clock.steadyNow();
    if (now < m_postsResumeAt)
        return {};
    m_changed.removeIf([this](int index) { return index >= m_list.count() || !m_list.isChecked(index); });
    QList<int> waiting;
    for (const int index : std::as_const(m_changed)) {
        // A profile the site refused alone backs off on its own.
        const auto refused = m_refused.find(index);
        if (refused == m_refused.end() || now >= refused->second.resumeAt)
            waiting.append(index);
    }
    return waiting;
}

void Watcher::queueChanged(int index, bool first)
{
    if (first) {
        m_changed.removeOne(index);
        m_changed.prepend(index);
    } else if (!m_changed.contains(index)) {
        m_changed.append(index);
    }
}

void Watcher::lookAgain()
{
    if (!isRunning())
        return;
    const NestingGuard guard(m_inTick);
    if (!guard.entered()) {
        m_relookTimer.start(); // a turn waits for its reply; look once it is over
        return;
    }
    // The list may have been rescanned meanwhile: the entry must still be the one looked at.
    const int index = m_lastLook.index;
    if (index >= 0 && index < m_list.count() && m_profiles.profilePath(index) == m_lastLook.path)
        look(index);
}

bool Watcher::look(int index)
{
    const WatchedEntry entry = m_profiles.entry(index);
    const auto fail = [this, &entry](const QString& description) {
        m_changed.removeOne(entry.index); // the cursor comes back to it
        m_log.AddMessage(QStringLiteral("Error in the Update Timer: ") + description
            + QStringLiteral(" while on file: '") + entry.path + QStringLiteral("'"));
        return true;
    };

    const QFileInfo info(entry.hostPath);
    if (!info.exists()) {
        // A realm the player deleted stays in the list for the run: said once, not at every pass.
        m_changed.removeOne(index);
        if (!m_missing.contains(index))
            fail(QStringLiteral("File not found"));
        m_missing.insert(index);
        return true;
    }
    m_missing.remove(index);
    if (!info.isFile())
        return fail(QStringLiteral("Not a file"));
    const QDateTime modified = info.lastModified();
    if (index >= m_list.fileDatesSize())
        return fail(QStringLiteral("Subscript out of range"));
    if (entry.stored == modified || !entry.checked) {
        m_changed.removeOne(index);
        return false;
    }

    // While the site fails, or refuses this profile, the change waits unstamped, queued for the
    // first turns after the pause. Files that could not be read are not posted as empty profiles;
    // their time stays, so they are tried again at their next turn.
    const auto now = m_clock.steadyNow();
    const auto refused = m_refused.find(index);
    if (now < m_postsResumeAt || (refused != m_refused.end() && now < refused->second.resumeAt)) {
        queueChanged(index);
        return false;
    }
    // A file the game is writing is not read (tens of megabytes, every two seconds) until its size
    // and time have stood still for a while.
    if (!stillLongEnough(entry, info.size(), modified))
        return false;
    return post(entry, info.size(), modified);
}

bool Watcher::stillLongEnough(const WatchedEntry& entry, qint64 size, const QDateTime& modified)
{
    const Look now { entry.index, entry.path, size, modified, m_clock.steadyNow() };
    // Old enough by this machine's clock; or, for a file system whose clock runs ahead of ours (a
    // share), found unchanged by a look at least as long ago.
    const bool oldEnough = modified.msecsTo(m_clock.now()) >= m_timings.settle.count();
    const bool seenBefore = m_lastLook.path == entry.path && m_lastLook.size == size && m_lastLook.modified == modified
        && now.at - m_lastLook.at >= m_timings.settle;
    if (oldEnough || seenBefore)
        return true;
    lookAgainSoon(now);
    return false;
}

void Watcher::lookAgainSoon(const Look& now)
{
    // Not a whole pass later: the same entry again shortly, so the change is not held up long; and
    // first at the next turn, should another entry take the look meanwhile.
    if (!(m_lastLook.path == now.path && m_lastLook.size == now.size && m_lastLook.modified == now.modified))
        m_lastLook = now;
    queueChanged(now.index, true);
    m_relookTimer.start();
}

bool Watcher::post(const WatchedEntry& entry, qint64 size, const QDateTime& modified)
{
    const int index = entry.index;
    const quint64 run = m_run;
    const UploadResult result = m_uploader.post(ProfileFile { entry.path, entry.hostPath, size, modified },
        Uploader::Reporting::Background, m_list.profileId(index));
    if (run != m_run) {
        // Sent under a login that has ended: its answer is nobody's, and the profile goes again.
        queueChanged(index);
        return true;
    }
    if (!result && result.errorCode() == ProfileUnreadableError) {
        m_changed.removeOne(index); // tried again at its next turn
        return false;
    }
    if (!result && result.errorCode() == ProfileChangedError) {
        // Read while the game rewrote it: the form was left unfinished, and the file is looked at
        // again once it stands still.
        const QFileInfo after(entry.hostPath);
        lookAgainSoon({ index, entry.path, after.size(), after.lastModified(), m_clock.steadyNow() });
        return false;
    }
    const QString url = m_uploader.uploadAddress(); // https once the post learned it
    const PostOutcome outcome = judge(result);
    // A post that did not go up is among the first to be looked at again, after a new login too.
    if (outcome.verdict != PostOutcome::Uploaded)
        queueChanged(index);
    switch (outcome.verdict) {
    case PostOutcome::Uploaded:
        break;
    case PostOutcome::LoginRefused: {
        // Every further post would carry the same refused password, the whole profile each time.
        stop();
        const QString line = u"The site refused the login for "_s + m_uploader.login() + u"; log in again"_s;
        m_log.AddMessage(line);
        Q_EMIT loginRefused(line);
        return true;
    }
    case PostOutcome::ProfileRefused:
        profileRefused(index, entry.text, url, outcome);
        return true;
    case PostOutcome::SiteFailed:
        postFailed(entry.text, url, outcome);
        return true;
    }
    postWorked(url);
    m_refused.erase(index);
    m_changed.removeOne(index);
    m_log.AddMessage(u"Profile for "_s + entry.text + u" changed and was uploaded"_s);
    m_list.setFileDate(index, modified);
    return true;
}

namespace {
QString failureLine(const QString& entry, const QString& url, const PostOutcome& outcome)
{
    return u"Profile for "_s + entry + u" could not be uploaded to "_s + url + u": "_s + outcome.why
        + u" (will try again)"_s;
}

std::chrono::milliseconds doubled(std::chrono::milliseconds backOff, const WatcherTimings& timings)
{
    return backOff.count() == 0 ? timings.firstBackOff : std::min(backOff * 2, timings.longestBackOff);
}
} // namespace

void Watcher::postFailed(const QString& entry, const QString& url, const PostOutcome& outcome)
{
    m_backOff = doubled(m_backOff, m_timings);
    m_postsResumeAt = m_clock.steadyNow() + std::max<std::chrono::milliseconds>(m_backOff, outcome.retryAfter);
    // A player away for a day would otherwise find the log full of the same line.
    if (outcome.kind == m_failingWith)
        return;
    const bool started = m_failingWith.isEmpty();
    m_failingWith = outcome.kind;
    const QString line = failureLine(entry, url, outcome);
    m_log.AddMessage(line);
    if (started)
        Q_EMIT uploadsFailing(line);
}

void Watcher::profileRefused(int index, const QString& entry, const QString& url, const PostOutcome& outcome)
{
    Trouble& trouble = m_refused[index];
    trouble.backOff = doubled(trouble.backOff, m_timings);
    trouble.resumeAt = m_clock.steadyNow() + std::max<std::chrono::milliseconds>(trouble.backOff, outcome.retryAfter);
    if (outcome.kind == trouble.kind)
        return;
    trouble.kind = outcome.kind;
    const QString line = failureLine(entry, url, outcome);
    m_log.AddMessage(line);
    Q_EMIT uploadsFailing(line);
}

void Watcher::postWorked(const QString& url)
{
    m_backOff = std::chrono::milliseconds(0);
    m_postsResumeAt = {};
    if (m_failingWith.isEmpty())
        return;
    m_failingWith.clear();
    m_log.AddMessage(u"Uploads to "_s + hostOf(url) + u" work again"_s);
}

} // namespace rostrel
