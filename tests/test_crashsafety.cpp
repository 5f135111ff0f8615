// The built program is killed (SIGKILL) again and again while it saves settings.txt and
// noupload.txt at start-up and while it stores the addon's files from a slow file host. After
// every kill each file must hold exactly what it held before or exactly what the program meant to
// write: never a mix, a part or nothing. And the addon's table of contents may only name the new
// version once every other file is new, so an update cut short is finished by the next run.
//
// Kills are aimed: the program runs with ROSTREL_TEST_STOP_IN_WRITES, which stops it half-way
// through every write and again before the rename, and a thread kills it at the n-th such stop in
// the folder aimed at; so a kill lands inside a write however fast the disk is. Some kills fall at
// random moments of the whole run instead.

#include "guild-site/guildsite.h"
#include "support/crashworld.h"
#include "support/slowfilehost.h"
#include "testdata.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

using namespace rostrel;
using namespace rostrel::testing;
using namespace rostrel::testing::crash;
using namespace std::chrono_literals;

namespace {

constexpr int kKills = 50;
// Start-up, two slow downloads and the stores take well under this; past it the run is ended.
constexpr int kRunLimitMs = 8000;
const QByteArray kTocOld = "## Interface: 11200\r\n## Title: Rostrel\r\n## Version: 1.0\r\n";
const QByteArray kTocPublished = "## Interface: 11200\r\n## Title: Rostrel\r\n## Version: 2.0\r\n";

// One file's two acceptable contents.
struct Expected
{
    QString path;
    QByteArray before;
    QByteArray after;
};

enum class Aim
{
    Settings, // the saves of settings.txt and noupload.txt at start-up
    Addon, // the stores of the addon's files
    AnyTime, // a random moment of the run
};

} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void killedWhileWritingLeavesOldOrNewFiles();

private:
    QString prefix() const { return m_dir.path() + QStringLiteral("/prefix"); }
    QString game() const { return prefix() + QStringLiteral("/drive_c/Games/World of Warcraft"); }
    QString addon(const QString& name = {}) const
    {
        return game() + QStringLiteral("/Interface/AddOns/Rostrel/") + name;
    }
    QString settings(const QString& name = {}) const { return m_dir.path() + QStringLiteral("/settings/") + name; }
    QString home() const { return m_dir.path() + QStringLiteral("/home"); }

    // Every file back to its old content; false when one could not be written.
    [[nodiscard]] bool resetToOldFiles();
    std::unique_ptr<QProcess> startProgram(bool stopInWrites = false);
    // Each file old or new, and the table of contents new only with everything else new. Returns
    // whether the addon was left part-way through an update.
    bool checkFiles(const QString& when);

    QTemporaryDir m_dir;
    std::unique_ptr<GuildSite> m_site;
    std::unique_ptr<SlowFileHost> m_host;
    QList<Expected> m_settings;
    QList<Expected> m_addon; // the table of contents last
    QString m_output;
};

void TestCrashSafety::initTestCase()
{
    const QString program = qEnvironmentVariable("ROSTREL_BIN_DIR") + QStringLiteral("/RostrelUploader");
    QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
    QVERIFY(m_dir.isValid());

    // The game under a Wine prefix, with a profile to log in with and one the player unchecked.
    QVERIFY(QDir().mkpath(prefix() + QStringLiteral("/dosdevices")));
    QVERIFY(QFile::link(QStringLiteral("../drive_c"), prefix() + QStringLiteral("/dosdevices/c:")));
    const QByteArray systemReg = readOrMissing(testDataPath(QStringLiteral("registry/game.reg")));
    QVERIFY(systemReg.startsWith("WINE REGISTRY"));
    QVERIFY(writeFile(prefix() + QStringLiteral("/system.reg"), systemReg));
    const QString account = game() + QStringLiteral("/WTF/Account/KESTREL77/Mossgate/");
    QVERIFY(writeFile(account + QStringLiteral("Tovrin/SavedVariables/Rostrel.lua"), "RostrelDB = {}\r\n"));
    QVERIFY(writeFile(account + QStringLiteral("Alt/SavedVariables/Rostrel.lua"), "RostrelDB = {}\r\n"));
    QVERIFY(QDir().mkpath(home()));

    GuildSiteConfig config;
    config.users.insert(QStringLiteral("kestrel"), QStringLiteral("gryphon"));
    config.dataDir = m_dir.path() + QStringLiteral("/site");
    config.keepBodies = false;
    m_site = std::make_unique<GuildSite>(config);
    QVERIFY(m_site->listen());

    // Two large files sent slowly, then the table of contents, listed first as publishers do.
    m_host = std::make_unique<SlowFileHost>(256 * 1024, 10ms);
    QVERIFY(m_host->listen());
    const QByteArray lua = pattern('a', 2 * 1024 * 1024 + 17);
    const QByteArray xml = pattern('A', 2 * 1024 * 1024 - 5);
    m_host->publish(QStringLiteral("RostrelVersion"), "2.0\r\n");
    m_host->publish(QStringLiteral("RostrelFiles"), "Rostrel.toc\r\nRostrel.lua\r\nRostrel.xml\r\n");
    m_host->publish(QStringLiteral("Rostrel.toc"), kTocPublished);
    m_host->publish(QStringLiteral("Rostrel.lua"), lua);
    m_host->publish(QStringLiteral("Rostrel.xml"), xml);

    // A remembered login typed with a path: the first save at start-up writes it back as it was,
    // the login's save as the bare host. noupload.txt names an entry that is gone, which the
    // saves drop.
    const QByteArray site = m_site->hostAndPort().toUtf8();
    m_settings = {
        { settings(QStringLiteral("settings.txt")), "kestrel\r\nhttp://" + site + "/guild/\r\ngryphon\r\n",
            "kestrel\r\n" + site + "\r\ngryphon\r\n" },
        { settings(QStringLiteral("noupload.txt")), "KESTREL77\\Gone\r\nKESTREL77\\Mossgate\\Alt\r\n",
            "KESTREL77\\Mossgate\\Alt\r\n" },
    };
    m_addon = {
        { addon(QStringLiteral("Rostrel.lua")), pattern('n', 1536 * 1024), lua + "\r\n" },
        { addon(QStringLiteral("Rostrel.xml")), pattern('N', 1536 * 1024 + 3), xml + "\r\n" },
        { addon(QStringLiteral("Rostrel.toc")), kTocOld, kTocPublished + "\r\n" },
    };
}

bool TestCrashSafety::resetToOldFiles()
{
    for (const Expected& file : std::as_const(m_settings) + m_addon) {
        if (!writeFile(file.path, file.before))
            return false;
    }
    return true;
}

std::unique_ptr<QProcess> TestCrashSafety::startProgram(bool stopInWrites)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(qEnvironmentVariable("ROSTREL_BIN_DIR") + QStringLiteral("/RostrelUploader"));
    process->setWorkingDirectory(settings());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), prefix());
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("ROSTREL_FILE_HOST"), m_host->hostAndPort());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (stopInWrites)
        env.insert(QStringLiteral("ROSTREL_TEST_STOP_IN_WRITES"), QStringLiteral("1"));
    for (const char* proxy : { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" })
        env.remove(QString::fromLatin1(proxy));
    process->setProcessEnvironment(env);
    m_output.clear();
    QProcess* raw = process.get();
    QObject::connect(raw, &QProcess::readyReadStandardError, raw,
        [this, raw] { m_output += QString::fromUtf8(raw->readAllStandardError()); });
    process->start();
    if (!process->waitForStarted())
        return nullptr;
    return process;
}

bool TestCrashSafety::checkFiles(const QString& when)
{
    QStringList newFiles;
    for (const Expected& file : std::as_const(m_settings) + m_addon) {
        const QByteArray now = readOrMissing(file.path);
        const bool ok = now == file.before || now == file.after;
        if (!ok) {
            QTest::qFail(
                qPrintable(QStringLiteral("%1: %2 holds %3 bytes, neither its old (%4) nor its new (%5) content")
                               .arg(when, QFileInfo(file.path).fileName())
                               .arg(now.size())
                               .arg(file.before.size())
                               .arg(file.after.size())),
                __FILE__, __LINE__);
            return false;
        }
        if (now == file.after)
            newFiles.append(QFileInfo(file.path).fileName());
    }
    const bool tocNew = newFiles.contains(QStringLiteral("Rostrel.toc"));
    const bool restNew
        = newFiles.contains(QStringLiteral("Rostrel.lua")) && newFiles.contains(QStringLiteral("Rostrel.xml"));
    if (tocNew && !restNew) {
        QTest::qFail(
            qPrintable(when + QStringLiteral(": Rostrel.toc names the new version, but not every file is new")),
            __FILE__, __LINE__);
        return false;
    }
    return !tocNew
        && (newFiles.contains(QStringLiteral("Rostrel.lua")) || newFiles.contains(QStringLiteral("Rostrel.xml")));
}

void TestCrashSafety::killedWhileWritingLeavesOldOrNewFiles()
{
    QElapsedTimer total;
    total.start();
    const QString updated = QStringLiteral("Rostrel has been updated to version 2.0");

    // A run left alone: it saves both files and installs the update; its length sets the span
    // for the kills at random moments.
    QVERIFY(resetToOldFiles());
    QElapsedTimer took;
    took.start();
    auto process = startProgram();
    QVERIFY(process);
    QTRY_VERIFY_WITH_TIMEOUT(m_output.contains(updated), kRunLimitMs);
    const int runMs = static_cast<int>(took.elapsed());
    process->kill();
    QVERIFY(process->waitForFinished(5000));
    for (const Expected& file : std::as_const(m_settings) + m_addon)
        QVERIFY2(readOrMissing(file.path) == file.after, qPrintable(file.path));

    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("seed %u, an undisturbed run takes %d ms", seed, runMs);
    QRandomGenerator random(seed);
    QList<Aim> aims;
    for (int i = 0; i < kKills; ++i)
        aims.append(i < 15 ? Aim::Settings : i < 40 ? Aim::Addon : Aim::AnyTime);
    std::shuffle(aims.begin(), aims.end(), random);

    const std::string settingsFolder = QFileInfo(settings()).canonicalFilePath().toStdString() + '/';
    const std::string addonFolder = QFileInfo(addon()).canonicalFilePath().toStdString() + ".new/";
    int inSettingsWrite = 0;
    int inAddonWrite = 0;
    int cutShort = 0;
    for (int kill = 1; kill <= kKills; ++kill) {
        QVERIFY(resetToOldFiles());
        const Aim aim = aims.at(kill - 1);
        process = startProgram(aim != Aim::AnyTime);
        QVERIFY(process);
        const auto pid = static_cast<pid_t>(process->processId());
        QSignalSpy finished(process.get(), &QProcess::finished);
        std::unique_ptr<WriteKiller> killer;
        bool timedKillInWrite = false;
        QTimer timed;
        timed.setSingleShot(true);
        QObject::connect(&timed, &QTimer::timeout, [&] {
            timedKillInWrite = stopLookAndKill(pid, { settingsFolder, addonFolder });
        });
        if (aim == Aim::Settings) {
            // Four writes at start-up (settings.txt and noupload.txt, saved twice), two stops each.
            killer = std::make_unique<WriteKiller>(pid, settingsFolder, random.bounded(8));
        } else if (aim == Aim::Addon) {
            // Three stores: the two large files, then the table of contents.
            killer = std::make_unique<WriteKiller>(pid, addonFolder, random.bounded(6));
        } else {
            timed.start(random.bounded(runMs));
        }
        // A kill that missed its moment still ends the run once the moment is past: the login has
        // reached the site (the saves are done) or the update was announced.
        const auto endRun = [&] {
            if (process->state() != QProcess::NotRunning)
                process->kill();
        };
        QTimer overdue;
        overdue.setSingleShot(true);
        QObject::connect(&overdue, &QTimer::timeout, endRun);
        overdue.start(kRunLimitMs);
        const auto uploaded = QObject::connect(m_site.get(), &GuildSite::uploadReceived, [&] {
            if (aim == Aim::Settings)
                endRun();
        });
        const auto announced = QObject::connect(process.get(), &QProcess::readyReadStandardError, [&] {
            if (m_output.contains(updated))
                endRun();
        });
        QVERIFY(finished.wait(kRunLimitMs + 5000));
        QObject::disconnect(uploaded);
        QObject::disconnect(announced);
        overdue.stop();
        timed.stop();
        const bool landed = killer ? killer->landedInWrite() : timedKillInWrite;
        killer.reset();
        QCOMPARE(process->exitStatus(), QProcess::CrashExit);
        if (aim == Aim::Settings && landed)
            ++inSettingsWrite;
        if (aim == Aim::Addon && landed)
            ++inAddonWrite;

        const bool partial = checkFiles(QStringLiteral("kill %1").arg(kill));
        if (QTest::currentTestFailed()) {
            qInfo().noquote() << "program output:" << m_output.right(3000);
            return;
        }
        cutShort += partial ? 1 : 0;
    }
    qInfo("kills during a settings write: %d, during an addon store: %d; updates cut short: %d", inSettingsWrite,
        inAddonWrite, cutShort);
    // The test must have hit what it is about, not only the moments around it.
    QVERIFY(inAddonWrite >= 10);
    QVERIFY(inSettingsWrite >= 3);
    QCOMPARE(cutShort, 0);

    // After all that, a run left alone from an update cut short still completes it.
    QVERIFY(resetToOldFiles());
    QVERIFY(writeFile(m_addon.first().path, m_addon.first().after)); // Rostrel.lua already new
    process = startProgram();
    QVERIFY(process);
    QTRY_VERIFY_WITH_TIMEOUT(m_output.contains(updated), kRunLimitMs);
    process->kill();
    QVERIFY(process->waitForFinished(5000));
    for (const Expected& file : std::as_const(m_settings) + m_addon)
        QVERIFY2(readOrMissing(file.path) == file.after, qPrintable(file.path));
    qInfo("whole test took %lld ms", total.elapsed());
}

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "test_crashsafety.moc"
