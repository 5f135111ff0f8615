#include "catalogue/gamefolders.h"
#include "fakes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;

class TestGameFolders : public QObject
{
    Q_OBJECT

private:
    using Fixture = GameWorld;

private Q_SLOTS:
    void derivedFolders_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("accountDir");
        QTest::addColumn<QString>("addonDir");
        QTest::newRow("trailing backslash")
            << QStringLiteral("C:\\Games\\World of Warcraft\\")
            << QStringLiteral("C:\\Games\\World of Warcraft\\WTF\\Account")
            << QStringLiteral("C:\\Games\\World of Warcraft\\Interface\\AddOns\\Rostrel");
        QTest::newRow("no trailing backslash") << QStringLiteral("D:\\WoW") << QStringLiteral("D:\\WoW\\WTF\\Account")
                                               << QStringLiteral("D:\\WoW\\Interface\\AddOns\\Rostrel");
        QTest::newRow("non-ASCII folder")
            << QStringLiteral("C:\\Spiele\\Wörld ös\\") << QStringLiteral("C:\\Spiele\\Wörld ös\\WTF\\Account")
            << QStringLiteral("C:\\Spiele\\Wörld ös\\Interface\\AddOns\\Rostrel");
    }
    void derivedFolders()
    {
        QFETCH(QString, stored);
        QFETCH(QString, accountDir);
        QFETCH(QString, addonDir);
        Fixture f;
        f.registry.setInstallPath(stored);
        QCOMPARE(f.folders.GetWoWDir(), stored); // never adds the backslash itself
        QCOMPARE(f.folders.GetAccountDir(), accountDir);
        QCOMPARE(f.folders.addonFolder(), addonDir);
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void everyCallReadsTheRegistryAgain()
    {
        Fixture f;
        f.registry.setInstallPath(QStringLiteral("C:\\WoW\\"));
        QCOMPARE(f.folders.GetAccountDir(), QStringLiteral("C:\\WoW\\WTF\\Account"));
        f.registry.setInstallPath(QStringLiteral("C:\\Other\\"));
        QCOMPARE(f.folders.GetAccountDir(), QStringLiteral("C:\\Other\\WTF\\Account"));
        QCOMPARE(f.registry.reads, 2);
    }

    // Each flavour as "name", "*" for the one the registry names; "-" for the game folder alone.
    void flavours_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("accounts"); // folders holding WTF/Account, below C:/G
        QTest::addColumn<QString>("expected");
        const QString retail = QStringLiteral("C:\\G\\_retail_\\");
        const QStringList both { QStringLiteral("_retail_"), QStringLiteral("_classic_era_") };
        QTest::newRow("no flavour folders")
            << QStringLiteral("C:\\G") << QStringList { QString() } << QStringLiteral("-*");
        QTest::newRow("one flavour") << retail << QStringList { QStringLiteral("_retail_") }
                                     << QStringLiteral("_retail_*");
        QTest::newRow("retail first") << QStringLiteral("C:\\G\\_classic_era_\\") << both
                                      << QStringLiteral("_retail_ _classic_era_*");
        QTest::newRow("launched before its first login, beside another")
            << QStringLiteral("C:\\G\\_ptr_\\")
            << QStringList { QStringLiteral("_retail_"), QStringLiteral("_ptr_/Interface") }
            << QStringLiteral("_retail_ _ptr_*");
        QTest::newRow("an _x_ folder that is no flavour")
            << QStringLiteral("C:\\G\\_WoW_\\")
            << QStringList { QStringLiteral("_WoW_/Interface"), QStringLiteral("_x_/Data") } << QStringLiteral("-*");
        QTest::newRow("the flavour named is gone")
            << QStringLiteral("C:\\G\\_classic_\\") << QStringList { QStringLiteral("_retail_") }
            << QStringLiteral("_retail_");
    }
    void flavours()
    {
        QFETCH(QString, stored);
        QFETCH(QStringList, accounts);
        QFETCH(QString, expected);
        Fixture f;
        f.registry.setInstallPath(stored);
        for (const QString& folder : accounts)
            QVERIFY(QDir(f.dir.path())
                        .mkpath(QStringLiteral("G/") + folder
                            + (folder.contains(u'/') ? QString() : QStringLiteral("/WTF/Account"))));
        QStringList found;
        for (const Flavour& flavour : f.folders.flavours()) {
            found.append((flavour.name.isEmpty() ? QStringLiteral("-") : flavour.name)
                + (flavour.named ? QStringLiteral("*") : QString()));
            QCOMPARE(f.folders.folderOf(flavour.name), flavour.folder);
        }
        QCOMPARE(found.join(u' '), expected);
    }

    void missingFolderEndsTheProgram_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("value");
        QTest::newRow("missing value") << false << QString();
        QTest::newRow("empty text") << true << QString();
    }
    void missingFolderEndsTheProgram()
    {
        QFETCH(bool, present);
        QFETCH(QString, value);
        Fixture f;
        if (present)
            f.registry.setInstallPath(value);
        bool ended = false;
        try {
            f.folders.GetAccountDir();
        } catch (const ProgramExited& exited) {
            ended = true;
            QCOMPARE(exited.code, kExitGameMissing);
        }
        QVERIFY(ended);
        QCOMPARE(f.exit.codes, QList<int> { kExitGameMissing });
        QCOMPARE(f.dialogs.shown.size(), 1);
        const MessageBoxRequest& box = f.dialogs.shown.first();
        QCOMPARE(box.text,
            QStringLiteral("We were unable to locate your World of Warcraft Folder.  Apparently WoW is not properly "
                           "installed.\r\n\r\nRostrelUploader will now exit"));
        QCOMPARE(box.title, QStringLiteral("Rostrel Uploader"));
        QCOMPARE(box.icon, BoxIcon::Critical);
        QCOMPARE(box.buttons, BoxButtons::Ok);
        QVERIFY(f.log.messages.isEmpty());
    }

    void initializeFolders_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("folders"); // made before, relative to C:
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("expectedFolder"); // host path relative to C: that must be a folder
        QTest::addColumn<int>("registryReads");
        QTest::addColumn<bool>("logged");

        const QString game = QStringLiteral("C:\\Games\\WoW\\");
        QTest::newRow("created") << game << QStringList { QStringLiteral("Games/WoW/Interface/Addons") }
                                 << QStringList() << QStringLiteral("Games/WoW/Interface/Addons/Rostrel") << 2 << false;
        QTest::newRow("already there") << game << QStringList { QStringLiteral("Games/WoW/Interface/Addons/Rostrel") }
                                       << QStringList() << QStringLiteral("Games/WoW/Interface/Addons/Rostrel") << 1
                                       << false;
        QTest::newRow("AddOns in the game's own case")
            << game << QStringList { QStringLiteral("Games/WoW/Interface/AddOns") } << QStringList()
            << QStringLiteral("Games/WoW/Interface/AddOns/Rostrel") << 2 << false;
        QTest::newRow("stored without backslash")
            << QStringLiteral("C:\\Games\\WoW") << QStringList { QStringLiteral("Games/WoW/Interface/Addons") }
            << QStringList() << QStringLiteral("Games/WoW/Interface/Addons/Rostrel") << 2 << false;
        QTest::newRow("a file named Rostrel counts as there")
            << game << QStringList { QStringLiteral("Games/WoW/Interface/Addons") }
            << QStringList { QStringLiteral("Games/WoW/Interface/Addons/Rostrel") } << QString() << 1 << false;
        QTest::newRow("a fresh game without Interface gets the game's spelling")
            << game << QStringList { QStringLiteral("Games/WoW") } << QStringList()
            << QStringLiteral("Games/WoW/Interface/AddOns/Rostrel") << 2 << false;
        QTest::newRow("Addons is a file: logged")
            << game << QStringList { QStringLiteral("Games/WoW/Interface") }
            << QStringList { QStringLiteral("Games/WoW/Interface/Addons") } << QString() << 2 << true;
    }
    void initializeFolders()
    {
        QFETCH(QString, stored);
        QFETCH(QStringList, folders);
        QFETCH(QStringList, files);
        QFETCH(QString, expectedFolder);
        QFETCH(int, registryReads);
        QFETCH(bool, logged);

        Fixture f;
        f.registry.setInstallPath(stored);
        for (const QString& folder : folders)
            QVERIFY(QDir(f.dir.path()).mkpath(folder));
        for (const QString& name : files) {
            QFile file(f.dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        f.folders.InitializeFolders(); // never throws, whatever happens

        QCOMPARE(f.registry.reads, registryReads);
        if (!expectedFolder.isEmpty())
            QVERIFY(QFileInfo(f.dir.filePath(expectedFolder)).isDir());
        for (const QString& name : files)
            QVERIFY(QFileInfo(f.dir.filePath(name)).isFile()); // left as it was
        QCOMPARE(f.log.messages.size(), logged ? 1 : 0);
        if (logged) {
            const QString line = f.log.messages.first();
            QVERIFY2(
                line.startsWith(QStringLiteral("Could not create the addon folder C:\\Games\\WoW\\Interface\\AddOns"
                                               "\\Rostrel (")),
                qPrintable(line));
            QVERIFY(line.endsWith(QLatin1Char(')')));
            QVERIFY(!line.contains(QStringLiteral("()")));
        }
        // Only the last level is ever made.
        QVERIFY(!QFileInfo::exists(f.dir.filePath(QStringLiteral("Games/WoW/Interface/Addons/Addons"))));
        QVERIFY(f.dialogs.shown.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestGameFolders)
#include "test_gamefolders.moc"
