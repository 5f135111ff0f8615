// The Wine registry backend: reading system.reg as wineserver writes it, the routines built on
// the raw calls, and writes that leave every other byte of the file alone.

#include "core/registry.h"
#include "platform/backends.h"
#include "testdata.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::registry;

class TestRegistry : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test
    QString m_reg;

    // The Wine registry over a system.reg holding the content; null when the file cannot be written.
    std::unique_ptr<Registry> registryFor(const QByteArray& content);

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

    // The line a text is written as, and that it reads back unchanged.
    void writeEscapes_data();
    void writeEscapes();
    void replaceKeepsEverythingElse();
    void replaceMultiLineValue();
    void newValueGoesAtTheEndOfItsSection();
    void lastSectionWithoutFinalNewline();
    void newValueAfterContinuedHex_data();
    void newValueAfterContinuedHex();
    void valueAfterContinuedHexAtTheEnd();
    void keyIsNeverCreated();

    // A key Wine keeps only as the parent of others exists all the same; its first value gives it
    // a section of its own.
    void valueIntoParentOnlyKey();
    void remove_data();
    void remove();
    void removeNameWrittenTwice();
    void readOnlyKeyRefusesWrites();
    void writeKeyValueTypes();
    void failedWriteLeavesFileAlone();
    void writeKeepsPermissionsAndLinks();

    // A real prefix's system.reg runs to a few megabytes and is read on every rescan.
    void largeFileIsQuick();
};

namespace {

const std::string kGameKey = "Software\\Blizzard Entertainment\\World of Warcraft";
const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// A prefix's system.reg in miniature: a 64-bit prefix with the game in the 32-bit view, and a
// stale copy of the key in the 64-bit view that must not be read.
const QByteArray kSample = readFile(testDataPath(QStringLiteral("registry/sample.reg")));

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

[[nodiscard]] bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString describe(const Value& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return QStringLiteral("text \"%1\"").arg(QString::fromStdString(*text));
    if (const auto* number = std::get_if<std::uint32_t>(&value))
        return QStringLiteral("number %1").arg(*number);
    return QStringLiteral("nothing");
}

} // namespace

std::unique_ptr<Registry> TestRegistry::registryFor(const QByteArray& content)
{
    if (!writeAll(m_reg, content))
        return nullptr;
    return makeWineRegistry(m_reg.toStdString());
}

void TestRegistry::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY2(!kSample.isEmpty(), "tests/data/registry/sample.reg");
    m_reg = m_dir->filePath(QStringLiteral("system.reg"));
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

void TestRegistry::writeEscapes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("plain") << QByteArray("C:\\Tools") << QByteArray(R"("New"="C:\\Tools")");
    QTest::newRow("quotes") << QByteArray("\"C:\\Tools\\RostrelUploader.exe\"")
                            << QByteArray(R"("New"="\"C:\\Tools\\RostrelUploader.exe\"")");
    QTest::newRow("empty") << QByteArray("") << QByteArray(R"("New"="")");
    QTest::newRow("controls") << QByteArray("a\nb\tc\rd\x1b") << QByteArray(R"("New"="a\nb\tc\rd\e")");
    QTest::newRow("octal before a digit") << QByteArray("\x01"
                                                        "7")
                                          << QByteArray(R"("New"="\0017")");
    QTest::newRow("octal before a letter") << QByteArray("\x01x") << QByteArray(R"("New"="\1x")");
    QTest::newRow("non-ASCII before a hex digit") << QByteArray("\xc3\xa9"
                                                                "a")
                                                  << QByteArray(R"("New"="\x00e9a")");
    QTest::newRow("non-ASCII before another letter") << QByteArray("\xc3\xa9z") << QByteArray(R"("New"="\xe9z")");
    QTest::newRow("outside the BMP") << QByteArray("\xf0\x9f\x98\x80") << QByteArray(R"("New"="\xd83d\xde00")");
}

void TestRegistry::writeEscapes()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, line);
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "Software\\OnlyNative", "New", text.toStdString()), kSuccess);
    const QByteArray after = readAll(m_reg);
    QVERIFY2(after.contains(QByteArray("\"Value\"=\"native\"\n" + line + "\n")), after.constData());
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, "Software\\OnlyNative", "New")),
        describe(Value(text.toStdString())));
    // Nothing else moved.
    QByteArray restored = after;
    restored.replace(QByteArray(line + "\n"), QByteArray());
    QCOMPARE(restored, kSample);
}

void TestRegistry::replaceKeepsEverythingElse()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, kGameKey, "installpath", "D:\\WoW\\"), kSuccess);
    QByteArray expected = kSample;
    // The name keeps its spelling in the file.
    expected.replace(R"("InstallPath"="C:\\Program Files (x86)\\World of Warcraft\\")", R"("InstallPath"="D:\\WoW\\")");
    QCOMPARE(readAll(m_reg), expected);
}

void TestRegistry::replaceMultiLineValue()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, kGameKey, "Multi", "one line"), kSuccess);
    QByteArray expected = kSample;
    expected.replace("\"Multi\"=hex(7):61,00,62,00,00,00,\\\n  00,00\n", "\"Multi\"=\"one line\"\n");
    QCOMPARE(readAll(m_reg), expected);
}

void TestRegistry::newValueGoesAtTheEndOfItsSection()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, kRunKey, "RostrelUploader", "x"), kSuccess);
    QByteArray expected = kSample;
    expected.replace("[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run] 1700000000\n#time=1da0b1c2d3e4f50\n",
        "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run] 1700000000\n#time=1da0b1c2d3e4f50\n"
        "\"RostrelUploader\"=\"x\"\n");
    QCOMPARE(readAll(m_reg), expected);
}

void TestRegistry::lastSectionWithoutFinalNewline()
{
    QByteArray content = kSample;
    content.chop(1);
    const auto registry = registryFor(content);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "System\\CurrentControlSet\\Control", "Added", "1"), kSuccess);
    QCOMPARE(readAll(m_reg), kSample + "\"Added\"=\"1\"\n");
}

void TestRegistry::newValueAfterContinuedHex_data()
{
    // Sections whose last value ends in a backslash; found by fuzzing, where the written value was
    // taken in as more hex data, or landed in the next section.
    QTest::addColumn<QByteArray>("section");
    QTest::newRow("carried over a blank line") << QByteArray("\"Blob\"=hex:01,\\\n\n");
    QTest::newRow("backslash inside the line") << QByteArray("\"Blob\"=hex:01,02,\\\"C:\\\\x\"\n");
    QTest::newRow("carried into the next header") << QByteArray("\"Blob\"=hex:01,\\\n");
}

void TestRegistry::newValueAfterContinuedHex()
{
    QFETCH(QByteArray, section);
    const auto registry = registryFor("WINE REGISTRY Version 2\n\n[Software\\\\Rostrel] 1\n" + section
        + "[Software\\\\Other] 1\n\"Value\"=\"other\"\n");
    QVERIFY(registry);
    const auto blobStatus = [this] {
        const auto calls = makeWineRegistryCalls(m_reg.toStdString());
        KeyHandle key = 0;
        calls->openKey(kLocalMachine, "Software\\Rostrel", kKeyQueryValue, key);
        unsigned long type = 0;
        std::string data;
        return calls->queryValue(key, "Blob", type, data);
    };
    const long blobBefore = blobStatus();
    QCOMPARE(registry->SaveRegString(kLocalMachine, "Software\\Rostrel", "Added", "new"), kSuccess);
    QCOMPARE(
        describe(registry->ReadRegValue(kLocalMachine, "Software\\Rostrel", "Added")), QStringLiteral("text \"new\""));
    QCOMPARE(blobStatus(), blobBefore);
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, "Software\\Other", "Added")), QStringLiteral("nothing"));
    QCOMPARE(
        describe(registry->ReadRegValue(kLocalMachine, "Software\\Other", "Value")), QStringLiteral("text \"other\""));
}

void TestRegistry::valueAfterContinuedHexAtTheEnd()
{
    // Found by fuzzing: a new section written after hex data carried on past the file's end made
    // that broken value readable.
    const QByteArray content = "WINE REGISTRY Version 2\n\n[Software\\\\Rostrel\\\\Child] 1\n\"Blob\"=hex:01,\\";
    const auto registry = registryFor(content);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "Software\\Rostrel", "Added", "new"), kSuccess);
    QCOMPARE(
        describe(registry->ReadRegValue(kLocalMachine, "Software\\Rostrel", "Added")), QStringLiteral("text \"new\""));
    const auto calls = makeWineRegistryCalls(m_reg.toStdString());
    KeyHandle key = 0;
    QCOMPARE(calls->openKey(kLocalMachine, "Software\\Rostrel\\Child", kKeyQueryValue, key), kSuccess);
    unsigned long type = 0;
    std::string data;
    QCOMPARE(calls->queryValue(key, "Blob", type, data), kInvalidData);
}

void TestRegistry::keyIsNeverCreated()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "Software\\Nobody", "X", "y"), kFileNotFound);
    QCOMPARE(registry->RemoveRegValue(kLocalMachine, "Software\\Nobody", "X"), kFileNotFound);
    QCOMPARE(readAll(m_reg), kSample);
}

void TestRegistry::valueIntoParentOnlyKey()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "Software\\Blizzard Entertainment", "Launcher", "yes"), kSuccess);
    const QByteArray after = readAll(m_reg);
    QVERIFY(after.startsWith(kSample));
    QVERIFY2(after.mid(kSample.size()).startsWith("\n[Software\\\\Wow6432Node\\\\Blizzard Entertainment] "),
        after.mid(kSample.size()).constData());
    QVERIFY(after.endsWith("\n\"Launcher\"=\"yes\"\n"));
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, "Software\\Blizzard Entertainment", "Launcher")),
        QStringLiteral("text \"yes\""));
}

void TestRegistry::remove_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("removedLines");
    QTest::newRow("one line") << QByteArray("build") << QByteArray("\"Build\"=dword:0000beef\n");
    QTest::newRow("continued hex") << QByteArray("Multi")
                                   << QByteArray("\"Multi\"=hex(7):61,00,62,00,00,00,\\\n  00,00\n");
    QTest::newRow("default") << QByteArray("") << QByteArray("@=\"default\"\n");
}

void TestRegistry::remove()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, removedLines);
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->RemoveRegValue(kLocalMachine, kGameKey, name.toStdString()), kSuccess);
    QByteArray expected = kSample;
    expected.replace(removedLines, "");
    QCOMPARE(readAll(m_reg), expected);
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, kGameKey, name.toStdString())), QStringLiteral("nothing"));
    QCOMPARE(registry->RemoveRegValue(kLocalMachine, kGameKey, name.toStdString()), kFileNotFound);
    QCOMPARE(readAll(m_reg), expected);
}

void TestRegistry::removeNameWrittenTwice()
{
    // Found by fuzzing: with a name written twice, the earlier line read again after a delete.
    const QByteArray head = "WINE REGISTRY Version 2\n\n[Software\\\\Rostrel] 1\n";
    const auto registry = registryFor(head + "\"Path\"=\"old\"\n\"Other\"=\"kept\"\n\"path\"=\"new\"\n");
    QVERIFY(registry);
    QCOMPARE(
        describe(registry->ReadRegValue(kLocalMachine, "Software\\Rostrel", "Path")), QStringLiteral("text \"new\""));
    QCOMPARE(registry->RemoveRegValue(kLocalMachine, "Software\\Rostrel", "Path"), kSuccess);
    QCOMPARE(describe(registry->ReadRegValue(kLocalMachine, "Software\\Rostrel", "Path")), QStringLiteral("nothing"));
    QCOMPARE(readAll(m_reg), head + "\"Other\"=\"kept\"\n");
}

void TestRegistry::readOnlyKeyRefusesWrites()
{
    QVERIFY(writeAll(m_reg, kSample));
    const auto calls = makeWineRegistryCalls(m_reg.toStdString());
    KeyHandle key = 0;
    QCOMPARE(calls->openKey(kLocalMachine, kGameKey, kKeyQueryValue, key), kSuccess);
    QCOMPARE(WriteKeyValue(*calls, key, "InstallPath", kRegSz, Value(std::string("x"))), kAccessDenied);
    QCOMPARE(calls->deleteValue(key, "InstallPath"), kAccessDenied);
    calls->closeKey(key);
    QCOMPARE(readAll(m_reg), kSample);
}

void TestRegistry::writeKeyValueTypes()
{
    QVERIFY(writeAll(m_reg, kSample));
    const auto calls = makeWineRegistryCalls(m_reg.toStdString());
    KeyHandle key = 0;
    QCOMPARE(calls->openKey(kLocalMachine, "Software\\OnlyNative", kKeyWriteAccess, key), kSuccess);
    QCOMPARE(WriteKeyValue(*calls, key, "Count", kRegDword, Value(std::uint32_t(0xDEADBEEF))), kSuccess);
    QCOMPARE(WriteKeyValue(*calls, key, "Text", kRegSz, Value(std::string("abc"))), kSuccess);
    // Neither REG_SZ nor REG_DWORD: nothing is stored and the answer is 0.
    QCOMPARE(WriteKeyValue(*calls, key, "Blob", kRegBinary, Value(std::string("abc"))), kSuccess);
    QCOMPARE(WriteKeyValue(*calls, key, "Bad", kRegDword, Value(std::string("12x"))), kInvalidParameter);

    unsigned long type = 0;
    std::string data;
    QCOMPARE(calls->queryValue(key, "Text", type, data), kSuccess);
    QCOMPARE(type, kRegSz);
    QCOMPARE(data, std::string("abc", 4)); // the stored length counts the NUL
    calls->closeKey(key);

    const QByteArray after = readAll(m_reg);
    QVERIFY(after.contains("\"Value\"=\"native\"\n\"Count\"=dword:deadbeef\n\"Text\"=\"abc\"\n\n"));
    QVERIFY(!after.contains("Blob"));
    QVERIFY(!after.contains("Bad"));
}

void TestRegistry::failedWriteLeavesFileAlone()
{
    // Big enough that the new copy cannot be written under the limit below.
    QByteArray big = kSample;
    big.append("\n[Software\\\\Filler] 1700000000\n\"Pad\"=\"" + QByteArray(200000, 'x') + "\"\n");
    const auto registry = registryFor(big);
    QVERIFY(registry);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    long status = kSuccess;
    {
        FileSizeLimit limit(4096);
        status = registry->SaveRegString(kLocalMachine, kGameKey, "InstallPath", "D:\\WoW\\");
    }
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(status != kSuccess);
    QCOMPARE(readAll(m_reg), big);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList { QStringLiteral("system.reg") });
}

void TestRegistry::writeKeepsPermissionsAndLinks()
{
    const QString target = m_dir->filePath(QStringLiteral("real.reg"));
    QVERIFY(writeAll(target, kSample));
    QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    QVERIFY(QFile::link(target, m_reg));
    const auto registry = makeWineRegistry(m_reg.toStdString());
    QCOMPARE(registry->SaveRegString(kLocalMachine, kGameKey, "InstallPath", "D:\\"), kSuccess);
    QVERIFY(QFileInfo(m_reg).isSymLink());
    QVERIFY(readAll(target).contains(R"("InstallPath"="D:\\")"));
    QCOMPARE(QFile::permissions(target) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    QFile::remove(target);
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
    QVERIFY2(timer.elapsed() < 3000, "reading a large system.reg is too slow");
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "test_registry.moc"
