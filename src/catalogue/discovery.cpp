#include "catalogue/discovery.h"

#include "catalogue/characterlist.h"
#include "catalogue/foldertree.h"
#include "catalogue/folderwatch.h"
#include "catalogue/gamefolders.h"

#include <QFileInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcCatalogue, "rostrel.catalogue", QtInfoMsg)

namespace rostrel {

namespace {

const QString kSavedVariables = QStringLiteral("\\SavedVariables");

QString removeFolderNames(const QString& path, const QString& accountPrefix)
{
    QString text = path;
    text.remove(accountPrefix, Qt::CaseSensitive);
    text.remove(kSavedVariables, Qt::CaseSensitive);
    return text;
}

} // namespace

Discovery::Discovery(GameFolders& folders, CharacterList& list, QObject* parent)
    : Discovery(folders, list, makeSystemFolderWatch(), parent)
{ }

Discovery::Discovery(GameFolders& folders, CharacterList& list, std::unique_ptr<FolderWatch> watch, QObject* parent)
    : QObject(parent)
    , m_folders(folders)
    , m_list(list)
    , m_watch(std::move(watch))
{ }

Discovery::~Discovery()
{
    m_tree.reset(); // before the watch it listens to
}

int Discovery::keptFolders() const
{
    return m_tree ? m_tree->folderCount() : 0;
}

int Discovery::unwatchedFolders() const
{
    return m_tree ? m_tree->unwatchedCount() : 0;
}

void Discovery::LoadfilesFromHardDrive()
{
    // The account folder is asked for once per walk; the walk then carries the game's name of
    // each folder and its host path side by side, so nothing is mapped or read per file.
    const QString accountDir = m_folders.GetAccountDir();
    m_accountPrefix = accountDir + QLatin1Char('\\');
    const QString hostRoot = m_folders.toHost(accountDir);
    const QString canonicalRoot = QFileInfo(hostRoot).canonicalFilePath();
    if (canonicalRoot.isEmpty()) {
        m_tree.reset();
    } else if (watchable(hostRoot, canonicalRoot)) {
        walkKept(accountDir, hostRoot, canonicalRoot);
    } else {
        m_tree.reset();
        m_openFolders.insert(canonicalRoot);
        LoadFilesFromDir(accountDir, hostRoot, canonicalRoot, 0);
        m_openFolders.clear();
    }
    Q_EMIT walked(m_list.count() > 0);
}

bool Discovery::watchable(const QString& hostRoot, const QString& canonicalRoot)
{
    if (!m_watch)
        return false;
    if (m_unwatchableRoot == canonicalRoot)
        return false;
    if (m_tree && m_tree->isRootedAt(hostRoot, canonicalRoot))
        return true; // asked when the kept listing was made
    QString why;
    if (m_watch->reportsChanges(canonicalRoot, &why)) {
        m_unwatchableRoot.clear();
        return true;
    }
    m_unwatchableRoot = canonicalRoot;
    if (!m_unwatchableReported) {
        m_unwatchableReported = true;
        m_folders.log().AddMessage(QStringLiteral("Changes to the game folders are not reported on this file system (")
            + why + QStringLiteral("); they are looked through on every turn"));
    }
    return false;
}

void Discovery::walkKept(const QString& accountDir, const QString& hostRoot, const QString& canonicalRoot)
{
    if (m_tree && m_treeAccountDir == accountDir && m_tree->isRootedAt(hostRoot, canonicalRoot)) {
        m_watch->deliverPending();
        if (!m_tree->refresh())
            return; // nothing changed that could add an entry
    } else {
        m_tree.reset();
        m_tree = std::make_unique<FolderTree>(*m_watch, m_folders.paths(), m_folders.log(), kMaxDepth);
        m_treeAccountDir = accountDir;
        m_tree->build(hostRoot, canonicalRoot);
    }
    // The list only grows, so every profile of an unchanged folder is listed already; the walk
    // over the kept listing costs no disk access.
    m_tree->forEachProfileFolder(accountDir, [this](const QString& gamePath) { addEntry(gamePath); });
}

void Discovery::addEntry(const QString& gamePath)
{
    const QString text = removeFolderNames(gamePath, m_accountPrefix);
    if (!m_list.InListAlready(text))
        m_list.append(text);
}

QString Discovery::FormatIt(const QString& path)
{
    return removeFolderNames(path, m_folders.GetAccountDir() + QLatin1Char('\\'));
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
        const QString childCanonical = enterableFolder(childHost, canonicalPath, name, isOpen, &isLink);
        if (childCanonical.isEmpty())
            continue;
        m_openFolders.insert(childCanonical);
        LoadFilesFromDir(gamePath + QLatin1Char('\\') + name, childHost, childCanonical, depth + 1);
        m_openFolders.remove(childCanonical);
    }
}

} // namespace rostrel
