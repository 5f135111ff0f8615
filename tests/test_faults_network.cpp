// Servers that misbehave on purpose meet the login, the watcher and the update check. For each
// pairing the player must see: no crash, a window that keeps handling events, a box or log line
// that says what went wrong, the installed addon and settings.txt as they should be, and the next
// turn against a working server succeeding.

#include "support/faultserver.h"
#include "support/faultworld.h"

#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(rostrel::FaultServer::Mode)

namespace {

enum class Turn
{
    Login,
    Watcher,
    UpdateCheck
};

// Longer than the trickling server's one-byte-a-second pace, so only a rule about how much a
// request moves (not merely whether it moves) can end such a request.
constexpr auto kStall = 3000ms;
// A wait that takes this long without the event loop turning is a frozen window; shorter than the
// stall limit, so a wait that blocked would show.
constexpr qint64 kFrozenMs = 2000;
// No turn against a misbehaving server may take longer than this; past it the server is shut down
// so that a turn that would wait for ever ends and the test fails instead of hanging.
constexpr auto kTurnLimit = 15s;

const QString kInvalidUrl = QStringLiteral("Invalid URL.  Please make sure you've entered it correctly");
const QByteArray kProfile = "RostrelDB = {\r\n\t[\"Tovrin\"] = { level = 60 },\r\n}\r\n";
const QString kEntry = QStringLiteral("KESTREL77\\Mossgate\\Tovrin");

// What the player is told, by the kind of misbehaviour.
enum class Outcome
{
    NoReply, // the request failed: a box says why
    ErrorPage, // a complete reply with an error status
    Flood, // a complete 200 reply of 10 MB binary
};

Outcome outcomeOf(FaultServer::Mode mode)
{
    switch (mode) {
    case FaultServer::Mode::Error500Html:
        return Outcome::ErrorPage;
    case FaultServer::Mode::Huge10MBBinary:
        return Outcome::Flood;
    default:
        return Outcome::NoReply;
    }
}

bool waitsForATimeOut(FaultServer::Mode mode)
{
    return mode == FaultServer::Mode::NeverAnswer || mode == FaultServer::Mode::Trickle;
}

// A time-out names itself, and tells a silent server from one that sends too little.
bool namesTheTimeOut(FaultServer::Mode mode, const QString& reason)
{
    if (!reason.contains(QStringLiteral("timed out")))
        return false;
    if (mode == FaultServer::Mode::Trickle)
        return reason.contains(QStringLiteral("moved less than"));
    return reason.contains(QStringLiteral("No answer"));
}

} // namespace

class TestFaultsNetwork : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void misbehavingServer_data();
    void misbehavingServer();

private:
    // What the player was told after the turn, then the next turn against the working site.
    void loginOutcome(FaultWorld& world, FaultServer::Mode mode, const QString& host);
    void loginRecovers(FaultWorld& world);
    void watcherOutcome(FaultWorld& world, FaultServer::Mode mode, const QString& host);
    void watcherRecovers(FaultWorld& world);
    void updateCheckOutcome(FaultWorld& world, FaultServer::Mode mode, const QString& host);
    void updateCheckRecovers(FaultWorld& world);
};

void TestFaultsNetwork::misbehavingServer_data()
{
    QTest::addColumn<Turn>("turn");
    QTest::addColumn<FaultServer::Mode>("mode");

    const std::pair<const char*, Turn> turns[] = {
        { "login", Turn::Login },
        { "watcher", Turn::Watcher },
        { "update check", Turn::UpdateCheck },
    };
    const std::pair<const char*, FaultServer::Mode> modes[] = {
        { "refuses", FaultServer::Mode::Refuse },
        { "never answers", FaultServer::Mode::NeverAnswer },
        { "500 page", FaultServer::Mode::Error500Html },
        { "reset mid-body", FaultServer::Mode::ResetMidBody },
        { "10 MB binary", FaultServer::Mode::Huge10MBBinary },
        { "trickles", FaultServer::Mode::Trickle },
    };
    for (const auto& [turnName, turn] : turns) {
        for (const auto& [modeName, mode] : modes)
            QTest::addRow("%s, server %s", turnName, modeName) << turn << mode;
    }
}

void TestFaultsNetwork::misbehavingServer()
{
    QFETCH(Turn, turn);
    QFETCH(FaultServer::Mode, mode);

    FaultWorld world(kStall);
    world.writeProfile(kEntry, kProfile);
    world.discovery.LoadfilesFromHardDrive();
    QCOMPARE(world.list.count(), 1);
    // Settings as a remembered login left them; the watcher and the update check must not touch them.
    world.view.setRememberPassword(true);
    world.view.setUrl(world.site.hostAndPort());
    world.settings.SaveSettings();
    const auto settingsBefore = snapshot(world.settingsHost());
    const auto addonBefore = snapshot(world.addonHost());

    auto server = std::make_unique<FaultServer>(mode);
    QVERIFY(server->listen());
    const QString host = server->hostAndPort();
    bool shutDown = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] {
        shutDown = true;
        server.reset();
    });
    limit.start(kTurnLimit);

    Heartbeat heartbeat;
    QElapsedTimer took;
    took.start();
    switch (turn) {
    case Turn::Login:
        world.view.setUrl(QStringLiteral("http://") + host + QStringLiteral("/guild/"));
        world.login.Command1_Click();
        break;
    case Turn::Watcher:
        world.view.setUrl(host);
        world.watcher.UpdateTimer_Timer();
        break;
    case Turn::UpdateCheck:
        world.useFileHost(host);
        world.updater->CheckVersionAndDownload();
        break;
    }
    heartbeat.stop();
    limit.stop();
    QVERIFY2(!shutDown, "the turn waited on the misbehaving server without end");
    if (waitsForATimeOut(mode)) {
        // The turn waited out the stall limit (timers may fire up to 5% early) while the event
        // loop kept turning. The other servers end their turns quickly, with or without a loop.
        QVERIFY(took.elapsed() >= kStall.count() * 9 / 10);
        QVERIFY2(heartbeat.longestGapMs() < kFrozenMs,
            qPrintable(QStringLiteral("the event loop stood still for %1 ms").arg(heartbeat.longestGapMs())));
        QVERIFY(heartbeat.ticks() > 10);
    }

    switch (turn) {
    case Turn::Login:
        loginOutcome(world, mode, host);
        break;
    case Turn::Watcher:
        watcherOutcome(world, mode, host);
        break;
    case Turn::UpdateCheck:
        updateCheckOutcome(world, mode, host);
        break;
    }
    if (QTest::currentTestFailed())
        return;

    // Nothing the player keeps on disk was harmed. The login saves the settings before it posts;
    // the others never write them.
    if (turn == Turn::Login) {
        QCOMPARE(readFile(world.settingsHost(kSettingsFile)),
            FaultWorld::kLogin.toUtf8() + "\r\n" + host.toUtf8() + "\r\n" + FaultWorld::kPassword.toUtf8() + "\r\n");
        QCOMPARE(readFile(world.settingsHost(kNoUploadFile)), QByteArray());
    } else {
        QCOMPARE(snapshot(world.settingsHost()), settingsBefore);
    }
    QCOMPARE(snapshot(world.addonHost()), addonBefore);

    world.dialogs.shown.clear();
    world.log.messages.clear();
    switch (turn) {
    case Turn::Login:
        loginRecovers(world);
        break;
    case Turn::Watcher:
        watcherRecovers(world);
        break;
    case Turn::UpdateCheck:
        updateCheckRecovers(world);
        break;
    }
}

void TestFaultsNetwork::loginOutcome(FaultWorld& world, FaultServer::Mode mode, const QString& host)
{
    const QString url = QStringLiteral("http://") + host + QStringLiteral("/memberbankupload.php");
    QVERIFY(!world.login.isRunning());
    QVERIFY(world.view.inputsEnabled);
    QVERIFY(!world.view.logOutEnabled);
    QVERIFY(!world.watcher.isRunning());
    QCOMPARE(world.view.minimized, 0);

    const QStringList boxes = world.boxTexts();
    QCOMPARE(boxes.size(), 1);
    switch (outcomeOf(mode)) {
    case Outcome::NoReply:
        // The reason, and no verdict on the address after it; the log keeps what could not be sent.
        QVERIFY(!boxes.first().isEmpty() && boxes.first() != kInvalidUrl);
        if (waitsForATimeOut(mode))
            QVERIFY2(namesTheTimeOut(mode, boxes.first()), qPrintable(boxes.first()));
        QCOMPARE(world.log.messages.size(), 1);
        QVERIFY(world.log.messages.first().startsWith(QStringLiteral("Error Sending the following data to ") + url));
        QVERIFY(world.log.messages.first().contains(QString::fromUtf8(kProfile)));
        QCOMPARE(world.log.replaced, QStringList { QString() });
        break;
    case Outcome::ErrorPage:
        QVERIFY(boxes.first().endsWith(QStringLiteral("answered HTTP 500 Internal Server Error")));
        QVERIFY(world.log.replaced.last().contains(QStringLiteral("Internal Server Error")));
        break;
    case Outcome::Flood:
        QCOMPARE(boxes.first(), kInvalidUrl);
        QVERIFY(world.log.replaced.last().size() > 1000000);
        break;
    }
}

void TestFaultsNetwork::loginRecovers(FaultWorld& world)
{
    // The player fixes the address and presses OK again.
    world.view.setUrl(world.site.hostAndPort());
    world.login.Command1_Click();
    QCOMPARE(world.boxTexts(), QStringList());
    QCOMPARE(world.log.messages, QStringList { QStringLiteral("Successfully logged in") });
    QVERIFY(world.watcher.isRunning());
    world.watcher.stop();
    QCOMPARE(world.uploads(), 1);
    QCOMPARE(world.site.received().first().profile(), kProfile);
}

void TestFaultsNetwork::watcherOutcome(FaultWorld& world, FaultServer::Mode mode, const QString& host)
{
    // No box and one short line naming entry, address and reason; the time stays unrecorded.
    const QString why = world.log.messages.join(u'\n').section(u"/memberbankupload.php: "_s, 1);
    QVERIFY2(world.boxTexts().isEmpty() && world.log.messages.size() == 1 && why.size() < 300
            && world.log.messages.first().startsWith(
                "Profile for "_L1 + kEntry + " could not be uploaded to http://"_L1 + host),
        qPrintable(world.log.messages.join(u'\n')));
    QVERIFY(!world.list.fileDate(0).has_value() && (!waitsForATimeOut(mode) || namesTheTimeOut(mode, why)));
}

void TestFaultsNetwork::watcherRecovers(FaultWorld& world)
{
    // The site is back and the profile changes: the watcher's own timer posts it.
    const QByteArray played = kProfile + "-- played again\r\n";
    world.writeProfile(kEntry, played);
    QFile file(world.profileHost(kEntry));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    file.close();
    world.view.setUrl(world.site.hostAndPort());
    world.watcher.setTimings({ {}, {}, {}, std::chrono::milliseconds(20) });
    world.watcher.start();
    QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 1, 5000);
    world.watcher.stop();
    QCOMPARE(world.site.received().first().profile(), played);
    QCOMPARE(world.log.messages,
        QStringList({ "Uploads to "_L1 + world.site.hostAndPort() + " work again"_L1,
            QStringLiteral("Profile for ") + kEntry + QStringLiteral(" changed and was uploaded") }));
    QCOMPARE(world.boxTexts(), QStringList());
}

void TestFaultsNetwork::updateCheckOutcome(FaultWorld& world, FaultServer::Mode mode, const QString& host)
{
    const QString versionUrl = QStringLiteral("http://") + host + QStringLiteral("/files/Rostrel/RostrelVersion");
    const QString stopped = QStringLiteral("Addon update check stopped: ");
    QVERIFY(!world.updater->isChecking());
    QCOMPARE(world.log.messages.size(), 1);
    switch (outcomeOf(mode)) {
    case Outcome::NoReply:
    case Outcome::ErrorPage: {
        QCOMPARE(world.dialogs.shown.size(), 1);
        const QString box = world.boxTexts().first();
        const QString prefix = QStringLiteral("Error Downloading File: ") + versionUrl + QStringLiteral("\r\n\r\n");
        QVERIFY2(box.startsWith(prefix), qPrintable(box));
        const QString why = box.mid(prefix.size());
        QVERIFY(!why.isEmpty());
        if (mode == FaultServer::Mode::Error500Html)
            QCOMPARE(why, QStringLiteral("HTTP 500"));
        if (waitsForATimeOut(mode))
            QVERIFY2(namesTheTimeOut(mode, why), qPrintable(why));
        QCOMPARE(world.log.messages.first(),
            stopped + QStringLiteral("could not fetch ") + versionUrl + QStringLiteral(" (") + why + u')');
        break;
    }
    case Outcome::Flood:
        // Ten megabytes of binary are no version: nothing is announced or fetched.
        QCOMPARE(world.boxTexts(), QStringList());
        QVERIFY2(world.log.messages.first().startsWith(stopped + versionUrl + QStringLiteral(" holds ")),
            qPrintable(world.log.messages.first().left(300)));
        QVERIFY(world.log.messages.first().endsWith(QStringLiteral("which is no version")));
        break;
    }
}

void TestFaultsNetwork::updateCheckRecovers(FaultWorld& world)
{
    // The next check against a working host installs the published addon.
    world.publishAddon();
    world.useFileHost(world.site.hostAndPort());
    world.updater->CheckVersionAndDownload();
    QCOMPARE(world.boxTexts(), QStringList { QStringLiteral("Rostrel has been updated to version 2.0") });
    QCOMPARE(readFile(world.addonHost(QStringLiteral("Rostrel.toc"))), QByteArray("## Version: 2.0\r\n\r\n"));
    QCOMPARE(readFile(world.addonHost(QStringLiteral("Rostrel.lua"))), QByteArray("-- Rostrel 2.0\r\n\r\n"));
    QCOMPARE(world.log.messages, QStringList { QStringLiteral("Rostrel Mod Updated to version 2.0") });
}

QTEST_GUILESS_MAIN(TestFaultsNetwork)
#include "test_faults_network.moc"
