#pragma once
// The "OK" button: checks the inputs, tidies the address down to the host, saves the settings and
// proves the login by posting the next checked profile. "Inventory Uploaded" logs the user in.
//
// The login that start-up runs on its own (a remembered password) works unattended: when the site
// cannot be reached (no network yet, the site down or busy) it opens no box, goes to the tray as a
// login would and tries again with the watcher's back-off until the site answers, walking the
// folders before each try. The site's own word on the login or the profile ends the trying.
//
// Each login starts anew: an answer to a post sent under an earlier login, or before a log-out,
// changes nothing.

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>

namespace rostrel {

class FormView;
class Uploader;
class CharacterList;
class Discovery;
class ProfileReader;
class Dialogs;
class MessageSink;
class Watcher;
struct PostOutcome;

class LoginCommand : public QObject
{
    Q_OBJECT
public:
    LoginCommand(FormView& view, Uploader& uploader, CharacterList& list, Discovery& discovery, ProfileReader& profiles,
        Watcher& watcher, Dialogs& dialogs, MessageSink& log, std::function<void()> saveSettings,
        QObject* parent = nullptr);

    void Command1_Click();
    // The login of start-up, when the settings hold address, login and password.
    void automaticLogin();
    // True while a login is under way, waiting for its reply (a second press is ignored then).
    bool isRunning() const { return m_running && m_runningLogin == m_currentLogin; }
    // True while the automatic login waits for the site to answer.
    bool isWaiting() const { return m_waiting; }
    // "Log Out" ends the waiting; an answer still on its way is then nobody's.
    void stopWaiting();

    // Spaces removed, "\" made "/", "http://" dropped, anything from the first "/" on dropped.
    // An address typed with "https://" keeps that scheme in front of the host.
    static QString normaliseAddress(const QString& typed);

Q_SIGNALS:
    // The automatic login could not reach the site and keeps trying.
    void waitingForSite(const QString& line);
    // The login that ran on its own ended without logging in (the site refused the login or the
    // profile): the player must log in again.
    void loginRefused(const QString& line);
    // A login reached the site and was accepted.
    void loginWorked();

private:
    enum class Mode
    {
        Player,
        Automatic
    };
    void login(Mode mode);
    // Posts the next checked profile and acts on the answer.
    void attempt(Mode mode);
    void retry();
    void loggedIn();
    void waitForSite(const PostOutcome& outcome);
    void giveUp(const QString& line);

    FormView& m_view;
    Uploader& m_uploader;
    CharacterList& m_list;
    Discovery& m_discovery;
    ProfileReader& m_profiles;
    Watcher& m_watcher;
    Dialogs& m_dialogs;
    MessageSink& m_log;
    std::function<void()> m_saveSettings;
    // Which login is current, and which one the post under way belongs to.
    quint64 m_currentLogin = 0;
    quint64 m_runningLogin = 0;
    bool m_running = false;
    bool m_waiting = false;
    QTimer m_retryTimer;
    std::chrono::milliseconds m_backOff { 0 };
};

} // namespace rostrel
