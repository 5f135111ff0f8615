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
    // Profiles run to tens of megabytes: the line ends are mended within the one buffer, which
    // grows only by what is added (a LF after each lone CR, a CR LF after a last line without one).
    const qsizetype size = bytes.size();
    const char* data = bytes.constData();
    qsizetype loneCrs = 0;
    for (const char* cr = static_cast<const char*>(std::memchr(data, '\r', size)); cr;) {
        qsizetype next = cr - data + 1;
        if (next < size && data[next] == '\n')
            ++next;
        else
            ++loneCrs;
        cr = next < size ? static_cast<const char*>(std::memchr(data + next, '\r', size - next)) : nullptr;
    }
    const bool unended = data[size - 1] != '\r' && !bytes.endsWith("\r\n");
    if (loneCrs == 0) {
        if (unended)
            bytes += "\r\n";
        return bytes;
    }

    bytes.resize(size + loneCrs + (unended ? 2 : 0));
    char* text = bytes.data();
    qsizetype to = bytes.size();
    if (unended) {
        text[--to] = '\n';
        text[--to] = '\r';
    }
    // From the end backwards, each byte moved right by the LFs still to be added before it; what
    // lies before the first lone CR stays where it is.
    int after = -1; // the byte that followed, as read
    for (qsizetype from = size - 1; to > from + 1; --from) {
        const char c = text[from];
        if (c == '\r' && after != '\n')
            text[--to] = '\n';
        text[--to] = c;
        after = c;
    }
    return bytes;
}

} // namespace rostrel
