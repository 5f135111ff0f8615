#pragma once
// The account tree's folders as last listed, kept between walks and brought up to date from the
// system's change reports, so that a turn re-lists only the folders that changed. Folders whose
// changes cannot be reported (no watch to be had, links that may lead elsewhere) are listed on
// every turn instead.

#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace rostrel {

class FolderWatch;
class MessageSink;
class PathLayer;

// One folder's listing as the walk uses it.
struct FolderScan
{
    quint64 id = 0; // the folder's identity, 0 when not known
    bool links = false; // some entry is a link
    bool hasProfile = false; // a "rostrel.lua" (any case) among its files
    QStringList subfolders; // names in the game's order, dot names left out
};
FolderScan scanFolder(const PathLayer& paths, const QString& hostPath);

// The real place of the sub-folder childHost of a folder whose real place is parentCanonical, or
// empty when the walk must not enter it: a link that leads nowhere or back into an open folder.
// When the parent's listing found no link (listedLinks false), nothing is looked up.
QString enterableFolder(const QString& childHost, const QString& parentCanonical, const QString& name, bool listedLinks,
    const std::function<bool(const QString&)>& isOpen, bool* isLink);

class FolderTree
{
public:
    FolderTree(FolderWatch& watch, const PathLayer& paths, MessageSink& log, int maxDepth);
    ~FolderTree();
    FolderTree(const FolderTree&) = delete;
    FolderTree& operator=(const FolderTree&) = delete;

    // Lists the tree below host whole, watching each folder before listing it.
    void build(const QString& host, const QString& canonical);
    bool isRootedAt(const QString& host, const QString& canonical) const;

    // Re-lists what changed since the last call. True when entries may have appeared (a folder
    // gained its profile file or new sub-folders).
    bool refresh();

    // Calls found with the game path of every folder holding a profile, in walk order.
    void forEachProfileFolder(const QString& rootGamePath, const std::function<void(const QString&)>& found) const;

    // Called as reports come in, with the path below the root (names joined by backslashes) of each
    // SavedVariables folder, where profiles are kept, that the system reports changed.
    void onProfileChanged(std::function<void(const QString&)> changed) { m_profileChanged = std::move(changed); }

    int folderCount() const { return m_folderCount; }
    int unwatchedCount() const;

    // Turns between two attempts to watch the folders that could not be watched.
    static constexpr int kRetryTurns = 12;

private:
    struct Node;

    void populate(Node& node);
    bool relist(Node& node);
    bool apply(Node& node, const FolderScan& scan, bool keepChildren);
    void attach(Node& node);
    void detach(Node& node);
    void startWatching(Node& node);
    void updateEveryTurn(Node& node);
    void retryWatches();
    bool visit(Node& node);
    void markAll(Node& node);
    void onChanged(const QString& canonical);
    void reportOnce(bool& reported, const QString& message);

    FolderWatch& m_watch;
    const PathLayer& m_paths;
    MessageSink& m_log;
    const int m_maxDepth;
    std::unique_ptr<Node> m_root;
    QHash<QString, QList<Node*>> m_byCanonical;
    QSet<QString> m_watched;
    QSet<Node*> m_dirty;
    QSet<Node*> m_everyTurn;
    int m_folderCount = 0;
    int m_turns = 0;
    bool m_lost = false;
    bool m_refusing = false;
    bool m_refusalReported = false;
    bool m_lossReported = false;
    std::function<void(const QString&)> m_profileChanged;
    QMetaObject::Connection m_changed;
    QMetaObject::Connection m_lostConnection;
};

} // namespace rostrel
