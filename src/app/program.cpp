#include "app/program.h"

#include <algorithm>

#include "addon/addonupdater.h"
#include "app/form1.h"
#include "app/messagelog.h"
#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
#include "catalogue/profiles.h"
#include "http/xmlhttp.h"
#include "settings/settingsfiles.h"
#include "settings/startup.h"
#include "tray/trayicon.h"
#include "upload/logincommand.h"
#include "upload/uploader.h"
#include "upload/watcher.h"

#include <QIcon>

#include <algorithm>

// Resources of a static library must be registered by hand.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace rostrel {

QIcon applicationIcon()
{
    initIconResources();
    QIcon icon;
    for (int size : { 16, 32, 48 })
        icon.addFile(QStringLiteral(":/icons/rostrel-%1.png").arg(size), QSize(size, size));
    return icon;
}

Program::Program(ProgramServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
{
    auto& s = m_services;
    RequestFactory* factory = s.requests;
    if (!factory) {
        m_ownFactory = std::make_unique<NetworkRequestFactory>(*s.network);
        factory = m_ownFactory.get();
    }

    m_form = std::make_unique<Form1>(s.demoSite);
    m_form->setWindowIcon(applicationIcon());
    m_form->setTrayAvailable(s.trayAvailable);
    m_log = std::make_unique<MessageLog>(*s.clock);
    m_list = std::make_unique<CharacterList>();
    m_form->Characters->setModel(m_list.get());
    m_folders = std::make_unique<GameFolders>(
        *s.platform.registry, *s.platform.paths, *s.dialogs, *s.exit, *m_log, s.folderPicker, s.settingsFolder);
    m_discovery = std::make_unique<Discovery>(*m_folders, *m_list);
    m_profiles = std::make_unique<ProfileReader>(*m_folders, *m_list, *m_log);
    m_settings = std::make_unique<SettingsFiles>(*m_form, *m_list, *s.dialogs, s.settingsFolder);
    m_startup = std::make_unique<StartupEntry>(*s.platform.autostart, *m_form, *m_log);
    m_requests = std::make_unique<RequestSource>(*factory, *s.dialogs, *s.platform.browser, *s.exit);
    m_uploader = std::make_unique<Uploader>(*m_form, *m_requests, *s.dialogs, *m_log);
    m_watcher = std::make_unique<Watcher>(*m_discovery, *m_list, *m_profiles, *m_uploader, *m_log, *s.clock);
    m_login = std::make_unique<LoginCommand>(*m_form, *m_uploader, *m_list, *m_discovery, *m_profiles, *m_watcher,
        *s.dialogs, *m_log, [this] { m_settings->SaveSettings(); });
    // Without a file host of its own the build takes the addon from the guild site typed in the
    // address box; the preset address is an example, not the player's site.
    FileHostSource fileHost = s.fileHostBase;
    if (s.fileHostBase.isEmpty()) {
        fileHost = FileHostSource([this] {
            const QString site = LoginCommand::normaliseAddress(m_form->url());
            return site.isEmpty() || site == m_services.demoSite ? QString() : fileHostBase(site);
        });
    }
    // What the update check announces (at start-up, at logon, with nobody at the screen) stands while
    // the program goes on: the tray icon, the window and the login never wait behind its box.
    m_addonDialogs = std::make_unique<NonBlockingDialogs>(*s.dialogs);
    m_addon = std::make_unique<AddonUpdater>(*m_folders, *m_requests, *m_addonDialogs, *m_log, std::move(fileHost));
    m_tray = std::make_unique<TrayIcon>(*m_form, applicationIcon());

    connect(m_watcher.get(), &Watcher::uploadsFailing, m_tray.get(), &TrayIcon::notify);
    connect(m_login.get(), &LoginCommand::waitingForSite, m_tray.get(), &TrayIcon::notify);
    // A refused login stops the posting as "Log Out" does; the tray says so.
    const auto refused = [this](const QString& line) {
        Command3_Click();
        m_tray->notify(line);
    };
    connect(m_watcher.get(), &Watcher::loginRefused, this, refused);
    connect(m_login.get(), &LoginCommand::loginRefused, this, refused);
    // A start-up check that could not reach the guild site serving the addon runs again then.
    connect(m_login.get(), &LoginCommand::loginWorked, this, [this] { m_addon->loggedIn(); });
    connect(m_log.get(), &MessageLog::textChanged, m_form.get(), &Form1::showLogText);
    connect(m_discovery.get(), &Discovery::walked, m_form.get(), &Form1::showCharacters);
    connect(m_form->Command1, &QPushButton::clicked, this, [this] { m_login->Command1_Click(); });
    connect(m_form->Command2, &QPushButton::clicked, this, &Program::Command2_Click);
    connect(m_form->Command3, &QPushButton::clicked, this, &Program::Command3_Click);
    connect(m_form->RememberPassword, &QCheckBox::toggled, this, [this] { m_settings->RememberPassword_Click(); });
    connect(m_form->StartWithWindows, &QCheckBox::toggled, this, [this] { m_startup->StartWithWindows_Click(); });

    // A tick that only counts needs no wake-up: the timer sleeps until the tick that checks, and
    // the ticks in between are counted when it wakes. In the tray, the program then wakes only for
    // the watcher and for the check every half hour.
    m_timer1.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_timer1, &QTimer::timeout, this, &Program::Timer1_Wake);
    scheduleTimer1();
    m_timer1.start();
}

Program::~Program()
{
    // The model outlives nothing that shows it.
    if (m_form)
        m_form->Characters->setModel(nullptr);
}

void Program::Form_Load()
{
    if (!m_services.platform.description.isEmpty())
        m_log->AddMessage(m_services.platform.description);
    m_discovery->LoadfilesFromHardDrive();
    m_list->CompareToHardDrive(m_services.settingsFolder);
    if (m_settings->LoadSettings())
        m_login->automaticLogin();
    m_list->setWatchIndex(-1);
    m_list->resetFileDates();
    // Started at logon before the network is up: the check's failures then go to the log, as the
    // login's do, instead of boxes that hold up the start.
    m_addon->CheckVersionAndDownload(
        m_login->isWaiting() ? AddonUpdater::CheckMode::Background : AddonUpdater::CheckMode::Attended);
    m_tray->InitTrayIcon();
    if (m_services.trayAvailable)
        m_tray->AddTrayIcon();
    if (m_startup->IsInStartup())
        m_form->setStartWithWindows(true);
}

void Program::showAtStart()
{
    if (m_form->windowState() & Qt::WindowMinimized) {
        if (m_services.trayAvailable)
            return; // a login at start-up already put the program in the tray
        m_form->showMinimized();
        return;
    }
    m_form->show();
}

void Program::Command2_Click()
{
    m_tray->RemoveTrayIcon();
    m_services.exit->exitNow(0);
}

void Program::Command3_Click()
{
    m_login->stopWaiting();
    m_form->Login->setEnabled(true);
    m_watcher->stop();
    m_form->URL->setEnabled(true);
    m_form->Password->setEnabled(true);
    m_form->Command1->setEnabled(true);
    m_form->Command3->setEnabled(false);
}

void Program::Timer1_Timer()
{
    if (m_checkTicks > kCheckTickLimit) {
        if (m_addon->isChecking())
            return; // the check still running from the last turn; try again next tick
        m_checkTicks = 0;
        m_addon->CheckVersionAndDownload(AddonUpdater::CheckMode::Background);
    }
    ++m_checkTicks;
}

void Program::Timer1_Wake()
{
    // The timer's interval is the number of ticks it slept through, this one included.
    const auto ticks = std::chrono::duration_cast<std::chrono::seconds>(m_timer1.intervalAsDuration()).count();
    m_checkTicks += static_cast<int>(ticks) - 1;
    Timer1_Timer();
    scheduleTimer1();
}

void Program::scheduleTimer1()
{
    // The check runs on the tick that finds the count above the limit; a check still running
    // when it comes is looked at again on the next tick.
    m_timer1.setInterval(std::chrono::seconds(std::max(1, kCheckTickLimit + 2 - m_checkTicks)));
}

} // namespace rostrel
