// Folder listings on Unix. A rescan lists every folder of the account tree, so this reads the
// directory once and asks for an entry's type only where the directory does not tell it.

#include "platform/pathlayer.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace rostrel {

FolderListing listFolder(const QString& hostPath)
{
    FolderListing listing;
    const QByteArray native = QFile::encodeName(hostPath);
    DIR* dir = ::opendir(native.constData());
    if (!dir)
        return listing;
    const int fd = ::dirfd(dir);
    struct stat self;
    if (::fstat(fd, &self) == 0)
        listing.id = (quint64(self.st_dev) << 40) ^ quint64(self.st_ino);
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
