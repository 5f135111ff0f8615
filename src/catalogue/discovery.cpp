#include "catalogue/discovery.h"

#include "catalogue/characterlist.h"
#include "catalogue/gamefolders.h"
#include "platform/pathlayer.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>

Q_LOGGING_CATEGORY(lcCatalogue, "rostrel.catalogue", QtInfoMsg)

namespace rostrel {

namespace {

const QString kSavedVariables = QStringLiteral("\\SavedVariables");
const QString kProfileFileLower = QStringLiteral("rostrel.lua");

QString removeFolderNames(const QString& path, const QString& accountPrefix)
{
    QString text = path;
    text.remove(accountPrefix, Qt::CaseSensitive);
    text.remove(kSavedVariables, Qt::CaseSensitive);
    return text;
}

char32_t upperUnit(char16_t unit)
{
    // Names are nearly always ASCII; the sort runs for every folder of every rescan.
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

bool isProfileFile(const QString& name)
{
    return name.size() == kProfileFileLower.size() && name.toLower() == kProfileFileLower;
}

} // namespace

Discovery::Discovery(GameFolders& folders, CharacterList& list, QObject* parent)
    : QObject(parent)
    , m_folders(folders)
    , m_list(list)
{ }

void Discovery::LoadfilesFromHardDrive()
{
    // The account folder is asked for once per walk; the walk then carries the game's name of
    // each folder and its host path side by side, so nothing is mapped or read per file.
    const QString accountDir = m_folders.GetAccountDir();
    m_accountPrefix = accountDir + QLatin1Char('\\');
    const QString hostRoot = m_folders.toHost(accountDir);
    const QString canonicalRoot = QFileInfo(hostRoot).canonicalFilePath();
    if (!canonicalRoot.isEmpty()) {
        m_openFolders.insert(canonicalRoot);
        LoadFilesFromDir(accountDir, hostRoot, canonicalRoot, 0);
        m_openFolders.clear();
    }
    Q_EMIT walked(m_list.count() > 0);
}

QString Discovery::FormatIt(const QString& path)
{
    return removeFolderNames(path, m_folders.GetAccountDir() + QLatin1Char('\\'));
}

void Discovery::LoadFilesFromDir(
    const QString& gamePath, const QString& hostPath, const QString& canonicalPath, int depth)
{
    FolderListing listing = listFolder(hostPath);
    std::sort(listing.all.begin(), listing.all.end(), gameOrderLess);
    std::sort(listing.files.begin(), listing.files.end(), gameOrderLess);

    for (const QString& name : std::as_const(listing.files)) {
        if (!isProfileFile(name))
            continue;
        const QString text = removeFolderNames(gamePath, m_accountPrefix);
        if (!m_list.InListAlready(text))
            m_list.append(text);
    }

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
        if (name.startsWith(QLatin1Char('.')))
            continue;
        if (depth >= kMaxDepth) {
            qCWarning(lcCatalogue) << "Not looking below" << hostPath << "- the folders nest too deep";
            return;
        }
        const QString childHost = hostPath + QLatin1Char('/') + name;
        // Only a link can lead back up the tree; a plain folder's real place follows from its
        // parent's, which keeps the walk to one extra look-up per folder.
        QString childCanonical;
        const QFileInfo info(childHost);
        if (info.isSymbolicLink() || info.isJunction()) {
            childCanonical = info.canonicalFilePath();
            if (childCanonical.isEmpty() || m_openFolders.contains(childCanonical)) {
                qCDebug(lcCatalogue) << "Not following" << childHost;
                continue;
            }
        } else {
            childCanonical = canonicalPath + QLatin1Char('/') + name;
        }
        m_openFolders.insert(childCanonical);
        LoadFilesFromDir(gamePath + QLatin1Char('\\') + name, childHost, childCanonical, depth + 1);
        m_openFolders.remove(childCanonical);
    }
}

} // namespace rostrel
