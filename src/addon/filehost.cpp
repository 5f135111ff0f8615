#include "addon/filehost.h"

#include "core/config.h"
#include "core/textlines.h"

#include <QUrl>
#include <algorithm>
#include <array>

namespace rostrel {

namespace {

const QString kCrLf = QStringLiteral("\r\n");
// Longest file name the common file systems accept, in UTF-8 bytes.
constexpr qsizetype kMaxFileNameBytes = 255;

bool isWindowsDeviceName(const QString& name)
{
    // "CON", "nul.txt", "COM1.lua" open a device on the game's platform instead of a file, with any
    // extension and spaces before it. Refused on every platform: the list is the same for all.
    const QString stem = name.section(u'.', 0, 0).trimmed().toUpper();
    static const std::array<QString, 6> plain { QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
        QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$") };
    if (std::find(plain.begin(), plain.end(), stem) != plain.end())
        return true;
    if (stem.size() != 4 || !(stem.startsWith(u"COM") || stem.startsWith(u"LPT")))
        return false;
    // Windows takes the superscript digits one, two and three for ports too.
    const char16_t digit = stem.at(3).unicode();
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00b9' || digit == u'\u00b2' || digit == u'\u00b3';
}

} // namespace

QString fileHostBase(const QString& override)
{
    QString host = override.trimmed();
    QString scheme = QStringLiteral("http://");
    if (host.startsWith(u"https://", Qt::CaseInsensitive)) {
        scheme = QStringLiteral("https://");
        host = host.mid(8);
    } else if (host.startsWith(u"http://", Qt::CaseInsensitive)) {
        host = host.mid(7);
    }
    while (host.endsWith(u'/'))
        host.chop(1);
    if (host.isEmpty())
        host = QString::fromUtf8(config::kFileHost);
    if (host.isEmpty())
        return {};
    return scheme + host + QStringLiteral("/files/Rostrel/");
}

QString fileHostBaseFromEnvironment()
{
    return fileHostBase(qEnvironmentVariable("ROSTREL_FILE_HOST"));
}

QString fileUrl(const QString& base, const QString& name)
{
    QUrl url(base);
    // Decoded mode: a "%", "#" or "?" in a name is part of the name, not of the address syntax.
    url.setPath(url.path(QUrl::FullyDecoded) + name, QUrl::DecodedMode);
    return url.toString(QUrl::FullyEncoded);
}

bool isSafeFileName(const QString& name)
{
    // Windows drops a name's trailing dots and spaces: "..." names the addon folder itself and
    // ".. " its parent, and "a.lua." would not be the file the list names.
    if (name.isEmpty() || name.endsWith(u'.') || name.endsWith(u' '))
        return false;
    for (const QChar c : name) {
        // Separators and drive letters would leave the folder; control characters are no file names.
        if (c == u'/' || c == u'\\' || c == u':' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    if (name.toUtf8().size() > kMaxFileNameBytes)
        return false;
    return !isWindowsDeviceName(name);
}

QString cleanVersion(const QByteArray& versionFile)
{
    return trimSpaces(QString::fromUtf8(versionFile)).remove(kCrLf);
}

QStringList splitFileList(const QByteArray& fileList)
{
    return QString::fromUtf8(fileList).split(kCrLf);
}

} // namespace rostrel
