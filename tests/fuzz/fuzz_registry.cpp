// The Wine prefix's system.reg: parsed, then rewritten by a write and a delete. A rewrite must change
// the one value it was asked to and leave every other key and value reading as before.

#include "core/registry.h"
#include "fuzzsupport.h"
#include "platform/backends.h"

using namespace rostrel;
using namespace rostrel::registry;

namespace {

// The first section's key, or a key of the game's kind when there is none.
std::string firstKey(const WineRegistryDump& dump, const std::string& text)
{
    const std::size_t open = text.find("\n[");
    if (!dump.empty() && open != std::string::npos) {
        const std::size_t close = text.find(']', open);
        const std::string raw = text.substr(open + 2, close == std::string::npos ? 0 : close - open - 2);
        if (!raw.empty() && raw.find('\\') == std::string::npos)
            return raw; // plain ASCII names without escapes read as written
    }
    return "Software\\Rostrel";
}

// The entries of `after` that differ from `before` (changed, added or gone).
std::vector<std::pair<std::string, std::string>> differences(
    const WineRegistryDump& before, const WineRegistryDump& after)
{
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& [key, value] : after) {
        const auto it = before.find(key);
        if (it == before.end() || !(it->second == value))
            keys.push_back(key);
    }
    for (const auto& [key, value] : before) {
        if (!after.count(key))
            keys.push_back(key);
    }
    return keys;
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const std::string text = input.toStdString();
    const WineRegistryDump before = dumpWineRegistry(text);
    const QString path = fuzz::writeScratch(QStringLiteral("system.reg"), input);
    auto calls = makeWineRegistryCalls(path.toStdString());
    auto registry = makeWineRegistry(path.toStdString());
    (void)registry->ReadRegValue(kLocalMachine, "Software\\Blizzard Entertainment\\World of Warcraft", "InstallPath");

    const std::string key = firstKey(before, text);
    const std::string name = "InstallPath";
    const std::string stored = std::string("C:\\Games\\World of Warcraft\\") + '\0';
    KeyHandle handle = 0;
    if (calls->openKey(kLocalMachine, key, kKeyWriteAccess, handle) != kSuccess)
        return 0;
    const long set = calls->setValue(handle, name, kRegSz, stored);
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    const WineRegistryDump written = dumpWineRegistry(file.readAll().toStdString());
    file.close();
    if (set != kSuccess) {
        FUZZ_CHECK(written == before);
        return 0;
    }
    // Exactly the value written changed, and it reads back as written.
    const auto changed = differences(before, written);
    FUZZ_CHECK(changed.size() <= 1);
    // The key written: the one that changed, or, when the value was already there as written, one
    // of those that hold it.
    std::vector<std::string> writtenKeys;
    for (const auto& [entryKey, value] : written) {
        if (entryKey.second == upper(name) && value.type == kRegSz && value.data == stored
            && (changed.empty() || entryKey == changed.front()))
            writtenKeys.push_back(entryKey.first);
    }
    FUZZ_CHECK(!writtenKeys.empty());
    unsigned long type = 0;
    std::string read;
    FUZZ_CHECK(calls->queryValue(handle, name, type, read) == kSuccess);
    FUZZ_CHECK(type == kRegSz && read == stored);

    // Deleting it again leaves the rest as it was before.
    FUZZ_CHECK(calls->deleteValue(handle, name) == kSuccess);
    calls->closeKey(handle);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    const WineRegistryDump deleted = dumpWineRegistry(file.readAll().toStdString());
    bool asBefore = false;
    for (const std::string& candidate : writtenKeys) {
        WineRegistryDump expected = before;
        expected.erase({ candidate, upper(name) });
        asBefore = asBefore || deleted == expected;
    }
    FUZZ_CHECK(asBefore);
    return 0;
}
