// Folder listings on Windows through the ANSI find functions. Hidden and system entries are left
// out, as the game's own listing with an attribute filter does: a backup folder Windows marks
// hidden, or desktop.ini, never becomes an entry.

#include "platform/pathlayer.h"

#include <QDir>

#include <windows.h>

namespace rostrel {

FolderListing listFolder(const QString& hostPath)
{
    FolderListing listing;
    QString pattern = QDir::toNativeSeparators(hostPath);
    if (!pattern.endsWith(u'\\'))
        pattern += u'\\';
    pattern += u'*';
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(pattern.toLocal8Bit().constData(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return listing;
    do {
        const DWORD attributes = found.dwFileAttributes;
        if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
            continue;
        const QString name = QString::fromLocal8Bit(found.cFileName);
        if (name == u"." || name == u"..")
            continue;
        listing.all << name;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            listing.files << name;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return listing;
}

} // namespace rostrel
