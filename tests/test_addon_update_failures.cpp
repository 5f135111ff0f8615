// The update check when something fails: the version or the list cannot be fetched, a file
// cannot be fetched or saved, the version is absurd, or there is no request object at all.

#include "support/addonworld.h"
#include "support/faultserver.h"
#include "testfiles.h"

#include <QFileInfo>
#include <QTest>
#include <memory>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

class NoRequests : public RequestFactory
{
public:
    std::unique_ptr<XmlHttpRequest> create() override { return nullptr; }
};

} // namespace

class TestAddonUpdateFailures : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versionFetchFails_data();
    void versionFetchFails();
    void listFetchFails();
    void fileFails();
    void siteAwayAtStart();
    void addonFolderIsAFile();
    void oversizedVersion();
    void noRequestObject();
};

void TestAddonUpdateFailures::versionFetchFails_data()
{
    QTest::addColumn<int>("fault"); // -1: the reference site without a version file
    QTest::addColumn<QString>("reason");

    QTest::newRow("not published") << -1 << QStringLiteral("HTTP 404");
    QTest::newRow("error page") << int(FaultServer::Mode::Error500Html) << QStringLiteral("HTTP 500");
    QTest::newRow("refused") << int(FaultServer::Mode::Refuse) << QString();
    QTest::newRow("stalls") << int(FaultServer::Mode::StallMidFile) << QString();
    QTest::newRow("never answers") << int(FaultServer::Mode::NeverAnswer) << QString();
}

void TestAddonUpdateFailures::versionFetchFails()
{
    QFETCH(int, fault);
    QFETCH(QString, reason);

    AddonWorld world(500ms);
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

void TestAddonUpdateFailures::listFetchFails()
{
    AddonWorld world;
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    const QString url = world.updater->fileUrl(QStringLiteral("RostrelFiles"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.requested, QStringList({ QStringLiteral("RostrelVersion"), QStringLiteral("RostrelFiles") }));
    QCOMPARE(world.boxTexts(), QStringList { kDownloadError + url + QStringLiteral("\r\n\r\nHTTP 404") });
    QCOMPARE(world.log.messages,
        QStringList {
            QStringLiteral("Addon update check stopped: could not fetch ") + url + QStringLiteral(" (HTTP 404)") });
}

void TestAddonUpdateFailures::fileFails()
{
    AddonWorld world;
    QVERIFY(world.installToc("## Version: 1.0\r\n"));
    QVERIFY(writeFile(world.addon(QStringLiteral("Gone.lua")), "installed"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "a.lua\r\nb.lua\r\nGone.lua"));
    QVERIFY(world.publish(QStringLiteral("a.lua"), "a"));
    QVERIFY(world.publish(QStringLiteral("b.lua"), "b"));
    const QStringList before = world.gameFiles();

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.gameFiles(), before); // the last file failed: the old addon stays whole, with one box
    QCOMPARE(readFile(world.addon(QStringLiteral("Gone.lua"))), QByteArray("installed"));
    QCOMPARE(world.boxTexts(),
        QStringList {
            kDownloadError + world.updater->fileUrl(QStringLiteral("Gone.lua")) + QStringLiteral("\r\n\r\nHTTP 404") });
    QCOMPARE(world.log.messages,
        QStringList { u"Addon update check stopped: could not fetch "_s + world.updater->fileUrl(u"Gone.lua"_s)
            + u" (HTTP 404); the installed addon is kept as it was"_s });
}

void TestAddonUpdateFailures::siteAwayAtStart()
{
    AddonWorld world;
    QString site = u"127.0.0.1:1"_s; // nothing listens there at start; the first login that works checks again, once
    AddonUpdater updater(
        world.folders, world.source, world.dialogs, world.log, FileHostSource([&] { return fileHostBase(site); }));
    updater.CheckVersionAndDownload(AddonUpdater::CheckMode::Background);
    QVERIFY(world.publish(u"RostrelVersion"_s, "2") && world.publish(u"RostrelFiles"_s, "a.lua")
        && world.publish(u"a.lua"_s, "a"));
    site = world.site.hostAndPort();
    updater.loggedIn();
    updater.loggedIn();
    QCOMPARE(world.requested, QStringList({ u"RostrelVersion"_s, u"RostrelFiles"_s, u"a.lua"_s }));
}

void TestAddonUpdateFailures::addonFolderIsAFile()
{
    AddonWorld world;
    QVERIFY(writeFile(world.addons() + QStringLiteral("/Rostrel"), "a file where the folder belongs"));
    QVERIFY(world.publish(QStringLiteral("RostrelVersion"), "2.0"));
    QVERIFY(world.publish(QStringLiteral("RostrelFiles"), "a.lua"));
    QVERIFY(world.publish(QStringLiteral("a.lua"), "a"));

    world.updater->CheckVersionAndDownload();

    QCOMPARE(world.dialogs.shown.size(), 1);
    QVERIFY(world.dialogs.shown.first().text.startsWith(QStringLiteral("Saving of file ") + kGameAddonFolder.chopped(1)
        + QStringLiteral(" Failed for the following reason: ")));
    QCOMPARE(readFile(world.addons() + QStringLiteral("/Rostrel")), QByteArray("a file where the folder belongs"));
    QCOMPARE(world.log.messages.size(), 1);
    QVERIFY(world.log.messages.first().startsWith(QStringLiteral("Rostrel update to version 2.0 not installed")));
}

void TestAddonUpdateFailures::oversizedVersion()
{
    AddonWorld world;
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

void TestAddonUpdateFailures::noRequestObject()
{
    AddonWorld world;
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

QTEST_GUILESS_MAIN(TestAddonUpdateFailures)
#include "test_addon_update_failures.moc"
