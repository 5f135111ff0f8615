#include "catalogue/characterlist.h"
#include "core/fileio.h"
#include "fakes.h"
#include "settings/settingsfiles.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::fakes;

namespace {

const QString kWarning = QStringLiteral(
    "Warning! This is a security risk because your password will be stored on you hard drive.  Are you sure you "
    "want to have the program remember your password?");

// The main window's wiring: the box's change runs the handler.
struct Fixture
{
    explicit Fixture(const QString& folder)
        : settings(view, list, dialogs, folder)
    {
        view.onRememberPasswordChanged = [this] {
            ++clicks;
            settings.RememberPassword_Click();
        };
    }
    QString settingsFile() const { return QDir(settings.folder()).filePath(QStringLiteral("settings.txt")); }
    QString noUploadFile() const { return QDir(settings.folder()).filePath(QStringLiteral("noupload.txt")); }

    FakeFormView view;
    CharacterList list;
    FakeDialogs dialogs;
    SettingsFiles settings;
    int clicks = 0;
};

} // namespace

class TestSettingsFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void loadSettings_data()
    {
        QTest::addColumn<QByteArray>("file"); // null: no file
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("logsIn");
        QTest::addColumn<QString>("focus");

        QTest::newRow("first run, no file")
            << QByteArray() << QString() << QString() << QString() << false << QStringLiteral("Login");
        QTest::newRow("all three") << QByteArray("alice\r\nguild.example\r\ns3cret\r\n") << QStringLiteral("alice")
                                   << QStringLiteral("guild.example") << QStringLiteral("s3cret") << true
                                   << QStringLiteral("Password");
        QTest::newRow("empty third line")
            << QByteArray("alice\r\nguild.example\r\n\r\n") << QStringLiteral("alice")
            << QStringLiteral("guild.example") << QString() << false << QStringLiteral("Password");
        QTest::newRow("missing lines") << QByteArray("alice") << QStringLiteral("alice") << QString() << QString()
                                       << false << QStringLiteral("Password");
        QTest::newRow("extra lines ignored")
            << QByteArray("a\r\nb\r\nc\r\nd\r\ne\r\n") << QStringLiteral("a") << QStringLiteral("b")
            << QStringLiteral("c") << true << QStringLiteral("Password");
        QTest::newRow("LF-only lines") << QByteArray("alice\nguild.example\ns3cret\n") << QStringLiteral("alice")
                                       << QStringLiteral("guild.example") << QStringLiteral("s3cret") << true
                                       << QStringLiteral("Password");
        QTest::newRow("CR-only lines") << QByteArray("alice\rguild.example\rs3cret") << QStringLiteral("alice")
                                       << QStringLiteral("guild.example") << QStringLiteral("s3cret") << true
                                       << QStringLiteral("Password");
        QTest::newRow("spaces kept") << QByteArray("  alice \r\n guild \r\n pw  \r\n") << QStringLiteral("  alice ")
                                     << QStringLiteral(" guild ") << QStringLiteral(" pw  ") << true
                                     << QStringLiteral("Password");
        QTest::newRow("UTF-8") << QByteArray("J\xc3\xb6rg\r\ngilde.example\r\n\xe2\x82\xac uro\r\n")
                               << QStringLiteral("Jörg") << QStringLiteral("gilde.example") << QStringLiteral("€ uro")
                               << true << QStringLiteral("Password");
        QTest::newRow("no login") << QByteArray("\r\nguild.example\r\npw\r\n") << QString()
                                  << QStringLiteral("guild.example") << QStringLiteral("pw") << false
                                  << QStringLiteral("Login");
    }
    void loadSettings()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, login);
        QFETCH(QString, url);
        QFETCH(QString, password);
        QFETCH(bool, logsIn);
        QFETCH(QString, focus);

        QTemporaryDir dir;
        Fixture f(dir.path());
        if (!file.isNull())
            QVERIFY(writeFile(f.settingsFile(), file));
        f.list.append({ {}, QStringLiteral("KESTREL77") });
        f.list.append({ {}, QStringLiteral("KESTREL77\\Mossgate\\Tovrin") });
        f.list.setChecked(1, false);

        QCOMPARE(f.settings.LoadSettings(), logsIn);
        QCOMPARE(f.view.login(), login);
        QCOMPARE(f.view.url(), url);
        QCOMPARE(f.view.password(), password);
        QCOMPARE(f.view.rememberPassword(), !password.isEmpty());
        QCOMPARE(f.view.focus, QStringList { focus });
        QVERIFY(f.dialogs.shown.isEmpty()); // no warning while loading

        if (password.isEmpty()) {
            // Box left clear: nothing is written.
            QCOMPARE(f.clicks, 0);
            QCOMPARE(readFile(f.settingsFile()), file.isNull() ? QByteArray() : file);
            QVERIFY(!QFileInfo::exists(f.noUploadFile()));
        } else {
            // Ticking the box saves both files once, with what was just loaded.
            QCOMPARE(f.clicks, 1);
            // In the system's code page, which on Linux is UTF-8.
            QCOMPARE(
                readFile(f.settingsFile()), io::encodeLocalText(login + u"\r\n" + url + u"\r\n" + password + u"\r\n"));
            QCOMPARE(readFile(f.noUploadFile()), QByteArray("KESTREL77\\Mossgate\\Tovrin\r\n"));
        }
    }

    void saveSettings_data()
    {
        QTest::addColumn<bool>("remember");
        QTest::addColumn<QList<bool>>("checked");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QByteArray>("noUpload");
        const QByteArray withPassword("J\xc3\xb6rg \r\nguild.example\r\n p\xc3\xa4ss\r\n");
        const QByteArray withoutPassword("J\xc3\xb6rg \r\nguild.example\r\n\r\n");
        QTest::newRow("remembered") << true << QList<bool> { true, false } << withPassword
                                    << QByteArray("KESTREL77\\Mossgate\\Tovrin\r\n");
        QTest::newRow("not remembered") << false << QList<bool> { true, true } << withoutPassword << QByteArray("");
        QTest::newRow("all unchecked, in list order") << false << QList<bool> { false, false } << withoutPassword
                                                      << QByteArray("KESTREL77\r\nKESTREL77\\Mossgate\\Tovrin\r\n");
    }
    void saveSettings()
    {
        QFETCH(bool, remember);
        QFETCH(QList<bool>, checked);
        QFETCH(QByteArray, settings);
        QFETCH(QByteArray, noUpload);
        QTemporaryDir dir;
        Fixture f(dir.path());
        f.list.append({ {}, QStringLiteral("KESTREL77") });
        f.list.append({ {}, QStringLiteral("KESTREL77\\Mossgate\\Tovrin") });
        for (int i = 0; i < checked.size(); ++i)
            f.list.setChecked(i, checked.at(i));
        f.view.setLogin(QStringLiteral("Jörg "));
        f.view.setUrl(QStringLiteral("guild.example"));
        f.view.setPassword(QStringLiteral(" päss"));
        f.view.onRememberPasswordChanged = nullptr;
        f.view.setRememberPassword(remember);
        // An older noupload.txt is replaced, not added to.
        QVERIFY(writeFile(f.noUploadFile(), "OLD\r\nLINES\r\n"));

        f.settings.SaveSettings();
        QCOMPARE(readFile(f.settingsFile()), io::encodeLocalText(QString::fromUtf8(settings)));
        QCOMPARE(readFile(f.noUploadFile()), noUpload);

        // What was saved comes back.
        Fixture again(dir.path());
        again.settings.LoadSettings();
        QCOMPARE(again.view.login(), QStringLiteral("Jörg "));
        QCOMPARE(again.view.password(), remember ? QStringLiteral(" päss") : QString());
    }

    void settingsFileIsPrivate()
    {
#ifndef Q_OS_UNIX
        QSKIP("Windows keeps a user's files private through the access lists of the user's folders");
#endif
        QTemporaryDir dir;
        Fixture f(dir.path());
        QVERIFY(writeFile(f.settingsFile(), "old\r\n"));
        QVERIFY(QFile::setPermissions(f.settingsFile(),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        f.view.setPassword(QStringLiteral("pw"));
        f.settings.SaveSettings();
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(f.settingsFile()) & others, QFileDevice::Permissions());
        QVERIFY(QFile::permissions(f.settingsFile()) & QFileDevice::ReadOwner);
        // noupload.txt holds nothing secret and keeps the usual permissions.
        QVERIFY(QFile::permissions(f.noUploadFile()) & QFileDevice::ReadOwner);
    }

    void failedSaveKeepsTheOldFiles()
    {
#ifndef Q_OS_UNIX
        QSKIP("Needs a file-size limit, which only Unix has");
#else
        QTemporaryDir dir;
        Fixture f(dir.path());
        const QByteArray oldSettings("old\r\nsite\r\npw\r\n");
        const QByteArray oldNoUpload("A\r\n");
        QVERIFY(writeFile(f.settingsFile(), oldSettings));
        QVERIFY(writeFile(f.noUploadFile(), oldNoUpload));
        f.list.append({ {}, QStringLiteral("A very long entry text that does not fit") });
        f.list.setChecked(0, false);
        f.view.setLogin(QStringLiteral("a login longer than the limit allows"));
        {
            FileSizeLimit limit(8);
            QVERIFY(limit.ok());
            f.settings.SaveSettings();
        }
        QCOMPARE(readFile(f.settingsFile()), oldSettings);
        QCOMPARE(readFile(f.noUploadFile()), oldNoUpload);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary files left
#endif
    }

    void oneFileFailingDoesNotStopTheOther()
    {
        QTemporaryDir dir;
        Fixture f(dir.path());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("settings.txt"))); // cannot be replaced by a file
        f.list.append({ {}, QStringLiteral("A") });
        f.list.setChecked(0, false);
        f.settings.SaveSettings();
        QVERIFY(QFileInfo(f.settingsFile()).isDir());
        QCOMPARE(readFile(f.noUploadFile()), QByteArray("A\r\n"));
    }

    void rememberPasswordClick_data()
    {
        QTest::addColumn<BoxAnswer>("answer");
        QTest::addColumn<bool>("remembered");
        QTest::addColumn<QByteArray>("thirdLine");
        QTest::newRow("yes keeps the password") << BoxAnswer::Yes << true << QByteArray("s3cret");
        QTest::newRow("no clears the box") << BoxAnswer::No << false << QByteArray();
    }
    void rememberPasswordClick()
    {
        QFETCH(BoxAnswer, answer);
        QFETCH(bool, remembered);
        QFETCH(QByteArray, thirdLine);
        QTemporaryDir dir;
        Fixture f(dir.path());
        f.view.setLogin(QStringLiteral("alice"));
        f.view.setUrl(QStringLiteral("guild.example"));
        f.view.setPassword(QStringLiteral("s3cret"));
        f.dialogs.answers = { answer };
        int savesDuringBox = -1;
        f.dialogs.onShow = [&](const MessageBoxRequest&) { savesDuringBox = QFileInfo::exists(f.settingsFile()); };

        f.view.setRememberPassword(true); // the user ticks the box

        QCOMPARE(f.dialogs.shown.size(), 1); // the re-run after "No" asks nothing
        const MessageBoxRequest& box = f.dialogs.shown.first();
        QCOMPARE(box.text, kWarning);
        QCOMPARE(box.title, QStringLiteral("Warning!"));
        QCOMPARE(box.icon, BoxIcon::Question);
        QCOMPARE(box.buttons, BoxButtons::YesNo);
        QCOMPARE(savesDuringBox, 0); // nothing written before the answer
        QCOMPARE(f.view.rememberPassword(), remembered);
        QCOMPARE(f.clicks, remembered ? 1 : 2);
        QCOMPARE(readFile(f.settingsFile()), QByteArray("alice\r\nguild.example\r\n") + thirdLine + "\r\n");
    }

    void clearingTheBoxErasesThePassword()
    {
        QTemporaryDir dir;
        Fixture f(dir.path());
        QVERIFY(writeFile(f.settingsFile(), "alice\r\nguild.example\r\ns3cret\r\n"));
        QVERIFY(f.settings.LoadSettings());
        f.view.setRememberPassword(false);
        QVERIFY(f.dialogs.shown.isEmpty());
        QCOMPARE(readFile(f.settingsFile()), QByteArray("alice\r\nguild.example\r\n\r\n"));
        QCOMPARE(f.view.password(), QStringLiteral("s3cret")); // only the file forgets it
    }

    void defaultFolderIsTheCurrentOne()
    {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        {
            Fixture f { QString() };
            f.view.setLogin(QStringLiteral("alice"));
            f.settings.SaveSettings();
        }
        QDir::setCurrent(previous);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("settings.txt"))), QByteArray("alice\r\n\r\n\r\n"));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("noupload.txt"))), QByteArray(""));
    }
};

QTEST_GUILESS_MAIN(TestSettingsFiles)
#include "test_settingsfiles.moc"
