#include "guild-site/guildsite.h"
#include "support/faultserver.h"
#include "support/uploadworld.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {
// Sets a file's time without writing it (as a restored backup does), which raises no change report.
[[nodiscard]] bool touch(const QString& path, const QDateTime& when)
{
    std::error_code error;
    std::filesystem::last_write_time(std::filesystem::path(path.toStdU16String()),
        std::chrono::file_clock::from_sys(
            std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(when.toMSecsSinceEpoch()))),
        error);
    return !error;
}

// Every version of every profile differs and has a size of its own; its first line names it.
QByteArray version(int entry, int number)
{
    return "-- " + QByteArray::number(entry) + ' ' + QByteArray::number(number) + "\r\n"
        + QByteArray(1000 + number * 7919 % 40000, char('a' + entry)) + "\r\n-- end\r\n";
}
} // namespace

class TestWatcher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstPassPostsEachCheckedEntryThenOnlyChanges()
    {
        WatchedWorld world;
        const QString a = world.writeProfile(QStringLiteral("ACC\\Realm\\Anna"), "anna\r\n");
        world.writeProfile(QStringLiteral("ACC\\Realm\\Bors"), "bors\r\n");
        world.writeProfile(QStringLiteral("ACC\\Realm\\Cato"), "cato\r\n");
        world.discovery.LoadfilesFromHardDrive();
        QCOMPARE(world.list.count(), 3);
        world.list.setChecked(1, false);
        world.list.resetFileDates();

        for (int i = 0; i < 4; ++i)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 2);
        QCOMPARE(world.log.messages,
            QStringList({ QStringLiteral("Profile for ACC\\Realm\\Anna changed and was uploaded"),
                QStringLiteral("Profile for ACC\\Realm\\Cato changed and was uploaded") }));

        QVERIFY(touch(a, QDateTime::currentDateTime().addSecs(-3600))); // a time that went back counts too
        world.watcher.UpdateTimer_Timer(); // Anna
        world.watcher.UpdateTimer_Timer(); // Cato, unchanged
        QCOMPARE(world.uploads(), 3);
        QCOMPARE(world.site.received().last().profile(), QByteArray("anna\r\n"));
        QCOMPARE(world.list.WatchIndex(), 2);
    }

    // A profile the game rewrites is looked at before the cursor's turn comes: those the system
    // reported, in the order they changed; one whose change went unreported within the pass.
    void changedEntriesComeFirst()
    {
        WatchedWorld world;
        QStringList paths;
        for (int i = 0; i < 48; ++i)
            paths << world.writeProfile(u"ACC\\R\\C%1"_s.arg(i), version(i, 0));
        world.discovery.LoadfilesFromHardDrive();
        for (int turn = 0; turn < 48; ++turn)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 48);
        QSignalSpy reported(&world.discovery, &Discovery::profileChanged);
        for (const int i : { 40, 30 }) { // as the game saves: the old file kept aside, a new one written
            QFile::remove(paths[i] + u".bak"_s);
            QVERIFY(QFile::rename(paths[i], paths[i] + u".bak"_s) && testing::writeFile(paths[i], version(i, 1)));
        }
        QVERIFY(touch(paths[10], QDateTime::currentDateTime().addSecs(-60)));
        QTRY_VERIFY(reported.size() >= 2);
        world.watcher.UpdateTimer_Timer();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 50);
        QCOMPARE(world.site.received().at(48).profile(), version(40, 1));
        QCOMPARE(world.site.received().at(49).profile(), version(30, 1));
        for (int turn = 0; turn < 48 && world.uploads() == 50; ++turn)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 51);
        QCOMPARE(world.site.received().last().profile(), version(10, 0));
    }

    void failedPostIsTriedAgain()
    {
        WatchedWorld world;
        world.writeProfile(QStringLiteral("ACC"), "acc\r\n");
        world.discovery.LoadfilesFromHardDrive();
        FaultServer broken(FaultServer::Mode::Error500Html);
        QVERIFY(broken.listen());
        world.view.setUrl(broken.hostAndPort());
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.log.messages.size(), 1);
        QVERIFY2(world.log.messages.first().contains(QStringLiteral("could not be uploaded")),
            qPrintable(world.log.messages.first()));
        QVERIFY(!world.list.fileDate(0).has_value());

        world.view.setUrl(world.site.hostAndPort());
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 1);
        QVERIFY(world.list.fileDate(0).has_value());
    }

    void missingProfileIsLoggedAndOthersGoOn()
    {
        WatchedWorld world;
        const QString gone = world.writeProfile(QStringLiteral("ACC\\R\\Gone"), "x\r\n");
        world.writeProfile(QStringLiteral("ACC\\R\\Kept"), "k\r\n");
        world.discovery.LoadfilesFromHardDrive();
        QVERIFY(QFile::remove(gone));
        for (int turn = 0; turn < 6; ++turn)
            world.watcher.UpdateTimer_Timer();
        // Said once for the absence, not at every pass; said again once it was back and went again.
        const QString missing
            = QStringLiteral("Error in the Update Timer: File not found while on file: "
                             "'C:\\Games\\WoW\\WTF\\Account\\ACC\\R\\Gone\\SavedVariables\\Rostrel.lua'");
        QCOMPARE(world.log.messages.count(missing), 1);
        QCOMPARE(world.uploads(), 1);
        QCOMPARE(world.list.count(), 2); // entries are never removed
        world.writeProfile(QStringLiteral("ACC\\R\\Gone"), "back\r\n");
        world.watcher.UpdateTimer_Timer();
        QVERIFY(QFile::remove(gone));
        for (int turn = 0; turn < 2; ++turn)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.log.messages.count(missing), 2);
    }

    void newCharacterIsListedAndPosted()
    {
        WatchedWorld world;
        world.writeProfile(QStringLiteral("ACC"), "acc\r\n");
        world.discovery.LoadfilesFromHardDrive();
        world.watcher.UpdateTimer_Timer();
        world.writeProfile(QStringLiteral("NEW\\Realm\\Nia"), "nia\r\n");
        // Listed by the first rescan after the system reported the new folder (at once on Linux, a
        // moment later under Wine), and posted when the cursor reaches it.
        QTRY_VERIFY((world.watcher.UpdateTimer_Timer(), world.uploads() == 2));
        QCOMPARE(world.list.count(), 2);
        QVERIFY(world.list.isChecked(1));
        QCOMPARE(world.uploads(), 2);
        QCOMPARE(world.site.received().last().profile(), QByteArray("nia\r\n"));
    }

    void noCheckedEntryOnlyRescans()
    {
        WatchedWorld world;
        world.writeProfile(QStringLiteral("ACC"), "acc\r\n");
        world.discovery.LoadfilesFromHardDrive();
        world.list.setChecked(0, false);
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.list.WatchIndex(), -1);
        QCOMPARE(world.uploads(), 0);
        QVERIFY(world.log.messages.isEmpty());
    }

    void tickDuringAWaitingTickIsSkipped()
    {
        WatchedWorld world(400ms);
        world.writeProfile(QStringLiteral("A"), "a\r\n");
        world.writeProfile(QStringLiteral("B"), "b\r\n");
        world.discovery.LoadfilesFromHardDrive();
        FaultServer silent(FaultServer::Mode::NeverAnswer);
        QVERIFY(silent.listen());
        world.view.setUrl(silent.hostAndPort());
        QTimer::singleShot(100, [&] { world.watcher.UpdateTimer_Timer(); });
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(silent.requestCount(), 1);
        QCOMPARE(world.list.WatchIndex(), 0);
    }

    // A desktop log-off quits the application while a post waits for its reply: every event loop
    // ends, the nested wait's too. The post is no upload then.
    void quitDuringAPostIsNoUpload_data()
    {
        QTest::addColumn<bool>("viaExit");
        QTest::newRow("quit()") << false;
        QTest::newRow("exit(0)") << true;
    }
    void quitDuringAPostIsNoUpload()
    {
        QFETCH(bool, viaExit);
        WatchedWorld world(60s); // no time-out can end this wait
        const QString path = world.writeProfile(QStringLiteral("ACC"), "acc\r\n");
        world.discovery.LoadfilesFromHardDrive();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 1);
        const std::optional<QDateTime> uploadedTime = world.list.fileDate(0);
        QVERIFY(uploadedTime);
        QVERIFY(touch(path, uploadedTime->addSecs(-60)));

        FaultServer holding(FaultServer::Mode::NeverAnswer);
        QVERIFY(holding.listen());
        world.view.setUrl(holding.hostAndPort());
        connect(&holding, &FaultServer::requestReceived, qApp, [viaExit] {
            if (viaExit)
                QCoreApplication::exit(0);
            else
                QCoreApplication::quit();
        });
        bool ticked = false;
        QTimer::singleShot(0, qApp, [&] {
            world.watcher.UpdateTimer_Timer();
            ticked = true;
            QCoreApplication::quit(); // in case the post ended some other way
        });
        QCoreApplication::exec();

        QVERIFY(ticked);
        QCOMPARE(holding.requestCount(), 1);
        QVERIFY(world.dialogs.shown.isEmpty() && world.log.messages.last().contains("cut short"_L1));
        QCOMPARE(world.list.fileDate(0), uploadedTime);
    }

    // Weeks in the tray, compressed: 2000 turns a second apart by the watcher's clock, over 20 entries,
    // while the site goes away and comes back, refuses the password (the player logs in again), fails
    // with 500 and stalls, and a writer rewrites profiles a fifth a turn, as the game writes large
    // files over seconds, so that turns meet half-written files.
    void longRun()
    {
        UploadWorld world(400ms); // a stall limit a loaded machine does not reach on a working site
        world.watcher.setTimings({ 2s, 5s, 60s, 24h }); // the test turns it, a second at a time
        GuildSiteConfig config, broken; // broken: a data folder it cannot store in, so every upload is a 500
        config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
        config.dataDir = world.dir.path() + QStringLiteral("/site");
        broken.dataDir = world.profileHost(QStringLiteral("0"));
        broken.users = config.users;
        std::unique_ptr<GuildSite> site;
        QHash<int, QByteArray> stored, written;
        int partial = 0, notices = 0, chunk = 0, entry = 0, number = 0, port = 0;
        const auto restart = [&](const GuildSiteConfig& with) {
            site.reset();
            site = std::make_unique<GuildSite>(with);
            port = site->listen(QHostAddress::LocalHost, quint16(port));
            connect(site.get(), &GuildSite::uploadReceived, [&](const ReceivedUpload& upload) {
                const QList<QByteArray> head = upload.profile().split('\r').first().split(' ');
                partial += upload.profile() != version(head.value(1).toInt(), head.value(2).toInt());
                stored[head.value(1).toInt()] = upload.profile();
            });
        };
        restart(config);
        world.view.setUrl(site->hostAndPort());
        for (int i = 0; i < 20; ++i)
            world.writeProfile(QString::number(i), written[i] = version(i, 0));
        world.discovery.LoadfilesFromHardDrive();
        QCOMPARE(world.list.text(0), QStringLiteral("0"));
        world.list.setChecked(0, false);
        world.list.resetFileDates();
        connect(&world.watcher, &Watcher::uploadsFailing, [&] { ++notices; });
        // A refused password stops the posting until the player logs in again.
        int refusals = 0;
        connect(&world.watcher, &Watcher::loginRefused, [&] {
            QVERIFY(!world.watcher.isRunning() && ++refusals == 1);
            site->setUser(QStringLiteral("kestrel"), QStringLiteral("secret"));
            world.watcher.start();
        });
        FaultServer stalling(FaultServer::Mode::NeverAnswer);
        QRandomGenerator random(19);
        const auto write = [&](bool start) { // the next fifth of a rewrite, or a new rewrite
            if (chunk == 0 && !start)
                return;
            entry = chunk == 0 ? int(random.bounded(20)) : entry;
            written[entry] = chunk == 0 ? version(entry, ++number) : written[entry];
            QFile file(world.profileHost(QString::number(entry)));
            QVERIFY(file.open(chunk == 0 ? QIODevice::WriteOnly : QIODevice::Append));
            const qsizetype size = written[entry].size();
            file.write(written[entry].mid(chunk * size / 5, (chunk + 1) * size / 5 - chunk * size / 5));
            QVERIFY(file.flush() && file.setFileTime(world.clock.now(), QFileDevice::FileModificationTime));
            chunk = (chunk + 1) % 5;
        };
        const std::map<int, std::function<void()>> events { { 250, [&] { site.reset(); } },
            { 650, [&] { restart(config); } },
            { 850, [&] { site->setUser(QStringLiteral("kestrel"), QStringLiteral("changed")); } },
            { 1200, [&] { restart(broken); } }, { 1400, [&] { restart(config); } },
            { 1500, [&] { world.view.setUrl(stalling.hostAndPort()); } },
            { 1650, [&] { world.view.setUrl(site->hostAndPort()); } } };
        QVERIFY(stalling.listen() && port != 0);
        world.watcher.start();
        const auto allStored = [&] {
            return stored.size() == 19
                && std::all_of(stored.keyBegin(), stored.keyEnd(), [&](int i) { return stored[i] == written[i]; });
        };
        for (int turn = 1; turn <= 2000 || (!allStored() && turn <= 3000); ++turn) {
            world.clock.ahead += 1s;
            write(turn <= 1800 && random.bounded(3) == 0);
            world.watcher.UpdateTimer_Timer();
            if (const auto event = events.find(turn); event != events.end())
                event->second();
        }
        QVERIFY(allStored() && partial == 0 && !stored.contains(0) && world.dialogs.shown.isEmpty());
        // A line when uploads start failing or the reason changes, one when they work again, and
        // one notice when they start failing.
        const QStringList lines = world.log.messages.filter(QStringLiteral(" could not be uploaded to "));
        for (const char* why : { "HTTP 500", "timed out" })
            QVERIFY2(lines.filter(QLatin1String(why)).size() == 1, qPrintable(lines.join(u'\n')));
        QCOMPARE(world.log.messages.count("The site refused the login for kestrel; log in again"_L1), refusals);
        QCOMPARE(world.log.messages.count("Uploads to "_L1 + site->hostAndPort() + " work again"_L1), 3);
        QCOMPARE(notices, 3);
    }

    // A profile the site refuses on its own backs off alone and the others go on; a refused
    // password stops every post, with one line and one signal, until the player logs in again.
    void refusedProfileAndRefusedLogin()
    {
        UploadWorld world;
        world.watcher.setTimings({ {}, 1h, 1h }); // a pause that would hold up everything for the test's length
        GuildSiteConfig config;
        config.users.insert(u"kestrel"_s, u"secret"_s);
        config.dataDir = world.dir.path() + u"/site"_s;
        config.limits.maxBodyBytes = 4096;
        GuildSite site(config);
        QVERIFY(site.listen());
        world.view.setUrl(site.hostAndPort());
        world.writeProfile(QStringLiteral("ACC\\R\\Big"), QByteArray(8000, 'b') + "\r\n");
        const QString small = world.writeProfile(QStringLiteral("ACC\\R\\Small"), "s\r\n");
        world.discovery.LoadfilesFromHardDrive();
        for (int turn = 0; turn < 6; ++turn)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(site.received().size(), 1);
        QCOMPARE(world.log.messages.filter(u"HTTP 413"_s).size(), 1);

        QSignalSpy refused(&world.watcher, &Watcher::loginRefused);
        site.setUser(QStringLiteral("kestrel"), QStringLiteral("changed"));
        QVERIFY(world.writeProfile(QStringLiteral("ACC\\R\\Small"), "s2\r\n") == small
            && touch(small, QDateTime::currentDateTime().addSecs(60)));
        const int posted = site.uploadRequestCount();
        world.watcher.setTimings({ {}, 1h, 1h, 1ms });
        world.watcher.start();
        QTRY_COMPARE(refused.size(), 1);
        QTest::qWait(200);
        QVERIFY(!world.watcher.isRunning() && refused.size() == 1 && site.uploadRequestCount() == posted + 1);
        QCOMPARE(world.log.messages.count(u"The site refused the login for kestrel; log in again"_s), 1);
    }

    void aNewLoginLeavesNothingFromBefore()
    {
        // An hour's pause asked for before, and the answer to a post sent before the player logged
        // out and in again, stay with the login they belong to.
        UploadWorld world;
        FaultServer site(FaultServer::Mode::Ok, "Inventory Uploaded");
        QVERIFY(site.listen() && world.writeProfile(u"ACC"_s, "acc\r\n").size());
        world.view.setUrl(site.hostAndPort());
        const auto logOutAndIn = [&](const QByteArray& laterAnswer) {
            world.watcher.stop();
            world.login.stopWaiting();
            site.setMode(FaultServer::Mode::Ok, "Inventory Uploaded");
            world.login.Command1_Click();
            site.setMode(FaultServer::Mode::Ok, laterAnswer);
        };
        logOutAndIn({});
        site.setMode(FaultServer::Mode::Raw, "HTTP/1.1 503 Busy\r\nRetry-After: 3600\r\nContent-Length: 0\r\n\r\n");
        world.watcher.UpdateTimer_Timer();
        logOutAndIn("Inventory Uploaded");
        QSignalSpy refused(&world.watcher, &Watcher::loginRefused);
        // The watcher's post arrives; the player logs out and in before it is answered.
        QObject::connect(
            &site, &FaultServer::requestReceived, &site, [&] { logOutAndIn("Invalid Login/Password"); },
            Qt::SingleShotConnection);
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(site.requestCount(), 6);
        QVERIFY(world.watcher.isRunning() && refused.isEmpty() && !world.view.inputsEnabled);
    }

    void unreadableProfileIsNotPostedEmpty()
    {
        WatchedWorld world;
        world.writeProfile(QStringLiteral("ACC"), "acc\r\n");
        world.discovery.LoadfilesFromHardDrive();
        // A folder where the file should be: it exists, but is no file to read.
        const QString path = world.profileHost(QStringLiteral("ACC"));
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path));
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.uploads(), 0);
        QCOMPARE(world.log.messages.size(), 1);
        QVERIFY(world.log.messages.first().startsWith(QStringLiteral("Error in the Update Timer: ")));
    }
};

QTEST_GUILESS_MAIN(TestWatcher)
#include "test_watcher.moc"
