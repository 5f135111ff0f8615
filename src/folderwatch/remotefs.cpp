#include "folderwatch/remotefs.h"

#include <QStorageInfo>

namespace rostrel {

bool reportsLocalChanges(const QString& folder, QString* why)
{
    static const char* const kRemote[] = { "nfs", "nfs4", "cifs", "smb", "smb2", "smb3", "smbfs", "9p", "afs", "ceph",
        "glusterfs", "davfs", "fuse.sshfs", "fuse.rclone", "fuse.gvfsd-fuse", "fuse.s3fs" };
    const QByteArray type = QStorageInfo(folder).fileSystemType();
    for (const char* remote : kRemote) {
        if (type == remote) {
            if (why)
                *why = QString::fromLatin1(type);
            return false;
        }
    }
    return true;
}

} // namespace rostrel
