#include "core/textlines.h"

#include <cstring>

namespace rostrel {

QList<QByteArray> splitLines(const QByteArray& bytes, bool lfEndsLine)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = bytes.at(i);
        if (c == '\r') {
            lines.append(bytes.mid(start, i - start));
            if (i + 1 < size && bytes.at(i + 1) == '\n')
                ++i;
            start = i + 1;
        } else if (c == '\n' && lfEndsLine) {
            lines.append(bytes.mid(start, i - start));
            start = i + 1;
        }
    }
    if (start < size)
        lines.append(bytes.mid(start));
    return lines;
}

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

QByteArray endLinesWithCrLf(QByteArray bytes)
{
    if (bytes.isEmpty())
        return bytes;
    // Profiles the game writes end every line in CR LF already: pass those on without a copy,
    // adding only a missing end to the last line. (Profiles can be tens of megabytes.)
    const char* data = bytes.constData();
    const qsizetype size = bytes.size();
    bool loneCr = false;
    for (const char* cr = static_cast<const char*>(std::memchr(data, '\r', size)); cr;) {
        const qsizetype at = cr - data;
        if (at + 1 >= size || data[at + 1] != '\n') {
            loneCr = true;
            break;
        }
        cr = static_cast<const char*>(std::memchr(cr + 2, '\r', size - at - 2));
    }
    if (!loneCr) {
        if (!bytes.endsWith("\r\n"))
            bytes += "\r\n";
        return bytes;
    }

    QByteArray text;
    text.reserve(size + size / 16 + 2);
    bool lineEnded = false;
    for (qsizetype i = 0; i < size; ++i) {
        lineEnded = data[i] == '\r';
        if (!lineEnded) {
            text += data[i];
            continue;
        }
        text += "\r\n";
        if (i + 1 < size && data[i + 1] == '\n')
            ++i;
    }
    if (!lineEnded)
        text += "\r\n";
    return text;
}

} // namespace rostrel
