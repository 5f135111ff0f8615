#pragma once
// The per-OS layers behind the interfaces in core: registry backends, path layers and folder
// listing, start-up entries and browser openers. makePlatform (platform.h) picks the ones for this
// system; tests build them directly.

#include "core/autostart.h"
#include "core/browser.h"
#include "core/pathlayer.h"
#include "core/registry.h"

#include <QString>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace rostrel {

namespace registry {

// Linux and other Unix: HKEY_LOCAL_MACHINE is the Wine prefix's system.reg. A key under
// "Software\" is looked up under "Software\Wow6432Node\" first (the 32-bit view). Writes and
// deletes rewrite the file atomically, keeping every other line as it was. (A running wineserver
// keeps its own copy and may write it back over ours.)
// The file's text is kept while its identity, size and times stay the same, except when it
// changed less than settleNs before it was read: a same-size write within the file system's time
// step leaves those as they were, so such a file is read again until it has settled.
inline constexpr long long kWineRegistrySettleNs = 2'000'000'000; // FAT's step, the coarsest
std::unique_ptr<Registry> makeWineRegistry(const std::string& systemRegPath);
std::unique_ptr<RegistryCalls> makeWineRegistryCalls(
    const std::string& systemRegPath, long long settleNs = kWineRegistrySettleNs);
// What reads see in a system.reg text: for each key that has a section (the first section of that
// name counts) each of its value names (the last line of that name counts), both upper-cased,
// mapped to the read's status, type and data. For checking that a rewrite changed only what it
// was asked to.
struct WineValue
{
    long status = kSuccess;
    unsigned long type = 0;
    std::string data;
    bool operator==(const WineValue&) const = default;
};
using WineRegistryDump = std::map<std::pair<std::string, std::string>, WineValue>;
WineRegistryDump dumpWineRegistry(const std::string& text);
// Windows: the advapi32 registry, in the 32-bit view.
std::unique_ptr<Registry> makeWindowsRegistry();
std::unique_ptr<RegistryCalls> makeWindowsRegistryCalls();

} // namespace registry

// Windows: paths are used as they are.
std::unique_ptr<PathLayer> makeNativePathLayer();
// Wine: drive letters map through <prefix>/dosdevices/<x>: (C: falls back to <prefix>/drive_c).
std::unique_ptr<PathLayer> makeWinePathLayer(const QString& prefix);

// Folder ids are FNV-1a hashes of what tells folders apart on each system.
inline constexpr quint64 kFolderIdSeed = 14695981039346656037ULL;
inline quint64 mixFolderId(quint64 id, quint64 value)
{
    for (int i = 0; i < 8; ++i) {
        id ^= (value >> (i * 8)) & 0xff;
        id *= 1099511628211ULL;
    }
    return id;
}

// Lists a host folder the way this system does; what both path layers' list() give.
FolderListing listFolder(const QString& hostPath);

// Windows: the machine-wide Run value "RostrelUploader" holding the quoted program path.
// programFolder is the folder of the running executable.
std::unique_ptr<Autostart> makeRunKeyAutostart(registry::Registry& registry, const std::string& programFolder);

// XDG: <configDir>/autostart/RostrelUploader.desktop whose Exec names programPath and whose
// Path= holds workingDir (the folder the settings live in).
std::unique_ptr<Autostart> makeXdgAutostart(
    const std::string& configDir, const std::string& programPath, const std::string& workingDir);

// Windows: the browser associated with ".htm" files, found through a marker file "temp.htm"
// written into markerFolder (the settings folder), and left there.
std::unique_ptr<BrowserOpener> makeWindowsBrowserOpener(const std::string& markerFolder);
// Elsewhere: the desktop's default browser (xdg-open).
std::unique_ptr<BrowserOpener> makeDesktopBrowserOpener();

} // namespace rostrel
