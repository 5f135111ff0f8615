#include "upload/watcher.h"

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
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
// How much of a site's unexpected answer the log shows.
constexpr qsizetype kShownAnswer = 200;

QString shownAnswer(const QString& reply)
{
    QString line = reply.section(u'\n', 0, 0);
    if (line.endsWith(u'\r'))
        line.chop(1);
    line.truncate(kShownAnswer);
    // A binary answer would put control characters into the log.
    for (QChar& c : line) {
        if (!c.isPrint())
            c = u'?';
    }
    return line;
}

QString hostOf(const QString& url)
{
    const QUrl parsed(url);
    return parsed.port() < 0 ? parsed.host() : u"%1:%2"_s.arg(parsed.host()).arg(parsed.port());
}
} // namespace

Watcher::Watcher(Discovery& discovery, CharacterList& list, ProfileReader& profiles, GameFolders& folders,
    Uploader& uploader, MessageSink& log, QObject* parent)
    : QObject(parent)
    , m_discovery(discovery)
    , m_list(list)
    , m_profiles(profiles)
    , m_folders(folders)
    , m_uploader(uploader)
    , m_log(log)
{
    m_updateTimer.setInterval(kUpdateInterval);
    connect(&m_updateTimer, &QTimer::timeout, this, &Watcher::UpdateTimer_Timer);
    m_relookTimer.setSingleShot(true);
    m_relookTimer.setInterval(m_timings.settle);
    connect(&m_relookTimer, &QTimer::timeout, this, &Watcher::lookAgain);
}

void Watcher::setTimings(const WatcherTimings& timings)
{
    m_timings = timings;
    m_relookTimer.setInterval(m_timings.settle);
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
    m_list.GetNextListIndexnoupload();
    const int index = m_list.WatchIndex();
    if (index < 0)
        return;
    look(index);
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

void Watcher::look(int index)
{
    const auto fail = [this](const QString& description, const QString& path) {
        m_log.AddMessage(QStringLiteral("Error in the Update Timer: ") + description
            + QStringLiteral(" while on file: '") + path + QStringLiteral("'"));
    };

    const QString path = m_profiles.profilePath(index);
    const QString hostPath = m_folders.toHost(path);
    const QFileInfo info(hostPath);
    if (!info.exists()) {
        fail(QStringLiteral("File not found"), path);
        return;
    }
    if (!info.isFile()) {
        fail(QStringLiteral("Not a file"), path);
        return;
    }
    const QDateTime modified = info.lastModified();
    if (index >= m_list.fileDatesSize()) {
        fail(QStringLiteral("Subscript out of range"), path);
        return;
    }
    if (m_list.fileDate(index) == modified)
        return;

    // Entries unchecked meanwhile and files that could not be read are not posted as empty
    // profiles; their time stays, so they are tried again at their next turn.
    if (!m_list.isChecked(index))
        return;
    // While the site fails the change waits, unstamped, for a turn after the pause.
    if (SteadyClock::now() < m_postsResumeAt)
        return;
    QByteArray profile = m_profiles.LoadDataFromHardDrive(index);
    if (profile.isEmpty() && info.size() > 0)
        return;
    if (!settled(index, path, hostPath, info.size(), modified))
        return;
    post(index, std::move(profile), modified);
}

bool Watcher::settled(
    int index, const QString& path, const QString& hostPath, qint64 sizeBefore, const QDateTime& modifiedBefore)
{
    // The game rewrites a profile on logout, reload and loading screens, taking seconds for a big
    // one; bytes read meanwhile are a prefix or a mix. They count only when the file stood still
    // across the read and had already stood still for a while before it.
    const QFileInfo after(hostPath);
    const Look now { index, path, after.size(), after.lastModified(), SteadyClock::now() };
    const bool stoodStill = after.exists() && now.size == sizeBefore && now.modified == modifiedBefore;
    // Old enough by this machine's clock; or, for a file system whose clock runs ahead of ours (a
    // share), found unchanged by a look at least as long ago.
    const bool oldEnough = modifiedBefore.msecsTo(QDateTime::currentDateTimeUtc()) >= m_timings.settle.count();
    const bool seenBefore = m_lastLook.path == path && m_lastLook.size == now.size
        && m_lastLook.modified == now.modified && now.at - m_lastLook.at >= m_timings.settle;
    if (stoodStill && (oldEnough || seenBefore))
        return true;
    // Not a whole pass later: the same entry again shortly, so the change is not held up long.
    if (!(m_lastLook.path == path && m_lastLook.size == now.size && m_lastLook.modified == now.modified))
        m_lastLook = now;
    m_relookTimer.start();
    return false;
}

void Watcher::post(int index, QByteArray profile, const QDateTime& modified)
{
    const QString url = m_uploader.uploadAddress();
    const UploadResult result = m_uploader.post(std::move(profile), Uploader::Reporting::Background);
    const QString entry = m_list.text(index);
    QString why;
    if (!result)
        why = result.error();
    else if (result->status >= 400)
        why = u"the site answered HTTP %1"_s.arg(result->status);
    else if (result->reply != kReplyUploaded)
        why = u"the site answered \""_s + shownAnswer(result->reply) + u'"';
    if (!why.isEmpty()) {
        postFailed(entry, url, why);
        return;
    }
    postWorked(url);
    m_log.AddMessage(u"Profile for "_s + entry + u" changed and was uploaded"_s);
    m_list.setFileDate(index, modified);
}

void Watcher::postFailed(const QString& entry, const QString& url, const QString& why)
{
    m_backOff = m_backOff.count() == 0 ? m_timings.firstBackOff : std::min(m_backOff * 2, m_timings.longestBackOff);
    m_postsResumeAt = SteadyClock::now() + m_backOff;
    // A player away for a day would otherwise find the log full of the same line.
    if (why == m_failingWith)
        return;
    const bool started = m_failingWith.isEmpty();
    m_failingWith = why;
    const QString line
        = u"Profile for "_s + entry + u" could not be uploaded to "_s + url + u": "_s + why + u" (will try again)"_s;
    m_log.AddMessage(line);
    if (started)
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
