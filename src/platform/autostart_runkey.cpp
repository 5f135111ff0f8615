// Start with Windows through the Run value, over the registry routines, so it can be tried against
// a Wine registry too.
//
// The machine-wide Run key comes first. Most players are not administrators, and Windows refuses
// them that key, so a refused write falls back to the same value under the current user's Run key,
// which Windows runs at their logon just the same. Either one holding this program counts as on;
// turning it off clears both.

#include "platform/backends.h"

namespace rostrel {
namespace {

const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kUserRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kRunValue = "RostrelUploader";

std::string describe(const char* where, long status)
{
    std::string reason = std::string(where) + " (registry status " + std::to_string(status);
    if (status == registry::kAccessDenied)
        reason += ", access denied";
    else if (status == registry::kFileNotFound)
        reason += ", the Run key does not exist";
    return reason + ")";
}

Failure failure(const std::string& reason)
{
    return { QString::fromStdString(reason) };
}

bool removed(long status)
{
    // Nothing to remove is what was asked for.
    return status == registry::kSuccess || status == registry::kFileNotFound;
}

class RunKeyAutostart final : public Autostart
{
public:
    RunKeyAutostart(registry::Registry& registry, const std::string& programFolder)
        : m_registry(registry)
    {
        // The file name is always RostrelUploader.exe, whatever the running file is called.
        // A folder that already ends in a backslash (a drive's root) does not get a second one.
        std::string folder = programFolder;
        if (!folder.empty() && folder.back() == '\\')
            folder.pop_back();
        m_command = "\"" + folder + "\\RostrelUploader.exe\"";
    }

    bool isInStartup() override
    {
        return holdsThisProgram(registry::kLocalMachine, kRunKey)
            || holdsThisProgram(registry::kCurrentUser, kUserRunKey);
    }

    Result<void> enable() override
    {
        const long machine = m_registry.SaveRegString(registry::kLocalMachine, kRunKey, kRunValue, m_command);
        if (machine == registry::kSuccess)
            return {};
        const long user = m_registry.SaveRegString(registry::kCurrentUser, kUserRunKey, kRunValue, m_command);
        if (user == registry::kSuccess)
            return {};
        return failure("The Run value could not be written: " + describe("for all users", machine) + "; "
            + describe("for this user", user));
    }

    Result<void> disable() override
    {
        const long machine = m_registry.RemoveRegValue(registry::kLocalMachine, kRunKey, kRunValue);
        const long user = m_registry.RemoveRegValue(registry::kCurrentUser, kUserRunKey, kRunValue);
        if (!removed(machine))
            return failure(describe("The Run value for all users could not be removed", machine));
        if (!removed(user))
            return failure(describe("The Run value for this user could not be removed", user));
        return {};
    }

private:
    bool holdsThisProgram(registry::Hive hive, const std::string& key)
    {
        const registry::Value value = m_registry.ReadRegValue(hive, key, kRunValue);
        const auto* text = std::get_if<std::string>(&value);
        return text && *text == m_command;
    }

    registry::Registry& m_registry;
    std::string m_command;
};

} // namespace

std::unique_ptr<Autostart> makeRunKeyAutostart(registry::Registry& registry, const std::string& programFolder)
{
    return std::make_unique<RunKeyAutostart>(registry, programFolder);
}

} // namespace rostrel
