// The layers for Linux and other Unix: the game runs under Wine.

#include "platform/platform.h"

#include <QDir>

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
    platform.description = QStringLiteral("Wine prefix ") + prefix;
    platform.settingsFolder = config.workingDir;
    return platform;
}

} // namespace rostrel
