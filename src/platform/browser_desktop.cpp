// The desktop's default browser, through xdg-open.

#include "platform/browser.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace rostrel {
namespace {

class DesktopBrowserOpener final : public BrowserOpener
{
public:
    bool open(const std::string& url) override
    {
        // Started detached (Qt reaps the intermediate child, so nothing is left as a zombie),
        // with the address as one argument and no shell in between. False when xdg-open cannot
        // be started, typically because it is not installed.
        return QProcess::startDetached(QStringLiteral("xdg-open"), { QString::fromStdString(url) });
    }
};

} // namespace

std::unique_ptr<BrowserOpener> makeDesktopBrowserOpener()
{
    return std::make_unique<DesktopBrowserOpener>();
}

} // namespace rostrel
