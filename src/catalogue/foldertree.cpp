#include "catalogue/foldertree.h"

#include "catalogue/gamefolders.h"
#include "core/pathlayer.h"
#include "core/seams.h"
#include "folderwatch/folderwatch.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcCatalogue)

namespace rostrel {

namespace {

char32_t upperUnit(char16_t unit)
{
    // Names are nearly always ASCII; the sort runs for every folder listed.
    if (unit < 0x80)
        return (unit >= u'a' && unit <= u'z') ? char32_t(unit - (u'a' - u'A')) : char32_t(unit);
    return QChar::toUpper(char32_t(unit));
}

// NTFS, where the game lists its folders, orders names by their upper-case UTF-16 units.
bool gameOrderLess(const QString& a, const QString& b)
{
    const qsizetype n = std::min(a.size(), b.size());
    const QChar* pa = a.constData();
    const QChar* pb = b.constData();
    for (qsizetype i = 0; i < n; ++i) {
        if (pa[i] == pb[i])
            continue;
        const char32_t ua = upperUnit(pa[i].unicode());
        const char32_t ub = upperUnit(pb[i].unicode());
        if (ua != ub)
            return ua < ub;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b; // names that differ only in case: any fixed order will do
}

} // namespace

FolderScan scanFolder(const PathLayer& paths, const QString& hostPath)
{
    FolderListing listing = paths.list(hostPath);
    std::sort(listing.all.begin(), listing.all.end(), gameOrderLess);
    std::sort(listing.files.begin(), listing.files.end(), gameOrderLess);

    FolderScan scan;
    scan.id = listing.id;
    scan.links = listing.links;
    scan.hasProfile = std::any_of(listing.files.cbegin(), listing.files.cend(), &GameFolders::isProfileName);
    // Sub-folders: every name that is not a file name. Both lists are in the same order, so one
    // pass over each finds them.
    qsizetype file = 0;
    const qsizetype fileCount = listing.files.size();
    for (const QString& name : std::as_const(listing.all)) {
        while (file < fileCount && gameOrderLess(listing.files.at(file), name))
            ++file;
        if (file < fileCount && listing.files.at(file) == name) {
            ++file;
            continue;
        }
        if (!name.startsWith(QLatin1Char('.')))
            scan.subfolders << name;
    }
    return scan;
}

QString enterableFolder(const QString& childHost, const QString& parentCanonical, const QString& name, bool listedLinks,
    const std::function<bool(const QString&)>& isOpen, bool* isLink)
{
    // Only a link can lead back up the tree; a plain folder's real place follows from its
    // parent's. A folder whose listing holds no link needs no look-up at all.
    *isLink = false;
    if (!listedLinks)
        return parentCanonical + QLatin1Char('/') + name;
    const QFileInfo info(childHost);
    *isLink = info.isSymbolicLink() || info.isJunction();
    if (!*isLink)
        return parentCanonical + QLatin1Char('/') + name;
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || isOpen(canonical)) {
        qCDebug(lcCatalogue) << "Not following" << childHost;
        return {};
    }
    return canonical;
}

struct FolderTree::Node
{
    QString name; // as listed (empty for the account folder)
    QString host;
    QString canonical;
    Node* parent = nullptr;
    int depth = 0;
    quint64 id = 0;
    bool hasProfile = false;
    bool links = false;
    bool watched = false;
    std::vector<std::unique_ptr<Node>> children;
};

FolderTree::FolderTree(FolderWatch& watch, const PathLayer& paths, MessageSink& log, int maxDepth)
    : m_watch(watch)
    , m_paths(paths)
    , m_log(log)
    , m_maxDepth(maxDepth)
{
    m_changed = QObject::connect(&m_watch, &FolderWatch::folderChanged, [this](const QString& f) { onChanged(f); });
    m_lostConnection = QObject::connect(&m_watch, &FolderWatch::changesLost, [this] { m_lost = true; });
}

FolderTree::~FolderTree()
{
    QObject::disconnect(m_changed);
    QObject::disconnect(m_lostConnection);
    if (m_root)
        detach(*m_root);
}

void FolderTree::build(const QString& host, const QString& canonical)
{
    if (m_root)
        detach(*m_root);
    m_root = std::make_unique<Node>();
    m_root->host = host;
    m_root->canonical = canonical;
    attach(*m_root);
    populate(*m_root);
}

bool FolderTree::isRootedAt(const QString& host, const QString& canonical) const
{
    return m_root && m_root->host == host && m_root->canonical == canonical;
}

int FolderTree::unwatchedCount() const
{
    int count = 0;
    for (const Node* node : m_everyTurn)
        count += node->watched ? 0 : 1;
    return count;
}

void FolderTree::attach(Node& node)
{
    ++m_folderCount;
    m_byCanonical[node.canonical].append(&node);
    startWatching(node);
}

void FolderTree::detach(Node& node)
{
    for (const auto& child : node.children)
        detach(*child);
    --m_folderCount;
    m_dirty.remove(&node);
    m_everyTurn.remove(&node);
    const auto it = m_byCanonical.find(node.canonical);
    if (it == m_byCanonical.end())
        return;
    it->removeOne(&node);
    if (it->isEmpty()) {
        m_byCanonical.erase(it);
        if (m_watched.remove(node.canonical))
            m_watch.unwatch(node.canonical);
    }
}

void FolderTree::startWatching(Node& node)
{
    // Watched before it is listed, so that nothing changes unseen between the two.
    if (m_watched.contains(node.canonical)) {
        node.watched = true;
        return;
    }
    node.watched = false;
    if (m_refusing)
        return; // asked again at the next retry, not once per folder
    // A folder that is gone or cannot be read is no refusal; it is simply listed every turn.
    if (!QDir(node.canonical).isReadable())
        return;
    if (m_watch.watch(node.canonical)) {
        m_watched.insert(node.canonical);
        node.watched = true;
        return;
    }
    m_refusing = true;
    reportOnce(m_refusalReported,
        QStringLiteral("The system does not report changes to every game folder (its limit of watched folders may be "
                       "reached); those folders are looked through on every turn instead"));
}

void FolderTree::updateEveryTurn(Node& node)
{
    if (node.links || !node.watched)
        m_everyTurn.insert(&node);
    else
        m_everyTurn.remove(&node);
}

void FolderTree::populate(Node& node)
{
    apply(node, scanFolder(m_paths, node.host), false);
}

bool FolderTree::apply(Node& node, const FolderScan& scan, bool keepChildren)
{
    bool grown = !node.hasProfile && scan.hasProfile;
    node.id = scan.id;
    node.hasProfile = scan.hasProfile;
    bool links = scan.links;

    QStringList names = scan.subfolders;
    if (!names.isEmpty() && node.depth >= m_maxDepth) {
        qCWarning(lcCatalogue) << "Not looking below" << node.host << "- the folders nest too deep";
        names.clear();
    }

    std::vector<std::unique_ptr<Node>> old;
    old.swap(node.children);
    std::vector<Node*> kept;
    const auto isOpen = [&node](const QString& canonical) {
        for (const Node* n = &node; n; n = n->parent) {
            if (n->canonical == canonical)
                return true;
        }
        return false;
    };
    for (const QString& name : std::as_const(names)) {
        const QString childHost = node.host + QLatin1Char('/') + name;
        bool isLink = false;
        const QString canonical = enterableFolder(childHost, node.canonical, name, scan.links, isOpen, &isLink);
        links = links || isLink;
        if (canonical.isEmpty())
            continue;
        if (keepChildren) {
            const auto same = std::find_if(old.begin(), old.end(),
                [&](const std::unique_ptr<Node>& c) { return c && c->name == name && c->canonical == canonical; });
            if (same != old.end()) {
                kept.push_back(same->get());
                node.children.push_back(std::move(*same));
                continue;
            }
        }
        auto child = std::make_unique<Node>();
        child->name = name;
        child->host = childHost;
        child->canonical = canonical;
        child->parent = &node;
        child->depth = node.depth + 1;
        attach(*child);
        populate(*child);
        node.children.push_back(std::move(child));
        grown = true;
    }
    for (const auto& gone : old) {
        if (gone)
            detach(*gone);
    }
    node.links = links;
    updateEveryTurn(node);

    // A folder moved into the place of a kept one raises no report of its own; its listing
    // tells, by its id.
    for (Node* child : kept) {
        m_dirty.remove(child);
        grown = relist(*child) || grown;
    }
    return grown;
}

bool FolderTree::relist(Node& node)
{
    const FolderScan scan = scanFolder(m_paths, node.host);
    if (scan.id != 0 && scan.id == node.id)
        return apply(node, scan, true);

    // Another folder now stands here (or there is no telling): its watch and everything below
    // are made anew.
    for (const auto& child : node.children)
        detach(*child);
    node.children.clear();
    node.hasProfile = false;
    if (m_watched.remove(node.canonical))
        m_watch.unwatch(node.canonical);
    startWatching(node);
    for (Node* same : m_byCanonical.value(node.canonical)) {
        same->watched = node.watched;
        updateEveryTurn(*same);
    }
    populate(node);
    return true;
}

void FolderTree::onChanged(const QString& canonical)
{
    const auto it = m_byCanonical.constFind(canonical);
    if (it == m_byCanonical.constEnd())
        return;
    for (Node* node : *it) {
        m_dirty.insert(node);
        // The profile's own folder, whether or not the file was there at the last listing.
        if (!m_profileChanged || node->name.compare(u"SavedVariables", Qt::CaseInsensitive) != 0)
            continue;
        QString below = node->name;
        for (const Node* up = node->parent; up && up->parent; up = up->parent)
            below = up->name + QLatin1Char('\\') + below;
        m_profileChanged(below);
    }
}

void FolderTree::markAll(Node& node)
{
    m_dirty.insert(&node);
    for (const auto& child : node.children)
        markAll(*child);
}

void FolderTree::retryWatches()
{
    m_refusing = false;
    const QList<Node*> unwatched(m_everyTurn.cbegin(), m_everyTurn.cend());
    for (Node* node : unwatched) {
        if (node->watched)
            continue;
        startWatching(*node);
        if (node->watched) {
            updateEveryTurn(*node);
            m_dirty.insert(node); // listed once more now that changes are reported
        }
        if (m_refusing)
            return;
    }
    if (unwatchedCount() == 0)
        m_refusalReported = false; // a later refusal is news again
}

bool FolderTree::refresh()
{
    if (!m_root)
        return false;
    ++m_turns;
    if (m_lost) {
        m_lost = false;
        reportOnce(m_lossReported,
            QStringLiteral("Reports of changes to the game folders were lost; the folders are looked through again"));
        markAll(*m_root);
    }
    if (m_turns % kRetryTurns == 0 && !m_everyTurn.isEmpty())
        retryWatches();
    // A folder above the root renamed away (the game's interface reset moves WTF aside) takes the
    // watches with it, and the folder made in its place reports nothing: only its identity tells.
    if (m_paths.list(m_root->host).id != m_root->id)
        m_dirty.insert(m_root.get());
    if (m_dirty.isEmpty() && m_everyTurn.isEmpty())
        return false;
    return visit(*m_root);
}

bool FolderTree::visit(Node& node)
{
    bool grown = false;
    if (m_dirty.remove(&node) || m_everyTurn.contains(&node))
        grown = relist(node);
    for (std::size_t i = 0; i < node.children.size(); ++i)
        grown = visit(*node.children[i]) || grown;
    return grown;
}

void FolderTree::forEachProfileFolder(
    const QString& rootGamePath, const std::function<void(const QString&)>& found) const
{
    if (!m_root)
        return;
    const std::function<void(const Node&, const QString&)> walk = [&](const Node& node, const QString& gamePath) {
        if (node.hasProfile)
            found(gamePath);
        for (const auto& child : node.children)
            walk(*child, gamePath + QLatin1Char('\\') + child->name);
    };
    walk(*m_root, rootGamePath);
}

void FolderTree::reportOnce(bool& reported, const QString& message)
{
    if (reported)
        return;
    reported = true;
    m_log.AddMessage(message);
}

} // namespace rostrel
