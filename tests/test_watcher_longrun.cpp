// Weeks in the tray, compressed: thousands of watcher turns over twenty entries while the reference
// site goes away, comes back, refuses the password, fails with 500 and stalls, and a writer
// rewrites profiles in slow chunks as the game does.

#include "guild-site/guildsite.h"
#include "support/faultserver.h"
#include "testfiles.h"
#include "uploadworld.h"

#include <QRandomGenerator>
#include <QTest>
#include <cmath>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace rostrel::testing;
using namespace std::chrono_literals;

namespace {
constexpr int kEntries = 20;
constexpr int kTurns = 2000;
constexpr int kChunks = 5;
constexpr auto kFirstBackOff = 10ms;
constexpr auto kLongestBackOff = 80ms;

QString entryName(int entry)
{
    return QStringLiteral("ACC\\Realm\\C%1").arg(entry, 2, 10, QLatin1Char('0'));
}
// Each version of each profile is different and of its own size; its first line names it.
QByteArray profileBytes(int entry, int version)
{
    const QByteArray head = "-- " + QByteArray::number(entry) + ' ' + QByteArray::number(version) + "\r\n";
    return head + QByteArray(1000 + (version * 7919) % 40000, char('a' + entry)) + "\r\n-- end\r\n";
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct LongRunWorld : UploadWorld
{
    LongRunWorld()
        : UploadWorld(150ms)
    {
        config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
        config.dataDir = dir.path() + QStringLiteral("/site");
        config.keepBodies = false;
        startSite(config);
        view.setUrl(site->hostAndPort());
    }
    void startSite(const GuildSiteConfig& with)
    {
        site.reset();
        site = std::make_unique<GuildSite>(with);
        port = site->listen(QHostAddress::LocalHost, port); // the same port each time
        QVERIFY(port != 0);
        QObject::connect(site.get(), &GuildSite::uploadReceived, [this](const ReceivedUpload& upload) {
            const QByteArray bytes = upload.profile();
            const QList<QByteArray> head = bytes.left(bytes.indexOf('\r')).split(' ');
            const int entry = head.value(1).toInt();
            if (head.size() != 3 || bytes != profileBytes(entry, head.value(2).toInt()))
                ++partial;
            stored[entry] = bytes;
        });
    }
    // One step of the writer: the rewrite under way gets its next chunk, or now and then a new one
    // begins.
    void writeStep(bool finishing = false)
    {
        if (chunk == 0 && (finishing || random.bounded(20) != 0))
            return;
        if (chunk == 0) {
            writing = static_cast<int>(random.bounded(kEntries));
            rewrite = profileBytes(writing, ++version);
        }
        QFile file(profileHost(entryName(writing)));
        QVERIFY(file.open(chunk == 0 ? QIODevice::WriteOnly : QIODevice::Append));
        const qsizetype size = rewrite.size() / kChunks + 1;
        file.write(rewrite.mid(chunk * size, size));
        file.close();
        if (++chunk == kChunks) {
            final[writing] = rewrite;
            chunk = 0;
        }
    }

    GuildSiteConfig config;
    std::unique_ptr<GuildSite> site;
    quint16 port = 0;
    QHash<int, QByteArray> stored; // the last profile the site took, by entry
    QHash<int, QByteArray> final; // the last profile written completely, by entry
    int partial = 0;
    QRandomGenerator random { 19 };
    int writing = 0;
    int chunk = 0;
    int version = 0;
    QByteArray rewrite; // the profile being written
};
} // namespace

class TestWatcherLongRun : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void weeksInTheTray()
    {
        LongRunWorld world;
        for (int i = 0; i < kEntries; ++i)
            world.writeProfile(entryName(i), profileBytes(i, 0));
        world.discovery.LoadfilesFromHardDrive();
        QCOMPARE(world.list.count(), kEntries);
        world.list.setChecked(0, false);
        world.list.setChecked(1, false);
        world.list.resetFileDates();
        world.watcher.setTimings({ 100ms, kFirstBackOff, kLongestBackOff });
        world.watcher.UpdateTimer().setInterval(1);
        int notices = 0;
        connect(&world.watcher, &Watcher::uploadsFailing, [&] { ++notices; });
        FaultServer stalling(FaultServer::Mode::NeverAnswer);
        QVERIFY(stalling.listen());
        QTimer writer;
        connect(&writer, &QTimer::timeout, [&] { world.writeStep(); });
        writer.start(2);

        int turns = 0;
        int postsWhenStopped = 0;
        qint64 downMs = 0;
        qint64 memoryBefore = 0;
        QElapsedTimer down;
        GuildSiteConfig broken = world.config;
        broken.dataDir = world.dir.path() + QStringLiteral("/not-a-folder");
        QVERIFY(writeFile(broken.dataDir, "x"));
        // Each turn's end moves the world on: the site's troubles come and go by turn count.
        connect(&world.watcher, &Watcher::tickFinished, [&] {
            switch (++turns) {
            case 200:
                memoryBefore = residentKiB();
                break;
            case 250:
                world.site.reset();
                postsWhenStopped = world.counting.made;
                down.start();
                break;
            case 650:
                postsWhenStopped = world.counting.made - postsWhenStopped;
                downMs = down.elapsed();
                world.startSite(world.config);
                break;
            case 850:
                world.site->setUser(QStringLiteral("kestrel"), QStringLiteral("changed"));
                break;
            case 1050:
                world.site->setUser(QStringLiteral("kestrel"), QStringLiteral("secret"));
                break;
            case 1200:
                world.startSite(broken);
                break;
            case 1400:
                world.startSite(world.config);
                break;
            case 1500:
                world.view.setUrl(stalling.hostAndPort());
                break;
            case 1650:
                world.view.setUrl(world.site->hostAndPort());
                break;
            case 1800:
                writer.stop();
                while (world.chunk != 0)
                    world.writeStep(true);
                break;
            }
        });
        world.watcher.start();
        const auto arrived = [&] {
            for (int i = 2; i < kEntries; ++i) {
                if (world.stored.value(i) != world.final.value(i, profileBytes(i, 0)))
                    return false;
            }
            return turns >= kTurns;
        };
        QTRY_VERIFY_WITH_TIMEOUT(arrived(), 50000);
        world.watcher.stop();

        QCOMPARE(world.partial, 0);
        QVERIFY(!world.stored.contains(0) && !world.stored.contains(1));
        QVERIFY(world.dialogs.shown.isEmpty());
        // One line for each run of failures (a new one only when the reason changes), one when
        // uploads work again, and one notice each time they start failing.
        QStringList troubles;
        for (const QString& line : std::as_const(world.log.messages)) {
            if (!line.endsWith(QStringLiteral("changed and was uploaded")))
                troubles.append(line);
        }
        const QString recovered
            = QStringLiteral("Uploads to ") + world.site->hostAndPort() + QStringLiteral(" work again");
        QCOMPARE(troubles.count(recovered), 4);
        QCOMPARE(notices, 4);
        for (int i = 0; i < troubles.size(); ++i) {
            QVERIFY2(
                troubles.at(i) == recovered || troubles.at(i).contains(QStringLiteral(" could not be uploaded to ")),
                qPrintable(troubles.at(i)));
            QVERIFY(i == 0 || troubles.at(i) != troubles.at(i - 1));
        }
        for (const char* why : { "Invalid Login/Password", "HTTP 500", "timed out" })
            QVERIFY(troubles.filter(QLatin1String(why)).size() == 1);
        // While the site was down, posts were paced by the back-off, not by the turns.
        const double doublings = std::log2(double(kLongestBackOff / kFirstBackOff));
        QVERIFY2(postsWhenStopped <= 2 + doublings + downMs / kLongestBackOff.count(),
            qPrintable(QStringLiteral("%1 posts in %2 ms").arg(postsWhenStopped).arg(downMs)));
        if (memoryBefore > 0)
            QVERIFY(residentKiB() - memoryBefore < 8 * 1024);
    }
};

QTEST_GUILESS_MAIN(TestWatcherLongRun)
#include "test_watcher_longrun.moc"
