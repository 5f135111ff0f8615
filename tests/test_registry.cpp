// The Wine registry backend reading system.reg as wineserver writes it, the routines built on the
// raw calls, and files that are broken, cut short, mangled, missing or large.

#include "support/wineregistry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::registry;

class TestRegistry : public QObject, protected WineRegistryFolder
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void read_data();
    void read();
    void readWithCrLfLines();
    void readOtherHive();
    void readKeyValueStatus_data();
    void readKeyValueStatus();

    // Whatever the file is, a read gives the value or nothing, never a piece of it.
    void brokenFiles_data();
    void brokenFiles();
    void truncatedAnywhere();
    void mangledBytesNeverCrash();
    void missingOrUnreadableFile_data();
    void missingOrUnreadableFile();

    // A real prefix's system.reg runs to a few megabytes and is read on every rescan.
    void largeFileIsQuick();
    // The text is kept between reads, yet a change on disk is seen at the next read, even one
    // that leaves the size and modification time as they were.
    void changeOnDiskIsSeen_data();
    void changeOnDiskIsSeen();
};

void TestRegistry::init()
{
    freshFolder();
}

void TestRegistry::read_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("expected");

    const QByteArray game = QByteArray::fromStdString(kGameKey);
    auto text = [](const char* s) { return QStringLiteral("text \"%1\"").arg(QString::fromUtf8(s)); };
    const QString nothing = QStringLiteral("nothing");

    QTest::newRow("32-bit view first") << game << QByteArray("InstallPath")
                                       << text("C:\\Program Files (x86)\\World of Warcraft\\");
    QTest::newRow("key and name in any case")
        << QByteArray("SOFTWARE\\blizzard entertainment\\WORLD of warcraft") << QByteArray("installPATH")
        << text("C:\\Program Files (x86)\\World of Warcraft\\");
    QTest::newRow("32-bit view named outright")
        << QByteArray("Software\\Wow6432Node\\Blizzard Entertainment\\World of Warcraft") << QByteArray("InstallPath")
        << text("C:\\Program Files (x86)\\World of Warcraft\\");
    QTest::newRow("64-bit view when no 32-bit copy")
        << QByteArray("Software\\OnlyNative") << QByteArray("Value") << text("native");
    QTest::newRow("outside Software not redirected")
        << QByteArray("System\\CurrentControlSet\\Control") << QByteArray("Plain") << text("not redirected");
    QTest::newRow("doubled and outer separators")
        << QByteArray("\\Software\\\\OnlyNative\\") << QByteArray("Value") << text("native");
    QTest::newRow("dword") << game << QByteArray("Build") << QStringLiteral("number 48879");
    QTest::newRow("default value") << game << QByteArray("") << text("default");
    QTest::newRow("empty string") << game << QByteArray("Empty") << text("");
    QTest::newRow("C escapes") << game << QByteArray("Escapes") << text("tab\there\nquote\"back\\slash\a\x1b");
    QTest::newRow("latin-1 hex escape") << game << QByteArray("Accent") << text("Caf\xc3\xa9");
    QTest::newRow("four-digit hex escape before a hex digit") << game << QByteArray("AccentHex")
                                                              << text("\xc3\xa9"
                                                                      "1");
    QTest::newRow("euro sign") << game << QByteArray("Euro") << text("\xe2\x82\xac");
    QTest::newRow("surrogate pair") << game << QByteArray("Emoji") << text("\xf0\x9f\x98\x80");
    QTest::newRow("lone surrogate") << game << QByteArray("LoneSurrogate") << text("\xef\xbf\xbdx");
    QTest::newRow("short hex escape") << game << QByteArray("HexShort") << text("Az");
    QTest::newRow("octal escapes, NUL kept by count")
        << game << QByteArray("Octal") << QStringLiteral("text \"AB%1\"").arg(QChar(0));
    QTest::newRow("string stored as hex(1)") << game << QByteArray("SzAsHex") << text("ab");
    QTest::newRow("hex(1) without NUL keeps its last character") << game << QByteArray("Unterminated") << text("abc");
    QTest::newRow("value after a multi-line value")
        << game << QByteArray("ZLast") << text("after the multi-line value");
    QTest::newRow("escaped bracket in key, quote in name")
        << QByteArray("Software\\Odd\\A]B") << QByteArray("Na\"me") << text("bracket");
    QTest::newRow("non-ASCII key in other case")
        << QByteArray("software\\\xc3\xa9T\xc3\x89") << QByteArray("summer") << text("yes");
    QTest::newRow("REG_EXPAND_SZ unsupported") << game << QByteArray("Expand") << nothing;
    QTest::newRow("REG_BINARY unsupported") << game << QByteArray("Binary") << nothing;
    QTest::newRow("REG_MULTI_SZ unsupported") << game << QByteArray("Multi") << nothing;
    QTest::newRow("unterminated string") << game << QByteArray("Broken") << nothing;
    QTest::newRow("missing value") << game << QByteArray("Nope") << nothing;
    QTest::newRow("value of another key") << QByteArray::fromStdString(kRunKey) << QByteArray("InstallPath") << nothing;
    QTest::newRow("missing key") << QByteArray("Software\\Nobody") << QByteArray("InstallPath") << nothing;
    QTest::newRow("key only as a parent")
        << QByteArray("Software\\Blizzard Entertainment") << QByteArray("InstallPath") << nothing;
    QTest::newRow("prefix of a key name is not the key")
        << QByteArray("Software\\Only") << QByteArray("Value") << nothing;
}

void TestRegistry::read()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, name);
    QFETCH(QString, expected);
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, key.toStdString(), name.toStdString())), expected);
}

void TestRegistry::readWithCrLfLines()
{
    QByteArray crlf = kSample;
    crlf.replace("\n", "\r\n");
    const auto registry = registryFor(crlf);
    QVERIFY(registry);
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath")),
        QStringLiteral("text \"C:\\Program Files (x86)\\World of Warcraft\\\""));
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "Build")), QStringLiteral("number 48879"));
}

void TestRegistry::readOtherHive()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(describe(registry->ReadRegValue(0x80000001u, kGameKey, "InstallPath")), QStringLiteral("nothing"));
}

void TestRegistry::readKeyValueStatus_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("filled");
    QTest::newRow("REG_SZ") << QByteArray("InstallPath") << 0 << true;
    QTest::newRow("REG_DWORD") << QByteArray("Build") << 0 << true;
    QTest::newRow("REG_EXPAND_SZ") << QByteArray("Expand") << -1 << false;
    QTest::newRow("REG_BINARY") << QByteArray("Binary") << -1 << false;
    QTest::newRow("REG_MULTI_SZ") << QByteArray("Multi") << -1 << false;
    QTest::newRow("missing") << QByteArray("Nope") << int(kFileNotFound) << false;
    QTest::newRow("malformed") << QByteArray("Broken") << int(kInvalidData) << false;
}

void TestRegistry::readKeyValueStatus()
{
    QFETCH(QByteArray, name);
    QFETCH(int, status);
    QFETCH(bool, filled);
    QVERIFY(writeAll(m_reg, kSample));
    const auto calls = makeWineRegistryCalls(m_reg.toStdString());
    KeyHandle key = 0;
    QCOMPARE(calls->openKey(kLocalMachine, kGameKey, kKeyQueryValue, key), kSuccess);
    Value value;
    QCOMPARE(ReadKeyValue(*calls, key, name.toStdString(), value), long(status));
    QCOMPARE(!std::holds_alternative<std::monostate>(value), filled);
    QCOMPARE(calls->closeKey(key), kSuccess);
    QCOMPARE(calls->closeKey(key), kInvalidHandle);
}

void TestRegistry::brokenFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no header line") << QByteArray("\"InstallPath\"=\"C:\\\\\"\n");
    QTest::newRow("header never closed") << QByteArray("[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World "
                                                       "of Warcraft\n\"InstallPath\"=\"C:\\\\\"\n");
    QTest::newRow("binary junk") << QByteArray("\x00\xff[\\\x01\"=\\x", 10);
    QTest::newRow("escape at end of file") << QByteArray("[Software\\\\Blizzard Entertainment\\\\World of "
                                                         "Warcraft]\n\"InstallPath\"=\"C:\\");
    QTest::newRow("hex continued past the end") << QByteArray("[Software\\\\Blizzard Entertainment\\\\World of "
                                                              "Warcraft]\n\"InstallPath\"=hex(1):41,00,\\");
}

void TestRegistry::brokenFiles()
{
    QFETCH(QByteArray, content);
    const auto registry = registryFor(content);
    QVERIFY(registry);
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath")), QStringLiteral("nothing"));
}

void TestRegistry::truncatedAnywhere()
{
    const QString full = QStringLiteral("text \"C:\\Program Files (x86)\\World of Warcraft\\\"");
    for (qsizetype length = 0; length <= kSample.size(); ++length) {
        const auto registry = registryFor(kSample.left(length));
        QVERIFY(registry);
        const QString got = describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath"));
        // Cut inside the 32-bit key the 64-bit copy may show through; never a partial text.
        if (got != full && got != QStringLiteral("nothing") && got != QStringLiteral("text \"C:\\Stale\\\""))
            QFAIL(qPrintable(QStringLiteral("cut at %1 gave %2").arg(length).arg(got)));
    }
}

void TestRegistry::mangledBytesNeverCrash()
{
    QRandomGenerator random(20240611);
    for (int round = 0; round < 300; ++round) {
        QByteArray mangled = kSample;
        for (int n = 0; n < 8; ++n)
            mangled[random.bounded(int(mangled.size()))] = char(random.bounded(256));
        const auto registry = registryFor(mangled);
        QVERIFY(registry);
        registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath");
        registry->ReadRegValue(kLocalMachine, kGameKey, "Multi");
    }
}

void TestRegistry::missingOrUnreadableFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("a folder where the file should be") << QStringLiteral("folder");
    QTest::newRow("parent is a regular file") << QStringLiteral("file parent");
}

void TestRegistry::missingOrUnreadableFile()
{
    QFETCH(QString, kind);
    QString path = m_dir->filePath(QStringLiteral("nothing-here/system.reg"));
    if (kind == QStringLiteral("folder")) {
        path = m_dir->filePath(QStringLiteral("folder/system.reg"));
        QVERIFY(QDir().mkpath(path));
    } else if (kind == QStringLiteral("file parent")) {
        QVERIFY(writeAll(m_dir->filePath(QStringLiteral("plain")), "x"));
        path = m_dir->filePath(QStringLiteral("plain/system.reg"));
    }
    const auto registry = makeWineRegistry(path.toStdString());
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath")), QStringLiteral("nothing"));
    QVERIFY(registry->SaveRegString(kLocalMachine, kGameKey, "InstallPath", "C:\\") != kSuccess);
    QVERIFY(registry->RemoveRegValue(kLocalMachine, kGameKey, "InstallPath") != kSuccess);
    QCOMPARE(QFileInfo(path).isFile(), false);
}

void TestRegistry::largeFileIsQuick()
{
    QByteArray content = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n";
    content.reserve(3 * 1024 * 1024);
    for (int i = 0; content.size() < 3 * 1024 * 1024; ++i) {
        content += "[Software\\\\Classes\\\\CLSID\\\\{" + QByteArray::number(i)
            + "-0000-0000}\\\\InProcServer32] "
              "1700000000\n#time=1da0b1c2d3e4f50\n@=\"C:\\\\windows\\\\system32\\\\thing"
            + QByteArray::number(i) + ".dll\"\n\"ThreadingModel\"=\"Both\"\n\n";
    }
    content += "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1700000000\n"
               "\"InstallPath\"=\"C:\\\\WoW\\\\\"\n";
    const auto registry = registryFor(content);
    QVERIFY(registry);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 10; ++i)
        QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath")),
            QStringLiteral("text \"C:\\WoW\\\""));
    qInfo("10 reads of a %lld-byte file: %lld ms", qlonglong(content.size()), qlonglong(timer.elapsed()));
    // Only a parse far from linear fails this on a loaded machine; the bench measures the cost.
    QVERIFY2(timer.elapsed() < 30000, "reading a large system.reg is too slow");
}

void TestRegistry::changeOnDiskIsSeen_data()
{
    QTest::addColumn<bool>("renamedOver");
    QTest::addColumn<long long>("settleNs");
    // Within the same clock step in place, only the time since the change tells.
    QTest::newRow("written in place, same size and times") << false << kWineRegistrySettleNs;
    QTest::newRow("renamed over, same size and times") << true << 0LL;
}

void TestRegistry::changeOnDiskIsSeen()
{
    QFETCH(bool, renamedOver);
    QFETCH(long long, settleNs);
    QByteArray before = kSample;
    QByteArray after = kSample;
    after.replace("(x86)\\\\World of Warcraft", "(x86)\\\\World of Warcraxx");
    QVERIFY(after != before && after.size() == before.size());
    const QString next = m_reg + QStringLiteral(".new");
    QVERIFY(writeAll(m_reg, before) && writeAll(next, after));
    const timespec times[2] = { { 1700000000, 123456789 }, { 1700000000, 123456789 } };
    QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(next).constData(), times, 0), 0);
    QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(m_reg).constData(), times, 0), 0);

    const auto registry = makeRegistry(makeWineRegistryCalls(m_reg.toStdString(), settleNs));
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath")),
        QStringLiteral("text \"C:\\Program Files (x86)\\World of Warcraft\\\""));
    if (renamedOver) {
        QCOMPARE(std::rename(QFile::encodeName(next).constData(), QFile::encodeName(m_reg).constData()), 0);
    } else {
        QVERIFY(writeAll(m_reg, after));
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(m_reg).constData(), times, 0), 0);
    }
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, "InstallPath")),
        QStringLiteral("text \"C:\\Program Files (x86)\\World of Warcraxx\\\""));
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "test_registry.moc"
