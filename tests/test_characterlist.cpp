#include "catalogue/characterlist.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;
using namespace Qt::Literals::StringLiterals;

namespace {

CharacterList* makeList(const QStringList& texts, const QList<bool>& checked = {})
{
    auto* list = new CharacterList;
    for (const QString& text : texts)
        list->append({ {}, text });
    for (int i = 0; i < checked.size(); ++i)
        list->setChecked(i, checked.at(i));
    return list;
}

QList<bool> checkStates(const CharacterList& list)
{
    QList<bool> states;
    for (int i = 0; i < list.count(); ++i)
        states.append(list.isChecked(i));
    return states;
}

} // namespace

class TestCharacterList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void modelShowsEntriesWithTicks()
    {
        CharacterList list;
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        QCOMPARE(list.append({ {}, QStringLiteral("KESTREL77\\Mossgate\\Tovrin") }), 0);
        QCOMPARE(list.append({ {}, QStringLiteral("KESTREL77") }), 1);
        QCOMPARE(inserted.size(), 2);
        QCOMPARE(inserted.at(1).at(1).toInt(), 1);

        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.rowCount(list.index(0)), 0); // a flat list
        const QModelIndex first = list.index(0);
        QCOMPARE(first.data(Qt::DisplayRole).toString(), QStringLiteral("KESTREL77\\Mossgate\\Tovrin"));
        QCOMPARE(first.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QVERIFY(list.flags(first) & Qt::ItemIsUserCheckable);
        QVERIFY(list.flags(first) & Qt::ItemIsEnabled);
        QVERIFY(!(list.flags(first) & Qt::ItemIsEditable));
    }

    void viewChangesTicks_data()
    {
        QTest::addColumn<QVariant>("unchecked");
        QTest::addColumn<QVariant>("checked");
        QTest::newRow("int") << QVariant(int(Qt::Unchecked)) << QVariant(int(Qt::Checked));
        QTest::newRow("enum") << QVariant::fromValue(Qt::Unchecked) << QVariant::fromValue(Qt::Checked);
    }
    void viewChangesTicks()
    {
        QFETCH(QVariant, unchecked);
        QFETCH(QVariant, checked);
        CharacterList list;
        list.append({ {}, QStringLiteral("A") });
        list.append({ {}, QStringLiteral("B") });
        QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);

        QVERIFY(list.setData(list.index(1), unchecked, Qt::CheckStateRole));
        QVERIFY(!list.isChecked(1));
        QVERIFY(list.isChecked(0));
        QCOMPARE(list.index(1).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first().first().toModelIndex().row(), 1);

        QVERIFY(list.setData(list.index(1), checked, Qt::CheckStateRole));
        QVERIFY(list.isChecked(1));
        QCOMPARE(changed.size(), 2);

        // Texts are not editable.
        QVERIFY(!list.setData(list.index(0), QStringLiteral("X"), Qt::EditRole));
        QCOMPARE(list.text(0), QStringLiteral("A"));
    }

    void inListAlready_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("found");
        QTest::newRow("same") << QStringLiteral("KESTREL77") << true;
        QTest::newRow("other case") << QStringLiteral("kestrel77") << true;
        QTest::newRow("non-ASCII other case") << QStringLiteral("ÄRGER\\ÇHAR") << true;
        QTest::newRow("prefix only") << QStringLiteral("KESTREL7") << false;
        QTest::newRow("trailing space") << QStringLiteral("KESTREL77 ") << false;
        QTest::newRow("empty") << QString() << false;
    }
    void inListAlready()
    {
        QFETCH(QString, text);
        QFETCH(bool, found);
        std::unique_ptr<CharacterList> list(makeList({ QStringLiteral("KESTREL77"), QStringLiteral("ärger\\çhar") }));
        QCOMPARE(list->InListAlready({ {}, text }), found);
    }

    void profileIds()
    {
        CharacterList list, restarted;
        for (const QString& folder : { u"ZED\\Realm\\Ann"_s, u"ABC"_s, u"zed"_s })
            list.append({ u"_retail_"_s, folder });
        for (int i = 3; i >= 0; --i) // another flavour's account first, then the list backwards
            restarted.append(i == 3 ? EntryPlace { u"_classic_"_s, u"NEW"_s } : list.place(i));
        QCOMPARE(QStringList({ list.profileId(0), list.profileId(1), list.profileId(2) }),
            QStringList({ u"_retail_/Realm/Ann"_s, restarted.profileId(2), restarted.profileId(1) }));
        QVERIFY(list.profileId(1).contains(QRegularExpression(u"^_retail_/account-[0-9a-f]{8}$"_s)));
    }

    void fileDatesFollowTheList()
    {
        CharacterList list;
        QCOMPARE(list.fileDatesSize(), 0);
        list.resetFileDates();
        QCOMPARE(list.fileDatesSize(), 1); // one spare element, as at start-up

        list.append({ {}, QStringLiteral("A") }); // the spare element becomes A's
        QCOMPARE(list.fileDatesSize(), 1);
        const QDateTime t(QDate(2024, 5, 6), QTime(7, 8, 9));
        list.setFileDate(0, t);
        list.append({ {}, QStringLiteral("B") });
        QCOMPARE(list.fileDatesSize(), 2);
        QCOMPARE(list.fileDate(0), std::optional<QDateTime>(t));
        QCOMPARE(list.fileDate(1), std::nullopt);

        list.resetFileDates();
        QCOMPARE(list.fileDatesSize(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(list.fileDate(i), std::nullopt);

        // Outside the array: reads give no time, writes change nothing.
        list.setFileDate(7, t);
        list.setFileDate(-1, t);
        QCOMPARE(list.fileDatesSize(), 3);
        QCOMPARE(list.fileDate(7), std::nullopt);
        QCOMPARE(list.fileDate(-1), std::nullopt);
    }

    void nextCheckedEntry_data()
    {
        QTest::addColumn<QList<bool>>("checked");
        QTest::addColumn<int>("start");
        QTest::addColumn<QList<int>>("visits");
        QTest::newRow("skips unchecked, wraps round")
            << QList<bool> { true, false, true, true } << -1 << QList<int> { 0, 2, 3, 0, 2, 3 };
        QTest::newRow("one checked entry every time")
            << QList<bool> { false, true, false } << -1 << QList<int> { 1, 1, 1 };
        QTest::newRow("none checked keeps -1") << QList<bool> { false, false } << -1 << QList<int> { -1, -1 };
        QTest::newRow("none checked keeps old index") << QList<bool> { false, false } << 1 << QList<int> { 1, 1 };
        QTest::newRow("empty list") << QList<bool> {} << -1 << QList<int> { -1 };
        QTest::newRow("starts after the current one")
            << QList<bool> { true, true, true } << 1 << QList<int> { 2, 0, 1 };
        QTest::newRow("current one unchecked meanwhile")
            << QList<bool> { true, false, true } << 1 << QList<int> { 2, 0, 2 };
        QTest::newRow("index beyond the list wraps to the first")
            << QList<bool> { false, true } << 9 << QList<int> { 1, 1 };
    }
    void nextCheckedEntry()
    {
        QFETCH(QList<bool>, checked);
        QFETCH(int, start);
        QFETCH(QList<int>, visits);
        QStringList texts;
        for (int i = 0; i < checked.size(); ++i)
            texts.append(QString::number(i));
        std::unique_ptr<CharacterList> list(makeList(texts, checked));
        list->setWatchIndex(start);
        QList<int> seen;
        for (int i = 0; i < visits.size(); ++i) {
            list->GetNextListIndexnoupload();
            seen.append(list->WatchIndex());
        }
        QCOMPARE(seen, visits);
    }

    void restoresUncheckedEntries_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QByteArray>("file"); // absent: no file at all
        QTest::addColumn<QList<bool>>("checked");

        const QStringList k = { QStringLiteral("KESTREL77"), QStringLiteral("KESTREL77\\Mossgate\\Tovrin"),
            QStringLiteral("kestrel77") };
        QTest::newRow("no file: all checked") << k << QByteArray() << QList<bool> { true, true, true };
        QTest::newRow("empty file") << k << QByteArray("") << QList<bool> { true, true, true };
        QTest::newRow("spaces trimmed, case kept")
            << k << QByteArray("   KESTREL77  \r\n") << QList<bool> { false, true, true };
        QTest::newRow("tabs are not trimmed") << k << QByteArray("\tKESTREL77\r\n") << QList<bool> { true, true, true };
        QTest::newRow("lower-case line") << k << QByteArray("kestrel77") << QList<bool> { true, true, false };
        QTest::newRow("CR alone ends a line")
            << k << QByteArray("KESTREL77\rKESTREL77\\Mossgate\\Tovrin\r") << QList<bool> { false, false, true };
        QTest::newRow("LF alone stays in the line")
            << k << QByteArray("KESTREL77\nkestrel77\n") << QList<bool> { true, true, true };
        QTest::newRow("last line without line end")
            << k << QByteArray("nothing\r\nKESTREL77\\Mossgate\\Tovrin") << QList<bool> { true, false, true };
        QTest::newRow("non-ASCII names") << QStringList { QStringLiteral("Ärger\\Çhar ñ"), QStringLiteral("B") }
                                         << QByteArray("\xc3\x84rger\\\xc3\x87har \xc3\xb1\r\n")
                                         << QList<bool> { false, true };
        QTest::newRow("unknown lines ignored")
            << k << QByteArray("\r\n\r\nGONE\r\n") << QList<bool> { true, true, true };
    }
    void restoresUncheckedEntries()
    {
        QFETCH(QStringList, entries);
        QFETCH(QByteArray, file);
        QFETCH(QList<bool>, checked);
        QTemporaryDir dir;
        if (!file.isNull()) {
            QFile out(dir.filePath(QStringLiteral("noupload.txt")));
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file);
        }
        // Everything unchecked beforehand: the file alone decides.
        std::unique_ptr<CharacterList> list(makeList(entries, QList<bool>(entries.size(), false)));
        QSignalSpy changed(list.get(), &QAbstractItemModel::dataChanged);
        list->CompareToHardDrive(dir.path());
        QCOMPARE(checkStates(*list), checked);
        QVERIFY(!changed.isEmpty());
    }

    void noUploadFileThatIsAFolder()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("noupload.txt")));
        std::unique_ptr<CharacterList> list(makeList({ QStringLiteral("A") }, { false }));
        list->CompareToHardDrive(dir.path());
        QCOMPARE(checkStates(*list), QList<bool> { true });
    }
};

QTEST_GUILESS_MAIN(TestCharacterList)
#include "test_characterlist.moc"
