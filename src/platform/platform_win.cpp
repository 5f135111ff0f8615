// The layers for Windows: the real registry, paths as they are, the Run value.

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

namespace rostrel {

Platform makePlatform(const PlatformConfig& config)
{
    Platform platform;
    platform.registry = registry::makeWindowsRegistry();
    platform.paths = makeNativePathLayer();
    const QString folder = QDir::toNativeSeparators(QFileInfo(config.programPath).absolutePath());
    // The registry's texts are UTF-8; the backend turns them into the system code page.
    platform.autostart = makeRunKeyAutostart(*platform.registry, folder.toStdString());
    platform.browser = makeWindowsBrowserOpener();
    return platform;
}

} // namespace rostrel
