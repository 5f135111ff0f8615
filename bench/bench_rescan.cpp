// Times the watcher's rescan of a large account tree against `find` and a plain recursive
// listing of the same tree.
//
//   bench_rescan [--accounts N] [--realms N] [--characters N] [--files N] [--runs N]
//                [--account-files N] [--other-files N] [--profiles N]
//
// Defaults: 100 accounts x 5 realms x 10 characters, each SavedVariables folder holding 20
// files (one of them Rostrel.lua), plus one account-wide SavedVariables folder per account.
// --account-files sets the account-wide folder's count apart, --other-files puts that many files
// beside each character's and account's SavedVariables folder, --profiles gives only the first N
// characters of each realm a Rostrel.lua. Build it in Release for meaningful numbers.

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
#include "core/pathlayer.h"
#include "fakes.h"
#include "folderwatch/folderwatch.h"
#include "platform/backends.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <malloc.h>
#include <vector>

using namespace rostrel;

namespace {

struct Options
{
    int accounts = 100;
    int realms = 5;
    int characters = 10;
    int files = 20;
    int runs = 7;
    int accountFiles = -1; // as files
    int otherFiles = 0;
    int profiles = -1; // every character
};

Options parse(const QStringList& args)
{
    Options o;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const int value = std::max(1, args.at(i + 1).toInt());
        const QString& name = args.at(i);
        if (name == QLatin1String("--accounts"))
            o.accounts = value;
        else if (name == QLatin1String("--realms"))
            o.realms = value;
        else if (name == QLatin1String("--characters"))
            o.characters = value;
        else if (name == QLatin1String("--files"))
            o.files = value;
        else if (name == QLatin1String("--runs"))
            o.runs = value;
        else if (name == QLatin1String("--account-files"))
            o.accountFiles = value;
        else if (name == QLatin1String("--other-files"))
            o.otherFiles = args.at(i + 1).toInt();
        else if (name == QLatin1String("--profiles"))
            o.profiles = args.at(i + 1).toInt();
    }
    return o;
}

bool touch(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// One SavedVariables folder: Rostrel.lua (when withProfile) among the game's other
// saved-variables files, and the game's other files in the folder above it.
bool fillSavedVariables(const QString& folder, int files, int otherFiles, bool withProfile)
{
    if (!QDir().mkpath(folder) || (withProfile && !touch(folder + QStringLiteral("/Rostrel.lua"))))
        return false;
    for (int i = 1; i < files; ++i) {
        if (!touch(folder + QStringLiteral("/Blizzard_Addon%1.lua").arg(i)))
            return false;
    }
    for (int i = 0; i < otherFiles; ++i) {
        if (!touch(folder + QStringLiteral("/../cache-%1.txt").arg(i)))
            return false;
    }
    return true;
}

bool buildTree(const QString& account, const Options& o)
{
    for (int a = 0; a < o.accounts; ++a) {
        const QString accountFolder = account + QStringLiteral("/ACCOUNT%1").arg(a, 3, 10, QLatin1Char('0'));
        if (!fillSavedVariables(accountFolder + QStringLiteral("/SavedVariables"),
                o.accountFiles < 0 ? o.files : o.accountFiles, o.otherFiles, true))
            return false;
        for (int r = 0; r < o.realms; ++r) {
            for (int c = 0; c < o.characters; ++c) {
                const QString character
                    = accountFolder + QStringLiteral("/Realm %1/Character%2/SavedVariables").arg(r).arg(c);
                if (!fillSavedVariables(character, o.files, o.otherFiles, o.profiles < 0 || c < o.profiles))
                    return false;
            }
        }
    }
    return true;
}

double elapsedMs(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::size_t plainListing(const std::filesystem::path& root)
{
    std::size_t entries = 0;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
        ++entries;
    return entries;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options o = parse(app.arguments());
    QTextStream out(stdout);

    QTemporaryDir dir;
    if (!dir.isValid()) {
        out << "cannot make a temporary folder\n";
        return 1;
    }
    // A Wine prefix whose C: drive holds the game.
    const QString prefix = dir.filePath(QStringLiteral("prefix"));
    const QString account = prefix + QStringLiteral("/drive_c/Games/World of Warcraft/WTF/Account");
    out << "Building " << o.accounts << " accounts x " << o.realms << " realms x " << o.characters << " characters, "
        << o.files << " files per SavedVariables folder ..." << Qt::endl;
    if (!buildTree(account, o)) {
        out << "cannot build the tree\n";
        return 1;
    }
    const int expectedEntries
        = o.accounts * (1 + o.realms * (o.profiles < 0 ? o.characters : std::min(o.profiles, o.characters)));

    fakes::FakeRegistry registry;
    registry.setInstallPath(QStringLiteral("C:\\Games\\World of Warcraft\\"));
    const std::unique_ptr<PathLayer> paths = makeWinePathLayer(prefix);
    fakes::FakeDialogs dialogs;
    fakes::FakeExit exit;
    fakes::FakeLog log;
    GameFolders folders(registry, *paths, dialogs, exit, log);

    const QString find = QStandardPaths::findExecutable(QStringLiteral("find"));
    const auto runFind = [&] {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(find, { account });
        process.waitForFinished(-1);
    };
    const std::filesystem::path root(account.toStdU16String());

    // Warm the caches once so every contender reads the same cached tree.
    std::size_t entries = plainListing(root);
    if (!find.isEmpty())
        runFind();

    // Each round times every contender once, one after the other, so that a machine busy with
    // other work slows them alike; the table shows the medians.
    CharacterList fullList;
    Discovery fullDiscovery(folders, fullList, std::unique_ptr<FolderWatch> {}); // lists the whole tree every walk
    fullDiscovery.LoadfilesFromHardDrive();
    const int heapBefore = mallinfo2().uordblks;
    CharacterList keptList;
    Discovery keptDiscovery(folders, keptList); // re-lists what the system reports changed
    keptDiscovery.LoadfilesFromHardDrive();
    const double keptBytes = double(mallinfo2().uordblks - heapBefore);
    int found = keptList.count();
    int lateTurns = 0;
    std::vector<double> firstTimes, keptFirstTimes, fullTimes, keptTimes, changeTimes, plainTimes, findTimes;
    for (int run = 0; run < o.runs; ++run) {
        firstTimes.push_back(elapsedMs([&] {
            CharacterList list; // first walk: every profile is new
            Discovery discovery(folders, list, std::unique_ptr<FolderWatch> {});
            discovery.LoadfilesFromHardDrive();
        }));
        keptFirstTimes.push_back(elapsedMs([&] {
            CharacterList list; // the same, making the kept listing and its watches
            Discovery discovery(folders, list);
            discovery.LoadfilesFromHardDrive();
        }));
        fullTimes.push_back(elapsedMs([&] { fullDiscovery.LoadfilesFromHardDrive(); }));
        keptTimes.push_back(elapsedMs([&] { keptDiscovery.LoadfilesFromHardDrive(); }));
        // A new character logs in: the next turn must list it.
        const int before = keptList.count();
        fillSavedVariables(
            account + QStringLiteral("/ACCOUNT000/Realm 0/New%1/SavedVariables").arg(run), o.files, o.otherFiles, true);
        changeTimes.push_back(elapsedMs([&] { keptDiscovery.LoadfilesFromHardDrive(); }));
        if (keptList.count() != before + 1)
            ++lateTurns;
        plainTimes.push_back(elapsedMs([&] { entries = plainListing(root); }));
        if (!find.isEmpty())
            findTimes.push_back(elapsedMs(runFind));
    }
    fullDiscovery.LoadfilesFromHardDrive();
    const double findTime = find.isEmpty() ? 0.0 : median(findTimes);
    const double plain = median(plainTimes);
    const bool same = fullList.count() == keptList.count();

    out << "Entries found: " << found << " (expected " << expectedEntries << "), tree entries: " << entries
        << ", folders kept: " << keptDiscovery.keptFolders() << ", not watched: " << keptDiscovery.unwatchedFolders()
        << "\n\n";
    const auto row = [&](const char* what, double ms) {
        char line[200];
        const double vsFind = findTime > 0 ? ms / findTime : 0.0;
        std::snprintf(line, sizeof line, "| %-44s | %9.3f | %10.4f | %11.3f |\n", what, ms, vsFind, ms / plain);
        out << line;
    };
    char header[200];
    const QByteArray what = QStringLiteral("what (median of %1 runs)").arg(o.runs).toUtf8();
    std::snprintf(
        header, sizeof header, "| %-44s | %9s | %10s | %11s |\n", what.constData(), "ms", "x find", "x plain C++");
    out << header;
    out << "|----------------------------------------------|-----------|------------|-------------|\n";
    row("rescan, nothing changed (change reports)", median(keptTimes));
    row("rescan, a new character (change reports)", median(changeTimes));
    row("rescan, full walk (no change reports)", median(fullTimes));
    row("first walk, making the kept listing", median(keptFirstTimes));
    row("first walk, full walk", median(firstTimes));
    if (!find.isEmpty())
        row("find <tree> > /dev/null", findTime);
    row("plain recursive listing (C++)", plain);
    out << "\nKept listing: " << keptBytes / 1024.0 << " KB; turns late for a new profile: " << lateTurns
        << "; same entries as the full walk: " << (same ? "yes" : "NO") << "\n";
    // For run_bench.py.
    out << "\nkept_turn_ms " << median(keptTimes) << "\nchange_turn_ms " << median(changeTimes) << "\nfull_turn_ms "
        << median(fullTimes) << "\nfind_ms " << findTime << "\nkept_bytes " << keptBytes << "\nlate_turns " << lateTurns
        << "\nsame_entries " << (same ? 1 : 0) << "\n";
    return found == expectedEntries && same && lateTurns == 0 ? 0 : 2;
}
