// The layers for Linux and other Unix: the game runs under Wine.

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

namespace rostrel {

Platform makePlatform(const PlatformConfig& config)
{
    const QString prefix = findWinePrefix(config);
    // XDG asks for a relative $XDG_CONFIG_HOME to be ignored.
    const QString configDir = QDir::isAbsolutePath(config.xdgConfigHome)
        ? QDir::cleanPath(config.xdgConfigHome)
        : QDir::cleanPath(config.homeDir + QStringLiteral("/.config"));

    Platform platform;
    platform.registry = registry::makeWineRegistry(QString(prefix + QStringLiteral("/system.reg")).toStdString());
    platform.paths = makeWinePathLayer(prefix);
    platform.autostart
        = makeXdgAutostart(configDir.toStdString(), config.programPath.toStdString(), config.workingDir.toStdString());
    platform.browser = makeDesktopBrowserOpener();
    platform.settingsFolder = config.workingDir;
    platform.abstractSockets = true;
    // A prefix is only named when there is one: a folder without system.reg holds no registry.
    if (QFileInfo(prefix + QStringLiteral("/system.reg")).isFile())
        platform.description = QStringLiteral("Reading the game's settings from Wine prefix ") + prefix;
    else if (!config.winePrefix.isEmpty())
        platform.description = QStringLiteral("No Wine prefix at ") + prefix
            + QStringLiteral(", which WINEPREFIX names: it holds no system.reg");
    else
        platform.description = QStringLiteral("No Wine prefix found: there is none in ~/.wine, and no Lutris or Steam "
                                              "Proton prefix holds the game. Set WINEPREFIX to the game's prefix");
    return platform;
}

} // namespace rostrel
