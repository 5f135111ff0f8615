// The built program as a player meets it: started as a process on a Wine prefix made here, talking
// to the reference guild site on loopback, under an X display (xvfb-run); or to a site already running
// (the PHP kit under nginx) at ROSTREL_E2E_SITE, with the user kestrel (gryphon), its addon folder at
// ROSTREL_E2E_SITE_FILES, kestrel's profiles stored in ROSTREL_E2E_SITE_PROFILES and the kit's publish
// command at ROSTREL_E2E_PUBLISH.

#include "guild-site/guildsite.h"
#include "testdata.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using namespace rostrel;
using namespace rostrel::testing;
using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kWatcherTurn = 5000;
// Added to every wait for something that must happen: a loaded machine may be slow, never wrong.
constexpr int kLoadMargin = 30000;

struct World
{
    // The site listening, the game installed under the prefix with its key written; false when a
    // file could not be written.
    [[nodiscard]] bool setUp()
    {
        GuildSiteConfig config;
        config.users.insert(QStringLiteral("kestrel"), QStringLiteral("gryphon"));
        config.dataDir = dir.path() + QStringLiteral("/site");
        config.filesDir = dir.path() + QStringLiteral("/files");
        QDir().mkpath(config.filesDir);
        site = std::make_unique<GuildSite>(config);
        site->listen();
        address = qEnvironmentVariable("ROSTREL_E2E_SITE", site->hostAndPort());
        files = qEnvironmentVariable("ROSTREL_E2E_SITE_FILES", config.filesDir);
        profiles = qEnvironmentVariable("ROSTREL_E2E_SITE_PROFILES", config.dataDir + QStringLiteral("/kestrel"));
        earlier = QDir(profiles).entryList(QDir::Files);
        if (!writeFile(files + QStringLiteral("/RostrelVersion"), "3.0\r\n"))
            return false;
        QDir().mkpath(prefix() + QStringLiteral("/dosdevices"));
        QFile::link(QStringLiteral("../drive_c"), prefix() + QStringLiteral("/dosdevices/c:"));
        const bool toc
            = writeFile(game() + QStringLiteral("/Interface/AddOns/Rostrel/Rostrel.toc"), "## Version: 3.0\r\n");
        QDir().mkpath(game() + QStringLiteral("/WTF/Account"));
        QDir().mkpath(home());
        return toc && setGameKey(true);
    }
    QString prefix() const { return dir.path() + QStringLiteral("/prefix"); }
    QString game() const { return prefix() + QStringLiteral("/drive_c/Games/World of Warcraft"); }
    QString home() const { return dir.path() + QStringLiteral("/home"); }
    QString profile(const QString& entry) const
    {
        return game() + QStringLiteral("/WTF/Account/") + QString(entry).replace(u'\\', u'/')
            + QStringLiteral("/SavedVariables/Rostrel.lua");
    }

    [[nodiscard]] bool setGameKey(bool present)
    {
        const QByteArray reg = readFile(
            testDataPath(present ? QStringLiteral("registry/game.reg") : QStringLiteral("registry/no-game.reg")));
        return !reg.isEmpty() && writeFile(prefix() + QStringLiteral("/system.reg"), reg);
    }
    [[nodiscard]] bool rememberLogin(const QString& password)
    {
        return writeFile(home() + QStringLiteral("/settings.txt"),
            "kestrel\r\n" + address.toUtf8() + "\r\n" + password.toUtf8() + "\r\n");
    }

    [[nodiscard]] bool start()
    {
        process = std::make_unique<QProcess>();
        process->setProgram(qEnvironmentVariable("ROSTREL_BIN_DIR") + QStringLiteral("/RostrelUploader"));
        process->setWorkingDirectory(home());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINEPREFIX"), prefix());
        env.insert(QStringLiteral("HOME"), home());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
        env.insert(QStringLiteral("ROSTREL_FILE_HOST"), address);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"),
            qEnvironmentVariableIsEmpty("DISPLAY") ? QStringLiteral("offscreen") : QStringLiteral("xcb"));
        env.remove(QStringLiteral("http_proxy"));
        process->setProcessEnvironment(env);
        QObject::connect(process.get(), &QProcess::readyReadStandardError,
            [this] { output += QString::fromUtf8(process->readAllStandardError()); });
        process->start();
        return process->waitForStarted();
    }
    void stop()
    {
        if (process && process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(2000);
        }
        process.reset();
    }
    ~World() { stop(); }

    // The program's message boxes (titled like the program); only those shown when onlyShown is set.
    static QList<QByteArray> boxes(bool onlyShown = false)
    {
        QStringList arguments { QStringLiteral("search") };
        if (onlyShown)
            arguments << QStringLiteral("--onlyvisible");
        arguments << QStringLiteral("--name") << QStringLiteral("^Rostrel Uploader$");
        QProcess search;
        search.start(QStringLiteral("xdotool"), arguments);
        search.waitForFinished(3000);
        return search.readAllStandardOutput().split('\n');
    }
    static bool boxOnScreen()
    {
        const QList<QByteArray> shown = boxes(true);
        return std::any_of(shown.begin(), shown.end(), [](const QByteArray& id) { return !id.trimmed().isEmpty(); });
    }
    // Presses OK on the program's message boxes.
    static void pressOk()
    {
        for (const QByteArray& id : boxes()) {
            if (!id.trimmed().isEmpty())
                QProcess::execute(QStringLiteral("xdotool"),
                    { QStringLiteral("windowfocus"), QString::fromLatin1(id.trimmed()), QStringLiteral("key"),
                        QStringLiteral("Return") });
        }
    }

    // Runs xdotool, bounded; what it printed.
    static QByteArray xdotool(const QStringList& arguments)
    {
        QProcess run;
        run.start(u"xdotool"_s, arguments);
        run.waitForFinished(5000);
        return run.readAllStandardOutput();
    }
    QSet<QByteArray> receivedProfiles() const
    {
        const QList<QByteArray> all = received();
        return QSet<QByteArray>(all.begin(), all.end());
    }
    // The profiles stored since setUp, oldest first: both sites name them in that order.
    QList<QByteArray> received() const
    {
        QList<QByteArray> bytes;
        for (const QString& name : QDir(profiles).entryList(QDir::Files, QDir::Name))
            if (!earlier.contains(name))
                bytes.append(readFile(profiles + u'/' + name));
        return bytes;
    }
    int uploads() const { return static_cast<int>(received().size()); }

    QTemporaryDir dir;
    std::unique_ptr<GuildSite> site;
    QString address, files, profiles;
    QStringList earlier;
    std::unique_ptr<QProcess> process;
    QString output;
};
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QFAIL("The end-to-end tests need an X display: run them under xvfb-run.");
        QVERIFY(QFileInfo::exists(qEnvironmentVariable("ROSTREL_BIN_DIR") + QStringLiteral("/RostrelUploader")));
    }

    void rememberedLoginUploadsAndWatches()
    {
        World world;
        QVERIFY(world.setUp());
        const QByteArray account = "RostrelDB = {\r\n\t[\"account\"] = true,\r\n}\r\n";
        const QByteArray aelfric = "RostrelDB = {\r\n\t[\"\xc3\x86lfric\"] = { level = 60 },\r\n}\r\n";
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77")), account));
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77\\Mossgate\\\xc3\x86lfric")), aelfric));
        QVERIFY(world.rememberLogin(QStringLiteral("gryphon")));
        QVERIFY(world.start());

        // The login posts one profile, the watcher's first pass each of the two once.
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 3, 3 * kWatcherTurn + kLoadMargin);
        QCOMPARE(world.receivedProfiles(), QSet<QByteArray>({ account, aelfric }));
        QVERIFY(world.output.contains(QStringLiteral("Successfully logged in")));

        // A changed file goes up again within one pass over the checked entries.
        const QByteArray played = aelfric + "-- played again\r\n";
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77\\Mossgate\\\xc3\x86lfric")), played));
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 4, 2 * kWatcherTurn + kLoadMargin);
        QCOMPARE(world.received().last(), played);

        // A character that appears while the program runs is listed and posted.
        const QByteArray newcomer = "RostrelDB = { [\"Nia\"] = {} }\r\n";
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77\\Emberfall\\Nia")), newcomer));
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 5, 3 * kWatcherTurn + kLoadMargin);
        QCOMPARE(world.received().last(), newcomer);
        QCOMPARE(world.uploads(), 5); // nothing unchanged went up again
    }

    void secondStartInTheSameFolderHandsOver()
    {
        World world;
        QVERIFY(
            world.setUp() && writeFile(world.profile(u"KESTREL77"_s), "acc\r\n") && world.rememberLogin(u"gryphon"_s));
        QVERIFY(world.start());
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 2, 2 * kWatcherTurn + kLoadMargin); // the login, the first pass
        auto first = std::move(world.process);
        QVERIFY(world.start() && world.process->waitForFinished(kLoadMargin) && world.process->exitCode() == 0);
        world.process = std::move(first);
        QTest::qWait(kWatcherTurn);
        QVERIFY(world.process->state() == QProcess::Running && world.uploads() == 2);
    }

    void everyFlavourOfTheGameRoot()
    {
        World world;
        QVERIFY(world.setUp());
        QByteArray reg = readFile(world.prefix() + QStringLiteral("/system.reg"));
        QVERIFY(writeFile(world.prefix() + QStringLiteral("/system.reg"),
            reg.replace("Warcraft\\\\\"", "Warcraft\\\\_retail_\\\\\"")));
        for (const QString& flavour : { QStringLiteral("_retail_"), QStringLiteral("_classic_era_") })
            QVERIFY(writeFile(
                world.game() + u'/' + flavour + QStringLiteral("/WTF/Account/KESTREL77/SavedVariables/Rostrel.lua"),
                QString(flavour + u"\r\n").toUtf8()));
        QVERIFY(world.rememberLogin(QStringLiteral("gryphon")));
        QVERIFY(world.start());
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 3, 3 * kWatcherTurn + kLoadMargin);
        QCOMPARE(world.receivedProfiles(), QSet<QByteArray>({ "_retail_\r\n", "_classic_era_\r\n" }));
    }

    void siteAwayForAMinute()
    {
        World world;
        const QString entry = QStringLiteral("KESTREL77\\Mossgate\\Tovrin");
        QVERIFY(world.setUp() && writeFile(world.profile(entry), "before\r\n") && world.rememberLogin("gryphon"_L1));
        QVERIFY(world.start());
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 2, 2 * kWatcherTurn + kLoadMargin);
        // The site goes away while the player plays on: no box, and the change arrives once it is back.
        const GuildSiteConfig config = world.site->config();
        const quint16 port = world.site->port();
        world.site.reset();
        QVERIFY(writeFile(world.profile(entry), "played\r\n") && !QTest::qWaitFor(&World::boxOnScreen, 60000));
        world.site = std::make_unique<GuildSite>(config);
        QCOMPARE(world.site->listen(QHostAddress::LocalHost, port), port);
        // A minute away backs posts off to 40 s at most: the change arrives well within this.
        QTRY_COMPARE_WITH_TIMEOUT(world.uploads(), 3, 150000);
        QVERIFY(world.received().last() == "played\r\n" && !world.output.contains("Rostrel Uploader: "_L1));
    }

    void startedBeforeTheSiteIsUp()
    {
        // Started at logon before the network is up: the site answers nothing for 30 s.
        World world;
        QVERIFY(
            world.setUp() && writeFile(world.profile(u"KESTREL77"_s), "acc\r\n") && world.rememberLogin("gryphon"_L1));
        const GuildSiteConfig config = world.site->config();
        const quint16 port = world.site->port();
        world.site.reset();
        QVERIFY(world.start() && !QTest::qWaitFor(&World::boxOnScreen, 30000));
        world.site = std::make_unique<GuildSite>(config);
        QCOMPARE(world.site->listen(QHostAddress::LocalHost, port), port);
        // Tries at 0, 5, 15, 35 and 75 s: with the site back after 30 s (later on a loaded machine, whose
        // checks for boxes take their time), the try that reaches it may be the one at 75 s.
        QTRY_VERIFY_WITH_TIMEOUT(world.output.contains("Successfully logged in"_L1), 45000 + kLoadMargin);
        QVERIFY2(world.uploads() >= 1 && !world.output.contains("Rostrel Uploader: "_L1), qPrintable(world.output));
    }

    void uncheckedEntryStaysUncheckedAcrossRestarts()
    {
        World world;
        QVERIFY(world.setUp());
        const QByteArray hidden = "secret alt\r\n";
        const QByteArray shown = "main\r\n";
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77\\Mossgate\\Alt")), hidden));
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77\\Mossgate\\Main")), shown));
        QVERIFY(writeFile(world.home() + QStringLiteral("/noupload.txt"), "KESTREL77\\Mossgate\\Alt\r\n"));
        QVERIFY(world.rememberLogin(QStringLiteral("gryphon")));
        for (int run = 1; run <= 2; ++run) {
            QVERIFY(world.start());
            QTRY_VERIFY_WITH_TIMEOUT(world.uploads() >= 2 * run, 2 * kWatcherTurn + kLoadMargin);
            world.stop();
            QCOMPARE(
                readFile(world.home() + QStringLiteral("/noupload.txt")), QByteArray("KESTREL77\\Mossgate\\Alt\r\n"));
        }
        QCOMPARE(world.receivedProfiles(), QSet<QByteArray>({ shown }));
    }

    void wrongPasswordUploadsNothing()
    {
        World world;
        QVERIFY(world.setUp());
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77")), "acc\r\n"));
        QVERIFY(world.rememberLogin(QStringLiteral("not-the-password")));
        QVERIFY(world.start());
        QTRY_VERIFY_WITH_TIMEOUT(
            world.output.contains(QStringLiteral("Rostrel Uploader: Invalid Login/Password")), 10000);
        QVERIFY(world.output.contains(QStringLiteral("log replaced by: Invalid Login/Password")));
        // The box is logged before it is on screen.
        static_cast<void>(QTest::qWaitFor([] { return World::boxOnScreen(); }, 10000));
        World::pressOk();
        // No watcher runs while logged out: a turn and a margin pass without a post.
        static_cast<void>(QTest::qWaitFor([&] { return world.uploads() > 0; }, kWatcherTurn + 1000));
        QCOMPARE(world.uploads(), 0);
        QCOMPARE(world.process->state(), QProcess::Running);
    }

    void firstLoginWithoutAProfile()
    {
        // A new player: the game has written no profile yet, so nothing is listed or ticked.
        World world;
        QVERIFY(world.setUp() && world.rememberLogin(QString()) && world.start());
        // The window waits for the password: typed into its box (where the layout puts it), then Enter
        // for OK. Without a window manager keys go to the window under the pointer.
        const QStringList search { u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"^Rostrel Profile Uploader$"_s };
        QString window;
        QTRY_VERIFY2_WITH_TIMEOUT(!(window = QString::fromLatin1(World::xdotool(search).trimmed())).isEmpty(),
            qPrintable(world.output), kLoadMargin);
        World::xdotool({ u"mousemove"_s, u"--window"_s, window, u"160"_s, u"121"_s, u"click"_s, u"1"_s });
        World::xdotool({ u"type"_s, u"gryphon"_s }); // every word after "type" is typed
        World::xdotool({ u"key"_s, u"Return"_s });
        QTRY_VERIFY2_WITH_TIMEOUT(
            world.output.contains(QStringLiteral("Successfully logged in")), qPrintable(world.output), 20000);
        const QByteArray first = "RostrelDB = { [\"Nia\"] = {} }\r\n";
        QVERIFY(writeFile(world.profile(QStringLiteral("KESTREL77\\Emberfall\\Nia")), first));
        QTRY_VERIFY_WITH_TIMEOUT(world.receivedProfiles().contains(first), 3 * kWatcherTurn + kLoadMargin);
        QVERIFY(!world.output.contains(QStringLiteral("Rostrel Uploader: ")));
    }

    void addonUpdateFromTheFileHost()
    {
        World world;
        QVERIFY(world.setUp());
        const QList<QPair<QString, QByteArray>> published { { QStringLiteral("Rostrel.toc"), "## Version: 3.1\r\n" },
            { QStringLiteral("Rostrel.lua"), "-- \xc3\x86\r\n" },
            { QStringLiteral("RostrelFiles"), "Rostrel.toc\r\nRostrel.lua\r\n" },
            { QStringLiteral("RostrelVersion"), "3.1\r\n" } };
        // With the kit, the officer publishes the addon folder as the game has it.
        const QString publish = qEnvironmentVariable("ROSTREL_E2E_PUBLISH");
        const QString addon = publish.isEmpty() ? world.files : world.dir.path() + QStringLiteral("/addon");
        for (const auto& [name, bytes] : published.first(publish.isEmpty() ? 4 : 2))
            QVERIFY(writeFile(addon + u'/' + name, bytes));
        if (!publish.isEmpty())
            QCOMPARE(QProcess::execute(QStringLiteral("php"), { publish, addon }), 0);
        QVERIFY(world.start());
        QTRY_VERIFY_WITH_TIMEOUT(
            world.output.contains(QStringLiteral("Rostrel has been updated to version 3.1")), 20000);
        for (const auto& [name, bytes] : published.first(2))
            QCOMPARE(readFile(world.game() + QStringLiteral("/Interface/AddOns/Rostrel/") + name), bytes + "\r\n");
    }

    void gameFolderChosenByHand()
    {
        World world;
        QVERIFY(world.setUp() && world.setGameKey(false) && writeFile(world.profile(u"KESTREL77"_s), "acc\r\n")
            && world.rememberLogin("gryphon"_L1) && world.start());
        QVERIFY2(QTest::qWaitFor(&World::boxOnScreen, 20000), qPrintable(world.output.right(3000)));
        const auto xdotool = [](const QString& window, const QStringList& then) {
            return QProcess::execute(
                u"xdotool"_s, QStringList { u"search"_s, u"--onlyvisible"_s, u"--name"_s, window } + then);
        };
        const QStringList focus { u"windowfocus"_s, u"--sync"_s, u"%1"_s };
        xdotool(u"^Rostrel Uploader$"_s, focus + QStringList { u"key"_s, u"Tab"_s, u"space"_s }); // "Choose Folder…"
        QVERIFY(QTest::qWaitFor([&] { return xdotool(u"^Choose the World"_s, {}) == 0; }, 20000));
        xdotool(u"^Choose the World"_s, focus + QStringList { u"type"_s, world.game() });
        for (int i = 0; i < 5 && xdotool(u"^Choose the World"_s, {}) == 0; ++i) // a Return may close the completions
            xdotool(u"^Choose the World"_s, focus + QStringList { u"key"_s, u"Return"_s });
        QTRY_VERIFY2_WITH_TIMEOUT(
            world.uploads() >= 1, qPrintable(world.output.right(3000)), 2 * kWatcherTurn + kLoadMargin);
        world.stop(); // the next start uses the folder remembered, without a box
        QVERIFY(world.start() && !QTest::qWaitFor(&World::boxOnScreen, 3000));
        QTRY_VERIFY2_WITH_TIMEOUT(
            world.uploads() >= 2, qPrintable(world.output.right(3000)), 2 * kWatcherTurn + kLoadMargin);
    }

    void missingGameShowsTheFatalBoxAndEnds()
    {
        World world;
        QVERIFY(world.setUp());
        QVERIFY(world.setGameKey(false));
        QVERIFY(world.start());
        QTRY_VERIFY_WITH_TIMEOUT(
            world.output.contains(QStringLiteral(
                "We were unable to locate your World of Warcraft Folder.  Apparently WoW is not properly installed.")),
            10000);
        QCOMPARE(world.process->state(), QProcess::Running); // waiting for the player's OK
        // The box may not be on screen yet when its text is logged: press until the program ends.
        for (int attempt = 0; attempt < 20 && world.process->state() != QProcess::NotRunning; ++attempt) {
            World::pressOk();
            world.process->waitForFinished(500);
        }
        QCOMPARE(world.process->state(), QProcess::NotRunning);
        QCOMPARE(world.process->exitStatus(), QProcess::NormalExit);
        QVERIFY(!QFileInfo::exists(world.home() + QStringLiteral("/settings.txt")));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_e2e.moc"
