// The desktop browser opener, with a stand-in xdg-open on PATH.

#include "core/browser.h"
#include "platform/backends.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/wait.h>

using namespace rostrel;

class TestBrowser : public QObject
{
    Q_OBJECT

    QByteArray m_savedPath;

private Q_SLOTS:
    void initTestCase() { m_savedPath = qgetenv("PATH"); }
    void cleanup() { qputenv("PATH", m_savedPath); }

    void opensTheAddressAsOneArgument_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("plain") << QStringLiteral("http://guild.example/memberbankupload.php");
        // Would split or run something if a shell stood in between.
        QTest::newRow("shell characters") << QStringLiteral("http://x.example/a b;touch pwned&c=$(id)`id`'\"");
    }

    void opensTheAddressAsOneArgument()
    {
        QFETCH(QString, url);
        QTemporaryDir bin;
        const QString out = bin.filePath(QStringLiteral("args"));
        const QString script = bin.filePath(QStringLiteral("xdg-open"));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > \"" + out.toUtf8() + ".tmp\"\nmv \"" + out.toUtf8()
            + ".tmp\" \"" + out.toUtf8() + "\"\n");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        qputenv("PATH", QFile::encodeName(bin.path()) + ":/usr/bin:/bin");

        const auto opener = makeDesktopBrowserOpener();
        QCOMPARE(opener->open(url.toStdString()), BrowserResult::Started);
        QTRY_VERIFY(QFile::exists(out));
        QFile args(out);
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(args.readAll()), QStringLiteral("1|") + url + u'|');
        QVERIFY(!QFile::exists(bin.filePath(QStringLiteral("pwned"))));
        // Started detached: no child of ours is left to be reaped.
        errno = 0;
        QCOMPARE(::waitpid(-1, nullptr, WNOHANG), -1);
        QCOMPARE(errno, ECHILD);
    }

    void falseWithoutXdgOpen()
    {
        QTemporaryDir empty;
        qputenv("PATH", QFile::encodeName(empty.path()));
        QCOMPARE(makeDesktopBrowserOpener()->open("http://guild.example/"), BrowserResult::NoBrowser);
    }
};

QTEST_GUILESS_MAIN(TestBrowser)
#include "test_browser.moc"
