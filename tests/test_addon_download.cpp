// The update check's fetch and store: one file into memory or onto disk, against the reference
// site's file host and against servers that misbehave, all on loopback.

#include "support/addonworld.h"
#include "support/faultserver.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(rostrel::FaultServer::Mode)

class TestAddonDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fetch();
    void storedBytes_data();
    void storedBytes();
    void saveFailures_data();
    void saveFailures();
    void fullDisk();
    void failedFetch_data();
    void failedFetch();
};

void TestAddonDownload::fetch()
{
    AddonWorld world;
    QVERIFY(world.publish(QStringLiteral("abc"), "abc"));
    QVERIFY(world.publish(QStringLiteral("empty"), ""));
    AddonUpdater& updater = *world.updater;

    const Result<QByteArray> abc = updater.fetch(updater.fileUrl(QStringLiteral("abc")));
    QVERIFY(abc.ok());
    QCOMPARE(*abc, QByteArray("abc"));
    const Result<QByteArray> empty = updater.fetch(updater.fileUrl(QStringLiteral("empty")));
    QVERIFY(empty.ok() && empty->isEmpty());
    QVERIFY(world.dialogs.shown.isEmpty());

    // A missing file is an error page, not an empty file: one box, and the caller can tell.
    const QString missing = updater.fileUrl(QStringLiteral("missing"));
    QVERIFY(!updater.fetch(missing).ok());
    QCOMPARE(world.boxTexts(), QStringList { kDownloadError + missing + QStringLiteral("\r\n\r\nHTTP 404") });
    QVERIFY(world.boxesArePlain());

    // An address the request object refuses.
    world.dialogs.shown.clear();
    QVERIFY(!updater.fetch(QStringLiteral("not an address")).ok());
    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(kDownloadError + QStringLiteral("not an address\r\n\r\n")));
    QVERIFY(world.dialogs.shown.first().text.size()
        > QString(kDownloadError + QStringLiteral("not an address\r\n\r\n")).size());
}

void TestAddonDownload::storedBytes_data()
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

void TestAddonDownload::storedBytes()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, stored);

    AddonWorld world;
    QVERIFY(world.publish(u"RostrelVersion"_s, "2") && world.publish(u"RostrelFiles"_s, "Icon.tga")
        && world.publish(u"Icon.tga"_s, body));
    QVERIFY(writeFile(world.addon(QStringLiteral("Icon.tga")), "an older, longer version of the file"));
    world.updater->CheckVersionAndDownload();
    QCOMPARE(readFile(world.addon(QStringLiteral("Icon.tga"))), stored);
    QCOMPARE(world.boxTexts(), QStringList { kAnnounce + u"2"_s });
    QCOMPARE(QDir(world.addon()).entryList(QDir::Files), QStringList { QStringLiteral("Icon.tga") });
}

void TestAddonDownload::saveFailures_data()
{
    QTest::addColumn<QString>("gamePath");
    QTest::addColumn<QString>("blocker"); // host path made a regular file first, empty for none

    QTest::newRow("folder missing") << QStringLiteral("C:\\Games\\World of Warcraft\\Interface\\Addons\\Gone\\a.lua")
                                    << QString();
    QTest::newRow("file in place of the folder")
        << QStringLiteral("C:\\Games\\World of Warcraft\\Interface\\Addons\\Blocked\\a.lua")
        << QStringLiteral("Interface/AddOns/Blocked");
}

void TestAddonDownload::saveFailures()
{
    QFETCH(QString, gamePath);
    QFETCH(QString, blocker);

    AddonWorld world;
    if (!blocker.isEmpty())
        QVERIFY(writeFile(world.gameDir() + u'/' + blocker, "not a folder"));
    const QStringList before = world.gameFiles();

    QVERIFY(!world.updater->storeFile(gamePath, "abc"));

    QCOMPARE(world.dialogs.shown.size(), 1);
    const QString prefix
        = QStringLiteral("Saving of file ") + gamePath + QStringLiteral(" Failed for the following reason: ");
    QVERIFY2(world.dialogs.shown.first().text.startsWith(prefix), qPrintable(world.dialogs.shown.first().text));
    QVERIFY(world.dialogs.shown.first().text.size() > prefix.size()); // a reason is given
    QVERIFY(world.boxesArePlain());
    QCOMPARE(world.gameFiles(), before);
}

void TestAddonDownload::fullDisk()
{
    AddonWorld world;
    const QByteArray old("the installed file, intact");
    QVERIFY(writeFile(world.addon(QStringLiteral("Big.blp")), old));
    bool written = true;
    {
        FileSizeLimit limit(64 * 1024);
        QVERIFY(limit.ok());
        written = world.updater->storeFile(kGameAddonFolder + QStringLiteral("Big.blp"), QByteArray(256 * 1024, 'b'));
    }
    QVERIFY(!written);
    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(QStringLiteral("Saving of file ") + kGameAddonFolder
        + QStringLiteral("Big.blp Failed for the following reason: ")));
    // Never half-written: the old file is whole and no temporary file is left beside it.
    QCOMPARE(readFile(world.addon(QStringLiteral("Big.blp"))), old);
    QCOMPARE(QDir(world.addon()).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("Big.blp") });
}

void TestAddonDownload::failedFetch_data()
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

void TestAddonDownload::failedFetch()
{
    QFETCH(FaultServer::Mode, mode);
    QFETCH(QString, reason);

    AddonWorld world(500ms);
    FaultServer server(mode);
    QVERIFY(server.listen());
    world.useHost(server.hostAndPort());

    // Nothing of a reply cut short is handed on to be stored.
    const QString url = world.updater->fileUrl(QStringLiteral("Rostrel.lua"));
    QVERIFY(!world.updater->fetch(url).ok());

    QCOMPARE(world.dialogs.shown.size(), 1);
    const QString text = world.dialogs.shown.first().text;
    const QString prefix = kDownloadError + url + QStringLiteral("\r\n\r\n");
    QVERIFY2(text.startsWith(prefix), qPrintable(text));
    if (reason.isEmpty())
        QVERIFY(text.size() > prefix.size());
    else
        QCOMPARE(text, prefix + reason);
}

QTEST_GUILESS_MAIN(TestAddonDownload)
#include "test_addon_download.moc"
