#include "catalogue/characterlist.h"
#include "catalogue/gamefolders.h"
#include "catalogue/profiles.h"
#include "core/textlines.h"
#include "fakes.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;

namespace { } // namespace

class TestProfiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsLinesAsBytes_data()
    {
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<QByteArray>("read");
        QTest::newRow("empty file") << QByteArray("") << QByteArray("");
        QTest::newRow("one line, no line end") << QByteArray("abc") << QByteArray("abc\r\n");
        QTest::newRow("one line with CR LF") << QByteArray("abc\r\n") << QByteArray("abc\r\n");
        QTest::newRow("CR line ends") << QByteArray("a\rb\r") << QByteArray("a\r\nb\r\n");
        QTest::newRow("LF alone stays") << QByteArray("a\nb\n") << QByteArray("a\nb\n\r\n");
        QTest::newRow("empty lines kept") << QByteArray("\r\n\r\nx") << QByteArray("\r\n\r\nx\r\n");
        QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QByteArray("a\r\n\r\nb\r\n");
        QTest::newRow("LF after CR LF") << QByteArray("a\r\n\nb") << QByteArray("a\r\n\nb\r\n");
        QTest::newRow("non-ASCII bytes untouched") << QByteArray("[\"\xc3\x84rger\"] = \"\xe9\xff\x80\"\n")
                                                   << QByteArray("[\"\xc3\x84rger\"] = \"\xe9\xff\x80\"\n\r\n");
        QTest::newRow("NUL bytes untouched") << QByteArray("a\0b\r\nc", 6) << QByteArray("a\0b\r\nc\r\n", 8);
    }
    void readsLinesAsBytes()
    {
        QFETCH(QByteArray, onDisk);
        QFETCH(QByteArray, read);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Rostrel.lua"));
        QVERIFY(writeFile(path, onDisk));
        FakeLog log;
        QCOMPARE(GetFile(QStringLiteral("C:\\x\\Rostrel.lua"), path, log), read);
        QVERIFY(log.messages.isEmpty());
    }

    // The copy-free path for files already in CR LF must agree with the line rule on any bytes.
    void lineRuleAgreesOnRandomBytes()
    {
        const char alphabet[] = { 'a', '\r', '\n', '\r', '\n', 'x' };
        quint32 seed = 12345;
        for (int round = 0; round < 3000; ++round) {
            QByteArray bytes;
            const int size = round % 12;
            for (int i = 0; i < size; ++i) {
                seed = seed * 1103515245u + 12345u;
                bytes += alphabet[(seed >> 16) % sizeof(alphabet)];
            }
            QByteArray expected;
            for (const QByteArray& line : splitLines(bytes))
                expected += line + "\r\n";
            QCOMPARE(endLinesWithCrLf(bytes), expected);
        }
    }

    void unreadableFileIsLogged_data()
    {
        QTest::addColumn<QString>("make"); // what stands where the file should be
        QTest::newRow("missing") << QString();
        QTest::newRow("a folder") << QStringLiteral("folder");
        QTest::newRow("below a file") << QStringLiteral("below-file");
    }
    void unreadableFileIsLogged()
    {
        QFETCH(QString, make);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("Rostrel.lua"));
        if (make == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Rostrel.lua")));
        } else if (make == QLatin1String("below-file")) {
            QVERIFY(writeFile(dir.filePath(QStringLiteral("plain")), "x"));
            path = dir.filePath(QStringLiteral("plain/Rostrel.lua"));
        }
        FakeLog log;
        const QString shown = QStringLiteral("C:\\WoW\\WTF\\Account\\K\\SavedVariables\\Rostrel.lua");
        QCOMPARE(GetFile(shown, path, log), QByteArray());
        QCOMPARE(log.messages.size(), 1);
        const QString line = log.messages.first();
        const QString prefix = QStringLiteral("Error accessing file: ") + shown + QStringLiteral(" (");
        QVERIFY2(line.startsWith(prefix), qPrintable(line));
        QVERIFY(line.endsWith(QLatin1Char(')')));
        QVERIFY2(line.size() > prefix.size() + 1, "the reason is given");
    }

    void loadDataFromHardDrive()
    {
        QTemporaryDir dir;
        FakeRegistry registry;
        registry.setInstallPath(QStringLiteral("C:\\Games\\WoW"));
        FakePathLayer paths(dir.path());
        FakeDialogs dialogs;
        FakeExit exit;
        FakeLog log;
        GameFolders folders(registry, paths, dialogs, exit, log);
        CharacterList list;
        list.append({ {}, QStringLiteral("KESTREL77\\Mossgate\\Tovrin") }); // 0, file on disk in another case
        list.append({ {}, QStringLiteral("KESTREL77") }); // 1, unchecked
        list.append({ {}, QStringLiteral("GONE") }); // 2, no file
        list.setChecked(1, false);
        QVERIFY(writeFile(dir.filePath(QStringLiteral("Games/WoW/WTF/Account/KESTREL77/Mossgate/Tovrin/SavedVariables/"
                                                      "ROSTREL.LUA")),
            "Rostrel = {\n}\n"));
        QVERIFY(
            writeFile(dir.filePath(QStringLiteral("Games/WoW/WTF/Account/KESTREL77/SavedVariables/Rostrel.lua")), "x"));
        ProfileReader reader(folders, list, log);

        QCOMPARE(reader.profilePath(0),
            QStringLiteral("C:\\Games\\WoW\\WTF\\Account\\KESTREL77\\Mossgate\\Tovrin\\SavedVariables\\Rostrel.lua"));
        QCOMPARE(reader.LoadDataFromHardDrive(0), QByteArray("Rostrel = {\n}\n\r\n"));

        // Unchecked or outside the list: nothing, and nothing said.
        for (int index : { 1, -1, 3, 100 })
            QCOMPARE(reader.LoadDataFromHardDrive(index), QByteArray());
        QVERIFY(log.messages.isEmpty());
        list.setChecked(1, true);
        QCOMPARE(reader.LoadDataFromHardDrive(1), QByteArray("x\r\n"));

        // A vanished profile: empty, and the log names the game path.
        QCOMPARE(reader.LoadDataFromHardDrive(2), QByteArray());
        QCOMPARE(log.messages.size(), 1);
        QVERIFY(log.messages.first().startsWith(
            QStringLiteral("Error accessing file: C:\\Games\\WoW\\WTF\\Account\\GONE\\SavedVariables\\Rostrel.lua (")));
    }
};

QTEST_GUILESS_MAIN(TestProfiles)
#include "test_profiles.moc"
