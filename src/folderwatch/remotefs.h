#pragma once
// Shared by the Unix backends: file systems whose changes are made on another machine, and so
// never reported here.

#include <QString>

namespace rostrel {

// False, with the file system's type in why, where the folder lies on a network file system.
bool reportsLocalChanges(const QString& folder, QString* why);

} // namespace rostrel
