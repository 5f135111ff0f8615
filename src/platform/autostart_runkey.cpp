// Start with Windows through the machine-wide Run value. Plain C++ over the registry routines,
// so it builds for Windows without Qt and can be tried against a Wine registry.

#include "platform/autostart.h"
#include "platform/registry.h"

namespace rostrel {
namespace {

const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kRunValue = "RostrelUploader";

std::string describe(const char* what, long status)
{
    std::string reason = std::string(what) + " (registry status " + std::to_string(status);
    if (status == registry::kAccessDenied)
        reason += ", access denied";
    else if (status == registry::kFileNotFound)
        reason += ", the Run key does not exist";
    return reason + ")";
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
        const registry::Value value = m_registry.ReadRegValue(registry::kLocalMachine, kRunKey, kRunValue);
        const auto* text = std::get_if<std::string>(&value);
        return text && *text == m_command;
    }

    std::string enable() override
    {
        const long status = m_registry.SaveRegString(registry::kLocalMachine, kRunKey, kRunValue, m_command);
        return status == registry::kSuccess ? std::string() : describe("The Run value could not be written", status);
    }

    std::string disable() override
    {
        const long status = m_registry.RemoveRegValue(registry::kLocalMachine, kRunKey, kRunValue);
        // Nothing to remove is what was asked for.
        if (status == registry::kSuccess || status == registry::kFileNotFound)
            return {};
        return describe("The Run value could not be removed", status);
    }

private:
    registry::Registry& m_registry;
    std::string m_command;
};

} // namespace

std::unique_ptr<Autostart> makeRunKeyAutostart(registry::Registry& registry, const std::string& programFolder)
{
    return std::make_unique<RunKeyAutostart>(registry, programFolder);
}

} // namespace rostrel
