#pragma once
// UTF-8 to and from UTF-16 (the wide functions) and the Windows system code page. Windows only.

#include <string>

#include <windows.h>

namespace rostrel::winansi {

inline std::wstring toWide(const std::string& utf8, UINT from = CP_UTF8)
{
    if (utf8.empty())
        return {};
    const int length = static_cast<int>(utf8.size());
    const int wideLength = MultiByteToWideChar(from, 0, utf8.data(), length, nullptr, 0);
    if (wideLength <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(from, 0, utf8.data(), length, wide.data(), wideLength);
    return wide;
}

inline std::string fromWide(const std::wstring& wide, UINT to = CP_UTF8)
{
    if (wide.empty())
        return {};
    const int wideLength = static_cast<int>(wide.size());
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
    return fromWide(toWide(utf8), CP_ACP);
}
inline std::string fromAnsi(const std::string& ansi)
{
    return fromWide(toWide(ansi, CP_ACP));
}

} // namespace rostrel::winansi
