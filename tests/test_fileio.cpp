// The file module every writer and reader of whole files goes through.

#include "core/fileio.h"
#include "testfiles.h"

#include <QTemporaryDir>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace rostrel;

class TestFileIo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writeReplacesWhole()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"settings.txt"_s);
        QVERIFY(testing::writeFile(path, QByteArray(4096, 'x')));
        const QByteArray bytes("login\r\n\xc3\x89lodie\r\n", 15);
        QVERIFY(io::writeFileAtomically(path, bytes).ok());
        QCOMPARE(testing::readFile(path), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { u"settings.txt"_s });
    }

    void writeFailures_data()
    {
        QTest::addColumn<QString>("where");
        // Made the same way for every user, root included.
        QTest::newRow("folder is a file") << u"plain/settings.txt"_s;
        QTest::newRow("target is a folder") << u"folder"_s;
        QTest::newRow("folder missing") << u"missing/settings.txt"_s;
    }
    void writeFailures()
    {
        QFETCH(QString, where);
        QTemporaryDir dir;
        QVERIFY(testing::writeFile(dir.filePath(u"plain"_s), "kept"));
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
        const auto written = io::writeFileAtomically(dir.filePath(where), "new");
        QVERIFY(!written.ok());
        QVERIFY(!written.error().isEmpty());
        QCOMPARE(testing::readFile(dir.filePath(u"plain"_s)), QByteArray("kept"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 2);
    }

#ifdef Q_OS_UNIX
    void permissionsOverAMoreOpenFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"settings.txt"_s);
        QVERIFY(testing::writeFile(path, "old"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(0x6666)));
        const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        QVERIFY(io::writeFileAtomically(path, "new", ownerOnly).ok());
        // Owner, group and others (Qt also reports the running user).
        QCOMPARE(QFileInfo(path).permissions() & QFileDevice::Permissions(0x7077), ownerOnly);
    }

    void aWriteCutShortKeepsTheOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"noupload.txt"_s);
        QVERIFY(testing::writeFile(path, "old"));
        testing::FileSizeLimit limit(1024);
        QVERIFY(limit.ok());
        QVERIFY(!io::writeFileAtomically(path, QByteArray(4096, 'x')).ok());
        QCOMPARE(testing::readFile(path), QByteArray("old"));
    }

    void aPipeIsNotRead()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"settings.txt"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QVERIFY(!io::readFile(path, 1024).ok()); // returns instead of waiting for a writer
    }
#endif

    void reads_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("whole") << u"file"_s << qint64(64) << true << QByteArray("a\r\nb\0c", 6);
        QTest::newRow("at the limit") << u"file"_s << qint64(6) << true << QByteArray("a\r\nb\0c", 6);
        QTest::newRow("past the limit") << u"file"_s << qint64(5) << false << QByteArray();
        QTest::newRow("empty") << u"empty"_s << qint64(0) << true << QByteArray();
        QTest::newRow("missing") << u"missing"_s << qint64(64) << false << QByteArray();
        QTest::newRow("folder") << u"folder"_s << qint64(1 << 20) << false << QByteArray();
    }
    void reads()
    {
        QFETCH(QString, name);
        QFETCH(qint64, limit);
        QFETCH(bool, ok);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        QVERIFY(testing::writeFile(dir.filePath(u"file"_s), QByteArray("a\r\nb\0c", 6)));
        QVERIFY(testing::writeFile(dir.filePath(u"empty"_s), {}));
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
        const auto read = io::readFile(dir.filePath(name), limit);
        QCOMPARE(read.ok(), ok);
        QCOMPARE(read.error().isEmpty(), ok);
        if (ok)
            QCOMPARE(read.value(), bytes);
    }
};

QTEST_GUILESS_MAIN(TestFileIo)
#include "test_fileio.moc"
