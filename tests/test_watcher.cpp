#include "guild-site/guildsite.h"
#include "support/faultserver.h"
#include "uploadworld.h"

#include <QTest>
#include <QTimer>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace std::chrono_literals;

namespace {
[[nodiscard]] bool touch(const QString& path, const QDateTime& when)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(when, QFileDevice::FileModificationTime);
}

struct WatchedWorld : UploadWorld
{
    explicit WatchedWorld(std::chrono::milliseconds stall = 3000ms)
        : UploadWorld(stall)
        , site([this] {
            GuildSiteConfig config;
            config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
            config.dataDir = dir.path() + QStringLiteral("/site");
            return config;
        }())
    {
        site.listen();
        view.setUrl(site.hostAndPort());
    }
    int uploads() const { return static_cast<int>(site.received().size()); }
    GuildSite site;
};
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
        world.watcher.UpdateTimer_Timer();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.log.messages.first(),
            QStringLiteral("Error in the Update Timer: File not found while on file: "
                           "'C:\\Games\\WoW\\WTF\\Account\\ACC\\R\\Gone\\SavedVariables\\Rostrel.lua'"));
        QCOMPARE(world.uploads(), 1);
        QCOMPARE(world.list.count(), 2); // entries are never removed
    }

    void newCharacterIsListedAndPosted()
    {
        WatchedWorld world;
        world.writeProfile(QStringLiteral("ACC"), "acc\r\n");
        world.discovery.LoadfilesFromHardDrive();
        world.watcher.UpdateTimer_Timer();
        world.writeProfile(QStringLiteral("NEW\\Realm\\Nia"), "nia\r\n");
        world.watcher.UpdateTimer_Timer(); // the rescan lists it, and the cursor moves on to it
        world.watcher.UpdateTimer_Timer();
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
        QVERIFY(world.dialogs.shown.isEmpty());
        const QString why = world.log.messages.last();
        QVERIFY2(
            why.startsWith(QStringLiteral("Profile for ACC could not be uploaded to http://") + holding.hostAndPort())
                && why.contains(QStringLiteral("cut short")),
            qPrintable(why));
        QCOMPARE(world.list.fileDate(0), uploadedTime);
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
