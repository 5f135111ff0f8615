// Checks the Windows registry backend and the Run-value start-up entry on a real registry:
// built with MinGW-w64, run under Wine by scripts/check-windows, which first writes the keys
// read here. Prints one PASS or FAIL line per check; exits non-zero when any failed.

#include "platform/autostart.h"
#include "platform/browser.h"
#include "platform/registry.h"

#include <cstdio>
#include <string>

using namespace rostrel;
using namespace rostrel::registry;

namespace {

// Written by the script in the 32-bit view only, as the game's 32-bit installer does.
const std::string kGameKey = "Software\\Blizzard Entertainment\\World of Warcraft";
const std::string kInstallPath = "C:\\Program Files (x86)\\World of Warcraft\\";
// Build (REG_DWORD 48879) and Expand (REG_EXPAND_SZ) in the 32-bit view, Only64 in the 64-bit view.
const std::string kCheckKey = "Software\\RostrelCheck";
const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what, const std::string& detail = {})
{
    std::printf("%s: %s%s%s\n", ok ? "PASS" : "FAIL", what.c_str(), detail.empty() ? "" : " -- ", detail.c_str());
    ++(ok ? g_passed : g_failed);
}

std::string describe(const Value& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return "text \"" + *text + "\"";
    if (const auto* number = std::get_if<std::uint32_t>(&value))
        return "number " + std::to_string(*number);
    return "nothing";
}

} // namespace

int main()
{
    const auto registry = makeWindowsRegistry();
    const auto calls = makeWindowsRegistryCalls();

    const Value install = registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath");
    check(describe(install) == describe(Value(kInstallPath)), "game key read in the 32-bit view", describe(install));

    const Value build = registry->ReadRegValue(kLocalMachine, kCheckKey, "Build");
    check(describe(build) == "number 48879", "REG_DWORD read as a number", describe(build));

    const Value only64 = registry->ReadRegValue(kLocalMachine, kCheckKey, "Only64");
    check(describe(only64) == "nothing", "a value of the 64-bit view is not seen", describe(only64));

    KeyHandle key = 0;
    const long opened = calls->openKey(kLocalMachine, kCheckKey, kKeyQueryValue, key);
    check(opened == kSuccess, "key opened for query access", "status " + std::to_string(opened));
    if (opened == kSuccess) {
        Value value;
        const long status = ReadKeyValue(*calls, key, "Expand", value);
        check(status == kUnsupportedType && describe(value) == "nothing", "REG_EXPAND_SZ is unsupported (-1)",
            "status " + std::to_string(status));
        calls->closeKey(key);
    }

    const long missing = registry->SaveRegString(kLocalMachine, "Software\\RostrelCheck\\NoSuchKey", "X", "y");
    KeyHandle probe = 0;
    const long reopened = calls->openKey(kLocalMachine, "Software\\RostrelCheck\\NoSuchKey", kKeyQueryValue, probe);
    if (reopened == kSuccess)
        calls->closeKey(probe);
    check(missing != kSuccess && reopened != kSuccess, "a write into a missing key creates nothing",
        "status " + std::to_string(missing));

    const auto autostart = makeRunKeyAutostart(*registry, "C:\\Tools");
    check(autostart->disable().empty() && !autostart->isInStartup(), "no Run value to begin with");
    const std::string enabled = autostart->enable();
    check(enabled.empty(), "Run value written", enabled);
    const Value run = registry->ReadRegValue(kLocalMachine, kRunKey, "RostrelUploader");
    check(describe(run) == describe(Value(std::string("\"C:\\Tools\\RostrelUploader.exe\""))),
        "Run value holds the quoted program path", describe(run));
    if (calls->openKey(kLocalMachine, kRunKey, kKeyQueryValue, key) == kSuccess) {
        unsigned long type = 0;
        std::string data;
        const long status = calls->queryValue(key, "RostrelUploader", type, data);
        check(status == kSuccess && type == kRegSz && data.size() == 31 && data.back() == '\0',
            "stored as REG_SZ with its NUL counted", std::to_string(data.size()) + " bytes");
        calls->closeKey(key);
    }
    check(autostart->isInStartup(), "IsInStartup after writing");
    check(!makeRunKeyAutostart(*registry, "D:\\Moved")->isInStartup(), "a moved program is not in start-up");
    check(!makeRunKeyAutostart(*registry, "c:\\tools")->isInStartup(), "a folder in other case is not in start-up");
    const std::string disabled = autostart->disable();
    check(disabled.empty(), "Run value removed", disabled);
    check(!autostart->isInStartup(), "not in start-up after removing");
    check(describe(registry->ReadRegValue(kLocalMachine, kRunKey, "RostrelUploader")) == "nothing", "Run value gone");

    // Built and linked here; not started, since it would open a browser.
    check(makeWindowsBrowserOpener() != nullptr, "browser opener built");

    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
