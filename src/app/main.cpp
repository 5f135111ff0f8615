#include "addon/addonupdater.h"
#include "app/desktopseams.h"
#include "app/form1.h"
#include "app/program.h"
#include "app/singleinstance.h"
#include "catalogue/characterlist.h"
#include "core/config.h"
#include "tray/trayicon.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QSessionManager>
#include <QSystemTrayIcon>

Q_LOGGING_CATEGORY(lcApp, "rostrel.app", QtInfoMsg)

int main(int argc, char* argv[])
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("RostrelUploader"));
    QApplication::setQuitOnLastWindowClosed(false);
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    QNetworkAccessManager network;
    rostrel::WidgetDialogs dialogs;
    rostrel::ProcessExit exit;
    rostrel::WidgetFolderPicker folderPicker;
    rostrel::SystemClock clock;

    rostrel::ProgramServices services;
    const auto config = rostrel::PlatformConfig::fromEnvironment();
    services.platform = rostrel::makePlatform(config);
    services.dialogs = &dialogs;
    services.exit = &exit;
    services.folderPicker = &folderPicker;
    services.clock = &clock;
    services.network = &network;
    services.settingsFolder = services.platform.settingsFolder;
    services.fileHostBase = rostrel::fileHostBaseFromEnvironment();
    services.demoSite = QString::fromUtf8(rostrel::config::kDemoSite);
    services.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();

    // A second start in the same folder (the start at logon, then a double click) hands over to the
    // program already running there.
    rostrel::SingleInstance instance(services.settingsFolder, services.platform.abstractSockets);
    if (!instance.claim()) {
        qCInfo(lcApp) << "already running in" << services.settingsFolder << "- its window is shown instead";
        return 0;
    }
    exit.setBeforeExit([&instance] { instance.release(); });

    rostrel::Program program(std::move(services));
    QObject::connect(
        &instance, &rostrel::SingleInstance::showRequested, &program, [&program] { program.tray().showMainWindow(); });
    dialogs.setParent(&program.form());
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &program,
        [&program](QSessionManager&) { program.form().setSessionEnding(); });
    QObject::connect(&program.form(), &rostrel::Form1::sessionEndingClose, &app, [&program] {
        program.tray().RemoveTrayIcon();
        QApplication::quit();
    });

    program.Form_Load();
    program.showAtStart();
    qCInfo(lcApp) << "started in" << sinceStart.elapsed() << "ms with" << program.characters().count() << "entries";
    return QApplication::exec();
}
