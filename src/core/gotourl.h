#pragma once
// Opens a web address in the user's browser; tells the user when there is none.

#include <QString>

namespace rostrel {

class BrowserOpener;
class Dialogs;

void OpenInBrowser(const QString& url, BrowserOpener& browser, Dialogs& dialogs);

} // namespace rostrel
