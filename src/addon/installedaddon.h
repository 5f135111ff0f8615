#pragma once
// The addon as the game has it installed: the version its table of contents names, the flavours
// that have it, and the older "Coffrin" addon it replaces. Every game path is built Windows-style
// and reaches the disk through GameFolders::toHost.

#include "catalogue/gamefolders.h"

#include <QString>
#include <optional>
#include <vector>

namespace rostrel {

class MessageSink;

// The installed addon's table of contents, which names its version.
inline const QString kTocName = QStringLiteral("Rostrel.toc");

// A flavour whose addon the update check keeps current.
struct AddonPlace
{
    QString addons; // GameFolders::addonsFolder of the flavour
    QString logPrefix; // names the flavour when the game has several
    bool named = false; // the flavour the registry names
    // The game path of one of the addon's files in this flavour.
    QString file(const QString& name) const { return GameFolders::addonFile(addons, name); }
};

class InstalledAddon
{
public:
    InstalledAddon(GameFolders& folders, MessageSink& log);

    // The version named by the first "Version:" line of the installed Rostrel.toc; absent when
    // there is no such line or the file cannot be read. Makes sure the addon folder exists first.
    std::optional<QString> GetMyVersion();
    // The same in any flavour; the named one's is GetMyVersion.
    std::optional<QString> installedVersion(const AddonPlace& place);

    // The flavour the registry names, and every other flavour that has the addon: one without it
    // is the player's choice and is left alone.
    std::vector<AddonPlace> places();

    // Removes Coffrin.lua, Coffrin.toc and Coffrin.xml from a flavour (in that order, stopping at
    // the first that cannot be removed) when Coffrin.lua carries the service's marker. Silent
    // otherwise.
    void FindOldAddonAndDelete(const AddonPlace& place);

private:
    std::optional<QString> versionInToc(const QString& toc);

    GameFolders& m_folders;
    MessageSink& m_log;
};

} // namespace rostrel
