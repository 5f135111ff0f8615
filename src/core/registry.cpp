// The registry routines over a backend's raw calls. Plain C++: this file is also built for
// Windows without Qt.

#include "core/registry.h"

#include <charconv>
#include <utility>

namespace rostrel::registry {

long ReadKeyValue(RegistryCalls& calls, KeyHandle key, const std::string& valueName, Value& value)
{
    unsigned long type = 0;
    std::string data;
    const long status = calls.queryValue(key, valueName, type, data);
    if (status != kSuccess)
        return status;
    switch (type) {
    case kRegSz:
        // A string of size 0 has no terminator to drop: it reads as nothing at all.
        if (data.empty())
            return status;
        // Drop the terminating NUL; a string stored without one keeps its last character.
        if (data.back() == '\0')
            data.pop_back();
        value = std::move(data);
        return status;
    case kRegDword: {
        if (data.size() != 4)
            return kInvalidData;
        std::uint32_t number = 0;
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
        value = number;
        return status;
    }
    default:
        return kUnsupportedType;
    }
}

long WriteKeyValue(
    RegistryCalls& calls, KeyHandle key, const std::string& valueName, unsigned long type, const Value& value)
{
    if (type == kRegSz) {
        std::string text;
        if (const auto* s = std::get_if<std::string>(&value))
            text = *s;
        else if (const auto* n = std::get_if<std::uint32_t>(&value))
            text = std::to_string(*n);
        text.push_back('\0');
        return calls.setValue(key, valueName, kRegSz, text);
    }
    if (type == kRegDword) {
        std::uint32_t number = 0;
        if (const auto* n = std::get_if<std::uint32_t>(&value)) {
            number = *n;
        } else if (const auto* s = std::get_if<std::string>(&value)) {
            const auto result = std::from_chars(s->data(), s->data() + s->size(), number);
            if (result.ec != std::errc() || result.ptr != s->data() + s->size())
                return kInvalidParameter;
        }
        std::string bytes(4, '\0');
        for (std::size_t i = 0; i < 4; ++i)
            bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
        return calls.setValue(key, valueName, kRegDword, bytes);
    }
    return kSuccess;
}

namespace {

class CallRegistry final : public Registry
{
public:
    explicit CallRegistry(std::unique_ptr<RegistryCalls> calls)
        : m_calls(std::move(calls))
    { }

    Value ReadRegValue(Hive hive, const std::string& keyPath, const std::string& valueName) override
    {
        Value value;
        KeyHandle key = 0;
        if (m_calls->openKey(hive, keyPath, kKeyQueryValue, key) != kSuccess)
            return value;
        ReadKeyValue(*m_calls, key, valueName, value);
        m_calls->closeKey(key);
        return value;
    }

    long SaveRegString(
        Hive hive, const std::string& keyPath, const std::string& valueName, const std::string& text) override
    {
        KeyHandle key = 0;
        const long opened = m_calls->openKey(hive, keyPath, kKeyWriteAccess, key);
        if (opened != kSuccess)
            return opened;
        const long written = WriteKeyValue(*m_calls, key, valueName, kRegSz, Value { text });
        m_calls->closeKey(key);
        return written;
    }

    long RemoveRegValue(Hive hive, const std::string& keyPath, const std::string& valueName) override
    {
        KeyHandle key = 0;
        const long opened = m_calls->openKey(hive, keyPath, kKeyWriteAccess, key);
        if (opened != kSuccess)
            return opened;
        const long removed = m_calls->deleteValue(key, valueName);
        m_calls->closeKey(key);
        return removed;
    }

private:
    std::unique_ptr<RegistryCalls> m_calls;
};

} // namespace

std::unique_ptr<Registry> makeRegistry(std::unique_ptr<RegistryCalls> calls)
{
    return std::make_unique<CallRegistry>(std::move(calls));
}

} // namespace rostrel::registry
