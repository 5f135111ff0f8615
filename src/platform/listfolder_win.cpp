// Folder listings on Windows through the ANSI find functions. Hidden and system entries are left
// out, as the game's own listing with an attribute filter does: a backup folder Windows marks
// hidden, or desktop.ini, never becomes an entry.

#include "platform/backends.h"

#include <QDir>

#include <windows.h>

namespace rostrel {
namespace {

// The volume and file index tell folders apart; the creation time tells a folder deleted and made
// again from the old one where the index is handed out anew.
quint64 folderId(const QByteArray& path)
{
    const HANDLE folder = CreateFileA(path.constData(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(folder, &info);
    CloseHandle(folder);
    if (!known)
        return 0;
    const quint64 index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    const quint64 created = (quint64(info.ftCreationTime.dwHighDateTime) << 32) | info.ftCreationTime.dwLowDateTime;
    const quint64 id = mixFolderId(mixFolderId(mixFolderId(kFolderIdSeed, info.dwVolumeSerialNumber), index), created);
    return id ? id : 1;
}

} // namespace

FolderListing listFolder(const QString& hostPath)
{
    FolderListing listing;
    QString folder = QDir::toNativeSeparators(hostPath);
    if (!folder.endsWith(u'\\'))
        folder += u'\\';
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(QString(folder + u'*').toLocal8Bit().constData(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return listing;
    listing.id = folderId(folder.toLocal8Bit());
    do {
        const DWORD attributes = found.dwFileAttributes;
        if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
            continue;
        const QString name = QString::fromLocal8Bit(found.cFileName);
        if (name == u"." || name == u"..")
            continue;
        // Links and junctions: what they lead to can change without this folder changing.
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            listing.links = true;
        listing.all << name;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            listing.files << name;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return listing;
}

} // namespace rostrel
