// Folder listings on Windows: hidden and system entries are left out, as the attribute filter of
// a plain directory listing does.

#include "platform/pathlayer.h"

#include <QDir>

namespace rostrel {

FolderListing listFolder(const QString& hostPath)
{
    FolderListing listing;
    const QDir dir(hostPath);
    listing.all = dir.entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    listing.files = dir.entryList(QDir::Files, QDir::Unsorted);
    return listing;
}

} // namespace rostrel
