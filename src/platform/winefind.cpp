// Finding the Wine prefix the game is installed in, when $WINEPREFIX does not say.

#include "platform/platform.h"

#include "core/gamekey.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace rostrel {
namespace {

// The same read the game-folder lookup makes later, so a prefix found here is one it can use.
bool holdsGame(const QString& prefix)
{
    const QString systemReg = prefix + QStringLiteral("/system.reg");
    if (!QFileInfo(systemReg).isFile())
        return false;
    const auto registry = registry::makeWineRegistry(systemReg.toStdString());
    const registry::Value value = registry->ReadRegValue(registry::kLocalMachine, kGameKey, kInstallPathValue);
    if (const auto* text = std::get_if<std::string>(&value))
        return !text->empty();
    return std::holds_alternative<std::uint32_t>(value);
}

QStringList subfolders(const QString& folder)
{
    return QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Lutris names a game's prefix in its game file ("prefix:"); installers that keep the prefix
// in the game's own folder give only "game_path:".
// Lutris keeps its game files in its configuration and data folders (inside its sandbox when it
// runs as a Flatpak).
QStringList lutrisPrefixes(const QString& home, const QString& configHome, const QString& dataHome)
{
    static const QRegularExpression line(QStringLiteral(R"(^\s*(?:prefix|game_path)\s*:\s*(.*?)\s*$)"));
    QStringList prefixes;
    for (const QString& folder :
        QStringList { configHome + QStringLiteral("/lutris/games"), dataHome + QStringLiteral("/lutris/games") }) {
        const QDir dir(folder);
        for (const QString& name : dir.entryList({ QStringLiteral("*.yml") }, QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            while (!file.atEnd()) {
                const auto match = line.match(QString::fromUtf8(file.readLine()));
                if (!match.hasMatch())
                    continue;
                QString value = match.captured(1);
                if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'')
                    && value.back() == value.front())
                    value = value.mid(1, value.size() - 2);
                if (value.startsWith(QStringLiteral("~/")))
                    value = home + value.mid(1);
                if (QDir::isAbsolutePath(value))
                    prefixes << value;
            }
        }
    }
    return prefixes;
}

// Every sub-folder of each folder, followed by suffix: launchers keep one prefix per game there.
QStringList prefixesIn(const QStringList& folders, const QString& suffix = {})
{
    QStringList prefixes;
    for (const QString& folder : folders) {
        for (const QString& name : subfolders(folder))
            prefixes << folder + u'/' + name + suffix;
    }
    return prefixes;
}

} // namespace

QStringList winePrefixCandidates(const QString& home)
{
    const QString flatpak = home + QStringLiteral("/.var/app/");
    const QString pfx = QStringLiteral("/pfx");
    QStringList candidates { home + QStringLiteral("/.wine") };
    candidates += lutrisPrefixes(home, home + QStringLiteral("/.config"), home + QStringLiteral("/.local/share"));
    candidates += prefixesIn({ home + QStringLiteral("/Games") });
    candidates += prefixesIn({ home + QStringLiteral("/.steam/steam/steamapps/compatdata"),
                                 home + QStringLiteral("/.local/share/Steam/steamapps/compatdata") },
        pfx);
    candidates += prefixesIn({ home + QStringLiteral("/.local/share/bottles/bottles"),
        flatpak + QStringLiteral("com.usebottles.bottles/data/bottles/bottles") });
    candidates += prefixesIn({ home + QStringLiteral("/Games/Heroic/Prefixes") });
    candidates
        += prefixesIn({ flatpak + QStringLiteral("com.valvesoftware.Steam/data/Steam/steamapps/compatdata") }, pfx);
    const QString lutris = flatpak + QStringLiteral("net.lutris.Lutris");
    candidates += lutrisPrefixes(home, lutris + QStringLiteral("/config"), lutris + QStringLiteral("/data"));
    return candidates;
}

QString findWinePrefix(const PlatformConfig& config)
{
    if (!config.winePrefix.isEmpty())
        return QDir::cleanPath(config.winePrefix);
    const QString fallback = QDir::cleanPath(config.homeDir + QStringLiteral("/.wine"));
    const QStringList candidates = winePrefixCandidates(config.homeDir);
    // ~/.steam/steam is usually a link to ~/.local/share/Steam: each prefix is read once.
    QSet<QString> seen;
    for (const QString& candidate : std::as_const(candidates)) {
        const QString clean = QDir::cleanPath(candidate);
        const QString canonical = QFileInfo(clean).canonicalFilePath();
        const QString key = canonical.isEmpty() ? clean : canonical;
        if (seen.contains(key))
            continue;
        seen.insert(key);
        if (holdsGame(clean))
            return clean;
    }
    return fallback;
}

} // namespace rostrel
