#pragma once
// Line handling shared by everything that reads the program's text files.

#include <QByteArray>
#include <QList>
#include <QString>

namespace rostrel {

// Splits file bytes into lines the way the game's platform reads text: a line ends at CR LF or
// at a lone CR, and a lone LF stays inside the line. With lfEndsLine a lone LF ends a line too.
// Bytes after the last line end make one more line; a file ending in a line end has no empty
// last line.
QList<QByteArray> splitLines(const QByteArray& bytes, bool lfEndsLine = false);

// The same line rule as a profile is read with: lines end at CR or CR LF, and each comes back
// ended by CR LF (a lone LF stays inside its line).
QByteArray endLinesWithCrLf(QByteArray bytes);

// Removes the space character (only that) from both ends.
QString trimSpaces(const QString& text);

} // namespace rostrel
