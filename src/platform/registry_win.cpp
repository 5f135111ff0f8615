// The Windows registry through advapi32's wide (UTF-16) functions, so that a path or value
// outside the system code page comes through whole. Every key is opened in the 32-bit view
// (KEY_WOW64_32KEY): the game's installer writes its key there, and a 64-bit build must read and
// write the Run value in the same view so that what it writes is what it reads back.

#include "platform/backends.h"
#include "platform/winansi.h"

#include <cstring>

#include <windows.h>

namespace rostrel::registry {
namespace {

HKEY toHkey(Hive hive)
{
    // The predefined roots are sign-extended 32-bit values on 64-bit Windows.
    if ((hive & 0xFFFFFFF0u) == 0x80000000u)
        return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(static_cast<DWORD>(hive))));
    return reinterpret_cast<HKEY>(hive);
}

HKEY toHkeyFromHandle(KeyHandle key)
{
    return reinterpret_cast<HKEY>(key);
}

bool isStringType(unsigned long type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data as the wide functions store it (UTF-16, terminating NULs included) and as the
// routines above them take it (UTF-8 with the same NULs). An odd last byte is no character.
std::string fromUtf16Bytes(const std::string& bytes)
{
    std::wstring wide(bytes.size() / 2, L'\0');
    std::memcpy(wide.data(), bytes.data(), wide.size() * sizeof(wchar_t));
    return winansi::fromWide(wide);
}

std::string toUtf16Bytes(const std::string& utf8)
{
    const std::wstring wide = winansi::toWide(utf8);
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

class WindowsRegistryCalls final : public RegistryCalls
{
public:
    long openKey(Hive hive, const std::string& keyPath, unsigned long access, KeyHandle& key) override
    {
        HKEY opened = nullptr;
        const LONG status = RegOpenKeyExW(
            toHkey(hive), winansi::toWide(keyPath).c_str(), 0, static_cast<REGSAM>(access) | KEY_WOW64_32KEY, &opened);
        key = status == ERROR_SUCCESS ? reinterpret_cast<KeyHandle>(opened) : 0;
        return status;
    }

    long queryValue(KeyHandle key, const std::string& valueName, unsigned long& type, std::string& data) override
    {
        const std::wstring name = winansi::toWide(valueName);
        DWORD valueType = 0;
        DWORD size = 0;
        LONG status = RegQueryValueExW(toHkeyFromHandle(key), name.c_str(), nullptr, &valueType, nullptr, &size);
        // The value may grow between the two calls; ask again with the new size a few times.
        for (int attempt = 0; status == ERROR_SUCCESS && attempt < 4; ++attempt) {
            std::string buffer(size, '\0');
            DWORD got = size;
            status = RegQueryValueExW(
                toHkeyFromHandle(key), name.c_str(), nullptr, &valueType, reinterpret_cast<BYTE*>(buffer.data()), &got);
            if (status == ERROR_MORE_DATA) {
                size = got;
                status = ERROR_SUCCESS;
                continue;
            }
            if (status != ERROR_SUCCESS)
                return status;
            buffer.resize(got);
            type = valueType;
            data = isStringType(valueType) ? fromUtf16Bytes(buffer) : buffer;
            return ERROR_SUCCESS;
        }
        return status == ERROR_SUCCESS ? ERROR_MORE_DATA : status;
    }

    long setValue(KeyHandle key, const std::string& valueName, unsigned long type, const std::string& data) override
    {
        const std::string bytes = isStringType(type) ? toUtf16Bytes(data) : data;
        return RegSetValueExW(toHkeyFromHandle(key), winansi::toWide(valueName).c_str(), 0, static_cast<DWORD>(type),
            reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    }

    long deleteValue(KeyHandle key, const std::string& valueName) override
    {
        return RegDeleteValueW(toHkeyFromHandle(key), winansi::toWide(valueName).c_str());
    }

    long closeKey(KeyHandle key) override { return RegCloseKey(toHkeyFromHandle(key)); }
};

} // namespace

std::unique_ptr<RegistryCalls> makeWindowsRegistryCalls()
{
    return std::make_unique<WindowsRegistryCalls>();
}

std::unique_ptr<Registry> makeWindowsRegistry()
{
    return makeRegistry(makeWindowsRegistryCalls());
}

} // namespace rostrel::registry
