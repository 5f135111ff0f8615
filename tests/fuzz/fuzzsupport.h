#pragma once
// Shared by the fuzz targets: a scratch folder for inputs that are read from files, and a check
// that stops the run (so libFuzzer keeps the input) when an invariant breaks.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace rostrel::fuzz {

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// One folder per fuzzing process, removed when it ends.
inline const QString& scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/rostrel-fuzz-XXXXXX"));
    static const QString path = dir.path();
    return path;
}

inline QString writeScratch(const QString& relative, const QByteArray& content)
{
    const QString path = scratch() + u'/' + relative;
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        std::abort();
    return path;
}

// Splits an input at the first NUL into two independent inputs.
inline std::pair<QByteArray, QByteArray> splitAtNul(const QByteArray& input)
{
    const qsizetype nul = input.indexOf('\0');
    if (nul < 0)
        return { input, {} };
    return { input.left(nul), input.mid(nul + 1) };
}

[[noreturn]] inline void broken(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "INVARIANT BROKEN at %s:%d: %s\n", file, line, what);
    std::abort();
}

} // namespace rostrel::fuzz

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            ::rostrel::fuzz::broken(#condition, __FILE__, __LINE__);                                                   \
    } while (false)
