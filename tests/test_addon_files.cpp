// The addon's local side: the installed version, the old addon's removal, file-list names and
// the file host's address. No network.

#include "addon/filehost.h"
#include "addon/installedaddon.h"
#include "catalogue/gamefolders.h"
#include "core/config.h"
#include "fakes.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

// A game installed at C:\Games\World of Warcraft\ whose addon folder on disk is spelled
// Interface/AddOns, as the game's installer writes it.
struct Game : GameWorld
{
    Game()
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\World of Warcraft\\"));
        QDir().mkpath(gameDir() + QStringLiteral("/Interface/AddOns"));
    }

    QString gameDir() const { return dir.path() + QStringLiteral("/Games/World of Warcraft"); }
    QString addons() const { return gameDir() + QStringLiteral("/Interface/AddOns"); }

    // As the check does it in the flavour the registry names.
    void removeOldAddon() { addon.FindOldAddonAndDelete(addon.places().front()); }

    InstalledAddon addon { folders, log };
};

} // namespace

class TestAddonFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void installedVersion_data();
    void installedVersion();
    void installedVersionWithoutToc();
    void installedVersionTocIsFolder();
    void installedVersionGameFolderWithoutBackslash();

    void oldAddon_data();
    void oldAddon();
    void oldAddonMissingTocLeavesXmlForGood();

    void fileNames_data();
    void fileNames();
    void fileUrls_data();
    void fileUrls();
    void hostBase_data();
    void hostBase();
    void hostBaseFromEnvironment();
};

void TestAddonFiles::installedVersion_data()
{
    QTest::addColumn<QByteArray>("toc");
    QTest::addColumn<std::optional<QString>>("expected");

    const auto v = [](const char* text) { return std::optional<QString>(QString::fromUtf8(text)); };
    const std::optional<QString> absent;

    QTest::newRow("one space") << QByteArray("## Title: Rostrel\r\n## Version: 1.2.3\r\n") << v("1.2.3");
    QTest::newRow("spaces both ends") << QByteArray("## Version:   1.2.3  \r\n") << v("1.2.3");
    QTest::newRow("no space after colon") << QByteArray("## Version:1.2.3\r\n") << v(".2.3");
    QTest::newRow("tab after colon is skipped") << QByteArray("## Version:\t2.0\r\n") << v("2.0");
    QTest::newRow("tab at the end stays") << QByteArray("## Version: 2.0\t\r\n") << v("2.0\t");
    QTest::newRow("one character after colon") << QByteArray("## Version:x\r\n") << v("");
    QTest::newRow("only spaces after colon") << QByteArray("## Version:    \r\n") << v("");
    QTest::newRow("line ends at colon") << QByteArray("## Version:\r\n## Version: 2\r\n") << absent;
    QTest::newRow("file ends at colon") << QByteArray("## Version:") << absent;
    QTest::newRow("first line counts") << QByteArray("## Version: 1\r\n## Version: 2\r\n") << v("1");
    QTest::newRow("marker inside a line") << QByteArray("Interface Version: 11\r\n") << v("11");
    QTest::newRow("lower case") << QByteArray("## version: 1.2.3\r\n") << absent;
    QTest::newRow("empty file") << QByteArray() << absent;
    QTest::newRow("no version line") << QByteArray("## Title: Rostrel\r\n## Author: Ilse\r\n") << absent;
    QTest::newRow("lone CR ends a line") << QByteArray("## Title\r## Version: 3.0\rrest") << v("3.0");
    QTest::newRow("lone LF stays in the line")
        << QByteArray("## Title: R\n## Version: 2.1\n## Author: x\n") << v("2.1\n## Author: x\n");
    QTest::newRow("no line end at all") << QByteArray("## Version: 4.5") << v("4.5");
    QTest::newRow("non-ASCII") << QByteArray("## Version: 1.0-\xc3\x9f\xc3\xa9\r\n") << v("1.0-\xc3\x9f\xc3\xa9");
    QTest::newRow("character outside the BMP after colon") << QByteArray("## Version:\xf0\x9f\x98\x80"
                                                                         "7.1\r\n")
                                                           << v("7.1");
    QTest::newRow("line longer than a read chunk")
        << (QByteArray(200000, 'x') + QByteArray(" Version: 9\r\n")) << v("9");
    QTest::newRow("CR LF split across reads")
        << (QByteArray(65535, 'x') + QByteArray("\r\n## Version: 6\r\n")) << v("6");
    QTest::newRow("version after many short lines")
        << (QByteArray("## Note\r\n").repeated(20000) + QByteArray("## Version: 8\r\n")) << v("8");
}

void TestAddonFiles::installedVersion()
{
    QFETCH(QByteArray, toc);
    QFETCH(std::optional<QString>, expected);

    Game game;
    QVERIFY(testing::writeFile(game.addons() + QStringLiteral("/Rostrel/Rostrel.toc"), toc));
    QCOMPARE(game.addon.GetMyVersion(), expected);
    QVERIFY(game.dialogs.shown.isEmpty());
    QVERIFY(game.log.messages.isEmpty());
}

void TestAddonFiles::installedVersionWithoutToc()
{
    Game game;
    QCOMPARE(game.addon.GetMyVersion(), std::optional<QString>());
    // The addon folder is made where the game keeps its addons, not beside it in another case.
    QVERIFY(QFileInfo(game.addons() + QStringLiteral("/Rostrel")).isDir());
    QCOMPARE(QDir(game.gameDir() + QStringLiteral("/Interface")).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("AddOns") });
    QVERIFY(game.dialogs.shown.isEmpty());
}

void TestAddonFiles::installedVersionTocIsFolder()
{
    Game game;
    QVERIFY(QDir().mkpath(game.addons() + QStringLiteral("/Rostrel/Rostrel.toc")));
    QCOMPARE(game.addon.GetMyVersion(), std::optional<QString>());
    QVERIFY(game.dialogs.shown.isEmpty());
}

void TestAddonFiles::installedVersionGameFolderWithoutBackslash()
{
    Game game;
    game.registry.setInstallPath(QStringLiteral("C:\\Games\\World of Warcraft"));
    QVERIFY(testing::writeFile(game.addons() + QStringLiteral("/Rostrel/Rostrel.toc"), "## Version: 5.0\r\n"));
    QCOMPARE(game.addon.GetMyVersion(), std::optional<QString>(QStringLiteral("5.0")));
}

void TestAddonFiles::oldAddon_data()
{
    QTest::addColumn<QByteArray>("lua"); // null: no Coffrin.lua
    QTest::addColumn<QStringList>("others"); // other files made in the folder
    QTest::addColumn<bool>("logged");
    QTest::addColumn<QStringList>("left"); // files in the folder afterwards

    const QStringList all { QStringLiteral("Coffrin.lua"), QStringLiteral("Coffrin.toc"),
        QStringLiteral("Coffrin.xml") };
    const QStringList tocXml { QStringLiteral("Coffrin.toc"), QStringLiteral("Coffrin.xml") };
    const QByteArray marked("-- Coffrin\r\n-- by the guild\r\nlocal site = \"Varnhold\"\r\nreturn site\r\n");

    QTest::newRow("no code file") << QByteArray() << tocXml << false << tocXml;
    QTest::newRow("no marker") << QByteArray("local x = 1\r\n") << tocXml << false << all;
    QTest::newRow("lower-case marker") << QByteArray("-- varnhold\r\n") << tocXml << false << all;
    QTest::newRow("marker in third line") << marked << tocXml << true << QStringList();
    QTest::newRow("marker on two lines") << QByteArray("Varnhold\r\nVarnhold\r\n") << tocXml << true << QStringList();
    QTest::newRow("marker after a lone LF") << QByteArray("a\nVarnhold") << tocXml << true << QStringList();
    QTest::newRow("marker far into a big file")
        << (QByteArray(300000, 'x') + QByteArray("\rVarnhold")) << tocXml << true << QStringList();
    QTest::newRow("other files stay") << marked << (tocXml + QStringList { QStringLiteral("Readme.txt") }) << true
                                      << QStringList { QStringLiteral("Readme.txt") };
    QTest::newRow("toc missing: xml stays") << marked << QStringList { QStringLiteral("Coffrin.xml") } << true
                                            << QStringList { QStringLiteral("Coffrin.xml") };
    QTest::newRow("xml missing") << marked << QStringList { QStringLiteral("Coffrin.toc") } << true << QStringList();
}

void TestAddonFiles::oldAddon()
{
    QFETCH(QByteArray, lua);
    QFETCH(QStringList, others);
    QFETCH(bool, logged);
    QFETCH(QStringList, left);

    Game game;
    const QString folder = game.addons() + QStringLiteral("/Coffrin");
    QVERIFY(QDir().mkpath(folder));
    if (!lua.isNull())
        QVERIFY(testing::writeFile(folder + QStringLiteral("/Coffrin.lua"), lua));
    for (const QString& name : std::as_const(others))
        QVERIFY(testing::writeFile(folder + u'/' + name, "x"));

    game.removeOldAddon();

    const QStringList expectedLog
        = logged ? QStringList { QStringLiteral("Old 'Coffrin' addon found.  Removing") } : QStringList();
    QCOMPARE(game.log.messages, expectedLog);
    QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name), left);
    QVERIFY(QFileInfo(folder).isDir()); // the folder itself stays
    QVERIFY(game.dialogs.shown.isEmpty());
}

void TestAddonFiles::oldAddonMissingTocLeavesXmlForGood()
{
    Game game;
    const QString folder = game.addons() + QStringLiteral("/Coffrin");
    QVERIFY(testing::writeFile(folder + QStringLiteral("/Coffrin.lua"), "Varnhold"));
    // A folder where the table of contents belongs cannot be deleted as a file.
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/Coffrin.toc")));
    QVERIFY(testing::writeFile(folder + QStringLiteral("/Coffrin.xml"), "x"));

    game.removeOldAddon();
    game.removeOldAddon();

    QCOMPARE(game.log.messages.size(), 1);
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/Coffrin.lua")));
    QVERIFY(QFileInfo(folder + QStringLiteral("/Coffrin.toc")).isDir());
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/Coffrin.xml")));

    // A code file that is a folder is not an addon to remove.
    Game other;
    const QString otherFolder = other.addons() + QStringLiteral("/Coffrin");
    QVERIFY(QDir().mkpath(otherFolder + QStringLiteral("/Coffrin.lua")));
    QVERIFY(testing::writeFile(otherFolder + QStringLiteral("/Coffrin.xml"), "x"));
    other.removeOldAddon();
    QVERIFY(other.log.messages.isEmpty());
    QVERIFY(QFileInfo::exists(otherFolder + QStringLiteral("/Coffrin.xml")));
}

void TestAddonFiles::fileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain") << QStringLiteral("Rostrel.lua") << true;
    QTest::newRow("spaces") << QStringLiteral(" My Texture.tga") << true;
    QTest::newRow("non-ASCII") << QStringLiteral("R\u00f6strel-\u00e9t\u00e9.lua") << true;
    QTest::newRow("two dots inside") << QStringLiteral("a..b.lua") << true;
    QTest::newRow("percent and hash") << QStringLiteral("100%#1?.lua") << true;
    QTest::newRow("parent") << QStringLiteral("..") << false;
    QTest::newRow("self") << QStringLiteral(".") << false;
    QTest::newRow("three dots") << QStringLiteral("...") << false;
    QTest::newRow("parent and a space") << QStringLiteral(".. ") << false;
    QTest::newRow("trailing dot") << QStringLiteral("Rostrel.lua.") << false;
    QTest::newRow("trailing space") << QStringLiteral("Rostrel.lua ") << false;
    QTest::newRow("parent with backslash") << QStringLiteral("..\\Coffrin\\Coffrin.lua") << false;
    QTest::newRow("parent with slash") << QStringLiteral("../../WTF/Config.wtf") << false;
    QTest::newRow("sub-folder") << QStringLiteral("Art\\Icon.tga") << false;
    QTest::newRow("absolute Unix") << QStringLiteral("/etc/passwd") << false;
    QTest::newRow("absolute Windows") << QStringLiteral("C:\\Windows\\win.ini") << false;
    QTest::newRow("drive-relative") << QStringLiteral("C:evil.lua") << false;
    QTest::newRow("UNC") << QStringLiteral("\\\\server\\share\\x") << false;
    QTest::newRow("stream") << QStringLiteral("Rostrel.lua:hidden") << false;
    QTest::newRow("lone CR") << QStringLiteral("Rostrel.lua\r") << false;
    QTest::newRow("NUL") << QStringLiteral("Rostrel.lua") + QChar(0) + QStringLiteral("x") << false;
    QTest::newRow("device") << QStringLiteral("con.lua") << false;
    QTest::newRow("numbered device") << QStringLiteral("COM1") << false;
    QTest::newRow("console device") << QStringLiteral("CONIN$") << false;
    QTest::newRow("superscript port") << QStringLiteral("com\u00b9.txt") << false;
    QTest::newRow("not a device") << QStringLiteral("Console.lua") << true;
    QTest::newRow("too long") << QString(256, u'a') << false;
    QTest::newRow("longest") << QString(255, u'a') << true;
}

void TestAddonFiles::fileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(isSafeFileName(name), safe);
}

void TestAddonFiles::fileUrls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");

    const QString base = QStringLiteral("http://127.0.0.1:9/files/Rostrel/");
    QTest::newRow("version") << QStringLiteral("RostrelVersion") << base + QStringLiteral("RostrelVersion");
    QTest::newRow("space") << QStringLiteral("My Texture.tga") << base + QStringLiteral("My%20Texture.tga");
    QTest::newRow("non-ASCII") << QStringLiteral("\u00c4rger.lua") << base + QStringLiteral("%C3%84rger.lua");
    QTest::newRow("syntax characters") << QStringLiteral("100%#1?.lua") << base + QStringLiteral("100%25%231%3F.lua");
}

void TestAddonFiles::fileUrls()
{
    QFETCH(QString, name);
    QFETCH(QString, url);
    QCOMPARE(fileUrl(QStringLiteral("http://127.0.0.1:9/files/Rostrel/"), name), url);
}

void TestAddonFiles::hostBase_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("base");

    // A build without a file host of its own has none (the guild site is asked then).
    const QString builtIn = QString::fromUtf8(config::kFileHost).isEmpty()
        ? QString()
        : u"http://"_s + QString::fromUtf8(config::kFileHost) + u"/files/Rostrel/"_s;
    QTest::newRow("none") << QString() << builtIn;
    QTest::newRow("blank") << QStringLiteral("  ") << builtIn;
    QTest::newRow("host") << QStringLiteral("files.example.org")
                          << QStringLiteral("http://files.example.org/files/Rostrel/");
    QTest::newRow("host and port") << QStringLiteral("127.0.0.1:8080")
                                   << QStringLiteral("http://127.0.0.1:8080/files/Rostrel/");
    QTest::newRow("surrounding spaces") << QStringLiteral(" 127.0.0.1:8080 ")
                                        << QStringLiteral("http://127.0.0.1:8080/files/Rostrel/");
    QTest::newRow("https kept") << QStringLiteral("https://files.example.org")
                                << QStringLiteral("https://files.example.org/files/Rostrel/");
    QTest::newRow("HTTPS any case") << QStringLiteral("HTTPS://files.example.org:8443/")
                                    << QStringLiteral("https://files.example.org:8443/files/Rostrel/");
    QTest::newRow("http prefix") << QStringLiteral("http://files.example.org/")
                                 << QStringLiteral("http://files.example.org/files/Rostrel/");
}

void TestAddonFiles::hostBase()
{
    QFETCH(QString, override);
    QFETCH(QString, base);
    QCOMPARE(fileHostBase(override), base);
}

void TestAddonFiles::hostBaseFromEnvironment()
{
    const QByteArray saved = qgetenv("ROSTREL_FILE_HOST");
    const auto restore = qScopeGuard([&] { qputenv("ROSTREL_FILE_HOST", saved); });
    qputenv("ROSTREL_FILE_HOST", "127.0.0.1:4567");
    QCOMPARE(fileHostBaseFromEnvironment(), QStringLiteral("http://127.0.0.1:4567/files/Rostrel/"));
    qunsetenv("ROSTREL_FILE_HOST");
    QCOMPARE(fileHostBaseFromEnvironment(), fileHostBase(QString()));
}

QTEST_GUILESS_MAIN(TestAddonFiles)
#include "test_addon_files.moc"
