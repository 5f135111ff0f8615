#pragma once
// Starts the user's web browser on an address. Plain C++ (the Windows backend needs no Qt).

#include <memory>
#include <string>

namespace rostrel {

class BrowserOpener
{
public:
    virtual ~BrowserOpener() = default;
    // False when no browser could be found or started; the caller tells the user.
    virtual bool open(const std::string& url) = 0;
};

// Windows: the browser associated with ".htm" files, found through a marker file "temp.htm"
// written into the current folder.
std::unique_ptr<BrowserOpener> makeWindowsBrowserOpener();
// Elsewhere: the desktop's default browser (xdg-open).
std::unique_ptr<BrowserOpener> makeDesktopBrowserOpener();

} // namespace rostrel
