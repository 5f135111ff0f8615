#pragma once
// The change notifications of the system through QFileSystemWatcher (inotify on Linux). The
// interface lives in core, so that a per-OS backend can stand in for it.

#include "core/folderwatch.h"

#include <memory>

namespace rostrel {

// The system's notifications.
std::unique_ptr<FolderWatch> makeSystemFolderWatch();

} // namespace rostrel
