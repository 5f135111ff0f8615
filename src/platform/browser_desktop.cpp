// The desktop's default browser, through xdg-open.

#include "platform/backends.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace rostrel {
namespace {

class DesktopBrowserOpener final : public BrowserOpener
{
public:
    BrowserResult open(const std::string& url) override
    {
        // Started detached (Qt reaps the intermediate child, so nothing is left as a zombie),
        // with the address as one argument and no shell in between. xdg-open that cannot be
        // started is typically not installed: no browser to be had.
        return QProcess::startDetached(QStringLiteral("xdg-open"), { QString::fromStdString(url) })
            ? BrowserResult::Started
            : BrowserResult::NoBrowser;
    }
};

} // namespace

std::unique_ptr<BrowserOpener> makeDesktopBrowserOpener()
{
    return std::make_unique<DesktopBrowserOpener>();
}

} // namespace rostrel
