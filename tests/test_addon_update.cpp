// The update check and the downloads, against the reference site's file host and against
// servers that misbehave, all on loopback.

#include "addon/addonupdater.h"
#include "catalogue/gamefolders.h"
#include "core/browser.h"
#include "fakes.h"
#include "guild-site/guildsite.h"
#include "http/xmlhttp.h"
#include "support/faultserver.h"
#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(rostrel::FaultServer::Mode)

namespace {

const QString kAnnounce = QStringLiteral("Rostrel has been updated to version ");
const QString kUpdated = QStringLiteral("Rostrel Mod Updated to version ");
const QString kDownloadError = QStringLiteral("Error Downloading File: ");
// The addon folder as the update check names it: the stored game folder ends in a backslash and
// the check adds its own.
const QString kGameAddonFolder = QStringLiteral("C:\\Games\\World of Warcraft\\\\Interface\\Addons\\Rostrel\\");

class NoRequests : public RequestFactory
{
public:
    std::unique_ptr<XmlHttpRequest> create() override { return nullptr; }
};

QByteArray allBytes()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes + QByteArray("\r\n\n\r\0\xff", 6);
}

GuildSiteConfig siteConfig(const QString& root)
{
    GuildSiteConfig config;
    config.dataDir = root + QStringLiteral("/site-data");
    config.filesDir = root + QStringLiteral("/host");
    return config;
}

// A game on disk (C:\Games\World of Warcraft\ with Interface/AddOns spelled as the game's installer
// spells it), the reference site as file host, and the updater between them.
struct World
{
    explicit World(std::chrono::milliseconds stallTimeout = kStallTimeout)
        : paths(root.path())
        , requests(network, stallTimeout)
        , site(siteConfig(root.path()))
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\World of Warcraft\\"));
        QDir().mkpath(addons());
        QDir().mkpath(site.config().filesDir);
        site.listen();
        QObject::connect(&site, &GuildSite::fileRequested, [this](const QString& name) { requested.append(name); });
        useHost(site.hostAndPort());
    }

    void useHost(const QString& host)
    {
        updater = std::make_unique<AddonUpdater>(folders, source, dialogs, log, fileHostBase(host));
    }

    QString gameDir() const { return root.path() + QStringLiteral("/Games/World of Warcraft"); }
    QString addons() const { return gameDir() + QStringLiteral("/Interface/AddOns"); }
    QString addon(const QString& name = {}) const { return addons() + QStringLiteral("/Rostrel/") + name; }

    [[nodiscard]] bool installToc(const QByteArray& toc)
    {
        return writeFile(addon(QStringLiteral("Rostrel.toc")), toc);
    }
    [[nodiscard]] bool publish(const QString& name, const QByteArray& bytes) { return site.publishFile(name, bytes); }

    QStringList boxTexts() const
    {
        QStringList texts;
        for (const MessageBoxRequest& box : dialogs.shown)
            texts.append(box.text);
        return texts;
    }

    // Every box the updater shows is a plain OK box under the application title.
    bool boxesArePlain() const
    {
        for (const MessageBoxRequest& box : dialogs.shown) {
            if (box.title != kAppTitle || box.icon != BoxIcon::None || box.buttons != BoxButtons::Ok)
                return false;
        }
        return true;
    }

    // Files anywhere in the game tree, relative to the game folder.
    QStringList gameFiles() const
    {
        QStringList files;
        QDirIterator it(gameDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(QDir(gameDir()).relativeFilePath(it.next()));
        files.sort();
        return files;
    }

    QTemporaryDir root;
    FakeRegistry registry;
    FakePathLayer paths;
    FakeDialogs dialogs;
    FakeExit exit;
    FakeLog log;
    FakeBrowser browser;
    GameFolders folders { registry, paths, dialogs, exit, log };
    QNetworkAccessManager network;
    NetworkRequestFactory requests;
    RequestSource source { requests, dialogs, browser, exit };
    GuildSite site;
    QStringList requested;
    std::unique_ptr<AddonUpdater> updater;
};

} // namespace

class TestAddonUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void quickDownload();
    void storedBytes_data();
    void storedBytes();
    void saveFailures_data();
    void saveFailures();
    void fullDisk();
    void failedFetchKeepsFile_data();
    void failedFetchKeepsFile();

    void versions_data();
    void versions();
    void listOrder();
    void emptyList_data();
    void emptyList();
    void unusualNames();
    void manyNames();
    void refusedNames();
    void versionFetchFails_data();
    void versionFetchFails();
    void listFetchFails();
    void fileFails();
    void addonFolderIsAFile();
    void oversizedVersion();
    void oldAddonRemovedFirst();
    void noNesting();
    void noRequestObject();
};

void TestAddonUpdate::quickDownload()
{
    World world;
    QVERIFY(world.publish(QStringLiteral("abc"), "abc"));
    QVERIFY(world.publish(QStringLiteral("empty"), ""));
    AddonUpdater& updater = *world.updater;

    QCOMPARE(updater.QuickDownload(updater.fileUrl(QStringLiteral("abc"))), QStringLiteral("abc"));
    QVERIFY(updater.lastDownloadOk());
    QCOMPARE(updater.QuickDownload(updater.fileUrl(QStringLiteral("empty"))), QString());
    QVERIFY(updater.lastDownloadOk());
    QVERIFY(world.dialogs.shown.isEmpty());

    // A missing file is an error page, not an empty file: one box, and the caller can tell.
    const QString missing = updater.fileUrl(QStringLiteral("missing"));
    QCOMPARE(updater.QuickDownload(missing), QString());
    QVERIFY(!updater.lastDownloadOk());
    QCOMPARE(world.boxTexts(), QStringList { kDownloadError + missing + QStringLiteral("\r\n\r\nHTTP 404") });
    QVERIFY(world.boxesArePlain());

    // An address the request object refuses.
    world.dialogs.shown.clear();
    QCOMPARE(updater.QuickDownload(QStringLiteral("not an address")), QString());
    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(kDownloadError + QStringLiteral("not an address\r\n\r\n")));
    QVERIFY(world.dialogs.shown.first().text.size()
        > QString(kDownloadError + QStringLiteral("not an address\r\n\r\n")).size());
}

void TestAddonUpdate::storedBytes_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("stored");

    QTest::newRow("text") << QByteArray("abc") << QByteArray("abc\r\n");
    QTest::newRow("ends in CR LF") << QByteArray("abc\r\n") << QByteArray("abc\r\n\r\n");
    QTest::newRow("empty") << QByteArray("") << QByteArray("\r\n");
    QTest::newRow("binary") << allBytes() << allBytes() + "\r\n";
    QTest::newRow("not UTF-8") << QByteArray("\xc3\x28\xa0\xa1\xfe\xff") << QByteArray("\xc3\x28\xa0\xa1\xfe\xff\r\n");
    QTest::newRow("large") << QByteArray(3 * 1024 * 1024, '\x89') << QByteArray(3 * 1024 * 1024, '\x89') + "\r\n";
}

void TestAddonUpdate::storedBytes()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, stored);

    World world;
    QVERIFY(world.publish(QStringLiteral("Icon.tga"), body));
    QVERIFY(writeFile(world.addon(QStringLiteral("Icon.tga")), "an older, longer version of the file"));
    QVERIFY(world.updater->QuickDownloadToFile(
        world.updater->fileUrl(QStringLiteral("Icon.tga")), kGameAddonFolder + QStringLiteral("Icon.tga")));
    QCOMPARE(readFile(world.addon(QStringLiteral("Icon.tga"))), stored);
    QVERIFY(world.dialogs.shown.isEmpty());
    QCOMPARE(QDir(world.addon()).entryList(QDir::Files), QStringList { QStringLiteral("Icon.tga") });
}

void TestAddonUpdate::saveFailures_data()
{
    QTest::addColumn<QString>("gamePath");
    QTest::addColumn<QString>("blocker"); // host path made a regular file first, empty for none

    QTest::newRow("folder missing") << QStringLiteral("C:\\Games\\World of Warcraft\\Interface\\Addons\\Gone\\a.lua")
                                    << QString();
    QTest::newRow("file in place of the folder")
        << QStringLiteral("C:\\Games\\World of Warcraft\\Interface\\Addons\\Blocked\\a.lua")
        << QStringLiteral("Interface/AddOns/Blocked");
}

void TestAddonUpdate::saveFailures()
{
    QFETCH(QString, gamePath);
    QFETCH(QString, blocker);

    World world;
    QVERIFY(world.publish(QStringLiteral("a.lua"), "abc"));
    if (!blocker.isEmpty())
        QVERIFY(writeFile(world.gameDir() + u'/' + blocker, "not a folder"));
    const QStringList before = world.gameFiles();

    QVERIFY(!world.updater->QuickDownloadToFile(world.updater->fileUrl(QStringLiteral("a.lua")), gamePath));

    QCOMPARE(world.dialogs.shown.size(), 1);
    const QString prefix
        = QStringLiteral("Saving of file ") + gamePath + QStringLiteral(" Failed for the following reason: ");
    QVERIFY2(world.dialogs.shown.first().text.startsWith(prefix), qPrintable(world.dialogs.shown.first().text));
    QVERIFY(world.dialogs.shown.first().text.size() > prefix.size()); // a reason is given
    QVERIFY(world.boxesArePlain());
    QCOMPARE(world.gameFiles(), before);
}

void TestAddonUpdate::fullDisk()
{
    World world;
    const QByteArray old("the installed file, intact");
    QVERIFY(writeFile(world.addon(QStringLiteral("Big.blp")), old));
    QVERIFY(world.publish(QStringLiteral("Big.blp"), QByteArray(256 * 1024, 'b')));
    bool written = true;
    {
        FileSizeLimit limit(64 * 1024);
        QVERIFY(limit.ok());
        written = world.updater->QuickDownloadToFile(
            world.updater->fileUrl(QStringLiteral("Big.blp")), kGameAddonFolder + QStringLiteral("Big.blp"));
    }
    QVERIFY(!written);
    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(QStringLiteral("Saving of file ") + kGameAddonFolder
        + QStringLiteral("Big.blp Failed for the following reason: ")));
    // Never half-written: the old file is whole and no temporary file is left beside it.
    QCOMPARE(readFile(world.addon(QStringLiteral("Big.blp"))), old);
    QCOMPARE(QDir(world.addon()).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("Big.blp") });
}

void TestAddonUpdate::failedFetchKeepsFile_data()
{
    QTest::addColumn<FaultServer::Mode>("mode");
    QTest::addColumn<QString>("reason"); // expected description, empty: any

    QTest::newRow("refused") << FaultServer::Mode::Refuse << QString();
    QTest::newRow("never answers") << FaultServer::Mode::NeverAnswer << QString();
    QTest::newRow("error page") << FaultServer::Mode::Error500Html << QStringLiteral("HTTP 500");
    QTest::newRow("reset mid-body") << FaultServer::Mode::ResetMidBody << QString();
    QTest::newRow("trickle") << FaultServer::Mode::Trickle << QString();
    QTest::newRow("stall mid-file") << FaultServer::Mode::StallMidFile << QString();
}

void TestAddonUpdate::failedFetchKeepsFile()
{
    QFETCH(FaultServer::Mode, mode);
    QFETCH(QString, reason);

    World world(500ms);
    FaultServer server(mode);
    QVERIFY(server.listen());
    world.useHost(server.hostAndPort());
    const QByteArray old("-- installed Rostrel.lua\r\n");
    QVERIFY(writeFile(world.addon(QStringLiteral("Rostrel.lua")), old));

    const QString url = world.updater->fileUrl(QStringLiteral("Rostrel.lua"));
    QVERIFY(!world.updater->QuickDownloadToFile(url, kGameAddonFolder + QStringLiteral("Rostrel.lua")));

    QCOMPARE(readFile(world.addon(QStringLiteral("Rostrel.lua"))), old);
    QCOMPARE(world.dialogs.shown.size(), 1);
    const QString text = world.dialogs.shown.first().text;
    const QString prefix = kDownloadError + url + QStringLiteral("\r\n\r\n");
    QVERIFY2(text.startsWith(prefix), qPrintable(text));
    if (reason.isEmpty())
        QVERIFY(text.size() > prefix.size());
    else
        QCOMPARE(text, prefix + reason);
    QCOMPARE(QDir(world.addon()).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("Rostrel.lua") });
}

void TestAddonUpdate::versions_data()
{
    QTest::addColumn<QByteArray>("toc"); // null: no table of contents installed
    QTest::addColumn<QByteArray>("published");
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("announced");

    const QByteArray v21("## Title: Rostrel\r\n## Version: 2.1\r\n");
    QTest::newRow("equal, CR LF after") << v21 << QByteArray("2.1\r\n") << false << QString();
    QTest::newRow("equal, spaces around") << v21 << QByteArray(" 2.1 ") << false << QString();
    QTest::newRow("equal, CR LF anywhere") << v21 << QByteArray("\r\n2.\r\n1\r\n") << false << QString();
    QTest::newRow("spaces, then CR LF") << v21 << QByteArray(" 2.1\r\n ") << false << QString();
    QTest::newRow("space kept inside CR LF") << v21 << QByteArray("2.1 \r\n") << true << QStringLiteral("2.1 ");
    QTest::newRow("lone LF kept") << v21 << QByteArray("2.1\n") << true << QStringLiteral("2.1\n");
    QTest::newRow("lone CR kept") << v21 << QByteArray("2.1\r") << true << QStringLiteral("2.1\r");
    QTest::newRow("tab kept") << v21 << QByteArray("\t2.1") << true << QStringLiteral("\t2.1");
    QTest::newRow("older server version") << v21 << QByteArray("2.0") << true << QStringLiteral("2.0");
    QTest::newRow("case differs") << QByteArray("## Version: Beta\r\n") << QByteArray("beta") << true
                                  << QStringLiteral("beta");
    QTest::newRow("no toc") << QByteArray() << QByteArray("2.1") << true << QStringLiteral("2.1");
    QTest::newRow("absent differs from empty")
        << QByteArray("## Title: Rostrel\r\n") << QByteArray("") << true << QString();
    QTest::newRow("empty equals empty") << QByteArray("## Version:x\r\n") << QByteArray("  \r\n") << false << QString();
    QTest::newRow("non-ASCII") << QByteArray("## Version: 2.1-\xc3\xa9t\xc3\xa9\r\n")
                               << QByteArray("2.1-\xc3\xa9t\xc3\xa9\r\n") << false << QString();
    QTest::newRow("binary version") << v21 << QByteArray("\x00\x01\xfe", 3) << true
                                    << QString::fromUtf8(QByteArray("\x00\x01\xfe", 3));
}

void TestAddonUpdate::versions()
{
    QFETCH(QByteArray, toc);
    QFETCH(QByteArray, published);
    QFETCH(bool, update);
    QFETCH(QString, announced);

    World world;
    if (!toc.isNull())
        QVERIFY(world.installToc(toc));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), published));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "Rostrel.lua\r\n"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.lua"), "-- new"));

    world.updater->CheckVersionAndDownload();

    QVERIFY(!world.updater->isChecking());
    if (update) {
        QCOMPARE(world.requested,
            QStringList(
                { QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles"), QStringLiteral("Rostrel.lua") }));
        QCOMPARE(readFile(world.addon(QStringLiteral("Rostrel.lua"))), QByteArray("-- new\r\n"));
        QCOMPARE(world.boxTexts(), QStringList { kAnnounce + announced });
        QVERIFY(world.boxesArePlain());
        QCOMPARE(world.log.messages, QStringList { kUpdated + announced });
    } else {
        QCOMPARE(world.requested, QStringList { QStringLiteral("RostrelVersion") });
        QVERIFY(!QFileInfo::exists(world.addon(QStringLiteral("Rostrel.lua"))));
        QVERIFY(world.dialogs.shown.isEmpty());
        QVERIFY(world.log.messages.isEmpty());
    }
    // Never a twin of the game's own addon folder.
    QVERIFY(!QFileInfo::exists(world.gameDir() + QStringLiteral("/Interface/Addons")));
}

void TestAddonUpdate::listOrder()
{
    World world;
    QVERIFY(world.installToc("## Version: 1.0\r\n"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "1.1\r\n"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "Rostrel.toc\r\n\r\nRostrel.lua\r\nRostrel.xml\r\n"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.toc"), "## Version: 1.1"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.lua"), "lua"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.xml"), "xml"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested,
        QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles"), QStringLiteral("Rostrel.toc"),
            QStringLiteral("Rostrel.lua"), QStringLiteral("Rostrel.xml") }));
    QCOMPARE(readFile(world.addon(QStringLiteral("Rostrel.xml"))), QByteArray("xml\r\n"));
    QCOMPARE(world.boxTexts(), QStringList { kAnnounce + QStringLiteral("1.1") });
    QCOMPARE(world.log.messages, QStringList { kUpdated + QStringLiteral("1.1") });

    // The stored table of contents now names the published version: the next run finds nothing to do.
    world.requested.clear();
    world.updater->CheckVersionAndDownload();
    QCOMPARE(world.requested, QStringList { QStringLiteral("RostrelVersion") });
    QCOMPARE(world.dialogs.shown.size(), 1);
}

void TestAddonUpdate::emptyList_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("empty lines only") << QByteArray("\r\n\r\n\r\n");
}

void TestAddonUpdate::emptyList()
{
    QFETCH(QByteArray, list);
    World world;
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "3.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), list));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested, QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles") }));
    QCOMPARE(world.boxTexts(), QStringList { kAnnounce + QStringLiteral("3.0") });
    QCOMPARE(world.log.messages, QStringList { kUpdated + QStringLiteral("3.0") });
}

void TestAddonUpdate::unusualNames()
{
    World world;
    const QString spaced = QStringLiteral("My Texture.tga");
    const QString accented = QStringLiteral("\u00c9t\u00e9 \u00e4rger.lua");
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), (spaced + QStringLiteral("\r\n") + accented).toUtf8()));
    QVERIFY(world.publish(spaced, allBytes()));
    QVERIFY(world.publish(accented, "-- \xc3\xa9"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested,
        QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles"), spaced, accented }));
    QCOMPARE(readFile(world.addon(spaced)), allBytes() + "\r\n");
    QCOMPARE(readFile(world.addon(accented)), QByteArray("-- \xc3\xa9\r\n"));
    QCOMPARE(world.boxTexts(), QStringList { kAnnounce + QStringLiteral("2") });
}

void TestAddonUpdate::manyNames()
{
    World world;
    QByteArray list;
    for (int i = 0; i < 3000; ++i)
        list += "f" + QByteArray::number(i) + ".lua\r\n";
    for (int i = 0; i < 3000; i += 1000)
        QVERIFY(world.publish(QStringLiteral("f%1.lua").arg(i), QByteArray::number(i)));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "9"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), list));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested.size(), 3002);
    QCOMPARE(world.requested.at(2), QStringLiteral("f0.lua"));
    QCOMPARE(world.requested.last(), QStringLiteral("f2999.lua"));
    QCOMPARE(readFile(world.addon(QStringLiteral("f2000.lua"))), QByteArray("2000\r\n"));
    QCOMPARE(QDir(world.addon()).entryList(QDir::Files).size(), 3);
    // Each missing file was reported, and no success was announced.
    QCOMPARE(world.dialogs.shown.size(), 2997);
    QCOMPARE(world.log.messages,
        QStringList {
            QStringLiteral("Rostrel update to version 9 incomplete: 2997 of 3000 files could not be updated") });
}

void TestAddonUpdate::refusedNames()
{
    World world;
    const QStringList bad { QStringLiteral("..\\Coffrin\\Coffrin.lua"), QStringLiteral("../../WTF/Config.wtf"),
        QStringLiteral("/etc/passwd"), QStringLiteral("C:\\evil.lua"), QStringLiteral("C:evil.lua"),
        QStringLiteral(".."), QStringLiteral("Art\\Icon.tga"), QStringLiteral("Art/Icon.tga") };
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"),
        (bad.join(QStringLiteral("\r\n")) + QStringLiteral("\r\nRostrel.lua")).toUtf8()));
    QVERIFY(world.publish(QStringLiteral("Rostrel.lua"), "ok"));
    const QStringList before = world.gameFiles();

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested,
        QStringList(
            { QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles"), QStringLiteral("Rostrel.lua") }));
    QCOMPARE(world.gameFiles(), before + QStringList { QStringLiteral("Interface/AddOns/Rostrel/Rostrel.lua") });
    QCOMPARE(world.log.messages.size(), bad.size() + 1);
    for (int i = 0; i < bad.size(); ++i) {
        QVERIFY2(world.log.messages.at(i).startsWith(
                     QStringLiteral("Addon update: refused the listed name \"") + bad.at(i) + u'"'),
            qPrintable(world.log.messages.at(i)));
    }
    QCOMPARE(world.log.messages.last(), kUpdated + QStringLiteral("2"));
}

void TestAddonUpdate::versionFetchFails_data()
{
    QTest::addColumn<int>("fault"); // -1: the reference site without a version file
    QTest::addColumn<QString>("reason");

    QTest::newRow("not published") << -1 << QStringLiteral("HTTP 404");
    QTest::newRow("error page") << int(FaultServer::Mode::Error500Html) << QStringLiteral("HTTP 500");
    QTest::newRow("refused") << int(FaultServer::Mode::Refuse) << QString();
    QTest::newRow("stalls") << int(FaultServer::Mode::StallMidFile) << QString();
    QTest::newRow("never answers") << int(FaultServer::Mode::NeverAnswer) << QString();
}

void TestAddonUpdate::versionFetchFails()
{
    QFETCH(int, fault);
    QFETCH(QString, reason);

    World world(500ms);
    QVERIFY(world.installToc("## Version: 1.0\r\n"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "Rostrel.lua"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.lua"), "x"));
    std::unique_ptr<FaultServer> server;
    if (fault >= 0) {
        server = std::make_unique<FaultServer>(FaultServer::Mode(fault));
        QVERIFY(server->listen());
        world.useHost(server->hostAndPort());
    }
    const QString url = world.updater->fileUrl(QStringLiteral("RostrelVersion"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(kDownloadError + url + QStringLiteral("\r\n\r\n")));
    QCOMPARE(world.log.messages.size(), 1);
    const QString stop = QStringLiteral("Addon update check stopped: could not fetch ") + url + QStringLiteral(" (");
    QVERIFY2(world.log.messages.first().startsWith(stop), qPrintable(world.log.messages.first()));
    if (!reason.isEmpty())
        QCOMPARE(world.log.messages.first(), stop + reason + u')');
    QVERIFY(!world.requested.contains(QStringLiteral("RostrelFiles")));
    if (server)
        QCOMPARE(server->requestCount() <= 1, true);
    QVERIFY(!QFileInfo::exists(world.addon(QStringLiteral("Rostrel.lua"))));
    QVERIFY(!world.updater->isChecking());
}

void TestAddonUpdate::listFetchFails()
{
    World world;
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    const QString url = world.updater->fileUrl(QStringLiteral("RostrelFiles"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested, QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles") }));
    QCOMPARE(world.boxTexts(), QStringList { kDownloadError + url + QStringLiteral("\r\n\r\nHTTP 404") });
    QCOMPARE(world.log.messages,
        QStringList {
            QStringLiteral("Addon update check stopped: could not fetch ") + url + QStringLiteral(" (HTTP 404)") });
}

void TestAddonUpdate::fileFails()
{
    World world;
    QVERIFY(world.installToc("## Version: 1.0\r\n"));
    QVERIFY(writeFile(world.addon(QStringLiteral("Gone.lua")), "installed"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "a.lua\r\nGone.lua\r\nb.lua"));
    QVERIFY(world.publish(QStringLiteral("a.lua"), "a"));
    QVERIFY(world.publish(QStringLiteral("b.lua"), "b"));

    world.updater->CheckVersionAndDownload();

    // The files before and after the failed one are stored; the failed one stays as it was.
    QCOMPARE(readFile(world.addon(QStringLiteral("a.lua"))), QByteArray("a\r\n"));
    QCOMPARE(readFile(world.addon(QStringLiteral("b.lua"))), QByteArray("b\r\n"));
    QCOMPARE(readFile(world.addon(QStringLiteral("Gone.lua"))), QByteArray("installed"));
    QCOMPARE(world.boxTexts(),
        QStringList {
            kDownloadError + world.updater->fileUrl(QStringLiteral("Gone.lua")) + QStringLiteral("\r\n\r\nHTTP 404") });
    QCOMPARE(world.log.messages,
        QStringList { QStringLiteral("Rostrel update to version 2.0 incomplete: 1 of 3 files could not be updated") });
}

void TestAddonUpdate::addonFolderIsAFile()
{
    World world;
    QVERIFY(writeFile(world.addons() + QStringLiteral("/Rostrel"), "a file where the folder belongs"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "a.lua"));
    QVERIFY(world.publish(QStringLiteral("a.lua"), "a"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(QStringLiteral("Saving of file ") + kGameAddonFolder
        + QStringLiteral("a.lua Failed for the following reason: ")));
    QCOMPARE(readFile(world.addons() + QStringLiteral("/Rostrel")), QByteArray("a file where the folder belongs"));
    QCOMPARE(world.log.messages.size(), 1);
    QVERIFY(world.log.messages.first().startsWith(QStringLiteral("Rostrel update to version 2.0 incomplete")));
}

void TestAddonUpdate::oversizedVersion()
{
    World world;
    FaultServer server(FaultServer::Mode::Huge10MBBinary);
    QVERIFY(server.listen());
    world.useHost(server.hostAndPort());

    world.updater->CheckVersionAndDownload();

    QCOMPARE(server.requestCount(), 1); // the list is not asked for
    QVERIFY(world.dialogs.shown.isEmpty());
    QCOMPARE(world.log.messages.size(), 1);
    QVERIFY(world.log.messages.first().startsWith(QStringLiteral("Addon update check stopped: ")));
    QVERIFY(world.log.messages.first().size() < 200);
}

void TestAddonUpdate::oldAddonRemovedFirst()
{
    World world;
    const QString coffrin = world.addons() + QStringLiteral("/Coffrin/");
    QVERIFY(writeFile(coffrin + QStringLiteral("Coffrin.lua"), "-- Varnhold\r\n"));
    QVERIFY(writeFile(coffrin + QStringLiteral("Coffrin.toc"), "x"));
    QVERIFY(writeFile(coffrin + QStringLiteral("Coffrin.xml"), "x"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), ""));

    world.updater->CheckVersionAndDownload();

    QVERIFY(QDir(coffrin).isEmpty());
    QCOMPARE(world.log.messages,
        QStringList({ QStringLiteral("Old 'Coffrin' addon found.  Removing"), kUpdated + QStringLiteral("2.0") }));
}

void TestAddonUpdate::noNesting()
{
    World world;
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "a.lua\r\nb.lua"));
    QVERIFY(world.publish(QStringLiteral("a.lua"), "a"));
    QVERIFY(world.publish(QStringLiteral("b.lua"), "b"));

    // A timer tick while the check waits for the network, and another while the announcement
    // box is up: both return at once.
    int nested = 0;
    int calls = 0;
    bool checkingSeen = false;
    const auto nest = [&] {
        if (++calls > 2)
            return; // without the guard the box would open inside its own check for ever
        checkingSeen = world.updater->isChecking();
        const qsizetype before = world.requested.size();
        world.updater->CheckVersionAndDownload();
        if (world.requested.size() == before)
            ++nested;
    };
    QTimer::singleShot(0, nest);
    world.dialogs.onShow = [&](const MessageBoxRequest&) { nest(); };

    world.updater->CheckVersionAndDownload();

    QVERIFY(checkingSeen);
    QCOMPARE(nested, 2);
    QCOMPARE(world.requested.count(QStringLiteral("RostrelVersion")), 1);
    QCOMPARE(world.boxTexts(), QStringList { kAnnounce + QStringLiteral("2.0") });
    QCOMPARE(world.log.messages, QStringList { kUpdated + QStringLiteral("2.0") });

    // Once it has returned, the next check runs.
    QVERIFY(!world.updater->isChecking());
    world.dialogs.onShow = nullptr;
    world.updater->CheckVersionAndDownload();
    QCOMPARE(world.requested.count(QStringLiteral("RostrelVersion")), 2);
}

void TestAddonUpdate::noRequestObject()
{
    World world;
    NoRequests none;
    RequestSource noSource(none, world.dialogs, world.browser, world.exit);
    AddonUpdater updater(world.folders, noSource, world.dialogs, world.log, fileHostBase(world.site.hostAndPort()));

    QVERIFY_THROWS_EXCEPTION(ProgramExited, updater.CheckVersionAndDownload());
    QCOMPARE(world.exit.codes.size(), 1);
    QCOMPARE(world.browser.opened.size(), 1);
    QCOMPARE(world.dialogs.shown.size(), 1);
    QCOMPARE(world.dialogs.shown.first().icon, BoxIcon::Critical);
    QVERIFY(!updater.isChecking());
}

QTEST_GUILESS_MAIN(TestAddonUpdate)
#include "test_addon_update.moc"
