#include "addon/addonupdater.h"
#include "app/desktopseams.h"
#include "app/form1.h"
#include "app/program.h"
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

    rostrel::Program program(std::move(services));
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
