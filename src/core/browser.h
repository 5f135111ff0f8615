#pragma once
// Starts the user's web browser on an address. Plain C++ (the Windows backend needs no Qt).

#include <memory>
#include <string>

namespace rostrel {

enum class BrowserResult
{
    Started, // handed to the browser (whether it then starts is not known)
    NoBrowser, // no browser found; the caller tells the user
    Failed, // something else went wrong before a browser was looked for; nothing to tell
};

class BrowserOpener
{
public:
    virtual ~BrowserOpener() = default;
    virtual BrowserResult open(const std::string& url) = 0;
};

} // namespace rostrel
