#include "addon/installedaddon.h"

#include "catalogue/gamefolders.h"
#include "core/fileio.h"
#include "core/seams.h"
#include "core/textlines.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <array>

Q_DECLARE_LOGGING_CATEGORY(lcAddon)

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {

// The installed addon's text files are small; one past this is no addon file of ours. The same
// bound as a reply, so that any file the update stored can be read back.
constexpr qint64 kMaxAddonTextBytes = 64 * 1024 * 1024 + 2;

// The version named in one line of the table-of-contents file: the character right after
// "Version:" is always skipped and the rest trimmed. Absent when the line ends at the colon.
std::optional<QString> versionInLine(const QString& line, qsizetype marker)
{
    qsizetype start = marker + 8;
    if (start >= line.size())
        return std::nullopt;
    // One character, even when it takes two UTF-16 units.
    const bool pair
        = line.at(start).isHighSurrogate() && start + 1 < line.size() && line.at(start + 1).isLowSurrogate();
    start += pair ? 2 : 1;
    return trimSpaces(line.mid(start));
}

} // namespace

InstalledAddon::InstalledAddon(GameFolders& folders, MessageSink& log)
    : m_folders(folders)
    , m_log(log)
{ }

std::optional<QString> InstalledAddon::GetMyVersion()
{
    m_folders.InitializeFolders();
    return versionInToc(m_folders.addonFolder() + u'\\' + kTocName);
}

std::optional<QString> InstalledAddon::installedVersion(const AddonPlace& place)
{
    return place.named ? GetMyVersion() : versionInToc(place.file(kTocName));
}

std::optional<QString> InstalledAddon::versionInToc(const QString& toc)
{
    const Result<QByteArray> bytes = io::readFile(m_folders.toHost(toc), kMaxAddonTextBytes);
    if (!bytes)
        return std::nullopt;
    for (const QByteArray& bytesOfLine : splitLines(*bytes)) {
        const QString line = QString::fromUtf8(bytesOfLine);
        const qsizetype marker = line.indexOf(u"Version:");
        if (marker >= 0)
            return versionInLine(line, marker);
    }
    return std::nullopt;
}

std::vector<AddonPlace> InstalledAddon::places()
{
    const QList<Flavour> flavours = m_folders.flavours();
    std::vector<AddonPlace> found;
    for (const Flavour& flavour : flavours) {
        const QString prefix = flavours.size() > 1 ? flavour.name + u": "_s : QString();
        if (flavour.named) {
            found.push_back({ m_folders.addonsFolder(), prefix, true });
        } else if (QFileInfo(m_folders.toHost(m_folders.addonFolder(flavour.name))).isDir()) {
            found.push_back({ m_folders.addonsFolder(flavour.name), prefix, false });
        }
    }
    return found;
}

void InstalledAddon::FindOldAddonAndDelete(const AddonPlace& place)
{
    const QString folder = place.addons + u"\\Coffrin"_s;
    const Result<QByteArray> code = io::readFile(m_folders.toHost(folder + u"\\Coffrin.lua"_s), kMaxAddonTextBytes);
    if (!code)
        return;
    const QList<QByteArray> lines = splitLines(*code);
    const bool marked
        = std::any_of(lines.begin(), lines.end(), [](const QByteArray& line) { return line.contains("Varnhold"); });
    if (!marked)
        return;

    m_log.AddMessage(place.logPrefix + QStringLiteral("Old 'Coffrin' addon found.  Removing"));
    const std::array<QString, 3> names { QStringLiteral("\\Coffrin.lua"), QStringLiteral("\\Coffrin.toc"),
        QStringLiteral("\\Coffrin.xml") };
    for (const QString& name : names) {
        if (!QFile::remove(m_folders.toHost(folder + name))) {
            qCDebug(lcAddon) << "old addon removal stopped at" << name;
            return;
        }
    }
}

} // namespace rostrel
