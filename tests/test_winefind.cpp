// Finding the Wine prefix that holds the game, and the platform built on it. Each kind of prefix
// is laid out in a temporary home folder.

#include "platform/platform.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;

namespace {

enum class Game
{
    Absent,
    View32,
    View64,
    EmptyValue
};

// A prefix's system.reg, with or without the game's key; false when it cannot be written.
[[nodiscard]] bool makePrefix(const QString& prefix, Game game)
{
    QByteArray text = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
                      "[Software\\\\Wine] 1700000000\n\"Version\"=\"win10\"\n\n";
    if (game == Game::View32)
        text += "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1700000000\n"
                "\"InstallPath\"=\"C:\\\\Program Files (x86)\\\\World of Warcraft\\\\\"\n";
    else if (game == Game::View64)
        text += "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1700000000\n"
                "\"InstallPath\"=\"C:\\\\Games\\\\World of Warcraft\\\\\"\n";
    else if (game == Game::EmptyValue)
        text += "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1700000000\n"
                "\"InstallPath\"=\"\"\n";
    return testing::writeFile(prefix + QStringLiteral("/system.reg"), text);
}

} // namespace

class TestWineFind : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void find_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("expected"); // relative to the home folder
        QTest::newRow("WINEPREFIX wins, game or not") << QStringLiteral("env") << QStringLiteral("custom");
        QTest::newRow("~/.wine, 32-bit view") << QStringLiteral("dotwine") << QStringLiteral(".wine");
        QTest::newRow("~/.wine, 32-bit prefix") << QStringLiteral("dotwine64") << QStringLiteral(".wine");
        QTest::newRow("~/.wine first of several") << QStringLiteral("dotwine+proton") << QStringLiteral(".wine");
        QTest::newRow("Lutris prefix line") << QStringLiteral("lutris-prefix") << QStringLiteral("lutris/battlenet");
        QTest::newRow("Lutris game_path, quoted, in share")
            << QStringLiteral("lutris-gamepath") << QStringLiteral("lutris/wow");
        QTest::newRow("~/Games folder") << QStringLiteral("games") << QStringLiteral("Games/battlenet");
        QTest::newRow("Proton under ~/.steam")
            << QStringLiteral("proton-steam") << QStringLiteral(".steam/steam/steamapps/compatdata/1234/pfx");
        QTest::newRow("Proton under ~/.local/share")
            << QStringLiteral("proton-share") << QStringLiteral(".local/share/Steam/steamapps/compatdata/99/pfx");
        QTest::newRow("empty install path does not count")
            << QStringLiteral("empty+proton") << QStringLiteral(".local/share/Steam/steamapps/compatdata/99/pfx");
        QTest::newRow("nothing anywhere") << QStringLiteral("none") << QStringLiteral(".wine");
        // Launchers that keep a prefix per game in a folder of their own: the game's prefix alone.
        for (const char* prefix :
            { ".local/share/bottles/bottles/WoW", ".var/app/com.usebottles.bottles/data/bottles/bottles/Battle",
                "Games/Heroic/Prefixes/wow", ".var/app/com.valvesoftware.Steam/data/Steam/steamapps/compatdata/7/pfx" })
            QTest::newRow(prefix) << QStringLiteral("plain") << QString::fromUtf8(prefix);
        QTest::newRow("Lutris as a Flatpak") << QStringLiteral("lutris-flatpak") << QStringLiteral("lutris/flat");
    }

    void find()
    {
        QFETCH(QString, layout);
        QFETCH(QString, expected);
        QTemporaryDir home;
        const QString h = home.path();
        PlatformConfig config;
        config.homeDir = h;

        // A prefix without the game stands in front of every candidate that has one.
        QVERIFY(makePrefix(h + QStringLiteral("/.wine"), Game::Absent));
        if (layout == QStringLiteral("env")) {
            config.winePrefix = h + QStringLiteral("/custom/");
            QVERIFY(makePrefix(h + QStringLiteral("/.wine"), Game::View32));
        } else if (layout == QStringLiteral("dotwine")) {
            QVERIFY(makePrefix(h + QStringLiteral("/.wine"), Game::View32));
        } else if (layout == QStringLiteral("dotwine64")) {
            QVERIFY(makePrefix(h + QStringLiteral("/.wine"), Game::View64));
        } else if (layout == QStringLiteral("dotwine+proton")) {
            QVERIFY(makePrefix(h + QStringLiteral("/.wine"), Game::View32));
            QVERIFY(makePrefix(h + QStringLiteral("/.local/share/Steam/steamapps/compatdata/99/pfx"), Game::View32));
        } else if (layout == QStringLiteral("lutris-prefix")) {
            QVERIFY(makePrefix(h + QStringLiteral("/lutris/other"), Game::Absent));
            QVERIFY(makePrefix(h + QStringLiteral("/lutris/battlenet"), Game::View32));
            QVERIFY(testing::writeFile(h + QStringLiteral("/.config/lutris/games/a-other.yml"),
                "game:\n  exe: x.exe\n  prefix: " + h.toUtf8() + "/lutris/other\n"));
            QVERIFY(testing::writeFile(h + QStringLiteral("/.config/lutris/games/battlenet-1.yml"),
                "game:\n  arch: win64\n  exe: drive_c/Battle.net/Battle.net Launcher.exe\n  prefix: " + h.toUtf8()
                    + "/lutris/battlenet\nwine:\n  version: lutris-7\n"));
        } else if (layout == QStringLiteral("lutris-gamepath")) {
            QVERIFY(makePrefix(h + QStringLiteral("/lutris/wow"), Game::View32));
            QVERIFY(testing::writeFile(
                h + QStringLiteral("/.local/share/lutris/games/wow.yml"), "game_path: '~/lutris/wow'\n"));
        } else if (layout == QStringLiteral("games")) {
            QVERIFY(QDir().mkpath(h + QStringLiteral("/Games/aaa-no-registry")));
            QVERIFY(makePrefix(h + QStringLiteral("/Games/battlenet"), Game::View32));
        } else if (layout == QStringLiteral("proton-steam")) {
            QVERIFY(makePrefix(h + QStringLiteral("/.steam/steam/steamapps/compatdata/1000/pfx"), Game::Absent));
            QVERIFY(makePrefix(h + QStringLiteral("/.steam/steam/steamapps/compatdata/1234/pfx"), Game::View32));
        } else if (layout == QStringLiteral("proton-share")) {
            QVERIFY(makePrefix(h + QStringLiteral("/.local/share/Steam/steamapps/compatdata/99/pfx"), Game::View64));
        } else if (layout == QStringLiteral("plain")) {
            QVERIFY(makePrefix(h + u'/' + expected, Game::View32));
        } else if (layout == QStringLiteral("lutris-flatpak")) {
            QVERIFY(makePrefix(h + QStringLiteral("/lutris/flat"), Game::View32));
            QVERIFY(testing::writeFile(h + QStringLiteral("/.var/app/net.lutris.Lutris/config/lutris/games/wow.yml"),
                "game:\n  prefix: " + h.toUtf8() + "/lutris/flat\n"));
        } else if (layout == QStringLiteral("empty+proton")) {
            QVERIFY(makePrefix(h + QStringLiteral("/.wine"), Game::EmptyValue));
            QVERIFY(makePrefix(h + QStringLiteral("/.local/share/Steam/steamapps/compatdata/99/pfx"), Game::View32));
        }
        QCOMPARE(findWinePrefix(config), h + u'/' + expected);
    }

    void platformOverThePrefix_data()
    {
        QTest::addColumn<bool>("xdgSet");
        QTest::newRow("XDG_CONFIG_HOME set") << true;
        QTest::newRow("XDG_CONFIG_HOME unset") << false;
    }

    void platformOverThePrefix()
    {
        QFETCH(bool, xdgSet);
        QTemporaryDir home;
        const QString h = home.path();
        QVERIFY(makePrefix(h + QStringLiteral("/Games/wow"), Game::View32));
        QVERIFY(QDir().mkpath(h + QStringLiteral("/Games/wow/drive_c/Program Files (x86)/World of Warcraft/WTF")));
        PlatformConfig config;
        config.homeDir = h;
        config.xdgConfigHome = xdgSet ? h + QStringLiteral("/xdg") : QString();
        config.programPath = QStringLiteral("/opt/rostrel/RostrelUploader");
        config.workingDir = h + QStringLiteral("/settings");

        const Platform platform = makePlatform(config);
        QCOMPARE(platform.description,
            QStringLiteral("Reading the game's settings from Wine prefix ") + h + QStringLiteral("/Games/wow"));
        const registry::Value value = platform.registry->ReadRegValue(
            registry::kLocalMachine, "Software\\Blizzard Entertainment\\World of Warcraft", "InstallPath");
        QCOMPARE(std::get<std::string>(value), std::string("C:\\Program Files (x86)\\World of Warcraft\\"));
        QCOMPARE(platform.paths->toHost(QStringLiteral("C:\\program files (x86)\\world of warcraft\\wtf")),
            h + QStringLiteral("/Games/wow/drive_c/Program Files (x86)/World of Warcraft/WTF"));

        QCOMPARE(platform.autostart->enable().error(), QString());
        const QString entry = (xdgSet ? h + QStringLiteral("/xdg") : h + QStringLiteral("/.config"))
            + QStringLiteral("/autostart/RostrelUploader.desktop");
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("\nExec=\"/opt/rostrel/RostrelUploader\"\n"));
        QVERIFY(text.contains(QByteArray("\nPath=" + h.toUtf8() + "/settings\n")));
        QVERIFY(platform.browser);
    }

    // The log at start names a prefix only when there is one.
    void startLineNamesOnlyAPrefixThatExists_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("line"); // %1: the home folder
        const QString none = QStringLiteral("No Wine prefix found: there is none in ~/.wine, and no Lutris or Steam "
                                            "Proton prefix holds the game. Set WINEPREFIX to the game's prefix");
        QTest::newRow("~/.wine without the game")
            << QStringLiteral("wine") << QStringLiteral("Reading the game's settings from Wine prefix %1/.wine");
        QTest::newRow("nothing") << QString() << none;
        QTest::newRow("~/.wine without system.reg") << QStringLiteral("empty wine") << none;
        QTest::newRow("WINEPREFIX names nothing")
            << QStringLiteral("WINEPREFIX")
            << QStringLiteral("No Wine prefix at %1/missing, which WINEPREFIX names: it holds no system.reg");
    }
    void startLineNamesOnlyAPrefixThatExists()
    {
        QFETCH(QString, layout);
        QFETCH(QString, line);
        QTemporaryDir home;
        PlatformConfig config;
        config.homeDir = home.path();
        if (layout == QStringLiteral("wine"))
            QVERIFY(makePrefix(home.filePath(QStringLiteral(".wine")), Game::Absent));
        else if (layout == QStringLiteral("empty wine"))
            QVERIFY(QDir().mkpath(home.filePath(QStringLiteral(".wine/drive_c"))));
        else if (layout == QStringLiteral("WINEPREFIX"))
            config.winePrefix = home.filePath(QStringLiteral("missing"));
        QCOMPARE(makePlatform(config).description, line.arg(home.path()));
    }

    void configFromEnvironment()
    {
        qputenv("WINEPREFIX", "/somewhere/prefix");
        qputenv("XDG_CONFIG_HOME", "/somewhere/config");
        const PlatformConfig config = PlatformConfig::fromEnvironment();
        QCOMPARE(config.winePrefix, QStringLiteral("/somewhere/prefix"));
        QCOMPARE(config.xdgConfigHome, QStringLiteral("/somewhere/config"));
        QCOMPARE(config.workingDir, QDir::currentPath());
        // The real file, links resolved.
        QCOMPARE(config.programPath, QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
        QVERIFY(QFileInfo(config.programPath).isExecutable());
        qunsetenv("WINEPREFIX");
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(PlatformConfig::fromEnvironment().winePrefix.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWineFind)
#include "test_winefind.moc"
