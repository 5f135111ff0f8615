#pragma once
// The upload script's reading of a request: the boundary from a multipart/form-data Content-Type,
// the login, password and file parts of the body, and the program's form escaping. Any input is
// read only within its own bytes; what cannot be parsed is refused with a reason.

#include "core/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace rostrel {

// The fields of an upload form after decoding.
struct UploadForm
{
    QString login;
    QString password;
    // Where the file part's content lies in the body.
    qsizetype fileOffset = 0;
    qsizetype fileSize = 0;
};

// The media type of a Content-Type, without its parameters and blanks.
QByteArrayView mediaType(QByteArrayView contentType);

// The boundary parameter of a multipart/form-data Content-Type; the parameters may follow a
// comma as well as a semicolon. Empty when the type is not multipart/form-data or names none.
QByteArray multipartBoundary(QByteArrayView contentType);

// Splits an upload body into its login, password and file parts, or says why it is malformed.
Result<UploadForm> parseUploadForm(QByteArrayView body, QByteArrayView boundary);

// Reverses the program's form escaping: "%XX" is a byte, "+" a tab, the rest as is; the bytes
// are then UTF-8. Absent when a "%" is not followed by two hex digits.
std::optional<QString> decodeFormField(QByteArrayView field);

// Plain percent-decoding of a URL path; absent for a "%" without two hex digits after it.
std::optional<QByteArray> percentDecoded(QByteArrayView text);

} // namespace rostrel
