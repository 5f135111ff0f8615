#pragma once
// The program as a whole: builds the subsystems around the main window, runs the start-up
// sequence and owns the slow timer that repeats the addon check.

#include "core/seams.h"
#include "platform/platform.h"

#include <QObject>
#include <QTimer>
#include <memory>

class QNetworkAccessManager;

namespace rostrel {

class Form1;
class MessageLog;
class CharacterList;
class GameFolders;
class Discovery;
class ProfileReader;
class SettingsFiles;
class StartupEntry;
class RequestFactory;
class RequestSource;
class Uploader;
class LoginCommand;
class Watcher;
class AddonUpdater;
class TrayIcon;

// Ticks of Timer1 (one a second) between two addon checks: the check runs when the count is
// above this, about every 30 minutes.
inline constexpr int kCheckTickLimit = 1800;

struct ProgramServices
{
    Platform platform;
    Dialogs* dialogs = nullptr;
    ProgramExit* exit = nullptr;
    FolderPicker* folderPicker = nullptr; // the game folder by hand, where the registry names none
    const Clock* clock = nullptr;
    QNetworkAccessManager* network = nullptr;
    // Optional: hands out request objects (the default uses network).
    RequestFactory* requests = nullptr;
    QString settingsFolder; // settings.txt and noupload.txt live here
    QString fileHostBase; // "http://host/files/Rostrel/"
    QString demoSite; // preset in the address box
    bool trayAvailable = true;
};

class Program : public QObject
{
    Q_OBJECT
public:
    explicit Program(ProgramServices services, QObject* parent = nullptr);
    ~Program() override;

    // The start-up sequence; afterwards the window is shown unless a login already hid it.
    void Form_Load();
    void showAtStart();

    void Command2_Click();
    void Command3_Click();
    void Timer1_Timer();
    // Timer1 wakes at the tick that runs the check and counts the ticks before it then.
    void Timer1_Wake();

    int CheckTicks() const { return m_checkTicks; }
    void setCheckTicks(int ticks) { m_checkTicks = ticks; }

    Form1& form() { return *m_form; }
    MessageLog& log() { return *m_log; }
    CharacterList& characters() { return *m_list; }
    Watcher& watcher() { return *m_watcher; }
    LoginCommand& loginCommand() { return *m_login; }
    AddonUpdater& addon() { return *m_addon; }
    TrayIcon& tray() { return *m_tray; }
    QTimer& Timer1() { return m_timer1; }

private:
    void scheduleTimer1();

    ProgramServices m_services;
    std::unique_ptr<RequestFactory> m_ownFactory;
    std::unique_ptr<RequestSource> m_requests;
    std::unique_ptr<Dialogs> m_addonDialogs;
    std::unique_ptr<Form1> m_form;
    std::unique_ptr<MessageLog> m_log;
    std::unique_ptr<CharacterList> m_list;
    std::unique_ptr<GameFolders> m_folders;
    std::unique_ptr<Discovery> m_discovery;
    std::unique_ptr<ProfileReader> m_profiles;
    std::unique_ptr<SettingsFiles> m_settings;
    std::unique_ptr<StartupEntry> m_startup;
    std::unique_ptr<Uploader> m_uploader;
    std::unique_ptr<Watcher> m_watcher;
    std::unique_ptr<LoginCommand> m_login;
    std::unique_ptr<AddonUpdater> m_addon;
    std::unique_ptr<TrayIcon> m_tray;
    QTimer m_timer1;
    int m_checkTicks = 0;
};

// The application icon (16, 32 and 48 pixels).
class QIcon applicationIcon();

} // namespace rostrel
