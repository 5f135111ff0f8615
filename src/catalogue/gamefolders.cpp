#include "catalogue/gamefolders.h"

#include "core/fileio.h"
#include "core/textlines.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <system_error>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

GameFolders::GameFolders(registry::Registry& registry, const PathLayer& paths, Dialogs& dialogs, ProgramExit& exit,
    MessageSink& log, FolderPicker* picker, QString settingsFolder)
    : m_registry(registry)
    , m_paths(paths)
    , m_dialogs(dialogs)
    , m_exit(exit)
    , m_log(log)
    , m_picker(picker)
    , m_settingsFolder(std::move(settingsFolder))
{ }

QString GameFolders::GetWoWDir()
{
    const registry::Value value = m_registry.ReadRegValue(registry::kLocalMachine, kGameKey, kInstallPathValue);
    QString folder;
    if (const auto* text = std::get_if<std::string>(&value))
        folder = QString::fromStdString(*text);
    else if (const auto* number = std::get_if<std::uint32_t>(&value))
        folder = QString::number(*number); // a number read where a text belongs still counts as found
    if (folder.isEmpty())
        return chosenGameFolder();
    return folder;
}

namespace {

// The game's layout: the only place it is spelled.
const QString kAccountFolder = QStringLiteral("WTF\\Account");
// The game's own spelling, so that a folder made here is the one the game and other tools use.
const QString kAddonsFolder = QStringLiteral("Interface\\AddOns");
const QString kAddonName = QStringLiteral("Rostrel");
const QString kSavedVariables = QStringLiteral("\\SavedVariables");
const QString kProfileName = QStringLiteral("Rostrel.lua");
// gamefolder.txt holds one path.
constexpr qint64 kMaxGameFolderFileBytes = 64 * 1024;

bool isFlavourName(const QString& name)
{
    return name.size() >= 3 && name.startsWith(u'_') && name.endsWith(u'_');
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

// A game folder ("...\_retail_\") split into the folder holding it ("...\") and its name.
struct FolderName
{
    QString parent;
    QString name;
};

FolderName splitFolder(const QString& folder)
{
    QString bare = folder;
    while (bare.endsWith(u'\\') || bare.endsWith(u'/'))
        bare.chop(1);
    const qsizetype cut = std::max(bare.lastIndexOf(u'\\'), bare.lastIndexOf(u'/'));
    return { bare.left(cut + 1), cut < 0 ? QString() : bare.mid(cut + 1) };
}

QString withSeparator(QString folder)
{
    if (!folder.endsWith(u'\\'))
        folder += u'\\';
    return folder;
}

// A flavour's folder, given the folder the registry names (with its "\\"): that one, or the one
// of that name beside it.
QString flavourFolderBeside(const QString& named, const QString& flavourName)
{
    if (flavourName.isEmpty())
        return named;
    const FolderName split = splitFolder(named);
    if (split.name.compare(flavourName, Qt::CaseInsensitive) == 0)
        return named;
    return (isFlavourName(split.name) ? split.parent : named) + flavourName + u'\\';
}

} // namespace

QString GameFolders::gameFolderWithSeparator()
{
    return withSeparator(GetWoWDir());
}

QString Flavour::accountDir() const
{
    return folder + kAccountFolder;
}

QString GameFolders::GetAccountDir(const QString& flavourName)
{
    return folderOf(flavourName) + kAccountFolder;
}

QString GameFolders::addonsFolder(const QString& flavourName)
{
    const QString stored = GetWoWDir(); // one registry read for the whole answer
    const QString named = withSeparator(stored);
    const QString folder = flavourFolderBeside(named, flavourName);
    // The flavour the registry names is spelled from the folder as stored, which may end in a
    // backslash of its own.
    if (folder == named)
        return stored + u'\\' + kAddonsFolder;
    return folder + kAddonsFolder;
}

QString GameFolders::addonFolder(const QString& flavourName)
{
    return folderOf(flavourName) + kAddonsFolder + u'\\' + kAddonName;
}

QString GameFolders::addonFile(const QString& addonsFolder, const QString& name)
{
    return addonsFolder + u'\\' + kAddonName + u'\\' + name;
}

bool GameFolders::isProfileName(const QString& fileName)
{
    return fileName.compare(kProfileName, Qt::CaseInsensitive) == 0;
}

QString GameFolders::profileName()
{
    return kProfileName;
}

QList<Flavour> GameFolders::flavours()
{
    const QString folder = gameFolderWithSeparator();
    const FolderName named = splitFolder(folder);
    if (!isFlavourName(named.name))
        return { Flavour { {}, folder, true } };

    const FolderListing listing = m_paths.list(m_paths.toHost(named.parent));
    QList<Flavour> found;
    for (const QString& name : listing.all) {
        if (!isFlavourName(name) || listing.files.contains(name)
            || !QFileInfo(m_paths.toHost(named.parent + name + u'\\' + kAccountFolder)).isDir())
            continue;
        const bool isNamed = name.compare(named.name, Qt::CaseInsensitive) == 0;
        found.append({ name, isNamed ? folder : named.parent + name + u'\\', isNamed });
    }
    const bool namedFound = std::any_of(found.begin(), found.end(), [](const Flavour& f) { return f.named; });
    // The flavour launched last counts before the game made its account folder (that is where the
    // addon goes), but only beside others: alone, or gone, it is no flavour.
    if (found.isEmpty())
        return { Flavour { {}, folder, true } };
    if (!namedFound && QFileInfo(m_paths.toHost(folder)).isDir())
        found.append({ named.name, folder, true });
    std::sort(found.begin(), found.end(), flavourBefore);
    return found;
}

QString GameFolders::folderOf(const QString& flavourName)
{
    return flavourFolderBeside(gameFolderWithSeparator(), flavourName);
}

EntryPlace GameFolders::FormatIt(const Flavour& flavour, const QString& gamePath)
{
    const QString accountPrefix
        = (flavour.folder.isEmpty() ? GetAccountDir(flavour.name) : flavour.accountDir()) + u'\\';
    QString relative = gamePath;
    relative.remove(accountPrefix, Qt::CaseSensitive);
    relative.remove(kSavedVariables, Qt::CaseSensitive);
    return { flavour.name, relative };
}

QString GameFolders::profilePath(const EntryPlace& place)
{
    return GetAccountDir(place.flavourName) + u'\\' + place.relative + kSavedVariables + u'\\' + kProfileName;
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

QString GameFolders::gameFolderIn(const QString& chosen) const
{
    // Joined in the chosen folder's own style: a host path on Wine, a game path elsewhere.
    const QChar separator = chosen.contains(u'\\') ? u'\\' : u'/';
    QString folder = chosen;
    while (folder.size() > 1 && (folder.endsWith(u'\\') || folder.endsWith(u'/')))
        folder.chop(1);
    if (folder.isEmpty())
        return {};
    const auto isDir = [this](const QString& path) { return QFileInfo(m_paths.toHost(path)).isDir(); };
    if (isDir(folder + separator + u"WTF"_s))
        return folder;
    QList<Flavour> found;
    const FolderListing listing = m_paths.list(m_paths.toHost(folder));
    for (const QString& name : listing.all) {
        const QString flavour = folder + separator + name;
        if (isFlavourName(name) && isDir(flavour + separator + u"WTF"_s + separator + u"Account"_s))
            found.append({ name, flavour, false });
    }
    if (found.isEmpty())
        return {};
    std::sort(found.begin(), found.end(), flavourBefore);
    return found.front().folder;
}

QString GameFolders::chosenGameFolder()
{
    if (!m_chosen.isEmpty())
        return m_chosen;
    const QString file = m_settingsFolder.isEmpty() ? QString() : QDir(m_settingsFolder).filePath(kGameFolderFile);
    if (!file.isEmpty()) {
        if (const auto bytes = io::readFile(file, kMaxGameFolderFileBytes)) {
            const QList<QByteArray> lines = splitLines(*bytes);
            m_chosen = lines.isEmpty() ? QString() : gameFolderIn(QString::fromUtf8(lines.first()));
        }
    }
    while (m_chosen.isEmpty()) {
        // Players who copied the game without its installer, or whose Wine prefix is elsewhere,
        // can say where it is instead of being shown the door.
        const BoxButtons buttons = (m_picker && !file.isEmpty()) ? BoxButtons::OkChooseFolder : BoxButtons::Ok;
        if (m_dialogs.show({ kGameMissingText, kAppTitle, BoxIcon::Critical, buttons }) != BoxAnswer::ChooseFolder
            || buttons != BoxButtons::OkChooseFolder)
            m_exit.exitNow(kExitGameMissing);
        m_chosen = gameFolderIn(m_picker->chooseFolder(u"Choose the World of Warcraft folder"_s));
        if (m_chosen.isEmpty())
            continue;
        const Result<void> saved = io::writeFileAtomically(file, m_chosen.toUtf8() + "\r\n");
        if (!saved)
            m_log.AddMessage(u"Could not remember the game folder in "_s + file + u" ("_s + saved.error() + u')');
    }
    return m_chosen;
}

} // namespace rostrel
