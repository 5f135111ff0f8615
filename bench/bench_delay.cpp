// The time from the game's write of a profile to the site holding it, in a list of many ticked
// entries. The watcher's timings are divided by kScale so that a run of a few hundred turns takes
// seconds; the delays are printed at the program's pace.
//   bench_delay ENTRIES SAMPLES   prints "name value" lines for run_bench.py

#include "guild-site/guildsite.h"
#include "support/uploadworld.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace rostrel;
using namespace std::chrono_literals;

namespace {
constexpr int kScale = 50;

// As the game saves: the old file kept aside as .bak, a new one written.
void save(const QString& path, const QByteArray& bytes)
{
    QFile::remove(path + QStringLiteral(".bak"));
    QFile::rename(path, path + QStringLiteral(".bak"));
    testing::writeFile(path, bytes);
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int entries = argc > 1 ? std::max(2, std::atoi(argv[1])) : 48;
    const int samples = argc > 2 ? std::max(5, std::atoi(argv[2])) : 60;
    const WatcherTimings program; // the program's own timings
    const WatcherTimings timings { program.settle / kScale, program.firstBackOff / kScale,
        program.longestBackOff / kScale, program.turn / kScale };
    fakes::UploadWorld world(kStallTimeout);
    world.watcher.setTimings(timings);

    GuildSiteConfig config;
    config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
    config.dataDir = world.dir.path() + QStringLiteral("/site");
    config.keepBodies = false;
    GuildSite site(config);
    site.listen();
    world.view.setUrl(site.hostAndPort());
    QStringList paths;
    for (int i = 0; i < entries; ++i)
        paths << world.writeProfile(QStringLiteral("ACC\\Realm%1\\Char%2").arg(i / 50).arg(i % 50), "-- 0\r\n");
    world.discovery.LoadfilesFromHardDrive();
    world.list.resetFileDates();
    for (int i = 0; i < world.list.count(); ++i) // the first pass is over
        world.list.setFileDate(i, QFileInfo(world.profiles.entry(i).hostPath).lastModified());

    // Each sample: one profile saved at a random moment of a turn, timed until the site has it.
    QElapsedTimer clock;
    clock.start();
    QHash<QByteArray, qint64> written; // the version's first line, when it was saved
    std::vector<double> delays;
    QRandomGenerator random(33);
    int number = 0;
    QTimer writer;
    writer.setSingleShot(true);
    const auto writeOne = [&] {
        const QByteArray head = "-- " + QByteArray::number(++number);
        save(paths[int(random.bounded(entries))], head + "\r\n" + QByteArray(20000, 'x') + "\r\n");
        written.insert(head, clock.elapsed());
    };
    QObject::connect(&writer, &QTimer::timeout, writeOne);
    QObject::connect(&site, &GuildSite::uploadReceived, [&](const ReceivedUpload& upload) {
        const QByteArray head = upload.profile().left(upload.profile().indexOf('\r'));
        if (!written.contains(head))
            return;
        delays.push_back(double(clock.elapsed() - written.take(head)) * kScale / 1000);
        if (int(delays.size()) >= samples)
            QCoreApplication::quit();
        else
            writer.start(int(timings.turn.count() + random.bounded(int(timings.turn.count()))));
    });
    world.watcher.start();
    writer.start(int(timings.turn.count()));
    QTimer::singleShot(std::chrono::milliseconds(timings.turn * (entries + 10) * samples), &app, [] {
        std::fprintf(stderr, "bench_delay: gave up waiting\n");
        QCoreApplication::exit(1);
    });
    if (QCoreApplication::exec() != 0)
        return 1;

    const double settle = double(program.settle.count()) / 1000;
    const double turn = double(program.turn.count()) / 1000;
    std::printf("entries %d\nsamples %d\nmedian_seconds %.2f\np95_seconds %.2f\nmax_seconds %.2f\n", world.list.count(),
        int(delays.size()), percentile(delays, 0.5), percentile(delays, 0.95), percentile(delays, 1.0));
    std::printf("settle_seconds %.1f\nturn_seconds %.1f\n", settle, turn);
    return 0;
}
