// The start-up entries: the XDG autostart file and the Run value (over the Wine registry).

#include "core/autostart.h"
#include "core/registry.h"
#include "platform/backends.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;

namespace {

const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

QByteArray systemReg(bool withRunKey)
{
    QByteArray text = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    if (withRunKey)
        text += "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run] 1700000000\n#time=1da0b1c2d3e4f50\n\n";
    text += "[Software\\\\Wine] 1700000000\n\"Version\"=\"win10\"\n";
    return text;
}

} // namespace

class TestAutostart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void xdgEntryContent()
    {
        QTemporaryDir config;
        const auto autostart
            = makeXdgAutostart(config.path().toStdString(), "/opt/rostrel/RostrelUploader", "/home/me/rostrel");
        QVERIFY(!autostart->isInStartup());
        QCOMPARE(autostart->enable().error(), QString());
        QCOMPARE(testing::readFile(config.filePath(QStringLiteral("autostart/RostrelUploader.desktop"))),
            QByteArray("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Rostrel Uploader\n"
                       "Comment=Uploads Rostrel character profiles to a guild website\n"
                       "Exec=\"/opt/rostrel/RostrelUploader\"\n"
                       "Path=/home/me/rostrel\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n"));
        QVERIFY(autostart->isInStartup());
    }

    // Awkward characters in the program's path and the settings folder survive the desktop
    // file's quoting and escapes.
    void xdgOddPaths_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("workingDir");
        QTest::addColumn<QByteArray>("execLine");
        QTest::addColumn<QByteArray>("pathLine");
        QTest::newRow("spaces") << QStringLiteral("/home/me/My Apps/RostrelUploader")
                                << QStringLiteral("/home/me/My Apps")
                                << QByteArray("Exec=\"/home/me/My Apps/RostrelUploader\"")
                                << QByteArray("Path=/home/me/My Apps");
        QTest::newRow("shell characters")
            << QStringLiteral("/opt/a\"b$c`d/Rostrel") << QStringLiteral("/tmp/x")
            << QByteArray("Exec=\"/opt/a\\\\\"b\\\\$c\\\\`d/Rostrel\"") << QByteArray("Path=/tmp/x");
        QTest::newRow("backslash and percent")
            << QStringLiteral("/opt/a\\b%u/Rostrel") << QStringLiteral("/srv/a\\b")
            << QByteArray("Exec=\"/opt/a\\\\\\\\b%%u/Rostrel\"") << QByteArray("Path=/srv/a\\\\b");
        QTest::newRow("line break and leading space")
            << QStringLiteral("/opt/x\ny/Rostrel") << QStringLiteral(" lead\ttab")
            << QByteArray("Exec=\"/opt/x\\ny/Rostrel\"") << QByteArray("Path=\\slead\\ttab");
        QTest::newRow("non-ASCII") << QStringLiteral("/home/tövrin/Rostrel") << QStringLiteral("/home/tövrin")
                                   << QByteArray("Exec=\"/home/t\xc3\xb6vrin/Rostrel\"")
                                   << QByteArray("Path=/home/t\xc3\xb6vrin");
    }

    void xdgOddPaths()
    {
        QFETCH(QString, program);
        QFETCH(QString, workingDir);
        QFETCH(QByteArray, execLine);
        QFETCH(QByteArray, pathLine);
        QTemporaryDir config;
        const auto autostart
            = makeXdgAutostart(config.path().toStdString(), program.toStdString(), workingDir.toStdString());
        QCOMPARE(autostart->enable().error(), QString());
        const QList<QByteArray> lines
            = testing::readFile(config.filePath(QStringLiteral("autostart/RostrelUploader.desktop"))).split('\n');
        QVERIFY2(lines.contains(execLine), lines.join('|').constData());
        QVERIFY2(lines.contains(pathLine), lines.join('|').constData());
        QVERIFY(autostart->isInStartup());
        // A program elsewhere does not count the entry as its own.
        QVERIFY(!makeXdgAutostart(config.path().toStdString(), program.toStdString() + "2", "")->isInStartup());
    }

    // Entries written by hand or by an older version. This run's settings folder is /srv/r.
    void xdgExistingEntries_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("inStartup");
        const auto row = [](const char* name, const char* content, bool inStartup) {
            QTest::newRow(name) << QByteArray(content) << inStartup;
        };
        row("unquoted Exec with arguments",
            "[Desktop Entry]\nType=Application\nExec=/opt/rostrel/RostrelUploader --tray\nPath=/srv/r\n", true);
        row("another program", "[Desktop Entry]\nExec=/opt/other/RostrelUploader\nPath=/srv/r\n", false);
        row("same folder in other case", "[Desktop Entry]\nExec=/opt/Rostrel/RostrelUploader\nPath=/srv/r\n", false);
        row("hidden", "[Desktop Entry]\nExec=/opt/rostrel/RostrelUploader\nPath=/srv/r\nHidden=true\n", false);
        row("switched off in GNOME",
            "[Desktop Entry]\nExec=/opt/rostrel/RostrelUploader\nPath=/srv/r\nX-GNOME-Autostart-enabled=false\n",
            false);
        row("Exec of another group",
            "[Desktop Entry]\nPath=/srv/r\n[Desktop Action x]\nExec=/opt/rostrel/RostrelUploader\n", false);
        row("no Exec", "[Desktop Entry]\nType=Application\n", false);
        row("empty file", "", false);
        // The log-in start reads the settings of the folder in Path=: another folder's entry is not ours.
        row("another settings folder", "[Desktop Entry]\nExec=/opt/rostrel/RostrelUploader\nPath=/srv/other\n", false);
        row("settings folder in other case", "[Desktop Entry]\nExec=/opt/rostrel/RostrelUploader\nPath=/srv/R\n",
            false);
        row("no Path", "[Desktop Entry]\nExec=/opt/rostrel/RostrelUploader\n", false);
        row("Path with a trailing slash", "[Desktop Entry]\nPath=/srv/r/\nExec=\"/opt/rostrel/RostrelUploader\"\n",
            true);
        row("Path of another group",
            "[Desktop Entry]\nExec=/opt/rostrel/RostrelUploader\n[Desktop Action x]\nPath=/srv/r\n", false);
    }

    void xdgExistingEntries()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, inStartup);
        QTemporaryDir config;
        QVERIFY(testing::writeFile(config.filePath(QStringLiteral("autostart/RostrelUploader.desktop")), content));
        QCOMPARE(makeXdgAutostart(config.path().toStdString(), "/opt/rostrel/RostrelUploader", "/srv/r")->isInStartup(),
            inStartup);
    }

    void xdgDisable()
    {
        QTemporaryDir config;
        const QString file = config.filePath(QStringLiteral("autostart/RostrelUploader.desktop"));
        const auto autostart = makeXdgAutostart(config.path().toStdString(), "/opt/rostrel/RostrelUploader", "/");
        QCOMPARE(autostart->disable().error(), QString()); // nothing there yet
        QCOMPARE(autostart->enable().error(), QString());
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(autostart->disable().error(), QString());
        QVERIFY(!QFileInfo::exists(file));
        QVERIFY(!autostart->isInStartup());
    }

    // An entry that cannot be written says why and leaves nothing that would read as ticked.
    void xdgWriteFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("config folder is a file") << QStringLiteral("config file");
        QTest::newRow("autostart folder is a file") << QStringLiteral("autostart file");
        QTest::newRow("entry is a folder") << QStringLiteral("entry folder");
    }

    void xdgWriteFailures()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString config = dir.filePath(QStringLiteral("config"));
        if (kind == QStringLiteral("config file"))
            QVERIFY(testing::writeFile(config, "x"));
        else if (kind == QStringLiteral("autostart file"))
            QVERIFY(testing::writeFile(config + QStringLiteral("/autostart"), "x"));
        else
            QVERIFY(QDir().mkpath(config + QStringLiteral("/autostart/RostrelUploader.desktop")));
        const auto autostart = makeXdgAutostart(config.toStdString(), "/opt/rostrel/RostrelUploader", "/");
        const QString reason = autostart->enable().error();
        QVERIFY(!reason.isEmpty());
        QVERIFY2(reason.contains(QStringLiteral("autostart")), qPrintable(reason));
        QVERIFY(!autostart->isInStartup());
    }

    void runKeyRoundTrip()
    {
        QTemporaryDir dir;
        const QString reg = dir.filePath(QStringLiteral("system.reg"));
        QVERIFY(testing::writeFile(reg, systemReg(true)));
        const auto registry = registry::makeWineRegistry(reg.toStdString());
        const auto autostart = makeRunKeyAutostart(*registry, "C:\\Tools");
        QVERIFY(!autostart->isInStartup());
        QCOMPARE(autostart->enable().error(), QString());
        QVERIFY(testing::readFile(reg).contains(
            "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run] 1700000000\n#time=1da0b1c2d3e4f50\n"
            "\"RostrelUploader\"=\"\\\"C:\\\\Tools\\\\RostrelUploader.exe\\\"\"\n"));
        QVERIFY(autostart->isInStartup());

        // The stored length counts the terminating NUL.
        const auto calls = registry::makeWineRegistryCalls(reg.toStdString());
        registry::KeyHandle key = 0;
        QCOMPARE(calls->openKey(registry::kLocalMachine, kRunKey, registry::kKeyQueryValue, key), registry::kSuccess);
        unsigned long type = 0;
        std::string data;
        QCOMPARE(calls->queryValue(key, "RostrelUploader", type, data), registry::kSuccess);
        QCOMPARE(type, registry::kRegSz);
        QCOMPARE(data.size(), std::string("\"C:\\Tools\\RostrelUploader.exe\"").size() + 1);
        calls->closeKey(key);

        QCOMPARE(autostart->disable().error(), QString());
        QVERIFY(!autostart->isInStartup());
        QCOMPARE(testing::readFile(reg), systemReg(true));
        QCOMPARE(autostart->disable().error(), QString());
    }

    void runKeyNamesThisFolder_data()
    {
        QTest::addColumn<QString>("writtenBy");
        QTest::addColumn<QString>("readBy");
        QTest::addColumn<bool>("inStartup");
        QTest::newRow("same folder") << QStringLiteral("C:\\Tools") << QStringLiteral("C:\\Tools") << true;
        QTest::newRow("program moved") << QStringLiteral("C:\\Tools") << QStringLiteral("D:\\Apps") << false;
        QTest::newRow("folder in other case") << QStringLiteral("C:\\Tools") << QStringLiteral("c:\\tools") << false;
        QTest::newRow("drive root, one separator") << QStringLiteral("C:\\") << QStringLiteral("C:") << true;
    }

    void runKeyNamesThisFolder()
    {
        QFETCH(QString, writtenBy);
        QFETCH(QString, readBy);
        QFETCH(bool, inStartup);
        QTemporaryDir dir;
        const QString reg = dir.filePath(QStringLiteral("system.reg"));
        QVERIFY(testing::writeFile(reg, systemReg(true)));
        const auto registry = registry::makeWineRegistry(reg.toStdString());
        QCOMPARE(makeRunKeyAutostart(*registry, writtenBy.toStdString())->enable().error(), QString());
        QCOMPARE(makeRunKeyAutostart(*registry, readBy.toStdString())->isInStartup(), inStartup);
    }

    void runKeyStoredData()
    {
        QTemporaryDir dir;
        const QString reg = dir.filePath(QStringLiteral("system.reg"));
        QVERIFY(testing::writeFile(reg, systemReg(true)));
        const auto registry = registry::makeWineRegistry(reg.toStdString());
        QCOMPARE(makeRunKeyAutostart(*registry, "C:\\")->enable().error(), QString());
        const registry::Value value = registry->ReadRegValue(registry::kLocalMachine, kRunKey, "RostrelUploader");
        QCOMPARE(std::get<std::string>(value), std::string("\"C:\\RostrelUploader.exe\""));
    }

    void runKeyMissing()
    {
        QTemporaryDir dir;
        const QString reg = dir.filePath(QStringLiteral("system.reg"));
        QVERIFY(testing::writeFile(reg, systemReg(false)));
        const auto registry = registry::makeWineRegistry(reg.toStdString());
        const auto autostart = makeRunKeyAutostart(*registry, "C:\\Tools");
        const QString reason = autostart->enable().error();
        QVERIFY(!reason.isEmpty());
        QVERIFY(!autostart->isInStartup());
        QCOMPARE(testing::readFile(reg), systemReg(false));
        QCOMPARE(autostart->disable().error(), QString());
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "test_autostart.moc"
