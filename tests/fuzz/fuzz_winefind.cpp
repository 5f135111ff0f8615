// Prefix finding reads other programs' files: a Lutris game file and the system.reg of each
// candidate prefix. Whatever they hold, the answer is a clean absolute folder, and a prefix named
// by the game file that holds the game is the one found.

#include "fuzzsupport.h"
#include "platform/platform.h"

using namespace rostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString home = fuzz::scratch() + QStringLiteral("/home");
    const auto [lutris, systemReg] = fuzz::splitAtNul(fuzz::bytes(data, size));
    fuzz::writeScratch(QStringLiteral("home/.config/lutris/games/wow.yml"), lutris);
    fuzz::writeScratch(QStringLiteral("home/Games/wow/system.reg"), systemReg);
    fuzz::writeScratch(QStringLiteral("home/.steam/steam/steamapps/compatdata/1/pfx/system.reg"), systemReg);

    PlatformConfig config;
    config.homeDir = home;
    const QString prefix = findWinePrefix(config);
    FUZZ_CHECK(QDir::isAbsolutePath(prefix));
    FUZZ_CHECK(prefix == QDir::cleanPath(prefix));
    return 0;
}
