#include "upload/logincommand.h"

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/profiles.h"
#include "core/formview.h"
#include "core/seams.h"
#include "upload/uploader.h"
#include "upload/watcher.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {
constexpr std::chrono::milliseconds kShortestRetry { 50 };
} // namespace

LoginCommand::LoginCommand(FormView& view, Uploader& uploader, CharacterList& list, Discovery& discovery,
    ProfileReader& profiles, Watcher& watcher, Dialogs& dialogs, MessageSink& log, std::function<void()> saveSettings,
    QObject* parent)
    : QObject(parent)
    , m_view(view)
    , m_uploader(uploader)
    , m_list(list)
    , m_discovery(discovery)
    , m_profiles(profiles)
    , m_watcher(watcher)
    , m_dialogs(dialogs)
    , m_log(log)
    , m_saveSettings(std::move(saveSettings))
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &LoginCommand::retry);
}

QString LoginCommand::normaliseAddress(const QString& typed)
{
    // Only the space character is trimmed (QString::trimmed would take tabs and line breaks too).
    QString text = typed;
    while (text.startsWith(u' '))
        text.remove(0, 1);
    while (text.endsWith(u' '))
        text.chop(1);
    text.remove(u' ');
    text.replace(u'\\', u'/');
    QString scheme;
    if (text.left(7).toLower() == u"http://") {
        text.remove(0, 7);
    } else if (text.left(8).toLower() == u"https://") {
        scheme = QStringLiteral("https://");
        text.remove(0, 8);
    }
    const qsizetype slash = text.indexOf(u'/');
    if (slash >= 0)
        text.truncate(slash);
    if (!scheme.isEmpty() && !text.isEmpty())
        return scheme + text;
    return text;
}

void LoginCommand::Command1_Click()
{
    login(Mode::Player);
}

void LoginCommand::automaticLogin()
{
    login(Mode::Automatic);
}

void LoginCommand::login(Mode mode)
{
    if (isRunning())
        return; // a login is already under way
    if (m_view.login().isEmpty()) {
        m_dialogs.message(QStringLiteral("Please enter your login name for your website"));
        return;
    }
    if (m_view.password().isEmpty()) {
        m_dialogs.message(QStringLiteral("Please enter your password for your website"));
        return;
    }
    if (m_view.url().isEmpty()) {
        m_dialogs.message(QStringLiteral("Please enter the URL of your website"));
        return;
    }
    stopWaiting();
    m_view.setUrl(normaliseAddress(m_view.url()));
    if (m_saveSettings)
        m_saveSettings();
    attempt(mode);
}

void LoginCommand::retry()
{
    if (!m_waiting)
        return;
    if (isRunning()) {
        m_retryTimer.start(std::chrono::seconds(1)); // the player's own login is under way
        return;
    }
    // A profile the game wrote meanwhile (a new player's first) is the one to post.
    m_discovery.LoadfilesFromHardDrive();
    attempt(Mode::Automatic);
}

void LoginCommand::attempt(Mode mode)
{
    const quint64 thisLogin = m_currentLogin;
    // A post of an abandoned login may still wait further out: what it held is put back after.
    const bool outerRunning = m_running;
    const quint64 outerLogin = m_runningLogin;
    m_running = true;
    m_runningLogin = thisLogin;
    const bool retrying = m_waiting;
    m_list.GetNextListIndexnoupload();
    const int index = m_list.WatchIndex();
    const UploadResult result = m_uploader.post(m_profiles.LoadDataFromHardDrive(index),
        mode == Mode::Player ? Uploader::Reporting::Attended : Uploader::Reporting::Background,
        m_list.profileId(index));
    m_running = outerRunning;
    m_runningLogin = outerLogin;
    if (thisLogin != m_currentLogin)
        return; // logged out, or logged in anew, while the post was under way
    const PostOutcome outcome = judge(result);

    if (mode == Mode::Automatic && outcome.verdict != PostOutcome::Uploaded
        && outcome.verdict != PostOutcome::LoginRefused) {
        // Only trouble that passes is waited out; the site's word on this login or profile stands.
        if (!result || isPassingTrouble(result->status)) {
            waitForSite(outcome);
            return;
        }
        giveUp(u"The site at "_s + m_view.url() + u" did not take the login for "_s + m_view.login() + u" ("_s
            + outcome.why + u"); log in again"_s);
        return;
    }
    if (retrying && outcome.verdict == PostOutcome::LoginRefused) {
        // Nobody may be at the screen: no box, and the program stays logged out until the player
        // logs in again.
        giveUp(u"The site refused the login for "_s + m_view.login() + u"; log in again"_s);
        return;
    }
    stopWaiting();
    m_log.replaceText(result ? result->reply : QString());
    if (outcome.verdict == PostOutcome::LoginRefused) {
        m_dialogs.message(kReplyInvalidLogin);
    } else if (outcome.verdict == PostOutcome::Uploaded) {
        loggedIn();
    } else if (result && result->status >= 400) {
        // What the site said (a 429 says how long to wait) tells the player more than a verdict
        // on the address would.
        m_dialogs.message(u"The site at "_s + m_view.url() + u" answered "_s + describeStatus(*result));
    } else if (result) {
        m_dialogs.message(QStringLiteral("Invalid URL.  Please make sure you've entered it correctly"));
    }
    // A request that failed has shown its own box, which says why.
}

void LoginCommand::giveUp(const QString& line)
{
    stopWaiting();
    m_log.AddMessage(line);
    Q_EMIT loginRefused(line);
}

void LoginCommand::loggedIn()
{
    m_view.minimizeWindow();
    m_watcher.start();
    m_view.setInputsEnabled(false);
    m_view.setLogOutEnabled(true);
    m_log.AddMessage(QStringLiteral("Successfully logged in"));
    Q_EMIT loginWorked();
}

void LoginCommand::waitForSite(const PostOutcome& outcome)
{
    m_backOff = m_backOff.count() == 0 ? m_watcher.timings().firstBackOff
                                       : std::min(m_backOff * 2, m_watcher.timings().longestBackOff);
    // Never a retry straight after a failure, however short the back-off is set.
    const auto wait = std::max({ m_backOff, std::chrono::milliseconds(outcome.retryAfter), kShortestRetry });
    m_retryTimer.start(wait);
    if (m_waiting)
        return;
    m_waiting = true;
    m_view.minimizeWindow();
    m_view.setInputsEnabled(false);
    m_view.setLogOutEnabled(true);
    const QString line = u"Could not reach the site at "_s + m_view.url() + u" to log in ("_s + outcome.why
        + u"); the program keeps trying and logs in once the site answers"_s;
    m_log.AddMessage(line);
    Q_EMIT waitingForSite(line);
}

void LoginCommand::stopWaiting()
{
    ++m_currentLogin;
    m_waiting = false;
    m_retryTimer.stop();
    m_backOff = std::chrono::milliseconds(0);
}

} // namespace rostrel
