// Profiles as GetFile reads them: every line, the last one included, ends in CR LF; no lone CR
// is left; and the text is the file's lines (ended at CR or CR LF) joined that way.

#include "catalogue/profiles.h"
#include "core/textlines.h"
#include "fakes.h"
#include "fuzzsupport.h"

using namespace rostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fakes::FakeLog log;
    const QByteArray file = fuzz::bytes(data, size);
    const QString path = fuzz::writeScratch(QStringLiteral("Rostrel.lua"), file);
    const QByteArray profile = GetFile(QStringLiteral("C:\\Rostrel.lua"), path, log);
    FUZZ_CHECK(log.messages.isEmpty());

    FUZZ_CHECK(profile.isEmpty() == file.isEmpty());
    if (!profile.isEmpty())
        FUZZ_CHECK(profile.endsWith("\r\n"));
    for (qsizetype cr = profile.indexOf('\r'); cr >= 0; cr = profile.indexOf('\r', cr + 1))
        FUZZ_CHECK(cr + 1 < profile.size() && profile.at(cr + 1) == '\n');
    QByteArray expected;
    for (const QByteArray& line : splitLines(file))
        expected += line + "\r\n";
    FUZZ_CHECK(profile == expected);
    return 0;
}
