// The browser Windows associates with ".htm" files, found through a marker file "temp.htm"
// in the current folder (left there afterwards), then started with the address.

#include "platform/browser.h"
#include "platform/winansi.h"

#include <cstdio>

#include <windows.h>

#include <shellapi.h>

namespace rostrel {
namespace {

class WindowsBrowserOpener final : public BrowserOpener
{
public:
    bool open(const std::string& url) override
    {
        // The quoted marker line, 18 bytes with its CR LF. Only its extension matters.
        static constexpr char kMarker[] = "\"<HTML> <\\HTML>\"\r\n";
        std::FILE* file = std::fopen("temp.htm", "wb");
        if (!file)
            return false;
        const bool written = std::fwrite(kMarker, 1, sizeof kMarker - 1, file) == sizeof kMarker - 1;
        if (std::fclose(file) != 0 || !written)
            return false;

        // Room for the longest path the call may write, with its NUL.
        char browser[MAX_PATH + 1] = {};
        const auto found = reinterpret_cast<INT_PTR>(FindExecutableA("temp.htm", nullptr, browser));
        if (found <= 32)
            return false;
        const auto started = reinterpret_cast<INT_PTR>(
            ShellExecuteA(nullptr, "open", browser, winansi::toAnsi(url).c_str(), nullptr, SW_SHOWNORMAL));
        return started > 32;
    }
};

} // namespace

std::unique_ptr<BrowserOpener> makeWindowsBrowserOpener()
{
    return std::make_unique<WindowsBrowserOpener>();
}

} // namespace rostrel
