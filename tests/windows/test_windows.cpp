// The Windows layers against the real registry, shell and file system: the registry routines in
// the 32-bit view, the Run value and its per-user fallback, the browser's marker file, folder
// listings without hidden and system entries, the settings folder chosen at logon, and the
// recursive change watch over a game folder.
// Everything written is put back at the end, so the test can also run on a player's machine.

#include "catalogue/foldertree.h"
#include "core/autostart.h"
#include "core/browser.h"
#include "core/pathlayer.h"
#include "core/registry.h"
#include "fakes.h"
#include "folderwatch/folderwatch.h"
#include "platform/platform.h"
#include "settings/settingsfiles.h"
#include "settings/startup.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

using namespace rostrel;
using namespace rostrel::testing;
using rostrel::registry::Value;
using namespace Qt::StringLiterals;

namespace {

// A game folder with one character, its account tree listed and watched as the walk does. Its WTF
// may be a link to another flavour's (no root where no link can be made).
struct WatchedGame
{
    QTemporaryDir dir;
    QString base = QFileInfo(dir.path()).canonicalFilePath();
    QString root;
    std::unique_ptr<FolderWatch> watch = makeFolderWatch();
    std::unique_ptr<PathLayer> paths = makeNativePathLayer();
    fakes::FakeLog log;
    FolderTree tree { *watch, *paths, log, 32 };

    explicit WatchedGame(bool linkedWtf = false)
    {
        if (linkedWtf) {
            QDir().mkpath(base + u"/_retail_/WTF"_s);
            QDir().mkpath(base + u"/_classic_"_s);
            shell(u"mklink /J"_s, u"_classic_/WTF"_s, u"_retail_/WTF"_s);
            // Wine makes no junctions; to it, a link made on the host (by the test's fixture) is one.
            base = QFileInfo::exists(base + u"/_classic_/WTF"_s) ? base : qEnvironmentVariable("ROSTREL_LINKED_GAME");
            if (base.isEmpty())
                return;
            base += u"/_classic_"_s;
        }
        QDir().mkpath(base + u"/WTF/Account/ACC/Realm/Char/SavedVariables"_s);
        QDir().mkpath(base + u"/Interface/AddOns"_s);
        root = QFileInfo(base + u"/WTF/Account"_s).canonicalFilePath();
        tree.build(root, root);
    }
    // A turn of the walk; the folders it then knows.
    int turn()
    {
        watch->deliverPending();
        tree.refresh();
        return tree.folderCount();
    }
    // From another process, as a player's file manager would.
    bool renameWtf(const QString& to) { return shell(u"move"_s, to == u"WTF" ? u"WTF.old"_s : u"WTF"_s, to); }
    bool shell(const QString& command, const QString& first, const QString& second)
    {
        const QStringList names
            = { QDir::toNativeSeparators(base + u'/' + first), QDir::toNativeSeparators(base + u'/' + second) };
        return QProcess::execute(u"cmd"_s, QStringList { u"/c"_s } + command.split(u' ') + names) == 0;
    }
};

const char* const kTestKey = "Software\\RostrelWindowsTest";
const char* const kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// Test scaffolding: writes a raw value in one registry view, making the key when needed.
bool setRaw(HKEY root, REGSAM view, const char* key, const char* name, DWORD type, const QByteArray& data)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExA(
        handle, name, 0, type, reinterpret_cast<const BYTE*>(data.constData()), static_cast<DWORD>(data.size()));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

bool makeKey(HKEY root, REGSAM view, const char* key)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

// Points ".htm" at a page class for one scope, and puts back what was there.
class HtmAssociation
{
public:
    explicit HtmAssociation(const QByteArray& pageClass)
    {
        char saved[256] = {};
        LONG size = sizeof saved;
        m_had = RegQueryValueA(HKEY_CLASSES_ROOT, ".htm", saved, &size) == ERROR_SUCCESS;
        m_saved = QByteArray(saved);
        m_ok = setRaw(HKEY_CLASSES_ROOT, 0, ".htm", "", REG_SZ, pageClass + '\0');
    }
    ~HtmAssociation()
    {
        if (m_had)
            setRaw(HKEY_CLASSES_ROOT, 0, ".htm", "", REG_SZ, m_saved + '\0');
        else
            RegDeleteTreeA(HKEY_CLASSES_ROOT, ".htm");
    }
    bool ok() const { return m_ok; }

private:
    bool m_had = false;
    bool m_ok = false;
    QByteArray m_saved;
};

QString describe(const Value& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return QStringLiteral("text ") + QString::fromStdString(*text);
    if (const auto* number = std::get_if<std::uint32_t>(&value))
        return QStringLiteral("number ") + QString::number(*number);
    return QStringLiteral("nothing");
}

// The real registry, except that HKEY_LOCAL_MACHINE refuses writes (optionally HKEY_CURRENT_USER
// too), as it does for a player without administrator rights.
class RefusingRegistry : public registry::Registry
{
public:
    RefusingRegistry(registry::Registry& real, bool refuseUser)
        : m_real(real)
        , m_refuseUser(refuseUser)
    { }
    Value ReadRegValue(registry::Hive hive, const std::string& key, const std::string& name) override
    {
        return m_real.ReadRegValue(hive, key, name);
    }
    long SaveRegString(
        registry::Hive hive, const std::string& key, const std::string& name, const std::string& text) override
    {
        return refused(hive) ? registry::kAccessDenied : m_real.SaveRegString(hive, key, name, text);
    }
    long RemoveRegValue(registry::Hive hive, const std::string& key, const std::string& name) override
    {
        return refused(hive) ? registry::kAccessDenied : m_real.RemoveRegValue(hive, key, name);
    }

private:
    bool refused(registry::Hive hive) const { return hive == registry::kLocalMachine || m_refuseUser; }
    registry::Registry& m_real;
    bool m_refuseUser;
};

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

    std::unique_ptr<registry::Registry> m_registry = registry::makeWindowsRegistry();
    Value m_savedMachineRun;
    Value m_savedUserRun;

    bool runValuesGone()
    {
        return describe(m_registry->ReadRegValue(registry::kLocalMachine, kRunKey, "RostrelUploader")) == u"nothing"
            && describe(m_registry->ReadRegValue(registry::kCurrentUser, kRunKey, "RostrelUploader")) == u"nothing";
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A fresh Wine prefix may lack the 32-bit Run key; Windows always has both.
        QVERIFY(makeKey(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, kRunKey));
        QVERIFY(makeKey(HKEY_CURRENT_USER, 0, kRunKey));
        m_savedMachineRun = m_registry->ReadRegValue(registry::kLocalMachine, kRunKey, "RostrelUploader");
        m_savedUserRun = m_registry->ReadRegValue(registry::kCurrentUser, kRunKey, "RostrelUploader");
        m_registry->RemoveRegValue(registry::kLocalMachine, kRunKey, "RostrelUploader");
        m_registry->RemoveRegValue(registry::kCurrentUser, kRunKey, "RostrelUploader");
    }

    void cleanupTestCase()
    {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_32KEY, 0);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_64KEY, 0);
        for (auto [hive, saved] : { std::pair { registry::kLocalMachine, &m_savedMachineRun },
                 std::pair { registry::kCurrentUser, &m_savedUserRun } }) {
            if (const auto* text = std::get_if<std::string>(saved))
                m_registry->SaveRegString(hive, kRunKey, "RostrelUploader", *text);
        }
    }

    void readsInThe32BitView_data()
    {
        QTest::addColumn<bool>("view64");
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");
        const QByteArray path("C:\\Program Files (x86)\\World of Warcraft\\", 42);
        QTest::newRow("text, its NUL dropped")
            << false << int(REG_SZ) << QByteArray(path + '\0') << u"text "_s + QString::fromLatin1(path);
        QTest::newRow("abc stored with its NUL") << false << int(REG_SZ) << QByteArray("abc", 4) << u"text abc"_s;
        QTest::newRow("code page text") << false << int(REG_SZ) << QByteArray("\xC9lodie", 7) << u"text Élodie"_s;
        QTest::newRow("empty, no NUL") << false << int(REG_SZ) << QByteArray() << u"nothing"_s;
        QTest::newRow("number") << false << int(REG_DWORD) << QByteArray("\xEF\xBE\x00\x00", 4) << u"number 48879"_s;
        QTest::newRow("expandable text") << false << int(REG_EXPAND_SZ) << QByteArray("%SystemRoot%\0", 13)
                                         << u"nothing"_s;
        QTest::newRow("binary") << false << int(REG_BINARY) << QByteArray("\x01\x02", 2) << u"nothing"_s;
        QTest::newRow("only in the 64-bit view") << true << int(REG_SZ) << QByteArray("sixty-four", 11) << u"nothing"_s;
    }

    void readsInThe32BitView()
    {
        QFETCH(bool, view64);
        QFETCH(int, type);
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        const QByteArray name = QTest::currentDataTag();
        QVERIFY(setRaw(HKEY_LOCAL_MACHINE, view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY, kTestKey, name.constData(),
            DWORD(type), data));
        QCOMPARE(describe(m_registry->ReadRegValue(registry::kLocalMachine, kTestKey, name.toStdString())), expected);
    }

    void textOutsideTheCodePageRoundTrips()
    {
        const std::string path = "C:\\Игры\\Wörld of Warcraft\\"; // Cyrillic does not fit code page 1252
        QCOMPARE(m_registry->SaveRegString(registry::kLocalMachine, kTestKey, "Wide", path), registry::kSuccess);
        QCOMPARE(describe(m_registry->ReadRegValue(registry::kLocalMachine, kTestKey, "Wide")),
            u"text "_s + QString::fromStdString(path));
    }

    // settings.txt as an older version wrote it, in the code page; and text the code page cannot
    // hold, which goes to UTF-8 instead of being lost.
    void settingsKeepEveryCharacter_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("password");
        QTest::newRow("code page 1252") << QByteArray("T\xF6vrin\r\nguild.example\r\np\xE4ss\r\n") << u"päss"_s;
        QTest::newRow("beyond it, UTF-8")
            << QStringLiteral("Tövrin\r\nguild.example\r\nпароль\r\n").toUtf8() << u"пароль"_s;
    }
    void settingsKeepEveryCharacter()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, password);
        if (GetACP() != 1252)
            QSKIP("needs a system whose code page is 1252");
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(u"settings.txt"_s), file));
        fakes::FakeFormView view;
        fakes::FakeDialogs dialogs;
        CharacterList list;
        SettingsFiles settings(view, list, dialogs, dir.path());
        QVERIFY(settings.LoadSettings());
        QCOMPARE(view.login(), u"Tövrin"_s);
        QCOMPARE(view.password(), password);
        settings.SaveSettings();
        QCOMPARE(readFile(dir.filePath(u"settings.txt"_s)), file);
    }

    void writesNeverMakeKeys()
    {
        const std::string missing = std::string(kTestKey) + "\\NoSuchKey";
        QVERIFY(m_registry->SaveRegString(registry::kLocalMachine, missing, "X", "y") != registry::kSuccess);
        HKEY probe = nullptr;
        QVERIFY(
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, missing.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &probe) != ERROR_SUCCESS);
    }

    void runValueRoundTrip()
    {
        const auto autostart = makeRunKeyAutostart(*m_registry, "C:\\Tools");
        QVERIFY(!autostart->isInStartup());
        QCOMPARE(autostart->enable().error(), QString());
        // Machine-wide, in the 32-bit view, REG_SZ with its NUL counted.
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key), ERROR_SUCCESS);
        DWORD type = 0;
        char data[64] = {};
        DWORD size = sizeof data;
        QCOMPARE(RegQueryValueExA(key, "RostrelUploader", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
        RegCloseKey(key);
        QCOMPARE(type, DWORD(REG_SZ));
        QCOMPARE(QByteArray(data, int(size)), QByteArray("\"C:\\Tools\\RostrelUploader.exe\"", 31));
        QVERIFY(autostart->isInStartup());
        QVERIFY(!makeRunKeyAutostart(*m_registry, "D:\\Moved")->isInStartup());
        QVERIFY(!makeRunKeyAutostart(*m_registry, "c:\\tools")->isInStartup());
        QCOMPARE(autostart->disable().error(), QString());
        QVERIFY(!autostart->isInStartup());
        QVERIFY(runValuesGone());
    }

    // A player without administrator rights: the same value under the user's own Run key.
    void runValueFallsBackToTheUser()
    {
        RefusingRegistry refusing(*m_registry, false);
        const auto autostart = makeRunKeyAutostart(refusing, "C:\\Tools");
        QCOMPARE(autostart->enable().error(), QString());
        QCOMPARE(describe(m_registry->ReadRegValue(registry::kLocalMachine, kRunKey, "RostrelUploader")), u"nothing"_s);
        QCOMPARE(describe(m_registry->ReadRegValue(registry::kCurrentUser, kRunKey, "RostrelUploader")),
            u"text \"C:\\Tools\\RostrelUploader.exe\""_s);
        QVERIFY(autostart->isInStartup());

        // Clearing removes it from both places, whichever holds it.
        QCOMPARE(makeRunKeyAutostart(*m_registry, "C:\\Tools")->enable().error(), QString());
        QCOMPARE(makeRunKeyAutostart(*m_registry, "C:\\Tools")->disable().error(), QString());
        QVERIFY(runValuesGone());
    }

    void runValueRefusedEverywhereLeavesTheBoxUnticked()
    {
        RefusingRegistry refusing(*m_registry, true);
        const auto autostart = makeRunKeyAutostart(refusing, "C:\\Tools");
        fakes::FakeFormView view;
        fakes::FakeLog log;
        StartupEntry entry(*autostart, view, log);
        view.onStartWithWindowsChanged = [&entry] { entry.StartWithWindows_Click(); };
        view.setStartWithWindows(true);
        QVERIFY(!view.startWithWindows());
        QCOMPARE(log.messages.size(), 1);
        QVERIFY2(log.messages[0].contains(u"access denied"), qPrintable(log.messages[0]));
        QVERIFY(runValuesGone());
    }

    void browserFromTheHtmAssociation()
    {
        QTemporaryDir dir;
        const QString recorder = QCoreApplication::applicationDirPath() + u"/recordargs.exe"_s;
        const QString copy = dir.filePath(u"browser.exe"_s);
        QVERIFY(QFile::copy(recorder, copy));
        const QByteArray command = '"' + QDir::toNativeSeparators(copy).toLocal8Bit() + "\" \"%1\"";
        BrowserResult result = BrowserResult::Failed;
        {
            HtmAssociation association("RostrelTestPage");
            QVERIFY(association.ok());
            QVERIFY(setRaw(HKEY_CLASSES_ROOT, 0, "RostrelTestPage\\shell\\open\\command", "", REG_SZ, command + '\0'));
            const auto opener = makeWindowsBrowserOpener(QDir::toNativeSeparators(dir.path()).toStdString());
            result = opener->open("http://guild.example/download?x=1");
            RegDeleteTreeA(HKEY_CLASSES_ROOT, "RostrelTestPage");
        }

        QCOMPARE(result, BrowserResult::Started);
        QCOMPARE(readFile(dir.filePath(u"temp.htm"_s)), QByteArray("\"<HTML> <\\HTML>\"\r\n"));
        QTRY_VERIFY(QFile::exists(copy + u".args"_s));
        QVERIFY(readFile(copy + u".args"_s).contains("http://guild.example/download?x=1"));
    }

    void browserNotAssociated()
    {
        QTemporaryDir dir;
        HtmAssociation association("RostrelNoSuchPage");
        QVERIFY(association.ok());
        const BrowserResult result
            = makeWindowsBrowserOpener(QDir::toNativeSeparators(dir.path()).toStdString())->open("http://x.example/");
        QCOMPARE(result, BrowserResult::NoBrowser);
        QVERIFY(QFile::exists(dir.filePath(u"temp.htm"_s)));
    }

    void browserMarkerNotWritable()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"temp.htm"_s)); // a folder where the file would go
        QCOMPARE(makeWindowsBrowserOpener(dir.path().toStdString())->open("http://x.example/"), BrowserResult::Failed);
    }

    void listingLeavesOutHiddenAndSystemEntries()
    {
        QTemporaryDir dir;
        // A name the system code page cannot hold lists as it is.
        for (const char* name : { "Visible.lua", "Hidden.lua", "System.lua", "Account\\x", "Backup\\x", "Сервер\\x" })
            QVERIFY(writeFile(dir.filePath(QString::fromUtf8(name).replace(u'\\', u'/')), "x"));
        const auto mark = [&](const char* name, DWORD attribute) {
            const QByteArray path = QDir::toNativeSeparators(dir.filePath(QString::fromLatin1(name))).toLocal8Bit();
            return SetFileAttributesA(path.constData(), GetFileAttributesA(path.constData()) | attribute)
                && (GetFileAttributesA(path.constData()) & attribute);
        };
        QVERIFY(mark("Hidden.lua", FILE_ATTRIBUTE_HIDDEN));
        QVERIFY(mark("System.lua", FILE_ATTRIBUTE_SYSTEM));
        QVERIFY(mark("Backup", FILE_ATTRIBUTE_HIDDEN));

        FolderListing listing = listFolder(dir.path());
        listing.all.sort();
        QCOMPARE(listing.all, QStringList({ u"Account"_s, u"Visible.lua"_s, u"Сервер"_s }));
        QCOMPARE(listing.files, QStringList({ u"Visible.lua"_s }));
        QVERIFY(listFolder(dir.filePath(u"missing"_s)).all.isEmpty());

        // A folder made anew in the old one's place is another folder.
        const quint64 before = listFolder(dir.filePath(u"Account"_s)).id;
        QVERIFY(before != 0);
        QCOMPARE(listFolder(dir.filePath(u"Account"_s)).id, before);
        QVERIFY(QDir(dir.filePath(u"Account"_s)).removeRecursively());
        QVERIFY(QDir(dir.path()).mkdir(u"Account"_s));
        QVERIFY(listFolder(dir.filePath(u"Account"_s)).id != before);
    }

    void settingsFolderAtLogon_data()
    {
        wchar_t path[MAX_PATH + 1] = {};
        const QString system = QString::fromWCharArray(path, GetSystemDirectoryW(path, MAX_PATH + 1));
        QTest::addColumn<QString>("workingDir");
        QTest::addColumn<QString>("expected");
        const QString program = u"C:\\Games\\RostrelUploader"_s;
        QTest::newRow("started at logon") << system << program;
        QTest::newRow("other letter case, trailing separator") << system.toUpper() + u'\\' << program;
        QTest::newRow("forward slashes") << QDir::fromNativeSeparators(system) << program;
        QTest::newRow("started from a shortcut") << u"C:\\Users\\me\\Documents"_s << u"C:\\Users\\me\\Documents"_s;
        QTest::newRow("the system folder's parent") << QFileInfo(system).path() << QFileInfo(system).path();
    }

    void settingsFolderAtLogon()
    {
        QFETCH(QString, workingDir);
        QFETCH(QString, expected);
        PlatformConfig config;
        config.programPath = u"C:/Games/RostrelUploader/RostrelUploader.exe"_s;
        config.workingDir = workingDir;
        QCOMPARE(QDir::toNativeSeparators(makePlatform(config).settingsFolder), QDir::toNativeSeparators(expected));
    }

    // One watch on the folder that holds WTF answers for the whole account tree as the walk lists
    // it: each change is reported as the folder whose names changed, nothing outside the tree is,
    // and WTF itself can be renamed while it watches.
    void watchReportsTheChangedFolder_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reported");
        QTest::newRow("a character's profile written")
            << u"write ACC/Realm/Char/SavedVariables/Rostrel.lua"_s << u"/ACC/Realm/Char/SavedVariables"_s;
        QTest::newRow("a new character") << u"mkdir ACC/Realm/Новый"_s << u"/ACC/Realm"_s;
        QTest::newRow("a removed realm") << u"remove ACC/Realm"_s << u"/ACC"_s;
        QTest::newRow("WTF renamed away") << u"rename"_s << u""_s;
    }

    void watchReportsTheChangedFolder()
    {
        QFETCH(QString, change);
        QFETCH(QString, reported);
        WatchedGame game;
        QSignalSpy changed(game.watch.get(), &FolderWatch::folderChanged);
        QVERIFY(writeFile(game.base + u"/Interface/AddOns/outside.txt"_s, "x"));
        const QString path = game.root + u'/' + change.section(u' ', 1);
        if (change.startsWith(u"write"))
            QVERIFY(writeFile(path, "RostrelDB = {}\r\n"));
        else if (change.startsWith(u"mkdir"))
            QVERIFY(QDir().mkpath(path));
        else if (change.startsWith(u"remove"))
            QVERIFY(QDir(path).removeRecursively());
        else
            QVERIFY(game.renameWtf(u"WTF.old"_s));
        QTRY_VERIFY(changed.contains(QVariantList { QString(game.root + reported) }));
        for (const QVariantList& report : std::as_const(changed))
            QVERIFY2(report.at(0).toString().startsWith(game.root), qPrintable(report.at(0).toString()));
        if (change == u"rename")
            QVERIFY(game.renameWtf(u"WTF"_s));
    }

    // A new character is still seen where WTF is linked from another flavour's folder (the watch,
    // which does not follow links, is opened where the link leads) and after the system ended the
    // watch (here: its read cancelled) while the folder was still there.
    void watchSeesANewCharacter_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::newRow("WTF linked") << true;
        QTest::newRow("watch ended") << false;
    }

    void watchSeesANewCharacter()
    {
        QFETCH(bool, linked);
        WatchedGame game(linked);
        if (linked && game.root.isEmpty())
            QSKIP("No junction to be had here");
        QSignalSpy lost(game.watch.get(), &FolderWatch::changesLost);
        for (quintptr handle = 4; !linked && handle < 0x10000; handle += 4)
            CancelIoEx(reinterpret_cast<HANDLE>(handle), nullptr);
        QTRY_VERIFY(linked || lost.count() > 0);
        const int folders = game.turn(); // the turn that looks everywhere
        QVERIFY(QDir().mkpath(game.root + u"/ACC/Realm/New/SavedVariables"_s));
        QTRY_COMPARE(game.turn(), folders + 2);
    }

    void watchOverflowLosesChanges()
    {
        WatchedGame game;
        QSignalSpy lost(game.watch.get(), &FolderWatch::changesLost);
        // Far more names than the watch's buffer holds, made before it is read.
        for (int i = 0; i < 3000; ++i)
            QVERIFY(writeFile(game.root + u"/ACC/burst-%1.txt"_s.arg(i), "x"));
        QTRY_VERIFY(lost.count() > 0);
    }

    // Folders added to a watched tree add no handles.
    void watchHandlesStayFlat()
    {
        WatchedGame game;
        DWORD before = 0;
        QVERIFY(GetProcessHandleCount(GetCurrentProcess(), &before));
        const int folders = game.tree.folderCount();
        for (int i = 0; i < 50; ++i)
            QVERIFY(QDir().mkpath(game.root + u"/ACC/Realm/Char%1/SavedVariables"_s.arg(i)));
        QTRY_COMPARE(game.turn(), folders + 100);
        DWORD after = 0;
        QVERIFY(GetProcessHandleCount(GetCurrentProcess(), &after));
        QVERIFY2(after <= before + 2, qPrintable(u"%1 handles, then %2"_s.arg(before).arg(after)));
        QVERIFY(game.log.messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWindows)
#include "test_windows.moc"
