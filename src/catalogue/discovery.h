#pragma once
// Finds every "Rostrel.lua" (any case) under the account folder and appends one entry per folder
// holding one. Never removes, renames or re-orders entries, nor changes an existing tick.

#include <QObject>
#include <QSet>
#include <QString>

namespace rostrel {

class GameFolders;
class CharacterList;

class Discovery : public QObject
{
    Q_OBJECT
public:
    Discovery(GameFolders& folders, CharacterList& list, QObject* parent = nullptr);

    // Walks the account folder. Emits walked() afterwards, also when nothing was added.
    // A folder that cannot be listed is passed over; links that lead back into the folders
    // being walked are not followed.
    void LoadfilesFromHardDrive();

    // Entry text for a folder path: every "<account folder>\" and every "\SavedVariables" removed.
    QString FormatIt(const QString& path);

    // Deepest level below the account folder that is listed (the game uses four).
    static constexpr int kMaxDepth = 32;

Q_SIGNALS:
    // The list has entries (show the list) or none (show the notice).
    void walked(bool hasEntries);

private:
    // gamePath is the folder as the game names it (backslashes), hostPath where it lives on
    // this machine, canonicalPath its real location (for spotting links that loop).
    void LoadFilesFromDir(const QString& gamePath, const QString& hostPath, const QString& canonicalPath, int depth);

    GameFolders& m_folders;
    CharacterList& m_list;
    QString m_accountPrefix; // account folder and "\", for the walk in progress
    QSet<QString> m_openFolders; // canonical paths of the folders the walk is inside
};

} // namespace rostrel
