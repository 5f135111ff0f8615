#pragma once
// Finds every "Rostrel.lua" (any case) under the account folder and appends one entry per folder
// holding one. Never removes, renames or re-orders entries, nor changes an existing tick.

#include <QObject>
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
    void LoadfilesFromHardDrive();

    // Entry text for a folder path: every "<account folder>\" and every "\SavedVariables" removed.
    QString FormatIt(const QString& path);

Q_SIGNALS:
    // The list has entries (show the list) or none (show the notice).
    void walked(bool hasEntries);

private:
    void LoadFilesFromDir(const QString& gamePath, const QString& hostPath, int depth);

    GameFolders& m_folders;
    CharacterList& m_list;
    QString m_accountDir; // for the walk in progress
};

} // namespace rostrel
