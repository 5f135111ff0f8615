#include "catalogue/gamefolders.h"

#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace rostrel {

GameFolders::GameFolders(
    registry::Registry& registry, const PathLayer& paths, Dialogs& dialogs, ProgramExit& exit, MessageSink& log)
    : m_registry(registry)
    , m_paths(paths)
    , m_dialogs(dialogs)
    , m_exit(exit)
    , m_log(log)
{ }

QString GameFolders::GetWoWDir()
{
    const registry::Value value = m_registry.ReadRegValue(registry::kLocalMachine, kGameKey, kInstallPathValue);
    QString folder;
    if (const auto* text = std::get_if<std::string>(&value))
        folder = QString::fromStdString(*text);
    else if (const auto* number = std::get_if<std::uint32_t>(&value))
        folder = QString::number(*number); // a number read where a text belongs still counts as found
    if (folder.isEmpty()) {
        m_dialogs.show({ kGameMissingText, kAppTitle, BoxIcon::Critical, BoxButtons::Ok });
        m_exit.exitNow(kExitGameMissing);
    }
    return folder;
}

QString GameFolders::gameFolderWithSeparator()
{
    QString folder = GetWoWDir();
    if (!folder.endsWith(QLatin1Char('\\')))
        folder += QLatin1Char('\\');
    return folder;
}

QString GameFolders::GetAccountDir()
{
    return gameFolderWithSeparator() + QStringLiteral("WTF\\Account");
}

QString GameFolders::addonFolder()
{
    return gameFolderWithSeparator() + QStringLiteral("Interface\\Addons\\Rostrel");
}

namespace {

bool isFlavourName(const QString& name)
{
    return name.size() >= 2 && name.startsWith(u'_') && name.endsWith(u'_');
}

bool flavourBefore(const Flavour& a, const Flavour& b)
{
    static const QString kRetail = QStringLiteral("_retail_");
    const bool aRetail = a.name.compare(kRetail, Qt::CaseInsensitive) == 0;
    const bool bRetail = b.name.compare(kRetail, Qt::CaseInsensitive) == 0;
    if (aRetail != bRetail)
        return aRetail;
    const int byName = a.name.compare(b.name, Qt::CaseInsensitive);
    return byName != 0 ? byName < 0 : a.name < b.name;
}

} // namespace

QList<Flavour> GameFolders::flavours()
{
    const QString folder = gameFolderWithSeparator();
    QString bare = folder;
    while (bare.endsWith(u'\\') || bare.endsWith(u'/'))
        bare.chop(1);
    const qsizetype cut = std::max(bare.lastIndexOf(u'\\'), bare.lastIndexOf(u'/'));
    const QString named = bare.mid(cut + 1);
    if (cut < 0 || !isFlavourName(named))
        return { Flavour { {}, folder, true } };

    // The flavour the registry names counts even before the game made its account folder: that
    // is where the addon goes.
    const QString root = bare.left(cut + 1);
    const QString hostRoot = m_paths.toHost(root);
    const FolderListing listing = m_paths.list(hostRoot);
    QList<Flavour> found;
    bool namedSeen = false;
    for (const QString& name : listing.all) {
        if (!isFlavourName(name) || listing.files.contains(name))
            continue;
        const bool isNamed = name.compare(named, Qt::CaseInsensitive) == 0;
        if (!isNamed && !QFileInfo(m_paths.toHost(root + name + QStringLiteral("\\WTF\\Account"))).isDir())
            continue;
        namedSeen = namedSeen || isNamed;
        found.append({ name, isNamed ? folder : root + name + u'\\', isNamed });
    }
    if (!namedSeen)
        found.append({ named, folder, true });
    std::sort(found.begin(), found.end(), flavourBefore);
    return found;
}

QString GameFolders::folderOf(const Flavour& flavour)
{
    return flavour.folder.isEmpty() ? gameFolderWithSeparator() : flavour.folder;
}

void GameFolders::InitializeFolders()
{
    // A file of that name counts as present too: the addon's files then fail to install, which
    // the update check reports, but nothing here may delete what the user put there.
    if (QFileInfo::exists(m_paths.toHost(addonFolder())))
        return;

    // A new install, or a flavour installed for the first time, has no Interface\AddOns yet.
    const QString folder = addonFolder();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(m_paths.toHost(folder).toStdU16String()), error);
    if (error) {
        m_log.AddMessage(QStringLiteral("Could not create the addon folder ") + folder + QStringLiteral(" (")
            + QString::fromStdString(error.message()) + QStringLiteral(")"));
    }
}

} // namespace rostrel
