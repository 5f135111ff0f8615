// The Wine path layer (drive links, names matched without regard to case) and folder listings.

#include "core/pathlayer.h"
#include "platform/backends.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace rostrel;

namespace {

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

class TestPathLayer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_prefix;
    QTemporaryDir m_otherDrive;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_prefix.isValid() && m_otherDrive.isValid());
        const QString c = m_prefix.filePath(QStringLiteral("drive_c"));
        QVERIFY(testing::writeFile(
            c + QStringLiteral("/Games/World of Warcraft/WTF/Account/KESTREL77/SavedVariables/Rostrel.lua"), {}));
        QVERIFY(QDir().mkpath(c + QStringLiteral("/Games/World of Warcraft/Interface/AddOns")));
        QVERIFY(QDir().mkpath(c + QStringLiteral("/Twins/Foo")));
        QVERIFY(QDir().mkpath(c + QStringLiteral("/Twins/foo")));
        QVERIFY(QDir().mkpath(m_otherDrive.filePath(QStringLiteral("WoW/WTF"))));
        QVERIFY(QDir().mkpath(m_prefix.filePath(QStringLiteral("dosdevices"))));
        // As winecfg makes them: c: relative to the prefix, others absolute.
        QVERIFY(QFile::link(QStringLiteral("../drive_c"), m_prefix.filePath(QStringLiteral("dosdevices/c:"))));
        QVERIFY(QFile::link(m_otherDrive.path(), m_prefix.filePath(QStringLiteral("dosdevices/d:"))));
        QVERIFY(QFile::link(QStringLiteral("/"), m_prefix.filePath(QStringLiteral("dosdevices/z:"))));
    }

    void toHost_data()
    {
        QTest::addColumn<QString>("gamePath");
        QTest::addColumn<QString>("expected"); // "<C>" is drive_c, "<D>" the other drive, "<P>" the prefix
        QTest::newRow("exact case") << QStringLiteral("C:\\Games\\World of Warcraft\\WTF\\Account\\KESTREL77")
                                    << QStringLiteral("<C>/Games/World of Warcraft/WTF/Account/KESTREL77");
        QTest::newRow("any case") << QStringLiteral("c:\\GAMES\\world of warcraft\\wtf\\ACCOUNT\\kestrel77")
                                  << QStringLiteral("<C>/Games/World of Warcraft/WTF/Account/KESTREL77");
        QTest::newRow("missing last component kept as given")
            << QStringLiteral("C:\\Games\\World of Warcraft\\Interface\\Addons\\Rostrel")
            << QStringLiteral("<C>/Games/World of Warcraft/Interface/AddOns/Rostrel");
        QTest::newRow("nothing below a missing component is looked up")
            << QStringLiteral("C:\\Games\\Missing\\wtf") << QStringLiteral("<C>/Games/Missing/wtf");
        QTest::newRow("doubled, forward and trailing separators") << QStringLiteral(
            "C:\\\\Games//World of Warcraft\\WTF\\") << QStringLiteral("<C>/Games/World of Warcraft/WTF");
        QTest::newRow("dot and dot-dot") << QStringLiteral("C:\\Games\\.\\World of Warcraft\\WTF\\..\\interface")
                                         << QStringLiteral("<C>/Games/World of Warcraft/Interface");
        QTest::newRow("dot-dot stops at the drive")
            << QStringLiteral("C:\\..\\..\\games") << QStringLiteral("<C>/Games");
        QTest::newRow("drive root") << QStringLiteral("C:\\") << QStringLiteral("<C>");
        QTest::newRow("no drive letter means C:") << QStringLiteral("\\Games") << QStringLiteral("<C>/Games");
        QTest::newRow("another drive") << QStringLiteral("d:\\wow\\wtf") << QStringLiteral("<D>/WoW/WTF");
        QTest::newRow("drive mapped to the root") << QStringLiteral("Z:\\") << QStringLiteral("/");
        QTest::newRow("unmapped drive") << QStringLiteral("E:\\WoW") << QStringLiteral("<P>/dosdevices/e:/WoW");
        QTest::newRow("exact name before a case twin")
            << QStringLiteral("C:\\Twins\\foo") << QStringLiteral("<C>/Twins/foo");
        QTest::newRow("case twins: first in name order")
            << QStringLiteral("C:\\Twins\\FOO") << QStringLiteral("<C>/Twins/Foo");
    }

    void toHost()
    {
        QFETCH(QString, gamePath);
        QFETCH(QString, expected);
        expected.replace(QStringLiteral("<C>"), m_prefix.filePath(QStringLiteral("drive_c")));
        expected.replace(QStringLiteral("<D>"), m_otherDrive.path());
        expected.replace(QStringLiteral("<P>"), m_prefix.path());
        const auto layer = makeWinePathLayer(m_prefix.path());
        QCOMPARE(layer->toHost(gamePath), expected);
    }

    void cDriveWithoutDosdevices()
    {
        QTemporaryDir bare;
        QVERIFY(QDir().mkpath(bare.filePath(QStringLiteral("drive_c/Program Files"))));
        const auto layer = makeWinePathLayer(bare.path() + QStringLiteral("/"));
        QCOMPARE(layer->toHost(QStringLiteral("C:\\PROGRAM FILES\\WoW")),
            bare.filePath(QStringLiteral("drive_c/Program Files/WoW")));
    }

    void nativeLayerKeepsPaths()
    {
        const QString path = QStringLiteral("C:\\Games\\World of Warcraft\\WTF\\Account");
        QCOMPARE(makeNativePathLayer()->toHost(path), path);
    }

    void listFolderKinds()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/Realm")));
        QVERIFY(testing::writeFile(root + QStringLiteral("/Rostrel.lua"), {}));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/.hidden")));
        QVERIFY(testing::writeFile(root + QStringLiteral("/.Rostrel.lua"), {}));
        QVERIFY(QFile::link(root + QStringLiteral("/Realm"), root + QStringLiteral("/LinkedRealm")));
        QVERIFY(QFile::link(root + QStringLiteral("/Rostrel.lua"), root + QStringLiteral("/linked.lua")));
        QVERIFY(QFile::link(root + QStringLiteral("/gone"), root + QStringLiteral("/dangling")));
        QCOMPARE(::mkfifo(QFile::encodeName(root + QStringLiteral("/pipe")).constData(), 0600), 0);

        const FolderListing listing = listFolder(root);
        QCOMPARE(sorted(listing.all),
            (QStringList { QStringLiteral("LinkedRealm"), QStringLiteral("Realm"), QStringLiteral("Rostrel.lua"),
                QStringLiteral("linked.lua") }));
        QCOMPARE(sorted(listing.files), (QStringList { QStringLiteral("Rostrel.lua"), QStringLiteral("linked.lua") }));
    }

    void listFolderNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("spaces") << QStringLiteral("Mossgate Keep");
        QTest::newRow("non-ASCII") << QStringLiteral("Tövrin");
        QTest::newRow("backslash in a Unix name") << QStringLiteral("a\\b");
    }

    void listFolderNames()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(name)));
        QCOMPARE(listFolder(dir.path()).all, QStringList { name });
    }

    void listFolderFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << QStringLiteral("missing");
        QTest::newRow("a file") << QStringLiteral("file");
        QTest::newRow("below a file") << QStringLiteral("below file");
    }

    void listFolderFailures()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QVERIFY(testing::writeFile(dir.filePath(QStringLiteral("file")), {}));
        QString path = dir.filePath(QStringLiteral("missing"));
        if (kind == QStringLiteral("file"))
            path = dir.filePath(QStringLiteral("file"));
        else if (kind == QStringLiteral("below file"))
            path = dir.filePath(QStringLiteral("file/sub"));
        const FolderListing listing = listFolder(path);
        QVERIFY(listing.all.isEmpty());
        QVERIFY(listing.files.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPathLayer)
#include "test_pathlayer.moc"
