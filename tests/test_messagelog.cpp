#include "app/messagelog.h"
#include "fakes.h"

#include <QTest>

using namespace rostrel;

namespace {
struct DecemberClock : fakes::FakeClock
{
    DecemberClock() { time = QDateTime(QDate(2026, 12, 7), QTime(13, 5, 9)); }
};
const QLocale kUs(QLocale::English, QLocale::UnitedStates);
} // namespace

class TestMessageLog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stampFollowsTheLocale_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("expected");
        QTest::newRow("us afternoon") << kUs << QTime(13, 5, 9) << QStringLiteral("12/7/26 1:05:09 PM");
        QTest::newRow("us midnight shows the date alone") << kUs << QTime(0, 0, 0) << QStringLiteral("12/7/26");
        QTest::newRow("one second past midnight") << kUs << QTime(0, 0, 1) << QStringLiteral("12/7/26 12:00:01 AM");
        QTest::newRow("german, no zone name")
            << QLocale(QLocale::German, QLocale::Germany) << QTime(13, 5, 9) << QStringLiteral("07.12.26 13:05:09");
    }
    void stampFollowsTheLocale()
    {
        QFETCH(QLocale, locale);
        QFETCH(QTime, time);
        QFETCH(QString, expected);
        QCOMPARE(MessageLog::stamp(QDateTime(QDate(2026, 12, 7), time), locale), expected);
    }

    void newestLineFirstEachEndedByCrLf()
    {
        DecemberClock clock;
        MessageLog log(clock, kUs);
        log.AddMessage(QStringLiteral("first"));
        QCOMPARE(log.text(), QStringLiteral("12/7/26 1:05:09 PM: first\r\n"));
        clock.time = clock.time.addSecs(1);
        log.AddMessage(QStringLiteral("second"));
        QCOMPARE(log.text(), QStringLiteral("12/7/26 1:05:10 PM: second\r\n12/7/26 1:05:09 PM: first\r\n"));
    }

    void multiLineMessageCarriesOneStamp()
    {
        DecemberClock clock;
        MessageLog log(clock, kUs);
        log.AddMessage(QStringLiteral("Error\r\n-----Start-----\r\nabc\r\n-----End-----"));
        QCOMPARE(log.text().count(QStringLiteral("PM: ")), 1);
        QVERIFY(log.text().startsWith(QStringLiteral("12/7/26 1:05:09 PM: Error\r\n-----Start-----")));
    }

    void cutToTheLimitBeforeTheNewLine()
    {
        DecemberClock clock;
        MessageLog log(clock, kUs);
        const QString exact(kLogLimit, QLatin1Char('x'));
        log.replaceText(exact);
        log.AddMessage(QStringLiteral("m"));
        QVERIFY(log.text().endsWith(exact));
        QCOMPARE(log.text().size(), kLogLimit + QStringLiteral("12/7/26 1:05:09 PM: m\r\n").size());

        log.replaceText(exact + QLatin1Char('y'));
        log.AddMessage(QStringLiteral("m"));
        QVERIFY(!log.text().contains(QLatin1Char('y')));
        QVERIFY(log.text().endsWith(exact));
    }

    void replacedTextStaysUnderTheNewLine()
    {
        DecemberClock clock;
        MessageLog log(clock, kUs);
        log.AddMessage(QStringLiteral("old"));
        log.replaceText(QStringLiteral("Inventory Uploaded"));
        log.AddMessage(QStringLiteral("Successfully logged in"));
        QCOMPARE(log.text(), QStringLiteral("12/7/26 1:05:09 PM: Successfully logged in\r\nInventory Uploaded"));
    }
};

QTEST_GUILESS_MAIN(TestMessageLog)
#include "test_messagelog.moc"
