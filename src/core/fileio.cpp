#include "core/fileio.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using namespace Qt::Literals::StringLiterals;

namespace rostrel::io {

Result<void> writeFileAtomically(const QString& path, const QByteArray& bytes, QFileDevice::Permissions permissions)
{
    QSaveFile file(path);
    // Unbuffered: a buffered write that the system cuts short (disk full, size limit) is flushed
    // without complaint and would be committed truncated.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return Failure { file.errorString() };
    if (permissions != QFileDevice::Permissions {} && !file.setPermissions(permissions)) {
        const QString error = file.errorString();
        file.cancelWriting();
        return Failure { error };
    }
    if (file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return Failure { error };
    }
    if (!file.commit())
        return Failure { file.errorString() };
    return {};
}

Result<QByteArray> readFile(const QString& path, qint64 maxBytes)
{
    QFile file(path);
    const QFileInfo info(path);
    // A pipe or a device would hold the read (and the window) for as long as it pleases.
    if (info.exists() && !info.isFile() && !info.isDir())
        return Failure { u"Not an ordinary file"_s };
    if (info.size() > maxBytes)
        return Failure { u"File too large"_s };
    if (!file.open(QIODevice::ReadOnly))
        return Failure { file.errorString() };
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Failure { file.errorString() };
    if (bytes.size() > maxBytes) // it grew after it was looked at
        return Failure { u"File too large"_s };
    return bytes;
}

} // namespace rostrel::io
