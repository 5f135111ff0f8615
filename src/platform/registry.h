#pragma once
// The registry routines. Plain C++ without Qt: the Windows backend builds with nothing but
// the C++ library and advapi32. Texts are UTF-8.
//
// Every routine swallows failures: a read yields an empty value, a write or delete leaves the
// registry as it was. Writes and deletes return the status of the last registry call (0 for
// success) so that a caller that wants to can say why nothing happened.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace rostrel::registry {

using Hive = std::uintptr_t;
inline constexpr Hive kLocalMachine = 0x80000002u; // HKEY_LOCAL_MACHINE

inline constexpr unsigned long kRegSz = 1;
inline constexpr unsigned long kRegDword = 4;

// Empty (std::monostate), a text for REG_SZ, a number for REG_DWORD.
using Value = std::variant<std::monostate, std::string, std::uint32_t>;

class Registry
{
public:
    virtual ~Registry() = default;
    virtual Value ReadRegValue(Hive hive, const std::string& keyPath, const std::string& valueName) = 0;
    virtual long SaveRegString(Hive hive, const std::string& keyPath, const std::string& valueName,
        const std::string& text)
        = 0;
    virtual long RemoveRegValue(Hive hive, const std::string& keyPath, const std::string& valueName) = 0;
};

// Linux and other Unix: HKEY_LOCAL_MACHINE is the Wine prefix's system.reg.
std::unique_ptr<Registry> makeWineRegistry(const std::string& systemRegPath);
// Windows: the advapi32 registry, reads in the 32-bit view.
std::unique_ptr<Registry> makeWindowsRegistry();

} // namespace rostrel::registry
