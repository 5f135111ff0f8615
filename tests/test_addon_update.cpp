// The update check against the reference site's file host: which version calls for an update,
// the file list and the names in it, the old addon it replaces, and a check that never nests.

#include "support/addonworld.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

class TestAddonUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versions_data();
    void versions();
    void listOrder();
    void freshGameGetsTheAddon();
    void emptyList_data();
    void emptyList();
    void unusualNames();
    void manyNames();
    void refusedNames();
    void oldAddonRemovedFirst();
    void noNesting();
    void everyFlavourThatHasTheAddon();
};

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

    AddonWorld world;
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
        QVERIFY(world.log.messages.size() == 2 && world.log.messages.first() == kUpdated + announced);
        world.updater->CheckVersionAndDownload();
        QCOMPARE(world.requested.size(), 4);
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
    AddonWorld world;
    QVERIFY(world.installToc("## Version: 1.0\r\n"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "1.1\r\n"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "Rostrel.toc\r\n\r\nRostrel.lua\r\nRostrel.xml\r\n"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.toc"), "## Version: 1.1"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.lua"), "lua"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.xml"), "xml"));
    QVERIFY(writeFile(world.addon(u"Dropped.lua"_s), "a file the new version no longer lists"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested,
        QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles"), QStringLiteral("Rostrel.toc"),
            QStringLiteral("Rostrel.lua"), QStringLiteral("Rostrel.xml") }));
    QCOMPARE(readFile(world.addon(QStringLiteral("Rostrel.xml"))), QByteArray("xml\r\n"));
    QVERIFY(!QFileInfo::exists(world.addon(u"Dropped.lua"_s)));
    QCOMPARE(world.boxTexts(), QStringList { kAnnounce + QStringLiteral("1.1") });
    QCOMPARE(world.log.messages, QStringList { kUpdated + QStringLiteral("1.1") });

    // The stored table of contents now names the published version: the next run finds nothing to do.
    world.requested.clear();
    world.updater->CheckVersionAndDownload();
    QCOMPARE(world.requested, QStringList { QStringLiteral("RostrelVersion") });
    QCOMPARE(world.dialogs.shown.size(), 1);
}

void TestAddonUpdate::freshGameGetsTheAddon()
{
    AddonWorld world; // a new install, or a flavour installed for the first time: no Interface\AddOns yet
    QVERIFY(QDir(world.gameDir() + u"/Interface"_s).removeRecursively() && world.publish(u"RostrelVersion"_s, "1.1")
        && world.publish(u"RostrelFiles"_s, "Rostrel.toc\r\n") && world.publish(u"Rostrel.toc"_s, "## Version: 1.1"));
    world.updater->CheckVersionAndDownload();
    QCOMPARE(readFile(world.gameDir() + u"/Interface/AddOns/Rostrel/Rostrel.toc"_s), QByteArray("## Version: 1.1\r\n"));
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
    AddonWorld world;
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "3.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), list));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested, QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles") }));
    QVERIFY(world.dialogs.shown.isEmpty()); // nothing was installed, so nothing is announced
    QCOMPARE(world.log.messages.join(u'\n'),
        QStringLiteral("Addon update check stopped: %1 names no file to fetch for version 3.0")
            .arg(world.updater->fileUrl(QStringLiteral("RostrelFiles"))));
}

void TestAddonUpdate::unusualNames()
{
    AddonWorld world;
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
    AddonWorld world;
    QVERIFY(world.publish(u"RostrelVersion"_s, "9")
        && world.publish(u"RostrelFiles"_s, QByteArray("f.lua\r\n").repeated(500)));

    world.updater->CheckVersionAndDownload();

    QVERIFY(world.requested.size() == 2 && world.dialogs.shown.isEmpty());
    QCOMPARE(world.log.messages,
        QStringList { u"Addon update refused: "_s + world.updater->fileUrl(u"RostrelFiles"_s)
            + u" names 500 files, more than the 100 an addon update may have"_s });
}

void TestAddonUpdate::refusedNames()
{
    AddonWorld world;
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
    QCOMPARE(world.log.messages.size(), bad.size() + 2);
    for (int i = 0; i < bad.size(); ++i) {
        QVERIFY2(world.log.messages.at(i).startsWith(
                     QStringLiteral("Addon update: refused the listed name \"") + bad.at(i) + u'"'),
            qPrintable(world.log.messages.at(i)));
    }
    QCOMPARE(world.log.messages.at(bad.size()), kUpdated + QStringLiteral("2"));
}

void TestAddonUpdate::oldAddonRemovedFirst()
{
    AddonWorld world;
    const QString coffrin = world.addons() + QStringLiteral("/Coffrin/");
    QVERIFY(writeFile(coffrin + QStringLiteral("Coffrin.lua"), "-- Varnhold\r\n"));
    QVERIFY(writeFile(coffrin + QStringLiteral("Coffrin.toc"), "x"));
    QVERIFY(writeFile(coffrin + QStringLiteral("Coffrin.xml"), "x"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "a.lua") && world.publish(QStringLiteral("a.lua"), ""));

    world.updater->CheckVersionAndDownload();

    QVERIFY(QDir(coffrin).isEmpty());
    QCOMPARE(world.log.messages.first(2),
        QStringList({ QStringLiteral("Old 'Coffrin' addon found.  Removing"), kUpdated + QStringLiteral("2.0") }));
}

void TestAddonUpdate::noNesting()
{
    AddonWorld world;
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
    QCOMPARE(world.log.messages.first(1), QStringList { kUpdated + QStringLiteral("2.0") });

    // Once it has returned, the next check runs.
    QVERIFY(!world.updater->isChecking());
    world.dialogs.onShow = nullptr;
    world.updater->CheckVersionAndDownload();
    QCOMPARE(world.requested.count(QStringLiteral("RostrelVersion")), 2);
}

QTEST_GUILESS_MAIN(TestAddonUpdate)
#include "test_addon_update.moc"

void TestAddonUpdate::everyFlavourThatHasTheAddon()
{
    AddonWorld world;
    world.registry.setInstallPath(QStringLiteral("C:\\Games\\World of Warcraft\\_retail_\\"));
    const QString game = world.gameDir() + u'/';
    for (const char* made : { "_retail_/Interface/AddOns", "_classic_/WTF/Account", "_ptr_/WTF/Account" })
        QVERIFY(QDir().mkpath(game + QLatin1String(made)));
    QVERIFY(writeFile(game + QStringLiteral("_classic_/Interface/AddOns/Rostrel/Rostrel.toc"), "## Version: 1\r\n"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "Rostrel.toc\r\nRostrel.lua"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.toc"), "## Version: 2"));
    QVERIFY(world.publish(QStringLiteral("Rostrel.lua"), "lua"));

    world.updater->CheckVersionAndDownload();

    // One fetch of each; the flavour without the addon is left alone.
    QCOMPARE(
        world.requested, QStringList({ u"RostrelVersion"_s, u"RostrelFiles"_s, u"Rostrel.toc"_s, u"Rostrel.lua"_s }));
    QStringList files = world.gameFiles();
    files.removeAll(QStringLiteral("Interface/AddOns/Rostrel/Rostrel.toc")); // the world's own install
    QCOMPARE(files,
        QStringList({ u"_classic_/Interface/AddOns/Rostrel/Rostrel.lua"_s,
            u"_classic_/Interface/AddOns/Rostrel/Rostrel.toc"_s, u"_retail_/Interface/AddOns/Rostrel/Rostrel.lua"_s,
            u"_retail_/Interface/AddOns/Rostrel/Rostrel.toc"_s }));
    QCOMPARE(world.log.messages,
        QStringList(
            { u"_retail_: Rostrel Mod Updated to version 2"_s, u"_classic_: Rostrel Mod Updated to version 2"_s }));
    QCOMPARE(world.boxTexts(), QStringList({ kAnnounce + u"2"_s }));
}
