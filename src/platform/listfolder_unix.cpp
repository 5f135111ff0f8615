// Folder listings on Unix. A rescan lists every folder of the account tree, so this reads the
// directory once and asks for an entry's type only where the directory does not tell it.

#include "platform/backends.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace rostrel {
namespace {

// Device and inode alone do not tell folders apart: a folder deleted and made again often gets
// the freed inode back. Its birth time tells; where the file system keeps none, the change time
// does, which also moves when entries change (the folder is then taken for another one: slower,
// never wrong).
quint64 folderId(int fd)
{
    quint64 id = kFolderIdSeed;
#if defined(__linux__) && defined(STATX_BTIME)
    struct statx self;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME | STATX_CTIME, &self) != 0)
        return 0;
    const statx_timestamp& time = (self.stx_mask & STATX_BTIME) ? self.stx_btime : self.stx_ctime;
    id = mixFolderId(
        mixFolderId(mixFolderId(id, (quint64(self.stx_dev_major) << 32) | self.stx_dev_minor), self.stx_ino),
        mixFolderId(quint64(time.tv_sec), time.tv_nsec));
#else
    struct stat self;
    if (::fstat(fd, &self) != 0)
        return 0;
    id = mixFolderId(mixFolderId(mixFolderId(id, quint64(self.st_dev)), quint64(self.st_ino)), quint64(self.st_ctime));
#endif
    return id ? id : 1;
}

} // namespace

FolderListing listFolder(const QString& hostPath)
{
    FolderListing listing;
    const QByteArray native = QFile::encodeName(hostPath);
    DIR* dir = ::opendir(native.constData());
    if (!dir)
        return listing;
    const int fd = ::dirfd(dir);
    listing.id = folderId(fd);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        // Names starting with a dot are Unix's hidden entries (Wine hides them from the game too);
        // this also leaves out "." and "..".
        if (name[0] == '.')
            continue;
        bool isFolder = false;
        bool isFile = false;
        unsigned char type = DT_UNKNOWN;
#ifdef _DIRENT_HAVE_D_TYPE
        type = entry->d_type;
#endif
        if (type == DT_DIR) {
            isFolder = true;
        } else if (type == DT_REG) {
            isFile = true;
        } else if (type == DT_LNK || type == DT_UNKNOWN) {
            listing.links = listing.links || type == DT_LNK;
            // Links are followed, as the game sees what they point to; a dangling one is left out.
            struct stat info;
            if (type == DT_UNKNOWN) {
                struct stat own;
                listing.links
                    = listing.links || (::fstatat(fd, name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode));
            }
            if (::fstatat(fd, name, &info, 0) == 0) {
                isFolder = S_ISDIR(info.st_mode);
                isFile = S_ISREG(info.st_mode);
            }
        }
        if (!isFolder && !isFile)
            continue; // devices, sockets and pipes are neither
        const QString decoded = QFile::decodeName(name);
        listing.all << decoded;
        if (isFile)
            listing.files << decoded;
    }
    ::closedir(dir);
    return listing;
}

} // namespace rostrel
