// What the file host publishes: the version text, the file list, and each listed name. A name the
// check accepts must stay a file inside the addon folder, on the disk as Windows reads a path
// and in the address it is fetched from.

#include "addon/filehost.h"
#include "core/pathlayer.h"
#include "fuzzsupport.h"
#include "platform/backends.h"

#include <QFileInfo>
#include <QUrl>

using namespace rostrel;

namespace {

const QString kBase = QStringLiteral("http://files.example.org:8080/files/Rostrel/");

// The name as Windows resolves it: trailing dots and spaces of a path component are dropped.
QString asWindowsReadsIt(QString name)
{
    while (!name.isEmpty() && (name.back() == u'.' || name.back() == u' '))
        name.chop(1);
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::unique_ptr<PathLayer> paths = [] {
        QDir().mkpath(fuzz::scratch() + QStringLiteral("/prefix/drive_c/Games/WoW/Interface/AddOns/Rostrel"));
        return makeWinePathLayer(fuzz::scratch() + QStringLiteral("/prefix"));
    }();
    static const QString addonFolder = QStringLiteral("C:\\Games\\WoW\\Interface\\Addons\\Rostrel");
    static const QString addonHost = QDir::cleanPath(paths->toHost(addonFolder));

    const auto [versionFile, fileList] = fuzz::splitAtNul(fuzz::bytes(data, size));
    const QString version = cleanVersion(versionFile);
    FUZZ_CHECK(!version.startsWith(u' ') || version.trimmed().isEmpty() || versionFile.contains("\r\n"));

    const QStringList names = splitFileList(fileList);
    FUZZ_CHECK(names.join(QStringLiteral("\r\n")) == QString::fromUtf8(fileList));
    for (const QString& name : names) {
        FUZZ_CHECK(!name.contains(QStringLiteral("\r\n")));
        if (!isSafeFileName(name))
            continue;
        // Where the file is stored: the addon folder's own child, under the name given.
        const QString host = paths->toHost(addonFolder + u'\\' + name);
        const QFileInfo stored(host);
        FUZZ_CHECK(QDir::cleanPath(stored.absolutePath()) == addonHost);
        FUZZ_CHECK(stored.fileName() == name);
        const QString windows = asWindowsReadsIt(name);
        FUZZ_CHECK(!windows.isEmpty() && windows != u"." && windows != u"..");
        // Where it is fetched from: the base's folder, the name as the path's last part.
        const QUrl url(fileUrl(kBase, name), QUrl::StrictMode);
        FUZZ_CHECK(url.isValid() && !url.hasQuery() && !url.hasFragment());
        FUZZ_CHECK(url.host() == u"files.example.org" && url.port() == 8080);
        FUZZ_CHECK(url.path(QUrl::FullyDecoded) == QStringLiteral("/files/Rostrel/") + name);
    }
    return 0;
}
