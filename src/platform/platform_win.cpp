// The layers for Windows: the real registry, paths as they are, the Run value.

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace rostrel {
namespace {

QString systemFolder()
{
    wchar_t path[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return {};
    return QString::fromWCharArray(path, static_cast<qsizetype>(length));
}

} // namespace

Platform makePlatform(const PlatformConfig& config)
{
    Platform platform;
    platform.registry = registry::makeWindowsRegistry();
    platform.paths = makeNativePathLayer();
    const QString folder = QDir::toNativeSeparators(QFileInfo(config.programPath).absolutePath());
    platform.settingsFolder = QDir::toNativeSeparators(chooseSettingsFolder(config.workingDir, systemFolder(), folder));
    // The registry's texts are UTF-8; the backend turns them into the system code page.
    platform.autostart = makeRunKeyAutostart(*platform.registry, folder.toStdString());
    platform.browser = makeWindowsBrowserOpener(platform.settingsFolder.toStdString());
    return platform;
}

} // namespace rostrel
