// Folder listings on Windows through the wide (UTF-16) functions, so that a name the system code
// page cannot hold lists and opens as it is. Hidden and system entries are left out, as the game's
// own listing with an attribute filter does: a backup folder Windows marks hidden, or desktop.ini,
// never becomes an entry.
//
// The folder is opened once: the same handle gives its identity and its entries, where asking for
// the identity apart would open every folder a second time.

#include "platform/backends.h"

#include <QDir>

#include <vector>

#include <windows.h>

namespace rostrel {
namespace {

class Handle
{
public:
    explicit Handle(HANDLE handle)
        : m_handle(handle)
    { }
    ~Handle()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

// The file index tells folders apart (a tree's folders share its volume, where a folder moved in
// from elsewhere arrives with an index of the volume's own); the creation time tells a folder
// deleted and made again from the old one where the index is handed out anew.
quint64 idOf(quint64 index, quint64 created)
{
    const quint64 id = mixFolderId(mixFolderId(kFolderIdSeed, index), created);
    return id ? id : 1;
}

quint64 folderId(HANDLE folder)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info))
        return 0;
    return idOf((quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
        (quint64(info.ftCreationTime.dwHighDateTime) << 32) | info.ftCreationTime.dwLowDateTime);
}

void add(FolderListing& listing, DWORD attributes, const wchar_t* name, std::size_t length)
{
    if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        return;
    const QString text = QString::fromWCharArray(name, static_cast<qsizetype>(length));
    if (text == u"." || text == u"..")
        return;
    // Links and junctions: what they lead to can change without this folder changing.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        listing.links = true;
    listing.all << text;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        listing.files << text;
}

// The entries through the open folder. False when the file system does not list that way.
bool listOpenFolder(HANDLE folder, FolderListing& listing)
{
    // DWORD-aligned, as the entries must be. Kept from folder to folder: a walk lists thousands,
    // and a fresh 64 KB buffer for each costs more than the listing itself.
    thread_local std::vector<DWORD> buffer(16 * 1024);
    const auto bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer.data(), bytes)) {
        kind = FileIdBothDirectoryInfo;
        const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            // The folder's own entry carries its identity, which spares asking for it apart.
            if (entry->FileNameLength == sizeof(wchar_t) && entry->FileName[0] == L'.')
                listing.id = idOf(quint64(entry->FileId.QuadPart), quint64(entry->CreationTime.QuadPart));
            add(listing, entry->FileAttributes, entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

void findFiles(const QString& folder, FolderListing& listing)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(
        QString(folder + u'*').toStdWString().c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do
        add(listing, found.dwFileAttributes, found.cFileName, wcslen(found.cFileName));
    while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace

FolderListing listFolder(const QString& hostPath)
{
    FolderListing listing;
    QString folder = QDir::toNativeSeparators(hostPath);
    if (!folder.endsWith(u'\\'))
        folder += u'\\';
    const Handle handle(CreateFileW(folder.toStdWString().c_str(), FILE_LIST_DIRECTORY,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
        nullptr));
    if (!handle.valid())
        return listing;
    if (!listOpenFolder(handle.get(), listing)) {
        // Some network and third-party file systems list only through the find functions.
        listing = {};
        findFiles(folder, listing);
    }
    if (listing.id == 0) // no entry of its own (a drive's root)
        listing.id = folderId(handle.get());
    return listing;
}

} // namespace rostrel
