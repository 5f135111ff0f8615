#pragma once
// Whole-file reads and writes. Every file the program or the reference site writes goes through
// writeFileAtomically, so a full disk, a size limit or a crash never leaves a half-written file
// in place of a good one.

#include "core/result.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace rostrel::io {

// Writes bytes to a temporary file beside path and renames it over path. With permissions set
// (anything but the default), they are given to the file before a byte is written, also when it
// replaces a file that was more open. On failure path is as it was and the error says why.
Result<void> writeFileAtomically(
    const QString& path, const QByteArray& bytes, QFileDevice::Permissions permissions = {});

// Text of the settings files: in the system's code page when every character fits (what other
// programs of the platform expect), otherwise UTF-8, so that nothing typed is lost. On Linux the
// code page is UTF-8.
QByteArray encodeLocalText(const QString& text);
// Bytes that are valid UTF-8 are read as UTF-8, anything else in the system's code page.
QString decodeLocalText(const QByteArray& bytes);

// A buffer of `size` bytes, with room for `room` more, to read a file of up to tens of megabytes
// into. Where the system offers large pages they are asked for: touching fresh memory costs a
// fault per 4 KB page otherwise, the most of a large profile's read on a virtual machine.
QByteArray bufferForFile(qint64 size, qint64 room = 0);

// Reads a whole ordinary file of at most maxBytes bytes. A folder, a pipe or device, a missing or
// unreadable file and a larger file are failures.
Result<QByteArray> readFile(const QString& path, qint64 maxBytes);

} // namespace rostrel::io
