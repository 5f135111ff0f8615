#include "core/fileio.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>

#ifdef Q_OS_UNIX
#include <algorithm>
#include <csignal>
#endif
#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

using namespace Qt::Literals::StringLiterals;

namespace rostrel::io {

namespace {

// The crash-safety test sets ROSTREL_TEST_STOP_IN_WRITES so that its kills land inside a write by
// construction rather than by luck (a write to a RAM disk is over before anyone can look): every
// write then stops the process once half of its bytes are in the temporary file and again just
// before the rename, and the test kills it there or lets it go on.
void stopHereForCrashTest()
{
#ifdef Q_OS_UNIX
    static const bool enabled = qEnvironmentVariableIsSet("ROSTREL_TEST_STOP_IN_WRITES");
    if (enabled)
        std::raise(SIGSTOP);
#endif
}

} // namespace

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
    const qsizetype half = bytes.size() / 2;
    const bool firstHalf = file.write(bytes.constData(), half) == half;
    if (firstHalf)
        stopHereForCrashTest();
    if (!firstHalf || file.write(bytes.constData() + half, bytes.size() - half) != bytes.size() - half) {
        const QString error = file.errorString();
        file.cancelWriting();
        return Failure { error };
    }
    stopHereForCrashTest();
    if (!file.commit())
        return Failure { file.errorString() };
    return {};
}

QByteArray encodeLocalText(const QString& text)
{
    QStringEncoder toLocal(QStringConverter::System);
    QByteArray local = toLocal(text);
    // A code page writes what it cannot hold as "?" without always saying so: only a round trip
    // shows that the text fits.
    QStringDecoder fromLocal(QStringConverter::System);
    const QString back = fromLocal(local);
    if (toLocal.hasError() || fromLocal.hasError() || back != text)
        return text.toUtf8();
    // Code-page bytes that happen to be valid UTF-8 would be read back as UTF-8.
    const QByteArray utf8 = text.toUtf8();
    if (local != utf8 && decodeLocalText(local) != text)
        return utf8;
    return local;
}

QString decodeLocalText(const QByteArray& bytes)
{
    QStringDecoder fromUtf8(QStringConverter::Utf8);
    QString text = fromUtf8(bytes);
    if (!fromUtf8.hasError())
        return text;
    QStringDecoder fromLocal(QStringConverter::System);
    return fromLocal(bytes);
}

QByteArray bufferForFile(qint64 size, qint64 room)
{
    QByteArray bytes;
    bytes.reserve(qsizetype(size + room));
    bytes.resize(qsizetype(size));
#ifdef Q_OS_LINUX
    // Only whole large pages inside the buffer; a hint, so a system that declines changes nothing.
    constexpr quintptr kLargePage = 2 * 1024 * 1024;
    const quintptr first = (quintptr(bytes.data()) + kLargePage - 1) & ~(kLargePage - 1);
    const quintptr last = (quintptr(bytes.data()) + quintptr(size)) & ~(kLargePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
    return bytes;
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
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return Failure { file.errorString() };
    // Read into one buffer of the file's size, with room for the line end a text's last line may
    // lack, so that a profile of tens of megabytes is neither copied nor grown to add it.
    QByteArray bytes = bufferForFile(info.size(), 2);
    const qint64 got = bytes.isEmpty() ? 0 : file.read(bytes.data(), bytes.size());
    bytes.resize(qsizetype(std::max<qint64>(got, 0)));
    if (got >= 0 && !file.atEnd())
        bytes += file.readAll(); // it grew after it was looked at
    if (got < 0 || file.error() != QFileDevice::NoError)
        return Failure { file.errorString() };
    if (bytes.size() > maxBytes) // it grew after it was looked at
        return Failure { u"File too large"_s };
    return bytes;
}

} // namespace rostrel::io
