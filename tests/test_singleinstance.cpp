#include "app/singleinstance.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace rostrel;
using namespace std::chrono_literals;

class TestSingleInstance : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void oneProgramPerFolder()
    {
        const bool abstract = QSysInfo::kernelType() == QLatin1String("linux");
        QTemporaryDir guild, otherGuild;
        // A lock left by a program that crashed names a process that is gone: it blocks nothing.
        QFile stale(QDir(guild.path()).filePath(kLockFileName));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("2147483646\nRostrelUploader\n" + QSysInfo::machineHostName().toUtf8() + '\n');
        stale.close();

        SingleInstance first(guild.path(), abstract);
        QVERIFY(first.claim());
        QSignalSpy shown(&first, &SingleInstance::showRequested);
        // The same folder, written another way: the later start hands over and ends.
        SingleInstance second(guild.path() + QStringLiteral("/./"), abstract);
        QVERIFY(!second.claim(2s));
        QTRY_COMPARE(shown.size(), 1);
        SingleInstance elsewhere(otherGuild.path(), abstract);
        QVERIFY(elsewhere.claim());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_singleinstance.moc"
