#pragma once
// Finds every profile file (its name in any case) under each flavour's account folder and appends one entry
// per folder holding one, flavour by flavour. Never removes, renames or re-orders entries, nor
// changes an existing tick. With several flavours an entry's text starts with its flavour's name.
//
// The first walk lists the whole tree; later walks re-list only the folders the system reports
// changed, with the same result as listing everything again. Where changes cannot be reported,
// those folders (or the whole tree) are listed on every walk.

#include "catalogue/characterlist.h"
#include "catalogue/gamefolders.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <memory>
#include <vector>

namespace rostrel {

class FolderWatch;
class FolderTree;

class Discovery : public QObject
{
    Q_OBJECT
public:
    // Learns of changes from the system's change reports.
    Discovery(GameFolders& folders, CharacterList& list, QObject* parent = nullptr);
    // Learns of changes from watch; without one, every walk lists the whole tree.
    Discovery(GameFolders& folders, CharacterList& list, std::unique_ptr<FolderWatch> watch, QObject* parent = nullptr);
    ~Discovery() override;

    // Walks the account folder. Emits walked() afterwards, also when nothing was added.
    // A folder that cannot be listed is passed over; links that lead back into the folders
    // being walked are not followed.
    void LoadfilesFromHardDrive();

    // The kept listing, for measurements: folders kept, and those listed on every walk for want
    // of a watch (0 without a kept listing).
    int keptFolders() const;
    int unwatchedFolders() const;

    // Deepest level below the account folder that is listed (the game uses four).
    static constexpr int kMaxDepth = 32;

Q_SIGNALS:
    // The list has entries (show the list) or none (show the notice).
    void walked(bool hasEntries);
    // The system reported a change in the folder of the entry's profile, or a walk found the entry
    // new since the first; in the order the reports came. Not sent where changes go unreported.
    void profileChanged(int index);

private:
    // gamePath is the folder as the game names it (backslashes), hostPath where it lives on
    // this machine, canonicalPath its real location (for spotting links that loop).
    void LoadFilesFromDir(const QString& gamePath, const QString& hostPath, const QString& canonicalPath, int depth);
    void addEntry(const QString& gamePath);
    void profileFolderChanged(const Flavour& flavour, const QString& gamePath);
    // One flavour's account folder and its kept listing.
    struct KeptTree
    {
        QString accountDir;
        std::unique_ptr<FolderTree> tree;
    };
    void walkFlavour(const QString& accountDir, KeptTree& kept);
    // Brings the kept listing up to date (or makes it) and appends what it holds that is new.
    void walkKept(const QString& accountDir, const QString& hostRoot, const QString& canonicalRoot, KeptTree& kept);
    bool watchable(const QString& hostRoot, const QString& canonicalRoot, const KeptTree& kept);

    GameFolders& m_folders;
    CharacterList& m_list;
    std::unique_ptr<FolderWatch> m_watch;
    std::vector<KeptTree> m_trees; // one per flavour of the last walk
    QSet<QString> m_unwatchableRoots; // roots on file systems that report no changes
    bool m_unwatchableReported = false;
    Flavour m_flavour; // the one being walked
    bool m_reportNew = false; // entries the walk appends now are news of a change
    QSet<QString> m_openFolders; // canonical paths of the folders the walk is inside
};

} // namespace rostrel
