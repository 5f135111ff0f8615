#include "addon/addonupdater.h"
#include "app/desktopseams.h"
#include "app/form1.h"
#include "app/messagelog.h"
#include "app/program.h"
#include "app/singleinstance.h"
#include "catalogue/characterlist.h"
#include "fakes.h"
#include "guild-site/guildsite.h"
#include "platform/backends.h"
#include "testfiles.h"
#include "tray/trayicon.h"
#include "upload/logincommand.h"
#include "upload/watcher.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;
using namespace Qt::Literals::StringLiterals;

namespace {
// A program around fakes: the game in a temporary folder, the site and file host on loopback.
struct World
{
    World()
    {
        GuildSiteConfig config;
        config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
        config.dataDir = dir.path() + QStringLiteral("/site");
        config.filesDir = dir.path() + QStringLiteral("/files");
        QDir().mkpath(config.filesDir);
        site = std::make_unique<GuildSite>(config);
        site->listen();
        site->publishFile(QStringLiteral("RostrelVersion"), "1.0");
        QVERIFY(writeFile(game() + QStringLiteral("/Interface/AddOns/Rostrel/Rostrel.toc"), "## Version: 1.0\r\n"));
        QDir().mkpath(game() + QStringLiteral("/WTF/Account"));
        QDir().mkpath(settings());
    }
    QString game() const { return dir.path() + QStringLiteral("/Games/WoW"); }
    QString settings() const { return dir.path() + QStringLiteral("/home"); }

    Program& start()
    {
        ProgramServices s;
        auto reg = std::make_unique<FakeRegistry>();
        registry = reg.get();
        if (installed)
            reg->setInstallPath(QStringLiteral("C:\\Games\\WoW\\"));
        auto auto_ = std::make_unique<FakeAutostart>();
        autostart = auto_.get();
        autostart->present = inStartup;
        s.platform.registry = std::move(reg);
        s.platform.paths = std::make_unique<FakePathLayer>(dir.path());
        s.platform.autostart = std::move(auto_);
        if (!xdgConfig.isEmpty())
            s.platform.autostart = makeXdgAutostart(xdgConfig.toStdString(), kProgram, settings().toStdString());
        auto browser = std::make_unique<FakeBrowser>();
        browser->works = false;
        s.platform.browser = std::move(browser);
        s.dialogs = boxes ? boxes : static_cast<Dialogs*>(&dialogs);
        s.exit = &exit;
        s.clock = &clock;
        s.network = &network;
        s.settingsFolder = settings();
        s.fileHostBase = fileHostOfBuild ? site->baseUrl() + QStringLiteral("/files/Rostrel/") : QString();
        s.demoSite = QStringLiteral("guild.varnhold.example");
        program = std::make_unique<Program>(std::move(s));
        program->Timer1().stop(); // ticks are driven by hand
        return *program;
    }

    QTemporaryDir dir;
    std::unique_ptr<GuildSite> site;
    FakeDialogs dialogs;
    Dialogs* boxes = nullptr; // the real boxes instead, when set
    FakeExit exit;
    FakeClock clock;
    QNetworkAccessManager network;
    FakeRegistry* registry = nullptr;
    FakeAutostart* autostart = nullptr;
    bool installed = true;
    bool inStartup = false;
    bool fileHostOfBuild = true; // otherwise the guild site in the address box serves the addon
    QString xdgConfig; // when set, the real desktop start-up entry in this folder
    static constexpr const char* kProgram = "/opt/rostrel/RostrelUploader";
    std::unique_ptr<Program> program;
};
} // namespace

class TestProgram : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startWithNothingFound()
    {
        World world;
        Program& program = world.start();
        QCOMPARE(program.form().URL->text(), QStringLiteral("guild.varnhold.example"));
        program.Form_Load();
        program.showAtStart();
        QCOMPARE(program.form().URL->text(), QString()); // a first run has no saved address
        QCOMPARE(program.characters().count(), 0);
        QCOMPARE(program.characters().fileDatesSize(), 1);
        QCOMPARE(program.characters().WatchIndex(), -1);
        QVERIFY(program.form().NoChars->isVisible());
        QVERIFY(!program.form().Characters->isVisible());
        QVERIFY(program.form().isVisible());
        QVERIFY(world.dialogs.shown.isEmpty());
        QCOMPARE(world.site->fileRequestCount(QStringLiteral("RostrelVersion")), 1);
    }

    void rememberedLoginStartsInTheTray()
    {
        World world;
        QVERIFY(writeFile(world.game() + QStringLiteral("/WTF/Account/ACC/SavedVariables/Rostrel.lua"), "acc\r\n"));
        QVERIFY(writeFile(
            world.game() + QStringLiteral("/WTF/Account/ACC/Realm/Cid/SavedVariables/Rostrel.lua"), "cid\r\n"));
        QVERIFY(writeFile(world.settings() + QStringLiteral("/settings.txt"),
            "kestrel\r\n" + world.site->hostAndPort().toUtf8() + "\r\nsecret\r\n"));
        world.fileHostOfBuild = false;
        Program& program = world.start();
        program.Form_Load();
        program.showAtStart();
        QCOMPARE(world.site->fileRequestCount(QStringLiteral("RostrelVersion")), 1);
        QVERIFY(!program.form().isVisible());
        QVERIFY(program.watcher().isRunning());
        QVERIFY(!program.form().Command1->isEnabled());
        QVERIFY(program.form().Command3->isEnabled());
        QCOMPARE(world.site->received().size(), 1);
        QCOMPARE(program.characters().WatchIndex(), -1);
        QCOMPARE(program.characters().fileDatesSize(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY(!program.characters().fileDate(i).has_value());
        QVERIFY(program.log().text().contains(QStringLiteral("Successfully logged in")));

        // Log out: inputs back, watcher off, nothing else.
        const QString log = program.log().text();
        program.Command3_Click();
        QVERIFY(program.form().Login->isEnabled() && program.form().URL->isEnabled()
            && program.form().Password->isEnabled() && program.form().Command1->isEnabled());
        QVERIFY(!program.form().Command3->isEnabled());
        QVERIFY(!program.watcher().isRunning());
        QCOMPARE(program.form().Password->text(), QStringLiteral("secret"));
        QCOMPARE(program.log().text(), log);
        QVERIFY(!program.form().isVisible());
    }

    void addonCheckRunsOnTheTickCount()
    {
        World world;
        Program& program = world.start();
        program.Form_Load();
        const auto checks = [&] { return world.site->fileRequestCount(QStringLiteral("RostrelVersion")); };
        QCOMPARE(checks(), 1);
        for (int tick = 1; tick <= 1801; ++tick)
            program.Timer1_Timer();
        QCOMPARE(checks(), 1);
        QCOMPARE(program.CheckTicks(), 1801);
        program.Timer1_Timer(); // tick 1802
        QCOMPARE(checks(), 2);
        QCOMPARE(program.CheckTicks(), 1);
        for (int tick = 1; tick < 1801; ++tick)
            program.Timer1_Timer();
        QCOMPARE(checks(), 2);
        program.Timer1_Timer();
        QCOMPARE(checks(), 3);
    }

    // The timer itself sleeps through the ticks that only count.
    void timer1WakesOnlyToCheck()
    {
        World world;
        Program& program = world.start();
        program.Form_Load();
        QCOMPARE(program.Timer1().intervalAsDuration(), std::chrono::seconds(1802));
        program.Timer1_Wake();
        QCOMPARE(world.site->fileRequestCount(QStringLiteral("RostrelVersion")), 2);
        QCOMPARE(program.CheckTicks(), 1);
        QCOMPARE(program.Timer1().intervalAsDuration(), std::chrono::seconds(1801));
    }

    void trayCheckLogsInsteadOfBoxes()
    {
        World world;
        QVERIFY(QFile::remove(world.dir.path() + QStringLiteral("/files/RostrelVersion")));
        Program& program = world.start();
        program.Form_Load(); // the check at start keeps its box and its line
        for (int check = 0; check < 3; ++check) { // then offline in the tray: one line, no box
            program.setCheckTicks(kCheckTickLimit + 1);
            program.Timer1_Timer();
        }
        QCOMPARE(program.log().text().count(QStringLiteral("Addon update check stopped")), 2);
        QCOMPARE(world.dialogs.shown.size(), 1);
    }

    void startupEntryTicksTheBox()
    {
        World world;
        world.inStartup = true;
        Program& program = world.start();
        program.Form_Load();
        QVERIFY(program.form().StartWithWindows->isChecked());
        QCOMPARE(world.autostart->enables, 1); // the box's handler writes the same entry again

        World other;
        Program& plain = other.start();
        plain.Form_Load();
        QVERIFY(!plain.form().StartWithWindows->isChecked());
        QCOMPARE(other.autostart->enables + other.autostart->disables, 0);
    }

    // The entry of a run from another folder is that folder's: left as it is, the box unticked.
    void startupEntryOfAnotherFolder_data()
    {
        QTest::addColumn<bool>("sameFolder");
        QTest::newRow("written from this folder") << true;
        QTest::newRow("written from another folder") << false;
    }
    void startupEntryOfAnotherFolder()
    {
        QFETCH(bool, sameFolder);
        World world;
        world.xdgConfig = world.dir.filePath(QStringLiteral("config"));
        const QString writtenFrom = sameFolder ? world.settings() : world.dir.filePath(QStringLiteral("elsewhere"));
        QCOMPARE(makeXdgAutostart(world.xdgConfig.toStdString(), World::kProgram, writtenFrom.toStdString())
                     ->enable()
                     .error(),
            QString());
        const QString entry = world.xdgConfig + QStringLiteral("/autostart/RostrelUploader.desktop");
        const QByteArray before = readFile(entry);
        QVERIFY(before.contains(QByteArray("\nPath=" + writtenFrom.toUtf8() + "\n")));

        Program& program = world.start();
        program.Form_Load();
        QCOMPARE(program.form().StartWithWindows->isChecked(), sameFolder);
        QCOMPARE(readFile(entry), before);
        QVERIFY(!program.log().text().contains(QStringLiteral("start-up")));
    }

    void missingGameEndsTheProgram()
    {
        World world;
        world.installed = false;
        Program& program = world.start();
        QVERIFY_THROWS_EXCEPTION(ProgramExited, program.Form_Load());
        QCOMPARE(world.dialogs.shown.size(), 1);
        QCOMPARE(world.dialogs.shown.first().text,
            QStringLiteral("We were unable to locate your World of Warcraft Folder.  Apparently WoW is not properly "
                           "installed.\r\n\r\nRostrelUploader will now exit"));
        QCOMPARE(world.dialogs.shown.first().icon, BoxIcon::Critical);
        QVERIFY(!program.tray().isShown());
    }

    void startUpNeverWaitsBehindABox()
    {
        // At logon the site is not up yet and an update is announced: nobody answers the box, and the
        // tray icon, the login's notification and its trying go on. The box quotes the host as it is.
        World world;
        WidgetDialogs boxes;
        world.boxes = &boxes;
        QVERIFY(writeFile(world.settings() + u"/settings.txt"_s, "kestrel\r\n127.0.0.1:1\r\nsecret\r\n"));
        world.site->publishFile(u"RostrelVersion"_s, "<b>2.0</b>");
        world.site->publishFile(u"RostrelFiles"_s, "Rostrel.toc");
        world.site->publishFile(u"Rostrel.toc"_s, "## Version: <b>2.0</b>");
        Program& program = world.start();
        QSignalSpy notified(&program.tray(), &TrayIcon::notified);
        program.Form_Load();
        QVERIFY(program.tray().isShown() && program.loginCommand().isWaiting());
        QCOMPARE(notified.size(), 1);
        QMessageBox* box = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            box = qobject_cast<QMessageBox*>(window) ? static_cast<QMessageBox*>(window) : box;
        QVERIFY(box && box->isVisible() && box->textFormat() == Qt::PlainText);
        QCOMPARE(box->text(), u"Rostrel has been updated to version <b>2.0</b>"_s);
    }

    void oneProgramPerFolder()
    {
        QTemporaryDir guild, otherGuild;
        // A lock left by a program that crashed, naming a process that now runs under its number (this
        // one, as after a restart): nobody holds it, so it blocks nothing.
        QVERIFY(writeFile(QDir(guild.path()).filePath(kLockFileName),
            QByteArray::number(QCoreApplication::applicationPid()) + '\n' + QCoreApplication::applicationName().toUtf8()
                + '\n' + QSysInfo::machineHostName().toUtf8() + '\n'));
        SingleInstance first(guild.path(), true);
        QVERIFY(first.claim());
        QSignalSpy shown(&first, &SingleInstance::showRequested);
        // The same folder written another way: the later start hands over and ends.
        QVERIFY(!SingleInstance(guild.path() + u"/./"_s, true).claim(std::chrono::seconds(2)));
        QTRY_COMPARE(shown.size(), 1);
        QVERIFY(SingleInstance(otherGuild.path(), true).claim());
    }

    void exitRemovesTheTrayIconFirst()
    {
        World world;
        Program& program = world.start();
        program.Form_Load();
        QVERIFY_THROWS_EXCEPTION(ProgramExited, program.Command2_Click());
        QVERIFY(!program.tray().isShown());
        QCOMPARE(world.exit.codes, QList<int>({ 0 }));
    }
};

QTEST_MAIN(TestProgram)
#include "test_program.moc"
