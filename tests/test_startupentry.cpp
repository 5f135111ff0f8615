#include "fakes.h"
#include "settings/startup.h"

#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;

namespace {

// The main window's wiring: the box's change runs the handler.
struct Fixture
{
    Fixture()
    {
        view.onStartWithWindowsChanged = [this] { entry.StartWithWindows_Click(); };
    }
    FakeAutostart autostart;
    FakeFormView view;
    FakeLog log;
    StartupEntry entry { autostart, view, log };
};

} // namespace

class TestStartupEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tickingAndClearing()
    {
        Fixture f;
        f.view.setStartWithWindows(true);
        QCOMPARE(f.autostart.enables, 1);
        QVERIFY(f.autostart.present);
        QVERIFY(f.entry.IsInStartup());

        f.view.setStartWithWindows(false);
        QCOMPARE(f.autostart.disables, 1);
        QVERIFY(!f.autostart.present);
        QVERIFY(!f.entry.IsInStartup());
        QVERIFY(f.log.messages.isEmpty()); // success is not logged
    }

    void failureShowsWhatTheSystemHolds_data()
    {
        QTest::addColumn<bool>("presentBefore");
        QTest::addColumn<bool>("tick"); // the user's change: tick (else clear)
        QTest::addColumn<bool>("boxAfter");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("write fails: box unticked")
            << false << true << false
            << QStringLiteral("Could not add the program to the start-up programs: read-only folder");
        QTest::newRow("rewrite fails over a current entry: box stays ticked")
            << true << true << true
            << QStringLiteral("Could not add the program to the start-up programs: read-only folder");
        QTest::newRow("removal fails: box ticked again")
            << true << false << true
            << QStringLiteral("Could not remove the program from the start-up programs: read-only folder");
    }
    void failureShowsWhatTheSystemHolds()
    {
        QFETCH(bool, presentBefore);
        QFETCH(bool, tick);
        QFETCH(bool, boxAfter);
        QFETCH(QString, logLine);
        Fixture f;
        f.autostart.present = presentBefore;
        if (!tick) {
            f.view.setStartWithWindows(true);
            f.autostart.enables = 0;
        }
        f.autostart.enableError = "read-only folder";
        f.autostart.disableError = "read-only folder";

        f.view.setStartWithWindows(tick);

        QCOMPARE(f.view.startWithWindows(), boxAfter);
        QCOMPARE(f.autostart.present, presentBefore);
        QCOMPARE(f.log.messages, QStringList { logLine });
        // Setting the box back wrote or removed nothing more.
        QCOMPARE(f.autostart.enables, tick ? 1 : 0);
        QCOMPARE(f.autostart.disables, tick ? 0 : 1);

        // The next click works normally again.
        f.autostart.enableError.clear();
        f.autostart.disableError.clear();
        f.view.setStartWithWindows(!boxAfter);
        QCOMPARE(f.autostart.present, !boxAfter);
        QCOMPARE(f.log.messages.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestStartupEntry)
#include "test_startupentry.moc"
