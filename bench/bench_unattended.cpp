// The watcher left alone for a long run, its timings scaled down so that hours pass in seconds:
// how many posts reach a site that is down against what the back-off allows, and how resident
// memory moves over thousands of turns while profiles keep being rewritten.
//   bench_unattended [turns]   prints "name value" lines for run_bench.py

#include "guild-site/guildsite.h"
#include "support/uploadworld.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <cstdio>
#include <cstdlib>

using namespace rostrel;
using namespace std::chrono_literals;

namespace {
// The program's timings are divided by this: the first pause of 5 s becomes 10 ms, the longest
// of five minutes 600 ms.
constexpr int kScale = 500;
constexpr int kEntries = 20;

long residentKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLong() * 4 : -1;
}

// The posts a back-off lets through in an outage of that length, the first one included.
int allowedPosts(std::chrono::milliseconds outage, const WatcherTimings& timings)
{
    int posts = 1;
    auto pause = timings.firstBackOff;
    for (auto at = pause; at <= outage; pause = std::min(pause * 2, timings.longestBackOff), at += pause)
        ++posts;
    return posts;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int turns = argc > 1 ? std::max(60, std::atoi(argv[1])) : 6000;
    const WatcherTimings timings { 2000ms / kScale, 5000ms / kScale, 300000ms / kScale, 1ms };
    fakes::UploadWorld world(kStallTimeout / kScale);
    world.watcher.setTimings(timings);

    GuildSiteConfig config;
    config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
    config.dataDir = world.dir.path() + QStringLiteral("/site");
    config.keepBodies = false;
    auto site = std::make_unique<GuildSite>(config);
    const quint16 port = site->listen();
    world.view.setUrl(site->hostAndPort());
    for (int i = 0; i < kEntries; ++i)
        world.writeProfile(QString::number(i), QByteArray(20000, char('a' + i)));
    world.discovery.LoadfilesFromHardDrive();
    world.list.resetFileDates();

    // The game writes a profile every 50 ms (every 25 s at the program's pace); the watcher posts
    // whatever has settled.
    int rewrites = 0;
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        world.writeProfile(QString::number(rewrites % kEntries), QByteArray(20000 + rewrites % 997, 'x'));
        ++rewrites;
    });
    int posts = 0;
    QObject::connect(&world.network, &QNetworkAccessManager::finished, [&] { ++posts; });

    // The site is down for the middle third of the run; memory is read from the first sixth on.
    int turn = 0;
    int postsBefore = 0;
    int postsWhileDown = 0;
    long memoryFrom = 0;
    QElapsedTimer down;
    std::chrono::milliseconds outage {};
    QObject::connect(&world.watcher, &Watcher::tickFinished, [&] {
        ++turn;
        if (turn == turns / 6)
            memoryFrom = residentKb();
        if (turn == turns / 3) {
            site.reset();
            postsBefore = posts;
            down.start();
        }
        if (turn == 2 * turns / 3) {
            postsWhileDown = posts - postsBefore;
            outage = std::chrono::milliseconds(down.elapsed());
            site = std::make_unique<GuildSite>(config);
            site->listen(QHostAddress::LocalHost, port);
        }
        if (turn == turns)
            QCoreApplication::quit();
    });
    QElapsedTimer took;
    took.start();
    writer.start(50);
    world.watcher.start();
    QCoreApplication::exec();

    std::printf(
        "turns %d\nseconds %.1f\nposts %d\nrewrites %d\n", turns, double(took.elapsed()) / 1000, posts, rewrites);
    std::printf("outage_seconds %.1f\noutage_real_minutes %.0f\n", double(outage.count()) / 1000,
        double(outage.count()) * kScale / 60000);
    std::printf("posts_while_down %d\nposts_allowed %d\n", postsWhileDown, allowedPosts(outage, timings));
    std::printf("memory_from_kb %ld\nmemory_growth_kb %ld\n", memoryFrom, residentKb() - memoryFrom);
    std::printf("log_lines %lld\nboxes %lld\n", static_cast<long long>(world.log.messages.size()),
        static_cast<long long>(world.dialogs.shown.size()));
    return 0;
}
