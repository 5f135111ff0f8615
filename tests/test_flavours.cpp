// A game root with several flavours: each entry keeps its own flavour's files whichever flavour the
// registry names, and noupload.txt keeps privacy.
#include "settings/settingsfiles.h"
#include "support/uploadworld.h"
#include "testfiles.h"

#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace rostrel::testing;

namespace {
const QString kRetail = QStringLiteral("_retail_\\ACC\\Realm\\Anna");
const QString kClassic = QStringLiteral("_classic_era_\\ACC\\Realm\\Anna");

struct FlavourWorld : WatchedWorld
{
    FlavourWorld()
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\_retail_\\"));
        // Beside the flavours: a flavour-like folder without an account folder, and a file.
        QDir().mkpath(dir.path() + QStringLiteral("/Games/WoW/_ptr_/Interface"));
        writeFile(dir.path() + QStringLiteral("/Games/WoW/_x_"), "not a folder");
    }
    // Writes the profile of "<flavour>\<folder>", last modified ageSeconds ago.
    bool write(const QString& entry, const QByteArray& bytes, int ageSeconds)
    {
        QFile file(dir.path() + QStringLiteral("/Games/WoW/") + entry.section(u'\\', 0, 0)
            + QStringLiteral("/WTF/Account/") + entry.section(u'\\', 1).replace(u'\\', u'/')
            + QStringLiteral("/SavedVariables/Rostrel.lua"));
        return writeFile(file.fileName(), bytes) && file.open(QIODevice::ReadWrite)
            && file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
    }
    QList<QByteArray> posted() const
    {
        QList<QByteArray> sent;
        for (const auto& upload : site.received())
            sent.append(upload.profile());
        return sent;
    }
};
} // namespace

class TestFlavours : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void eachEntryKeepsItsFlavour()
    {
        FlavourWorld world;
        QVERIFY(world.write(kRetail, "retail\r\n", 600));
        QVERIFY(world.write(kClassic, "classic\r\n", 900));
        world.discovery.LoadfilesFromHardDrive();
        QCOMPARE(world.folders.flavours().size(), 2);
        QCOMPARE(world.list.count(), 2); // _retail_ first
        QCOMPARE(world.list.text(0), kRetail);
        QCOMPARE(world.list.text(1), kClassic);
        world.list.resetFileDates();
        world.watcher.UpdateTimer_Timer();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.posted(), QList<QByteArray>({ "retail\r\n", "classic\r\n" }));

        // The player launches Classic: nothing changed, so nothing goes up, and retail stays retail.
        world.registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\_classic_era_\\"));
        for (int i = 0; i < 4; ++i)
            world.watcher.UpdateTimer_Timer();
        QVERIFY(world.write(kRetail, "retail 2\r\n", 300));
        world.watcher.UpdateTimer_Timer();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.list.count(), 2);
        QCOMPARE(world.posted(), QList<QByteArray>({ "retail\r\n", "classic\r\n", "retail 2\r\n" }));
    }

    // The player moves a game of one flavour to another drive while the program runs.
    void movedGameIsFollowed()
    {
        FlavourWorld world;
        QVERIFY(world.write(QStringLiteral("_retail_\\ACC\\Realm\\Anna"), "anna\r\n", 60));
        world.watcher.UpdateTimer_Timer();
        QVERIFY(QDir().mkpath(world.dir.path() + QStringLiteral("/d"))
            && QDir().rename(
                world.dir.path() + QStringLiteral("/Games"), world.dir.path() + QStringLiteral("/d/Games")));
        world.registry.setInstallPath(QStringLiteral("D:\\Games\\WoW\\_retail_\\"));
        const QString moved = world.dir.path() + QStringLiteral("/d/Games/WoW/_retail_/WTF/Account/ACC/Realm/");
        QVERIFY(writeFile(moved + QStringLiteral("Anna/SavedVariables/Rostrel.lua"), "anna 2\r\n")
            && writeFile(moved + QStringLiteral("Bors/SavedVariables/Rostrel.lua"), "bors\r\n"));
        for (int i = 0; i < 3; ++i)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.list.count(), 2);
        QCOMPARE(world.posted(), QList<QByteArray>({ "anna\r\n", "bors\r\n", "anna 2\r\n" }));
        QVERIFY(world.log.messages.filter(QStringLiteral("File not found")).isEmpty());
    }

    // Classic is installed, then its WTF set aside, while the program runs: an unticked retail
    // character is written with its flavour each time, so Classic's stays ticked at the next start.
    void noUploadKeepsItsMeaningAsFlavoursComeAndGo()
    {
        FlavourWorld world;
        const QString noUpload = world.dir.filePath(kNoUploadFile);
        QVERIFY(world.write(kRetail, "x", 60));
        world.discovery.LoadfilesFromHardDrive();
        QVERIFY(world.write(kClassic, "x", 60));
        world.discovery.LoadfilesFromHardDrive();
        world.list.setChecked(0, false);
        const QString classicWtf = world.dir.path() + QStringLiteral("/Games/WoW/_classic_era_/WTF");
        for (bool classicThere : { true, false }) {
            if (!classicThere) {
                QVERIFY(QDir().rename(classicWtf, classicWtf + QStringLiteral(".old")));
                world.discovery.LoadfilesFromHardDrive();
            }
            SettingsFiles(world.view, world.list, world.dialogs, world.dir.path()).SaveSettings();
            QCOMPARE(readFile(noUpload), QByteArray("_retail_\\ACC\\Realm\\Anna\r\n"));
            world.list.CompareToHardDrive(world.dir.path());
            QCOMPARE(uncheckedTexts(world.list), QStringList({ QStringLiteral("ACC\\Realm\\Anna") }));
        }
    }

    void oldNoUploadLinesKeepEveryFlavourPrivate()
    {
        FlavourWorld world;
        for (const QString& entry : { kRetail, kClassic, QStringLiteral("_retail_\\ACC") })
            QVERIFY(world.write(entry, "x", 60));
        world.discovery.LoadfilesFromHardDrive();
        const QString noUpload = world.dir.filePath(kNoUploadFile);
        QVERIFY(writeFile(noUpload, "  ACC\\Realm\\Anna \r\n"));
        world.list.CompareToHardDrive(world.dir.path());
        QCOMPARE(uncheckedTexts(world.list), QStringList({ kRetail, kClassic }));

        // From the next save on, each line names its flavour.
        world.list.setChecked(0, true);
        SettingsFiles(world.view, world.list, world.dialogs, world.dir.path()).SaveSettings();
        QCOMPARE(readFile(noUpload), (kClassic + QStringLiteral("\r\n")).toUtf8());
        world.list.CompareToHardDrive(world.dir.path());
        QCOMPARE(uncheckedTexts(world.list), QStringList({ kClassic }));
    }
};

QTEST_GUILESS_MAIN(TestFlavours)
#include "test_flavours.moc"
