#pragma once
// UTF-8 to and from the Windows system code page, for the ANSI functions. Windows only.

#include <string>

#include <windows.h>

namespace rostrel::winansi {

inline std::string convert(const std::string& text, UINT from, UINT to)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(from, 0, text.data(), length, nullptr, 0);
    if (wideLength <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(from, 0, text.data(), length, wide.data(), wideLength);
    const int outLength = WideCharToMultiByte(to, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (outLength <= 0)
        return {};
    std::string out(static_cast<std::size_t>(outLength), '\0');
    WideCharToMultiByte(to, 0, wide.data(), wideLength, out.data(), outLength, nullptr, nullptr);
    return out;
}

// Embedded and terminating NULs are kept: the length is explicit.
inline std::string toAnsi(const std::string& utf8)
{
    return convert(utf8, CP_UTF8, CP_ACP);
}
inline std::string fromAnsi(const std::string& ansi)
{
    return convert(ansi, CP_ACP, CP_UTF8);
}

} // namespace rostrel::winansi
