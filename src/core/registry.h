#pragma once
// The registry routines. Plain C++ without Qt: the Windows backend builds with nothing but
// the C++ library and advapi32. Texts are UTF-8.
//
// Every routine swallows failures: a read yields an empty value, a write or delete leaves the
// registry as it was. Writes and deletes return the status of the last registry call (0 for
// success) so that a caller that wants to can say why nothing happened.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace rostrel::registry {

using Hive = std::uintptr_t;
inline constexpr Hive kCurrentUser = 0x80000001u; // HKEY_CURRENT_USER
inline constexpr Hive kLocalMachine = 0x80000002u; // HKEY_LOCAL_MACHINE

inline constexpr unsigned long kRegSz = 1;
inline constexpr unsigned long kRegExpandSz = 2;
inline constexpr unsigned long kRegBinary = 3;
inline constexpr unsigned long kRegDword = 4;
inline constexpr unsigned long kRegMultiSz = 7;

// Access masks: reads ask for query access only; writes and deletes for 0x3F (query, set,
// create sub-key, enumerate, notify, create link), never KEY_ALL_ACCESS.
inline constexpr unsigned long kKeyQueryValue = 0x0001;
inline constexpr unsigned long kKeySetValue = 0x0002;
inline constexpr unsigned long kKeyWriteAccess = 0x003F;

// Statuses, with the values Windows gives them.
inline constexpr long kSuccess = 0;
inline constexpr long kFileNotFound = 2; // key or value missing
inline constexpr long kAccessDenied = 5;
inline constexpr long kInvalidHandle = 6;
inline constexpr long kInvalidData = 13;
inline constexpr long kWriteFault = 29;
inline constexpr long kInvalidParameter = 87;
inline constexpr long kUnsupportedType = -1; // ReadKeyValue: a type other than REG_SZ and REG_DWORD

// Empty (std::monostate), a text for REG_SZ, a number for REG_DWORD.
using Value = std::variant<std::monostate, std::string, std::uint32_t>;

class Registry
{
public:
    virtual ~Registry() = default;
    virtual Value ReadRegValue(Hive hive, const std::string& keyPath, const std::string& valueName) = 0;
    virtual long SaveRegString(
        Hive hive, const std::string& keyPath, const std::string& valueName, const std::string& text)
        = 0;
    virtual long RemoveRegValue(Hive hive, const std::string& keyPath, const std::string& valueName) = 0;
};

// An open key; 0 is no key (what a failed open leaves behind).
using KeyHandle = std::uintptr_t;

// The raw registry calls a backend offers, shaped like advapi32's: the routines above are built
// from them the same way on every platform.
class RegistryCalls
{
public:
    virtual ~RegistryCalls() = default;
    // Opens an existing key; never creates one.
    virtual long openKey(Hive hive, const std::string& keyPath, unsigned long access, KeyHandle& key) = 0;
    // A value's type and bytes. Strings come as UTF-8 followed by their terminating NUL, as the
    // ANSI functions hand them out; a DWORD as its 4 bytes, least significant first.
    virtual long queryValue(KeyHandle key, const std::string& valueName, unsigned long& type, std::string& data) = 0;
    // Stores a value in the same form queryValue gives it.
    virtual long setValue(KeyHandle key, const std::string& valueName, unsigned long type, const std::string& data) = 0;
    virtual long deleteValue(KeyHandle key, const std::string& valueName) = 0;
    virtual long closeKey(KeyHandle key) = 0;
};

// Reads a value of an open key into `value` (left untouched on failure). Returns the status of
// the last registry call, or kUnsupportedType for a type other than REG_SZ and REG_DWORD.
long ReadKeyValue(RegistryCalls& calls, KeyHandle key, const std::string& valueName, Value& value);
// Stores a REG_SZ or REG_DWORD value into an open key. Returns the status of the registry call,
// or 0 when the type is neither and nothing was written.
long WriteKeyValue(
    RegistryCalls& calls, KeyHandle key, const std::string& valueName, unsigned long type, const Value& value);

// ReadRegValue, SaveRegString and RemoveRegValue over a backend's raw calls.
std::unique_ptr<Registry> makeRegistry(std::unique_ptr<RegistryCalls> calls);

} // namespace rostrel::registry
