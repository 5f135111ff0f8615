// The walk that re-lists only what the system reports changed, held against the full walk over
// the same changes, with the reports flowing, refused, lost or not to be had.

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/foldertree.h"
#include "catalogue/gamefolders.h"
#include "fakes.h"
#include "folderwatch/folderwatch.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <functional>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace Qt::Literals::StringLiterals;

namespace {

// The system's reports, passed on unless the test refuses watches, drops reports or plays a
// file system that gives none.
class ScriptedWatch : public FolderWatch
{
public:
    ScriptedWatch()
        : m_system(makeFolderWatch())
    {
        connect(m_system.get(), &FolderWatch::folderChanged, this, [this](const QString& folder) {
            if (!dropReports)
                Q_EMIT folderChanged(folder);
        });
        connect(m_system.get(), &FolderWatch::changesLost, this, &FolderWatch::changesLost);
    }
    bool watch(const QString& folder) override
    {
        if (m_watched.size() >= watchLimit)
            return false;
        m_watched.insert(folder);
        return m_system->watch(folder);
    }
    void unwatch(const QString& folder) override
    {
        m_watched.remove(folder);
        m_system->unwatch(folder);
    }
    bool reportsChanges(const QString& folder, QString* why) const override
    {
        if (!remote)
            return m_system->reportsChanges(folder, why);
        *why = QStringLiteral("nfs");
        return false;
    }
    void deliverPending() override { m_system->deliverPending(); }

    qsizetype watchLimit = 1 << 20;
    bool dropReports = false;
    bool remote = false;

private:
    std::unique_ptr<FolderWatch> m_system;
    QSet<QString> m_watched;
};

enum class Reports
{
    Flowing,
    LimitReached,
    NoWatchAtAll,
    Lost,
    NotOnThisFileSystem
};

struct World
{
    // root: where the game's C: drive is (default: a folder of its own).
    explicit World(std::unique_ptr<FolderWatch> watch, const QString& drive = {})
        : root(drive.isEmpty() ? dir.path() : drive)
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\"));
        account = root + QStringLiteral("/Games/WoW/WTF/Account");
        QDir().mkpath(account);
        discovery = std::make_unique<Discovery>(folders, list, std::move(watch));
    }
    QStringList texts() const
    {
        QStringList result;
        for (int i = 0; i < list.count(); ++i)
            result << list.text(i) + (list.isChecked(i) ? QString() : QStringLiteral(" (unchecked)"));
        return result;
    }
    QTemporaryDir dir;
    QString root;
    QString account;
    FakeRegistry registry;
    FakePathLayer paths { root };
    FakeDialogs dialogs;
    FakeExit exit;
    FakeLog log;
    GameFolders folders { registry, paths, dialogs, exit, log };
    CharacterList list;
    std::unique_ptr<Discovery> discovery;
};

// Each change below gives false when it could not be made.
[[nodiscard]] bool profile(const QString& folder)
{
    return testing::writeFile(folder + QStringLiteral("/Rostrel.lua"), "Rostrel = {}\r\n");
}

[[nodiscard]] bool others(const QString& folder, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!testing::writeFile(folder + QStringLiteral("/Addon%1.lua").arg(i), "x\r\n"))
            return false;
    }
    return true;
}

[[nodiscard]] bool rename(const QString& from, const QString& to)
{
    return QDir().rename(QDir::cleanPath(from), QDir::cleanPath(to));
}

[[nodiscard]] bool link(const QString& target, const QString& at)
{
    return QFile::link(target, at);
}

// Changes as the game, the player and odd set-ups make them, each followed by a walk. Paths are
// below the account folder.
const QList<std::pair<const char*, std::function<bool(const QString&)>>> kChanges = {
    { "first tree",
        [](const QString& a) {
            const bool made = profile(a + QStringLiteral("/KESTREL77/SavedVariables"))
                && profile(a + QStringLiteral("/KESTREL77/Mossgate/Tovrin/SavedVariables"))
                && others(a + QStringLiteral("/KESTREL77/Mossgate/Tovrin/SavedVariables"), 5);
            QDir().mkpath(a + QStringLiteral("/KESTREL77/Mossgate/Ilse/SavedVariables"));
            return made;
        } },
    { "nothing changed", [](const QString&) { return true; } },
    { "settings saved in the program's folder, where it was started",
        [](const QString&) {
            const QString settings = QCoreApplication::applicationDirPath() + QStringLiteral("/settings-saved.txt");
            return testing::writeFile(settings, "x") && QFile::remove(settings);
        } },
    { "other files written",
        [](const QString& a) { return others(a + QStringLiteral("/KESTREL77/SavedVariables"), 5); } },
    { "new account", [](const QString& a) { return profile(a + QStringLiteral("/ALDER/SavedVariables")); } },
    { "new realm",
        [](const QString& a) { return profile(a + QStringLiteral("/KESTREL77/Brightwater/Oda/SavedVariables")); } },
    { "new character",
        [](const QString& a) { return profile(a + QStringLiteral("/KESTREL77/Mossgate/Abel/SavedVariables")); } },
    { "profile added",
        [](const QString& a) { return profile(a + QStringLiteral("/KESTREL77/Mossgate/Ilse/SavedVariables")); } },
    { "character renamed",
        [](const QString& a) {
            return rename(
                a + QStringLiteral("/KESTREL77/Mossgate/Abel"), a + QStringLiteral("/KESTREL77/Mossgate/Zed"));
        } },
    { "profile removed",
        [](const QString& a) { return QFile::remove(a + QStringLiteral("/ALDER/SavedVariables/Rostrel.lua")); } },
    { "profile back in other case",
        [](const QString& a) {
            return testing::writeFile(a + QStringLiteral("/ALDER/SavedVariables/ROSTREL.LUA"), "");
        } },
    { "case-only rename",
        [](const QString& a) {
            return rename(a + QStringLiteral("/KESTREL77/Mossgate/Zed"), a + QStringLiteral("/KESTREL77/Mossgate/ZED"));
        } },
    { "dot folder", [](const QString& a) { return profile(a + QStringLiteral("/.backup/SavedVariables")); } },
    { "dot folder shown",
        [](const QString& a) { return rename(a + QStringLiteral("/.backup"), a + QStringLiteral("/BACKUP")); } },
    { "links that loop and one that does not",
        [](const QString& a) {
            return link(a, a + QStringLiteral("/KESTREL77/Mossgate/Tovrin/loop"))
                && link(a + QStringLiteral("/KESTREL77"), a + QStringLiteral("/Alias"));
        } },
    { "new profile seen through the link",
        [](const QString& a) { return profile(a + QStringLiteral("/KESTREL77/Deepwood/Una/SavedVariables")); } },
    { "link that leads nowhere",
        [](const QString& a) { return link(a + QStringLiteral("/../Elsewhere"), a + QStringLiteral("/Later")); } },
    { "link that led nowhere leads somewhere",
        [](const QString& a) { return profile(a + QStringLiteral("/../Elsewhere/R/C/SavedVariables")); } },
    { "folder moved into the place of another",
        [](const QString& a) {
            return profile(a + QStringLiteral("/Spare/SavedVariables/Vex/SavedVariables")) // same first level
                && rename(a + QStringLiteral("/Spare"), a + QStringLiteral("/../Spare"))
                && rename(a + QStringLiteral("/BACKUP"), a + QStringLiteral("/../OldBackup"))
                && rename(a + QStringLiteral("/../Spare"), a + QStringLiteral("/BACKUP"));
        } },
    { "account made anew",
        [](const QString& a) {
            return QDir(a + QStringLiteral("/ALDER")).removeRecursively()
                && profile(a + QStringLiteral("/ALDER/Realm/Wren/SavedVariables"));
        } },
    { "whole account folder made anew",
        [](const QString& a) {
            return QDir(a).removeRecursively() && profile(a + QStringLiteral("/KESTREL77/SavedVariables"))
                && profile(a + QStringLiteral("/FRESH/SavedVariables"));
        } },
    { "new realm in an account folder made anew",
        [](const QString& a) { return profile(a + QStringLiteral("/KESTREL77/Newrealm/Kai/SavedVariables")); } },
    { "WTF moved aside, a character made in the new one",
        [](const QString& a) {
            return rename(a + u"/.."_s, a + u"/../../WTF.old"_s) && profile(a + u"/KESTREL77/R/Noa/SavedVariables"_s);
        } },
};

} // namespace

class TestDiscoveryWatch : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sameEntriesAsTheFullWalk_data()
    {
        QTest::addColumn<Reports>("reports");
        QTest::addColumn<QString>("logged"); // the one line the log gets, if any
        QTest::newRow("reports flowing") << Reports::Flowing << QString();
        QTest::newRow("watch limit reached midway")
            << Reports::LimitReached << QStringLiteral("The system does not report changes to every game folder");
        QTest::newRow("no watch to be had")
            << Reports::NoWatchAtAll << QStringLiteral("The system does not report changes to every game folder");
        QTest::newRow("reports lost") << Reports::Lost
                                      << QStringLiteral("Reports of changes to the game folders were lost");
        QTest::newRow("file system without reports")
            << Reports::NotOnThisFileSystem << QStringLiteral("Changes to the game folders are not reported");
    }
    void sameEntriesAsTheFullWalk()
    {
        QFETCH(Reports, reports);
        QFETCH(QString, logged);
        auto scripted = std::make_unique<ScriptedWatch>();
        ScriptedWatch& watch = *scripted;
        watch.watchLimit = reports == Reports::LimitReached ? 6 : reports == Reports::NoWatchAtAll ? 0 : 1 << 20;
        watch.remote = reports == Reports::NotOnThisFileSystem;
        watch.dropReports = reports == Reports::Lost;
        World watched(std::move(scripted));
        World full(nullptr, watched.root); // the same tree, walked whole every time

        for (const auto& [step, change] : kChanges) {
            QVERIFY2(change(watched.account), step);
            if (reports == Reports::Lost)
                Q_EMIT watch.changesLost();
            full.discovery->LoadfilesFromHardDrive();
            watched.discovery->LoadfilesFromHardDrive();
            QVERIFY2(watched.texts() == full.texts(),
                qPrintable(QStringLiteral("after \"%1\": %2 | full walk: %3")
                               .arg(QLatin1String(step), watched.texts().join(u','), full.texts().join(u','))));
            if (full.list.count() > 1) { // ticks are left alone
                watched.list.setChecked(1, false);
                full.list.setChecked(1, false);
            }
        }
        QCOMPARE(watched.list.fileDatesSize(), full.list.fileDatesSize());
        QVERIFY(full.list.count() >= 12);
        if (logged.isEmpty()) {
            QCOMPARE(watched.log.messages, QStringList());
        } else {
            QCOMPARE(watched.log.messages.size(), 1);
            QVERIFY2(watched.log.messages.first().startsWith(logged), qPrintable(watched.log.messages.first()));
        }
    }

    void watchesAgainWhenItCan()
    {
        auto scripted = std::make_unique<ScriptedWatch>();
        ScriptedWatch& watch = *scripted;
        watch.watchLimit = 0;
        World world(std::move(scripted));
        QVERIFY(profile(world.account + QStringLiteral("/A/R/C/SavedVariables")));
        world.discovery->LoadfilesFromHardDrive();
        QCOMPARE(world.discovery->unwatchedFolders(), world.discovery->keptFolders());
        watch.watchLimit = 1 << 20;
        for (int turn = 0; turn < FolderTree::kRetryTurns; ++turn)
            world.discovery->LoadfilesFromHardDrive();
        QCOMPARE(world.discovery->unwatchedFolders(), 0);
        QVERIFY(profile(world.account + QStringLiteral("/B/SavedVariables")));
        world.discovery->LoadfilesFromHardDrive();
        QCOMPARE(world.texts(), (QStringList { QStringLiteral("A\\R\\C"), QStringLiteral("B") }));
        QCOMPARE(world.log.messages.size(), 1);
    }

    void leavesNothingBehind()
    {
        // Nothing in the temporary folder that a run ended without unwinding would leave behind.
        const auto ours = [] { return QDir::temp().entryList({ QCoreApplication::applicationName() + u'*' }); };
        const QStringList before = ours();
        World world(makeFolderWatch());
        world.discovery->LoadfilesFromHardDrive();
        QCOMPARE(ours().size(), before.size() + 1); // the test's own game folder
    }

    void overflowOfTheSystemQueue()
    {
        // The kernel's queue of reports runs over while the program is busy: reports are lost,
        // and the walk must look everywhere once.
        const int limit = testing::readFile(QStringLiteral("/proc/sys/fs/inotify/max_queued_events")).trimmed().toInt();
        if (limit <= 0 || limit > 100000)
            QSKIP("no inotify queue here short enough to fill in a test");
        World world(makeFolderWatch());
        QVERIFY(profile(world.account + QStringLiteral("/A/SavedVariables")));
        world.discovery->LoadfilesFromHardDrive();
        // A file renamed to and fro: two reports a call, no two in a row alike.
        const QByteArray busy = QFile::encodeName(world.account + QStringLiteral("/A/busy")), moved = busy + '2';
        QVERIFY(testing::writeFile(QFile::decodeName(busy), {}));
        for (int i = 0; i <= limit / 2; ++i)
            QVERIFY(std::rename((i % 2 ? moved : busy).constData(), (i % 2 ? busy : moved).constData()) == 0);
        QVERIFY(profile(world.account + QStringLiteral("/B/SavedVariables")));
        world.discovery->LoadfilesFromHardDrive();
        QCOMPARE(world.texts(), (QStringList { QStringLiteral("A"), QStringLiteral("B") }));
        QCOMPARE(world.log.messages.size(), 1);
        QVERIFY(
            world.log.messages.first().startsWith(QStringLiteral("Reports of changes to the game folders were lost")));
    }
};

QTEST_GUILESS_MAIN(TestDiscoveryWatch)
#include "test_discovery_watch.moc"
