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
    QString folder; // game path ending in "\\", as the registry leads to it at the time of the call
    bool named = false; // the one the registry names now

    QString accountDir() const; // its "WTF\\Account"
};

// Where an entry's profile lives, for the whole run: its flavour's name and its folder relative to
// that flavour's account folder, "\\SavedVariables" removed. The flavour's own folder is worked out
// from the registry whenever it is used, so a game moved while the program runs is followed.
struct EntryPlace
{
    QString flavourName;
    QString relative;

    // The entry's text when the game has several flavours, and its line in noupload.txt then.
    QString withFlavour() const { return flavourName.isEmpty() ? relative : flavourName + u'\\' + relative; }
};

inline const QString kGameMissingText = QStringLiteral(
    "We were unable to locate your World of Warcraft Folder.  Apparently WoW is not properly installed."
    "\r\n\r\nRostrelUploader will now exit");
// Exit status of the program when the game folder cannot be found.
inline constexpr int kExitGameMissing = 1;

class GameFolders
{
public:
    // With a picker, a game the registry does not name can be chosen by hand and is remembered in
    // the settings folder.
    GameFolders(registry::Registry& registry, const PathLayer& paths, Dialogs& dialogs, ProgramExit& exit,
        MessageSink& log, FolderPicker* picker = nullptr, QString settingsFolder = {});

    // The stored install folder, exactly as stored; where the registry names none, the folder
    // chosen by hand. When there is neither the user is told, may choose one, and otherwise the
    // program ends (does not return).
    QString GetWoWDir();
    // A flavour's "WTF\Account" (the folder the registry names, for no name).
    QString GetAccountDir(const QString& flavourName = {});
    // A flavour's "Interface\AddOns", no trailing "\". For the flavour the registry names, spelled
    // from the folder as stored, which may end in a backslash of its own.
    QString addonsFolder(const QString& flavourName = {});
    // A flavour's "Interface\AddOns\Rostrel".
    QString addonFolder(const QString& flavourName = {});
    // One of the addon's files, in the addons folder given.
    static QString addonFile(const QString& addonsFolder, const QString& name);
    // Makes sure the addon folder exists; a failure is logged and the program goes on.
    void InitializeFolders();

    // The flavours, "_retail_" first, then by name ignoring case. A folder is one when its name
    // has the "_x_" form and it holds WTF\Account, or it is the one the registry names and sits
    // beside such a folder. Otherwise the game folder alone, as a flavour without a name.
    QList<Flavour> flavours();
    // A flavour's folder, ending in "\": beside the folder the registry names, or that one itself.
    QString folderOf(const QString& flavourName);
    // Where a folder found below a flavour's account folder stands in the list: its path with every
    // "<account folder>\\" and every "\\SavedVariables" removed.
    EntryPlace FormatIt(const Flavour& flavour, const QString& gamePath);
    // The profile of an entry: its account folder, "\", its folder, "\SavedVariables\Rostrel.lua".
    QString profilePath(const EntryPlace& place);
    // Whether a file's name is the profile's, in any case.
    static bool isProfileName(const QString& fileName);
    // The profile's file name, as the game writes it.
    static QString profileName();

    // A game path on the host's file system.
    QString toHost(const QString& gamePath) const { return m_paths.toHost(gamePath); }
    const PathLayer& paths() const { return m_paths; }

    // Where the game folders' own troubles are reported.
    MessageSink& log() const { return m_log; }

private:
    // Game folder with a trailing "\" (the stored value may lack it).
    QString gameFolderWithSeparator();
    // The game folder chosen by hand, remembered or asked for; does not return without one.
    QString chosenGameFolder();
    // The folder to remember for a chosen one: itself when it holds WTF, else its flavour folder
    // holding WTF\Account ("_retail_" first); empty when it holds no game.
    QString gameFolderIn(const QString& chosen) const;

    registry::Registry& m_registry;
    const PathLayer& m_paths;
    Dialogs& m_dialogs;
    ProgramExit& m_exit;
    MessageSink& m_log;
    FolderPicker* m_picker;
    QString m_settingsFolder;
    QString m_chosen; // the folder chosen by hand, once found for this run
};

// The file in the settings folder remembering the game folder chosen by hand.
inline const QString kGameFolderFile = QStringLiteral("gamefolder.txt");

} // namespace rostrel
