// The Wine registry backend writing system.reg: the line a text is written as, and writes and
// deletes that leave every other byte of the file, its permissions and its links alone.

#include "support/wineregistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <csignal>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::registry;

class TestRegistryWrite : public QObject, protected WineRegistryFolder
{
    Q_OBJECT

private Q_SLOTS:
    void init();

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
};

void TestRegistryWrite::init()
{
    freshFolder();
}

void TestRegistryWrite::writeEscapes_data()
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

void TestRegistryWrite::writeEscapes()
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

void TestRegistryWrite::replaceKeepsEverythingElse()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, kGameKey, "installpath", "D:\\WoW\\"), kSuccess);
    QByteArray expected = kSample;
    // The name keeps its spelling in the file.
    expected.replace(R"("InstallPath"="C:\\Program Files (x86)\\World of Warcraft\\")", R"("InstallPath"="D:\\WoW\\")");
    QCOMPARE(readAll(m_reg), expected);
}

void TestRegistryWrite::replaceMultiLineValue()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, kGameKey, "Multi", "one line"), kSuccess);
    QByteArray expected = kSample;
    expected.replace("\"Multi\"=hex(7):61,00,62,00,00,00,\\\n  00,00\n", "\"Multi\"=\"one line\"\n");
    QCOMPARE(readAll(m_reg), expected);
}

void TestRegistryWrite::newValueGoesAtTheEndOfItsSection()
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

void TestRegistryWrite::lastSectionWithoutFinalNewline()
{
    QByteArray content = kSample;
    content.chop(1);
    const auto registry = registryFor(content);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "System\\CurrentControlSet\\Control", "Added", "1"), kSuccess);
    QCOMPARE(readAll(m_reg), kSample + "\"Added\"=\"1\"\n");
}

void TestRegistryWrite::newValueAfterContinuedHex_data()
{
    // Sections whose last value ends in a backslash; found by fuzzing, where the written value was
    // taken in as more hex data, or landed in the next section.
    QTest::addColumn<QByteArray>("section");
    QTest::newRow("carried over a blank line") << QByteArray("\"Blob\"=hex:01,\\\n\n");
    QTest::newRow("backslash inside the line") << QByteArray("\"Blob\"=hex:01,02,\\\"C:\\\\x\"\n");
    QTest::newRow("carried into the next header") << QByteArray("\"Blob\"=hex:01,\\\n");
}

void TestRegistryWrite::newValueAfterContinuedHex()
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

void TestRegistryWrite::valueAfterContinuedHexAtTheEnd()
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

void TestRegistryWrite::keyIsNeverCreated()
{
    const auto registry = registryFor(kSample);
    QVERIFY(registry);
    QCOMPARE(registry->SaveRegString(kLocalMachine, "Software\\Nobody", "X", "y"), kFileNotFound);
    QCOMPARE(registry->RemoveRegValue(kLocalMachine, "Software\\Nobody", "X"), kFileNotFound);
    QCOMPARE(readAll(m_reg), kSample);
}

void TestRegistryWrite::valueIntoParentOnlyKey()
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

void TestRegistryWrite::remove_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("removedLines");
    QTest::newRow("one line") << QByteArray("build") << QByteArray("\"Build\"=dword:0000beef\n");
    QTest::newRow("continued hex") << QByteArray("Multi")
                                   << QByteArray("\"Multi\"=hex(7):61,00,62,00,00,00,\\\n  00,00\n");
    QTest::newRow("default") << QByteArray("") << QByteArray("@=\"default\"\n");
}

void TestRegistryWrite::remove()
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

void TestRegistryWrite::removeNameWrittenTwice()
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

void TestRegistryWrite::readOnlyKeyRefusesWrites()
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

void TestRegistryWrite::writeKeyValueTypes()
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

void TestRegistryWrite::failedWriteLeavesFileAlone()
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

void TestRegistryWrite::writeKeepsPermissionsAndLinks()
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

QTEST_GUILESS_MAIN(TestRegistryWrite)
#include "test_registry_write.moc"
