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
QStringList lutrisPrefixes(const QString& home)
{
    static const QRegularExpression line(QStringLiteral(R"(^\s*(?:prefix|game_path)\s*:\s*(.*?)\s*$)"));
    QStringList prefixes;
    for (const QString& folder : QStringList {
             home + QStringLiteral("/.config/lutris/games"), home + QStringLiteral("/.local/share/lutris/games") }) {
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
    for (const QString& name : subfolders(home + QStringLiteral("/Games")))
        prefixes << home + QStringLiteral("/Games/") + name;
    return prefixes;
}

QStringList protonPrefixes(const QString& home)
{
    QStringList prefixes;
    for (const QString& folder : QStringList { home + QStringLiteral("/.steam/steam/steamapps/compatdata"),
             home + QStringLiteral("/.local/share/Steam/steamapps/compatdata") }) {
        for (const QString& name : subfolders(folder))
            prefixes << folder + u'/' + name + QStringLiteral("/pfx");
    }
    return prefixes;
}

} // namespace

QString findWinePrefix(const PlatformConfig& config)
{
    if (!config.winePrefix.isEmpty())
        return QDir::cleanPath(config.winePrefix);
    const QString fallback = QDir::cleanPath(config.homeDir + QStringLiteral("/.wine"));
    QStringList candidates { fallback };
    candidates += lutrisPrefixes(config.homeDir);
    candidates += protonPrefixes(config.homeDir);
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
