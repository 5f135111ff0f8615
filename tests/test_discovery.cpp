#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
#include "fakes.h"
#include "platform/backends.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace rostrel;
using namespace rostrel::fakes;

namespace {

const QString kGame = QStringLiteral("C:\\Games\\World of Warcraft\\");
const QString kAccountHost = QStringLiteral("Games/World of Warcraft/WTF/Account");

struct Fixture : GameWorld
{
    Fixture()
    {
        registry.setInstallPath(kGame);
        account = dir.filePath(kAccountHost);
    }
    // Creates a file below the account folder ("/" separated), with its folders; false when the
    // file cannot be made. link() likewise.
    [[nodiscard]] bool addFile(const QString& relative) const
    {
        return testing::writeFile(account + QLatin1Char('/') + relative, "Rostrel = {}\n");
    }
    [[nodiscard]] bool link(const QString& target, const QString& relative) const
    {
        const QString path = account + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).path());
        return QFile::link(target, path);
    }
    QStringList texts() const
    {
        QStringList result;
        for (int i = 0; i < list.count(); ++i)
            result.append(list.text(i));
        return result;
    }

    QString account;
    CharacterList list;
    Discovery discovery { folders, list };
};

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void walk_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("account-wide profile") << QStringList { QStringLiteral("KESTREL77/SavedVariables/Rostrel.lua") }
                                              << QStringList { QStringLiteral("KESTREL77") };
        QTest::newRow("character before account: files first, folders in order")
            << QStringList { QStringLiteral("KESTREL77/SavedVariables/Rostrel.lua"),
                   QStringLiteral("KESTREL77/Mossgate/Tovrin/SavedVariables/Rostrel.lua") }
            << QStringList { QStringLiteral("KESTREL77\\Mossgate\\Tovrin"), QStringLiteral("KESTREL77") };
        QTest::newRow("file name in any case, nothing else")
            << QStringList { QStringLiteral("A/SavedVariables/ROSTREL.LUA"),
                   QStringLiteral("B/SavedVariables/rostrel.Lua"), QStringLiteral("C/SavedVariables/Rostrel.lua.bak"),
                   QStringLiteral("D/SavedVariables/Rostrel.old"), QStringLiteral("E/SavedVariables/XRostrel.lua") }
            << QStringList { QStringLiteral("A"), QStringLiteral("B") };
        QTest::newRow("profile beside SavedVariables gives the same entry") << QStringList {
            QStringLiteral("KESTREL77/Rostrel.lua"), QStringLiteral("KESTREL77/SavedVariables/Rostrel.lua")
        } << QStringList { QStringLiteral("KESTREL77") };
        QTest::newRow("dot folders are not entered") << QStringList {
            QStringLiteral(".hidden/SavedVariables/Rostrel.lua"), QStringLiteral("A/.cache/SavedVariables/Rostrel.lua"),
            QStringLiteral("A/SavedVariables/Rostrel.lua")
        } << QStringList { QStringLiteral("A") };
        QTest::newRow("spaces, non-ASCII and odd case")
            << QStringList { QStringLiteral("Ärger Konto/SavedVariables/Rostrel.lua"),
                   QStringLiteral("acct two/Realm Name/Çhar ñ/SavedVariables/rOSTREL.lua") }
            << QStringList { QStringLiteral("acct two\\Realm Name\\Çhar ñ"), QStringLiteral("Ärger Konto") };
        QTest::newRow("alphabetical without regard to case")
            << QStringList { QStringLiteral("b/SavedVariables/Rostrel.lua"),
                   QStringLiteral("C/SavedVariables/Rostrel.lua"), QStringLiteral("a/SavedVariables/Rostrel.lua") }
            << QStringList { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("C") };
        QTest::newRow("letters before underscore, as NTFS sorts") << QStringList {
            QStringLiteral("A_B/SavedVariables/Rostrel.lua"), QStringLiteral("ab/SavedVariables/Rostrel.lua")
        } << QStringList { QStringLiteral("ab"), QStringLiteral("A_B") };
        QTest::newRow("no profile anywhere")
            << QStringList { QStringLiteral("A/SavedVariables/Blizzard.lua") } << QStringList();
        QTest::newRow("a folder named like the profile is a folder")
            << QStringList { QStringLiteral("A/Rostrel.lua/SavedVariables/other.lua") } << QStringList();
    }
    void walk()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, expected);
        Fixture f;
        for (const QString& file : files)
            QVERIFY(f.addFile(file));
        QSignalSpy walked(&f.discovery, &Discovery::walked);

        f.discovery.LoadfilesFromHardDrive();

        QCOMPARE(f.texts(), expected);
        for (int i = 0; i < f.list.count(); ++i) {
            QVERIFY(f.list.isChecked(i));
            QCOMPARE(f.list.fileDate(i), std::nullopt);
        }
        QCOMPARE(f.list.fileDatesSize(), f.list.count());
        QCOMPARE(walked.size(), 1);
        QCOMPARE(walked.first().first().toBool(), !expected.isEmpty());
        QCOMPARE(f.registry.reads, 1); // one look at the registry per walk, however many files
    }

    void noAccountFolder()
    {
        Fixture f;
        QSignalSpy walked(&f.discovery, &Discovery::walked);
        f.discovery.LoadfilesFromHardDrive();
        QCOMPARE(f.list.count(), 0);
        QCOMPARE(walked.size(), 1);
        QCOMPARE(walked.first().first().toBool(), false);
        QVERIFY(f.log.messages.isEmpty());
    }

    void rescanOnlyAppends()
    {
        Fixture f;
        QVERIFY(f.addFile(QStringLiteral("B/SavedVariables/Rostrel.lua")));
        QVERIFY(f.addFile(QStringLiteral("C/SavedVariables/Rostrel.lua")));
        f.discovery.LoadfilesFromHardDrive();
        f.list.setChecked(0, false);
        f.list.resetFileDates();
        const QDateTime seen = QDateTime::currentDateTime();
        f.list.setFileDate(1, seen);

        // Unchanged tree: nothing added, ticks and times kept.
        QSignalSpy walked(&f.discovery, &Discovery::walked);
        f.discovery.LoadfilesFromHardDrive();
        QCOMPARE(f.texts(), (QStringList { QStringLiteral("B"), QStringLiteral("C") }));
        QVERIFY(!f.list.isChecked(0));
        QVERIFY(f.list.isChecked(1));
        QCOMPARE(walked.size(), 1);
        QCOMPARE(walked.first().first().toBool(), true);

        // A profile that appears (even one sorting first) goes to the end, checked, with no time.
        QDir(f.account).removeRecursively(); // vanished folders keep their entries
        QVERIFY(f.addFile(QStringLiteral("A/SavedVariables/Rostrel.lua")));
        f.discovery.LoadfilesFromHardDrive();
        QCOMPARE(f.texts(), (QStringList { QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("A") }));
        QVERIFY(f.list.isChecked(2));
        QVERIFY(!f.list.isChecked(0));
        QCOMPARE(f.list.fileDatesSize(), 3);
        QCOMPARE(f.list.fileDate(1), std::optional<QDateTime>(seen));
        QCOMPARE(f.list.fileDate(2), std::nullopt);
    }

    void duplicateTestIgnoresCase()
    {
        Fixture f;
        f.list.append({ {}, QStringLiteral("kestrel77") });
        f.list.setChecked(0, false);
        QVERIFY(f.addFile(QStringLiteral("KESTREL77/SavedVariables/Rostrel.lua")));
        f.discovery.LoadfilesFromHardDrive();
        QCOMPARE(f.texts(), QStringList { QStringLiteral("kestrel77") });
        QVERIFY(!f.list.isChecked(0));
    }

    void linksThatLoopAreNotFollowed()
    {
        Fixture f;
        QVERIFY(f.addFile(QStringLiteral("A/SavedVariables/Rostrel.lua")));
        QVERIFY(f.link(f.account + QStringLiteral("/A"), QStringLiteral("A/loop"))); // to its own folder
        QVERIFY(f.link(f.account, QStringLiteral("A/Realm/back"))); // to the account folder, twice
        QVERIFY(f.link(f.account, QStringLiteral("A/Realm/again")));
        QVERIFY(f.link(f.account + QStringLiteral("/A"), QStringLiteral("Alias"))); // not a loop: walked
        f.discovery.LoadfilesFromHardDrive();
        QCOMPARE(f.texts(), (QStringList { QStringLiteral("A"), QStringLiteral("Alias") }));
    }

    void foldersThatCannotBeListedArePassedOver()
    {
        Fixture f;
        QVERIFY(f.addFile(QStringLiteral("A/SavedVariables/Rostrel.lua")));
        QVERIFY(f.addFile(QStringLiteral("Z/SavedVariables/Rostrel.lua")));
        QVERIFY(f.addFile(QStringLiteral("plainfile")));
        // Failures that hold for every user, root included: a link through a file, a link to
        // itself, a link to nothing.
        QVERIFY(f.link(f.account + QStringLiteral("/plainfile/sub"), QStringLiteral("M1")));
        QVERIFY(f.link(f.account + QStringLiteral("/M2"), QStringLiteral("M2")));
        QVERIFY(f.link(f.dir.filePath(QStringLiteral("nowhere")), QStringLiteral("M3")));
        for (const QString& name : { QStringLiteral("M1"), QStringLiteral("M2"), QStringLiteral("M3") })
            QVERIFY(!QDir(f.account + QLatin1Char('/') + name).isReadable());

        f.discovery.LoadfilesFromHardDrive();
        QCOMPARE(f.texts(), (QStringList { QStringLiteral("A"), QStringLiteral("Z") }));
        f.discovery.LoadfilesFromHardDrive(); // the watcher's rescan
        QCOMPARE(f.texts(), (QStringList { QStringLiteral("A"), QStringLiteral("Z") }));
    }

    void unreadableFolderIsPassedOver()
    {
        if (::geteuid() == 0)
            QSKIP("root reads every folder; the link cases above cover failures root meets");
        Fixture f;
        QVERIFY(f.addFile(QStringLiteral("A/SavedVariables/Rostrel.lua")));
        QVERIFY(f.addFile(QStringLiteral("M/SavedVariables/Rostrel.lua")));
        QVERIFY(f.addFile(QStringLiteral("Z/SavedVariables/Rostrel.lua")));
        const QByteArray locked = QFile::encodeName(f.account + QStringLiteral("/M"));
        QCOMPARE(::chmod(locked.constData(), 0), 0);
        f.discovery.LoadfilesFromHardDrive();
        ::chmod(locked.constData(), 0700);
        QCOMPARE(f.texts(), (QStringList { QStringLiteral("A"), QStringLiteral("Z") }));
    }

    void formatIt_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("text");
        const QString account = kGame + QStringLiteral("WTF\\Account\\");
        QTest::newRow("account") << account + QStringLiteral("KESTREL77\\SavedVariables")
                                 << QStringLiteral("KESTREL77");
        QTest::newRow("character") << account + QStringLiteral("KESTREL77\\Mossgate\\Tovrin\\SavedVariables")
                                   << QStringLiteral("KESTREL77\\Mossgate\\Tovrin");
        QTest::newRow("folder holding the file directly")
            << account + QStringLiteral("KESTREL77") << QStringLiteral("KESTREL77");
        QTest::newRow("SavedVariables in another case stays")
            << account + QStringLiteral("K\\savedvariables") << QStringLiteral("K\\savedvariables");
        QTest::newRow("account folder in another case stays")
            << account.toLower() + QStringLiteral("K\\SavedVariables") << account.toLower() + QStringLiteral("K");
        QTest::newRow("every occurrence")
            << account + QStringLiteral("K\\SavedVariables\\X\\SavedVariables") << QStringLiteral("K\\X");
        QTest::newRow("account folder alone")
            << kGame + QStringLiteral("WTF\\Account") << kGame + QStringLiteral("WTF\\Account");
    }
    void formatIt()
    {
        QFETCH(QString, path);
        QFETCH(QString, text);
        Fixture f;
        QCOMPARE(f.folders.FormatIt({}, path).relative, text);
    }

    void withTheWinePathLayer()
    {
        // The game's folders in the case a Linux copy or an installer left them in.
        QTemporaryDir dir;
        const QString drive = dir.filePath(QStringLiteral("prefix/drive_c/Games/WoW"));
        QVERIFY(QDir().mkpath(drive + QStringLiteral("/wtf/account/Kestrel77/savedVariables")));
        QVERIFY(QDir().mkpath(drive + QStringLiteral("/wtf/account/Kestrel77/Realm/Char/SavedVariables")));
        QVERIFY(QDir().mkpath(drive + QStringLiteral("/Interface/AddOns")));
        for (const QString& file : { QStringLiteral("/wtf/account/Kestrel77/savedVariables/rostrel.lua"),
                 QStringLiteral("/wtf/account/Kestrel77/Realm/Char/SavedVariables/Rostrel.lua") }) {
            QFile out(drive + file);
            QVERIFY(out.open(QIODevice::WriteOnly));
        }
        FakeRegistry registry;
        registry.setInstallPath(QStringLiteral("C:\\Games\\WoW"));
        const std::unique_ptr<PathLayer> paths = makeWinePathLayer(dir.filePath(QStringLiteral("prefix")));
        FakeDialogs dialogs;
        FakeExit exit;
        FakeLog log;
        GameFolders folders(registry, *paths, dialogs, exit, log);
        CharacterList list;
        Discovery discovery(folders, list);

        discovery.LoadfilesFromHardDrive();
        // "\SavedVariables" goes only in the game's own case.
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.text(0), QStringLiteral("Kestrel77\\Realm\\Char"));
        QCOMPARE(list.text(1), QStringLiteral("Kestrel77\\savedVariables"));

        folders.InitializeFolders();
        QVERIFY(QFileInfo(drive + QStringLiteral("/Interface/AddOns/Rostrel")).isDir());
        QVERIFY(!QFileInfo::exists(drive + QStringLiteral("/Interface/Addons")));
        QVERIFY(log.messages.isEmpty());
    }

    void missingGameFolderEndsTheWalk()
    {
        Fixture f;
        f.registry.clearInstallPath();
        QSignalSpy walked(&f.discovery, &Discovery::walked);
        QVERIFY_THROWS_EXCEPTION(ProgramExited, f.discovery.LoadfilesFromHardDrive());
        QCOMPARE(f.dialogs.shown.size(), 1);
        QCOMPARE(walked.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "test_discovery.moc"
