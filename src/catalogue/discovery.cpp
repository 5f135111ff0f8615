#include "catalogue/discovery.h"

#include "catalogue/characterlist.h"
#include "catalogue/foldertree.h"
#include "catalogue/gamefolders.h"
#include "folderwatch/folderwatch.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>

Q_LOGGING_CATEGORY(lcCatalogue, "rostrel.catalogue", QtInfoMsg)

namespace rostrel {

Discovery::Discovery(GameFolders& folders, CharacterList& list, QObject* parent)
    : Discovery(folders, list, makeFolderWatch(), parent)
{ }

Discovery::Discovery(GameFolders& folders, CharacterList& list, std::unique_ptr<FolderWatch> watch, QObject* parent)
    : QObject(parent)
    , m_folders(folders)
    , m_list(list)
    , m_watch(std::move(watch))
{ }

Discovery::~Discovery()
{
    m_trees.clear(); // before the watch they listen to
}

int Discovery::keptFolders() const
{
    int folders = 0;
    for (const KeptTree& kept : m_trees)
        folders += kept.tree ? kept.tree->folderCount() : 0;
    return folders;
}

int Discovery::unwatchedFolders() const
{
    int folders = 0;
    for (const KeptTree& kept : m_trees)
        folders += kept.tree ? kept.tree->unwatchedCount() : 0;
    return folders;
}

void Discovery::LoadfilesFromHardDrive()
{
    // The flavours are asked for once per walk; the walk then carries the game's name of each
    // folder and its host path side by side, so nothing is mapped or read per file.
    const QList<Flavour> flavours = m_folders.flavours();
    m_list.setFlavourCount(int(flavours.size()));
    std::vector<KeptTree> trees;
    for (const Flavour& flavour : flavours) {
        m_flavour = flavour;
        const QString accountDir = flavour.accountDir();
        KeptTree kept;
        const auto old = std::find_if(m_trees.begin(), m_trees.end(),
            [&accountDir](const KeptTree& tree) { return tree.accountDir == accountDir; });
        if (old != m_trees.end())
            kept = std::move(*old);
        walkFlavour(accountDir, kept);
        trees.push_back(std::move(kept));
    }
    m_trees = std::move(trees); // the listings of flavours gone are let go
    Q_EMIT walked(m_list.count() > 0);
}

void Discovery::walkFlavour(const QString& accountDir, KeptTree& kept)
{
    const QString hostRoot = m_folders.toHost(accountDir);
    const QString canonicalRoot = QFileInfo(hostRoot).canonicalFilePath();
    if (canonicalRoot.isEmpty()) {
        kept.tree.reset();
    } else if (watchable(hostRoot, canonicalRoot, kept)) {
        walkKept(accountDir, hostRoot, canonicalRoot, kept);
    } else {
        kept.tree.reset();
        m_openFolders.insert(canonicalRoot);
        LoadFilesFromDir(accountDir, hostRoot, canonicalRoot, 0);
        m_openFolders.clear();
    }
}

bool Discovery::watchable(const QString& hostRoot, const QString& canonicalRoot, const KeptTree& kept)
{
    if (!m_watch)
        return false;
    if (m_unwatchableRoots.contains(canonicalRoot))
        return false;
    if (kept.tree && kept.tree->isRootedAt(hostRoot, canonicalRoot))
        return true; // asked when the kept listing was made
    QString why;
    if (m_watch->reportsChanges(canonicalRoot, &why))
        return true;
    m_unwatchableRoots.insert(canonicalRoot);
    if (!m_unwatchableReported) {
        m_unwatchableReported = true;
        m_folders.log().AddMessage(QStringLiteral("Changes to the game folders are not reported on this file system (")
            + why + QStringLiteral("); they are looked through on every turn"));
    }
    return false;
}

void Discovery::walkKept(
    const QString& accountDir, const QString& hostRoot, const QString& canonicalRoot, KeptTree& kept)
{
    if (kept.tree && kept.accountDir == accountDir && kept.tree->isRootedAt(hostRoot, canonicalRoot)) {
        m_watch->deliverPending();
        if (!kept.tree->refresh())
            return; // nothing changed that could add an entry
        m_reportNew = true;
    } else {
        kept.tree.reset();
        kept.tree = std::make_unique<FolderTree>(*m_watch, m_folders.paths(), m_folders.log(), kMaxDepth);
        kept.accountDir = accountDir;
        kept.tree->onProfileChanged([this, flavour = m_flavour, accountDir](const QString& below) {
            profileFolderChanged(flavour, below.isEmpty() ? accountDir : accountDir + QLatin1Char('\\') + below);
        });
        kept.tree->build(hostRoot, canonicalRoot);
    }
    // The list only grows, so every profile of an unchanged folder is listed already; the walk
    // over the kept listing costs no disk access.
    kept.tree->forEachProfileFolder(accountDir, [this](const QString& gamePath) { addEntry(gamePath); });
    m_reportNew = false;
}

void Discovery::addEntry(const QString& gamePath)
{
    const EntryPlace place = m_folders.FormatIt(m_flavour, gamePath);
    if (m_list.InListAlready(place))
        return;
    const int index = m_list.append(place, m_list.flavourCount() > 1);
    if (m_reportNew)
        Q_EMIT profileChanged(index);
}

void Discovery::profileFolderChanged(const Flavour& flavour, const QString& gamePath)
{
    const int index = m_list.indexOf(m_folders.FormatIt(flavour, gamePath));
    if (index >= 0)
        Q_EMIT profileChanged(index);
}

void Discovery::LoadFilesFromDir(
    const QString& gamePath, const QString& hostPath, const QString& canonicalPath, int depth)
{
    const FolderScan scan = scanFolder(m_folders.paths(), hostPath);
    if (scan.hasProfile)
        addEntry(gamePath);
    if (!scan.subfolders.isEmpty() && depth >= kMaxDepth) {
        qCWarning(lcCatalogue) << "Not looking below" << hostPath << "- the folders nest too deep";
        return;
    }
    const auto isOpen = [this](const QString& canonical) { return m_openFolders.contains(canonical); };
    for (const QString& name : scan.subfolders) {
        const QString childHost = hostPath + QLatin1Char('/') + name;
        bool isLink = false;
        const QString childCanonical = enterableFolder(childHost, canonicalPath, name, scan.links, isOpen, &isLink);
        if (childCanonical.isEmpty())
            continue;
        m_openFolders.insert(childCanonical);
        LoadFilesFromDir(gamePath + QLatin1Char('\\') + name, childHost, childCanonical, depth + 1);
        m_openFolders.remove(childCanonical);
    }
}

} // namespace rostrel
