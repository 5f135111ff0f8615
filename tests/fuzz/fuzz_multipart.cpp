// The guild site's side of an upload: the boundary from the Content-Type, and the multipart body.
// Any body parses or is refused without reading outside it; and the body the program builds
// parses back to the login, password and profile it was built from.

#include "fuzzsupport.h"
#include "guild-site/multipart.h"
#include "upload/uploader.h"

using namespace rostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    if (input.isEmpty())
        return 0;
    const QByteArray rest = input.mid(1);
    if (input.at(0) & 1) {
        const auto [contentType, body] = fuzz::splitAtNul(rest);
        const QByteArray boundary = multipartBoundary(contentType);
        FUZZ_CHECK(boundary.size() <= 70 && !boundary.contains('\r') && !boundary.contains('\n'));
        const Result<UploadForm> parsed = parseUploadForm(body, boundary.isEmpty() ? QByteArray("AaB03x") : boundary);
        FUZZ_CHECK(parsed.ok() != !parsed.error().isEmpty());
        if (parsed) {
            FUZZ_CHECK(parsed->fileOffset >= 0 && parsed->fileSize >= 0);
            FUZZ_CHECK(parsed->fileOffset + parsed->fileSize <= body.size());
        }
        (void)decodeFormField(body);
        return 0;
    }

    const auto [loginBytes, more] = fuzz::splitAtNul(rest);
    const auto [passwordBytes, profile] = fuzz::splitAtNul(more);
    const QString login = QString::fromUtf8(loginBytes);
    const QString password = QString::fromUtf8(passwordBytes);
    const QByteArray body = Uploader::buildBody(login, password, profile);
    const QByteArray boundary = multipartBoundary("multipart/form-data, boundary=AaB03x");
    FUZZ_CHECK(boundary == "AaB03x");
    const Result<UploadForm> parsed = parseUploadForm(body, boundary);
    // A profile holding a boundary line of its own, or a login or password that starts like one,
    // cannot be told from the form's: the program's format has no escape for them.
    if (QByteArray("\r\n" + profile).contains("\r\n--AaB03x") || Uploader::EncodeForm(login).startsWith(u"--AaB03x")
        || Uploader::EncodeForm(password).startsWith(u"--AaB03x"))
        return 0;
    FUZZ_CHECK(parsed.ok());
    FUZZ_CHECK(parsed->login == login);
    FUZZ_CHECK(parsed->password == password);
    FUZZ_CHECK(QByteArrayView(body).sliced(parsed->fileOffset, parsed->fileSize) == profile);
    return 0;
}
