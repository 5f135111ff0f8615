// The installed addon's table of contents, read in chunks by GetMyVersion: the version must be
// the one the line rules give for the whole file, wherever a chunk ends (inputs are placed so
// that their first bytes straddle the first chunk's end).

#include "addon/installedaddon.h"
#include "catalogue/gamefolders.h"
#include "core/textlines.h"
#include "fakes.h"
#include "fuzzsupport.h"

using namespace rostrel;

namespace {

// The rule stated plainly: the first line holding "Version:", the character after the colon
// skipped, the rest trimmed of spaces; absent when the line ends at the colon.
std::optional<QString> expectedVersion(const QByteArray& file)
{
    for (const QByteArray& bytes : splitLines(file)) {
        const QString line = QString::fromUtf8(bytes);
        const qsizetype at = line.indexOf(u"Version:");
        if (at < 0)
            continue;
        const qsizetype start = at + 8;
        if (start >= line.size())
            return std::nullopt;
        const QString rest = line.mid(start);
        const qsizetype skip
            = QStringView(rest).first(1).at(0).isHighSurrogate() && rest.size() > 1 && rest.at(1).isLowSurrogate() ? 2
                                                                                                                   : 1;
        return trimSpaces(rest.mid(skip));
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fakes::FakeRegistry registry;
    static fakes::FakePathLayer paths { fuzz::scratch() };
    static fakes::FakeDialogs dialogs;
    static fakes::FakeExit exit;
    static fakes::FakeLog log;
    static GameFolders folders { registry, paths, dialogs, exit, log };
    static InstalledAddon addon { folders, log };
    registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\"));

    QByteArray file = fuzz::bytes(data, size);
    if (!file.isEmpty() && (file.at(0) & 1)) {
        // Lead-in of plain text, so that the input's bytes from (first byte / 2) on start at the
        // reader's 64 KiB chunk boundary.
        const int offset = static_cast<unsigned char>(file.at(0)) / 2;
        file = QByteArray(64 * 1024 - offset, 'x') + file.mid(1);
    }
    fuzz::writeScratch(QStringLiteral("Games/WoW/Interface/Addons/Rostrel/Rostrel.toc"), file);
    const std::optional<QString> version = addon.GetMyVersion();
    FUZZ_CHECK(version == expectedVersion(file));
    FUZZ_CHECK(dialogs.shown.isEmpty());
    return 0;
}
