#pragma once
// The game's folders: the install folder from the registry, the game's flavours, and each one's
// account and addon folders. Nothing is cached: every call reads the registry again.

#include "core/gamekey.h"
#include "core/pathlayer.h"
#include "core/registry.h"
#include "core/seams.h"

#include <QList>
#include <QString>

namespace rostrel {

// One flavour of the game (retail, classic …): a folder with its own WTF\Account and
// Interface\AddOns. A game folder laid out without flavour folders is one flavour with no name.
struct Flavour
{
    QString name; // the flavour folder's name as on disk ("_retail_"); empty without flavour folders
    // Game path ending in "\\". Empty stands for the game folder as the registry names it at the
    // time of use (a flavour without a name always is that).
    QString folder;
    bool named = false; // the one the registry names now
};

inline const QString kGameMissingText = QStringLiteral(
    "We were unable to locate your World of Warcraft Folder.  Apparently WoW is not properly installed."
    "\r\n\r\nRostrelUploader will now exit");
// Exit status of the program when the game folder cannot be found.
inline constexpr int kExitGameMissing = 1;

class GameFolders
{
public:
    GameFolders(
        registry::Registry& registry, const PathLayer& paths, Dialogs& dialogs, ProgramExit& exit, MessageSink& log);

    // The stored install folder, exactly as stored. When it is missing or empty the user is told
    // and the program ends (does not return).
    QString GetWoWDir();
    // Game folder, "\" where it lacks one, "WTF\Account".
    QString GetAccountDir();
    // Game folder, "\" where it lacks one, "Interface\Addons\Rostrel".
    QString addonFolder();
    // Makes sure the addon folder exists; a failure is logged and the program goes on.
    void InitializeFolders();

    // The flavours: when the game folder is a flavour folder ("_classic_era_", a name that starts
    // and ends with "_"), it and every folder beside it whose name does and that holds
    // WTF\Account, "_retail_" first, then by name ignoring case. Otherwise the game folder alone.
    QList<Flavour> flavours();
    // A flavour's folder, ending in "\" (the game folder for a flavour without a folder of its own).
    QString folderOf(const Flavour& flavour);
    QString accountDirOf(const Flavour& flavour) { return folderOf(flavour) + QStringLiteral("WTF\\Account"); }
    QString addonFolderOf(const Flavour& flavour)
    {
        return folderOf(flavour) + QStringLiteral("Interface\\Addons\\Rostrel");
    }

    // A game path on the host's file system.
    QString toHost(const QString& gamePath) const { return m_paths.toHost(gamePath); }
    const PathLayer& paths() const { return m_paths; }

    // Where the game folders' own troubles are reported.
    MessageSink& log() const { return m_log; }

    // Game folder with a trailing "\" (the stored value may lack it).
    QString gameFolderWithSeparator();

private:
    registry::Registry& m_registry;
    const PathLayer& m_paths;
    Dialogs& m_dialogs;
    ProgramExit& m_exit;
    MessageSink& m_log;
};

} // namespace rostrel
