#pragma once
// Builds the per-platform layers and hands them out. Everything a test must redirect comes in
// through PlatformConfig.

#include "platform/backends.h"

#include <QString>
#include <QStringList>
#include <memory>

namespace rostrel {

struct PlatformConfig
{
    QString homeDir; // the user's home folder
    QString winePrefix; // $WINEPREFIX, empty when unset
    QString xdgConfigHome; // $XDG_CONFIG_HOME, empty when unset
    QString programPath; // the running executable
    QString workingDir; // the current folder (settings live here)

    // Reads the real environment.
    static PlatformConfig fromEnvironment();
};

struct Platform
{
    std::unique_ptr<registry::Registry> registry;
    std::unique_ptr<PathLayer> paths;
    std::unique_ptr<Autostart> autostart;
    std::unique_ptr<BrowserOpener> browser;
    // Where settings.txt, noupload.txt and the browser's marker file live.
    QString settingsFolder;
    // A line for the log at start: where HKEY_LOCAL_MACHINE comes from, or that nothing holds it.
    // Empty on Windows.
    QString description;
    // Local sockets take names in Linux's abstract namespace, which leave no file behind.
    bool abstractSockets = false;
};

Platform makePlatform(const PlatformConfig& config);

// The settings folder: the current folder, except where that is Windows' system folder, where
// Windows starts the programs it runs at logon. No settings.txt is ever there, so the program's
// own folder (the one the Run value names) stands in. systemDir is empty where there is none.
QString chooseSettingsFolder(const QString& workingDir, const QString& systemDir, const QString& programDir);

// Finds the Wine prefix that holds the game: $WINEPREFIX when set; otherwise the first of
// winePrefixCandidates whose system.reg holds the game's key. Falls back to ~/.wine when none
// does, whether or not it exists.
QString findWinePrefix(const PlatformConfig& config);
// The prefixes looked through, in order: ~/.wine; Lutris's (its game files, ~/Games/*); Steam's
// Proton ones; Bottles (native, then Flatpak); Heroic; Steam as a Flatpak; Lutris as a Flatpak.
QStringList winePrefixCandidates(const QString& home);

} // namespace rostrel
