// The file system fails under the watcher, the login and the update check: profiles vanish or turn
// into folders between two looks, an account folder is renamed while listed, the addon or the
// settings cannot be written, or a lowered file-size limit cuts a write short. The player must
// see a clear log line or box, keep every file whole, and the next turn must succeed once the
// disk is sound again.

#include "support/faultworld.h"

#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;

namespace {

const QByteArray kProfile = "RostrelDB = {\r\n\t[\"Tovrin\"] = { level = 60 },\r\n}\r\n";
const QString kEntry = QStringLiteral("KESTREL77\\Mossgate\\Tovrin");
const QString kRenamedEntry = QStringLiteral("KESTREL78\\Mossgate\\Tovrin");
// The addon folder as the update check names it (the stored game folder ends in a backslash).
const QString kAddonGamePath = QStringLiteral("C:\\Games\\WoW\\\\Interface\\AddOns\\Rostrel\\");

enum class When
{
    AfterRescan, // the tick has listed the folders and not yet looked at the file
    AfterTimeRead, // the tick has read the file's time and not yet its bytes
};

enum class Change
{
    Delete,
    ReplaceByFolder,
    RenameAccount,
};

[[nodiscard]] bool change(FaultWorld& world, Change what)
{
    const QString profile = world.profileHost(kEntry);
    switch (what) {
    case Change::Delete:
        return QFile::remove(profile);
    case Change::ReplaceByFolder:
        return QFile::remove(profile) && QDir().mkpath(profile + QStringLiteral("/inside"));
    case Change::RenameAccount:
        return QDir().rename(
            world.accountHost() + QStringLiteral("/KESTREL77"), world.accountHost() + QStringLiteral("/KESTREL78"));
    }
    return false;
}

// Puts the profile back where it was (a renamed account folder stays renamed: the player did that).
[[nodiscard]] bool repair(FaultWorld& world, Change what)
{
    const QString profile = world.profileHost(kEntry);
    if (what == Change::ReplaceByFolder && !QDir(profile).removeRecursively())
        return false;
    return what == Change::RenameAccount || writeFile(profile, kProfile);
}

} // namespace

Q_DECLARE_METATYPE(When)
Q_DECLARE_METATYPE(Change)

class TestFaultsFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void profileChangesUnderTheWatcher_data();
    void profileChangesUnderTheWatcher();
    void loginWhoseProfileIsGone();
    void addonCannotBeWritten_data();
    void addonCannotBeWritten();
    void settingsCannotBeWritten_data();
    void settingsCannotBeWritten();
};

void TestFaultsFiles::profileChangesUnderTheWatcher_data()
{
    QTest::addColumn<When>("when");
    QTest::addColumn<Change>("what");
    QTest::addColumn<QString>("logged"); // the start of the one log line the tick writes

    const QString path = FaultWorld::profileGamePath(kEntry);
    const QString notFound
        = QStringLiteral("Error in the Update Timer: File not found while on file: '") + path + u'\'';
    const QString notAFile = QStringLiteral("Error in the Update Timer: Not a file while on file: '") + path + u'\'';
    const QString unreadable = QStringLiteral("Error accessing file: ") + path + QStringLiteral(" (");

    QTest::newRow("deleted after the rescan") << When::AfterRescan << Change::Delete << notFound;
    QTest::newRow("made a folder after the rescan") << When::AfterRescan << Change::ReplaceByFolder << notAFile;
    QTest::newRow("account renamed after the rescan") << When::AfterRescan << Change::RenameAccount << notFound;
    QTest::newRow("deleted after its time was read") << When::AfterTimeRead << Change::Delete << unreadable;
    QTest::newRow("made a folder after its time was read")
        << When::AfterTimeRead << Change::ReplaceByFolder << unreadable;
    QTest::newRow("account renamed after its time was read")
        << When::AfterTimeRead << Change::RenameAccount << unreadable;
}

void TestFaultsFiles::profileChangesUnderTheWatcher()
{
    QFETCH(When, when);
    QFETCH(Change, what);
    QFETCH(QString, logged);

    FaultWorld world;
    world.writeProfile(kEntry, kProfile);
    world.view.setUrl(world.site.hostAndPort());
    world.discovery.LoadfilesFromHardDrive();
    QCOMPARE(world.list.count(), 1);

    bool armed = true;
    const auto strike = [&] {
        if (!armed)
            return;
        armed = false;
        QVERIFY(change(world, what));
    };
    if (when == When::AfterRescan) {
        QObject::connect(&world.discovery, &Discovery::walked, &world.discovery, strike);
    } else {
        // The tick reads the clock once it has the profile's time, before it reads the profile.
        world.clock.onSteadyRead = strike;
    }

    world.watcher.UpdateTimer_Timer();
    QVERIFY2(!armed, "the disk was not changed during the tick");
    world.clock.onSteadyRead = nullptr;

    QCOMPARE(world.log.messages.size(), 1);
    QVERIFY2(world.log.messages.first().startsWith(logged), qPrintable(world.log.messages.first()));
    QCOMPARE(world.uploads(), 0); // nothing, and above all no empty profile, went up
    QCOMPARE(world.boxTexts(), QStringList());
    QVERIFY(!world.list.fileDate(0).has_value()); // so it is tried again

    // The disk is sound again: the watcher's own timer goes on and posts the profile.
    QVERIFY(repair(world, what));
    world.log.messages.clear();
    world.watcher.setTimings({ {}, {}, {}, std::chrono::milliseconds(20) });
    world.watcher.start();
    QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 1, 5000);
    world.watcher.stop();
    QCOMPARE(world.site.received().first().profile(), kProfile);
    if (what == Change::RenameAccount) {
        // The old entry stays listed and keeps saying it is missing; the new name is a new entry.
        QCOMPARE(world.list.count(), 2);
        QCOMPARE(world.list.text(1), kRenamedEntry);
        QVERIFY(world.log.messages.contains(
            QStringLiteral("Profile for ") + kRenamedEntry + QStringLiteral(" changed and was uploaded")));
    } else {
        QCOMPARE(world.log.messages.first(),
            QStringLiteral("Profile for ") + kEntry + QStringLiteral(" changed and was uploaded"));
    }
}

void TestFaultsFiles::loginWhoseProfileIsGone()
{
    // Listed at start-up, gone by the time the player presses OK: the log names the file, and
    // the reply alone decides the login, as with no entry checked.
    FaultWorld world;
    world.writeProfile(kEntry, kProfile);
    world.discovery.LoadfilesFromHardDrive();
    QVERIFY(QFile::remove(world.profileHost(kEntry)));
    world.view.setUrl(world.site.hostAndPort());
    world.login.Command1_Click();
    QVERIFY2(world.log.messages.first().startsWith(
                 QStringLiteral("Error accessing file: ") + FaultWorld::profileGamePath(kEntry) + QStringLiteral(" (")),
        qPrintable(world.log.messages.first()));
    QCOMPARE(world.log.messages.last(), QStringLiteral("Successfully logged in"));
    QCOMPARE(world.boxTexts(), QStringList());
    QVERIFY(world.watcher.isRunning());
    world.watcher.stop();
}

void TestFaultsFiles::addonCannotBeWritten_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("publishedLua");
    QTest::newRow("addon folder is a file") << QStringLiteral("folder is a file") << QByteArray("-- Rostrel 2.0\r\n");
    QTest::newRow("code file's place is a folder")
        << QStringLiteral("file is a folder") << QByteArray("-- Rostrel 2.0\r\n");
    // Smaller than the write buffer, so the cut comes when the buffer is flushed, not at write().
    QTest::newRow("file-size limit cuts a small file") << QStringLiteral("size limit") << QByteArray(12000, 'r');
    QTest::newRow("file-size limit cuts a large file") << QStringLiteral("size limit") << QByteArray(300000, 'R');
}

void TestFaultsFiles::addonCannotBeWritten()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, publishedLua);

    FaultWorld world;
    world.publishAddon("## Version: 2.0\r\n", publishedLua);
    const QString addons = world.gameHost() + QStringLiteral("/Interface/AddOns");
    const QString code = world.addonHost(QStringLiteral("Rostrel.lua"));
    if (fault == u"folder is a file") {
        QVERIFY(QDir(world.addonHost()).removeRecursively());
        QVERIFY(writeFile(addons + QStringLiteral("/Rostrel"), "not a folder"));
    } else if (fault == u"file is a folder") {
        QVERIFY(QFile::remove(code));
        QVERIFY(QDir().mkpath(code + QStringLiteral("/inside")));
    }
    const auto before = snapshot(addons);

    if (fault == u"size limit") {
        FileSizeLimit limit(4096);
        QVERIFY(limit.ok());
        world.updater->CheckVersionAndDownload();
    } else {
        world.updater->CheckVersionAndDownload();
    }

    if (fault == u"file is a folder") { // the addon folder is replaced whole, what stood in it with it
        QCOMPARE(readFile(code), publishedLua + "\r\n");
        return;
    }
    // The player is told which file could not be saved, and no update is announced.
    QVERIFY(!world.dialogs.shown.isEmpty());
    const QString box = world.boxTexts().first();
    QVERIFY2(box.startsWith(QStringLiteral("Saving of file ") + kAddonGamePath.chopped(1)), qPrintable(box));
    QVERIFY(!world.boxTexts().join(u'\n').contains(QStringLiteral("has been updated")));
    QVERIFY(!world.log.messages.isEmpty());
    QVERIFY2(world.log.messages.last().startsWith(QStringLiteral("Rostrel update to version 2.0 not installed")),
        qPrintable(world.log.messages.last()));
    // Every installed file is whole and nothing half-written lies beside them. The table of
    // contents still names the installed version, so the next check tries again.
    QCOMPARE(snapshot(addons), before);

    // The player clears the obstacle (or the disk has room again): the next check completes.
    if (fault == u"folder is a file")
        QVERIFY(QFile::remove(addons + QStringLiteral("/Rostrel")));
    else if (fault == u"file is a folder")
        QVERIFY(QDir(code).removeRecursively());
    world.dialogs.shown.clear();
    world.log.messages.clear();
    world.updater->CheckVersionAndDownload();
    QCOMPARE(world.boxTexts(), QStringList { QStringLiteral("Rostrel has been updated to version 2.0") });
    QCOMPARE(readFile(code), publishedLua + "\r\n");
    QCOMPARE(readFile(world.addonHost(QStringLiteral("Rostrel.toc"))), QByteArray("## Version: 2.0\r\n\r\n"));
}

void TestFaultsFiles::settingsCannotBeWritten_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("settings folder is a file") << QStringLiteral("folder is a file");
    QTest::newRow("settings.txt is a folder") << QStringLiteral("file is a folder");
    QTest::newRow("file-size limit cuts settings.txt") << QStringLiteral("size limit");
}

void TestFaultsFiles::settingsCannotBeWritten()
{
    QFETCH(QString, fault);

    FaultWorld world;
    world.writeProfile(kEntry, kProfile);
    world.discovery.LoadfilesFromHardDrive();
    world.view.setRememberPassword(true);
    world.view.setUrl(world.site.hostAndPort());
    const QString folder = world.settingsHost().chopped(1);
    const QByteArray oldSettings = "kestrel\r\nold.example\r\n\r\n";
    QVERIFY(writeFile(world.settingsHost(kSettingsFile), oldSettings));
    if (fault == u"folder is a file") {
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(writeFile(folder, "not a folder"));
    } else if (fault == u"file is a folder") {
        QVERIFY(QFile::remove(world.settingsHost(kSettingsFile)));
        QVERIFY(QDir().mkpath(world.settingsHost(kSettingsFile) + QStringLiteral("/inside")));
    } else {
        // A password far longer than the limit; the profile the site stores stays below it.
        const QString longPassword(3000, u'p');
        world.site.setUser(FaultWorld::kLogin, longPassword);
        world.view.setPassword(longPassword);
    }
    const QByteArray folderBefore = readFile(folder);

    if (fault == u"size limit") {
        FileSizeLimit limit(1024);
        QVERIFY(limit.ok());
        world.login.Command1_Click();
    } else {
        world.login.Command1_Click();
    }

    // The login itself does not depend on the settings being saved.
    QCOMPARE(world.log.messages, QStringList { QStringLiteral("Successfully logged in") });
    QCOMPARE(world.boxTexts(), QStringList());
    QCOMPARE(world.uploads(), 1);
    world.watcher.stop();
    // What stood there before is untouched: the old settings.txt whole, no temporary files.
    if (fault == u"folder is a file") {
        QCOMPARE(readFile(folder), folderBefore);
    } else if (fault == u"file is a folder") {
        QVERIFY(QFileInfo(world.settingsHost(kSettingsFile)).isDir());
        // noupload.txt is still written when settings.txt cannot be.
        QCOMPARE(snapshot(folder).keys(),
            QStringList({ kNoUploadFile, kSettingsFile + u'/', kSettingsFile + QStringLiteral("/inside/") }));
    } else {
        QCOMPARE(readFile(world.settingsHost(kSettingsFile)), oldSettings);
        QCOMPARE(snapshot(folder).keys(), QStringList({ kNoUploadFile, kSettingsFile }));
    }

    // Once the folder is sound again the next save keeps what the player typed.
    if (fault == u"folder is a file") {
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
    } else if (fault == u"file is a folder") {
        QVERIFY(QDir(world.settingsHost(kSettingsFile)).removeRecursively());
    }
    world.settings.SaveSettings();
    QCOMPARE(readFile(world.settingsHost(kSettingsFile)),
        FaultWorld::kLogin.toUtf8() + "\r\n" + world.site.hostAndPort().toUtf8() + "\r\n"
            + world.view.password().toUtf8() + "\r\n");
}

QTEST_GUILESS_MAIN(TestFaultsFiles)
#include "test_faults_files.moc"
