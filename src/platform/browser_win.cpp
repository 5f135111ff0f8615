// The browser Windows associates with ".htm" files, found through a marker file "temp.htm" (left
// there afterwards), then started with the address as its command line.

#include "platform/backends.h"
#include "platform/winansi.h"

#include <cstdio>

#include <windows.h>

#include <shellapi.h>

namespace rostrel {
namespace {

class WindowsBrowserOpener final : public BrowserOpener
{
public:
    explicit WindowsBrowserOpener(const std::string& markerFolder)
    {
        m_marker = markerFolder;
        if (!m_marker.empty() && m_marker.back() != '\\' && m_marker.back() != '/')
            m_marker += '\\';
        m_marker = winansi::toAnsi(m_marker + "temp.htm");
    }

    BrowserResult open(const std::string& url) override
    {
        // The quoted marker line, 18 bytes with its CR LF. Only its extension matters.
        static constexpr char kMarker[] = "\"<HTML> <\\HTML>\"\r\n";
        std::FILE* file = std::fopen(m_marker.c_str(), "wb");
        if (!file)
            return BrowserResult::Failed;
        const bool written = std::fwrite(kMarker, 1, sizeof kMarker - 1, file) == sizeof kMarker - 1;
        if (std::fclose(file) != 0 || !written)
            return BrowserResult::Failed;

        // Room for the longest path the call may write, with its NUL.
        char browser[MAX_PATH + 1] = {};
        const auto found = reinterpret_cast<INT_PTR>(FindExecutableA(m_marker.c_str(), nullptr, browser));
        if (found <= 32)
            return BrowserResult::NoBrowser;
        // Whether the browser then starts is not known to us either way.
        ShellExecuteA(nullptr, "open", browser, winansi::toAnsi(url).c_str(), nullptr, SW_SHOWNORMAL);
        return BrowserResult::Started;
    }

private:
    std::string m_marker; // in the system code page
};

} // namespace

std::unique_ptr<BrowserOpener> makeWindowsBrowserOpener(const std::string& markerFolder)
{
    return std::make_unique<WindowsBrowserOpener>(markerFolder);
}

} // namespace rostrel
