// The file host's check of a requested name: a name it lets through, joined to the served folder,
// never leaves that folder, whatever the dots, slashes and escapes.

#include "fuzzsupport.h"
#include "guild-site/guildsite.h"

using namespace rostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray name = fuzz::bytes(data, size);
    if (!fileNameRefusal(name).isEmpty())
        return 0;
    const QString root = QStringLiteral("/srv/guild/files");
    const QString joined = QDir::cleanPath(root + u'/' + QString::fromUtf8(name));
    FUZZ_CHECK(joined.startsWith(root + u'/'));
    FUZZ_CHECK(!name.contains('\0') && !name.contains('\\'));
    return 0;
}
