#include "catalogue/gamefolders.h"

#include <QFileInfo>
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

void GameFolders::InitializeFolders()
{
    // A file of that name counts as present too: the addon's files then fail to install, which
    // the update check reports, but nothing here may delete what the user put there.
    if (QFileInfo::exists(m_paths.toHost(addonFolder())))
        return;

    const QString folder = addonFolder();
    std::error_code error;
    std::filesystem::create_directory(std::filesystem::path(m_paths.toHost(folder).toStdU16String()), error);
    if (error) {
        m_log.AddMessage(QStringLiteral("Could not create the addon folder ") + folder + QStringLiteral(" (")
            + QString::fromStdString(error.message()) + QStringLiteral(")"));
    }
}

} // namespace rostrel
