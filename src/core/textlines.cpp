#include "core/textlines.h"

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

} // namespace rostrel
