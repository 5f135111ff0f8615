#include "core/gotourl.h"

#include "core/browser.h"
#include "core/seams.h"

namespace rostrel {

void OpenInBrowser(const QString& url, BrowserOpener& browser, Dialogs& dialogs)
{
    if (browser.open(url.toStdString()) != BrowserResult::NoBrowser)
        return;
    dialogs.show({ QStringLiteral("Could not find associated Browser"), QStringLiteral("Browser Not Found"),
        BoxIcon::Exclamation, BoxButtons::Ok });
}

} // namespace rostrel
