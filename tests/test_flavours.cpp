// A game root with several flavours (_retail_, _classic_era_ …): each entry keeps its own
// flavour's files whichever flavour the registry names, and noupload.txt keeps privacy.
#include "guild-site/guildsite.h"
#include "settings/settingsfiles.h"
#include "uploadworld.h"

#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace Qt::Literals::StringLiterals;

namespace {

const QString kRetail = QStringLiteral("_retail_\\ACC\\Realm\\Anna");
const QString kClassic = QStringLiteral("_classic_era_\\ACC\\Realm\\Anna");

struct FlavourWorld : UploadWorld
{
    FlavourWorld()
        : site([this] {
            GuildSiteConfig config;
            config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
            config.dataDir = dir.path() + QStringLiteral("/site");
            return config;
        }())
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\_retail_\\"));
        site.listen();
        view.setUrl(site.hostAndPort());
    }
    // Writes a profile below the game root ("_retail_\ACC\...") with a modification time long past.
    bool write(const QString& entry, const QByteArray& bytes, int ageSeconds)
    {
        const QString flavour = entry.section(QLatin1Char('\\'), 0, 0);
        const QString path = dir.path() + QStringLiteral("/Games/WoW/") + flavour + QStringLiteral("/WTF/Account/")
            + entry.section(QLatin1Char('\\'), 1).replace(QLatin1Char('\\'), QLatin1Char('/'));
        return QDir().mkpath(path + QStringLiteral("/SavedVariables"))
            && writeAged(path + QStringLiteral("/SavedVariables/Rostrel.lua"), bytes, ageSeconds);
    }
    static bool writeAged(const QString& path, const QByteArray& bytes, int ageSeconds)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
            && file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
    }
    QList<QByteArray> posted() const
    {
        QList<QByteArray> sent;
        for (const auto& upload : site.received())
            sent.append(upload.profile());
        return sent;
    }
    GuildSite site;
};

} // namespace

class TestFlavours : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void flavoursFoundBesideTheNamedOne()
    {
        FlavourWorld world;
        const QString root = world.dir.path() + QStringLiteral("/Games/WoW/");
        for (const char* made : { "_classic_era_/WTF/Account", "_Beta_/wtf/account", "_ptr_/Interface", "Data" })
            QVERIFY(QDir().mkpath(root + QLatin1String(made)));
        QVERIFY(FlavourWorld::writeAged(root + QStringLiteral("_x_"), "a file", 10));
        QStringList names; // _retail_ has no account folder yet, but the registry names it
        for (const Flavour& flavour : world.folders.flavours())
            names << flavour.name;
        QCOMPARE(names, QStringList({ u"_retail_"_s, u"_Beta_"_s, u"_classic_era_"_s }));
        QCOMPARE(world.folders.flavours().first().folder, QStringLiteral("C:\\Games\\WoW\\_retail_\\"));
        world.registry.setInstallPath(QStringLiteral("C:\\Games\\WoW"));
        QCOMPARE(world.folders.flavours().size(), 1); // the old layout: the game folder alone
        QVERIFY(world.folders.flavours().first().name.isEmpty());
    }

    void eachEntryKeepsItsFlavour()
    {
        FlavourWorld world;
        QVERIFY(world.write(kRetail, "retail\r\n", 600));
        QVERIFY(world.write(kClassic, "classic\r\n", 900));
        world.discovery.LoadfilesFromHardDrive();
        QCOMPARE(world.list.count(), 2);
        QCOMPARE(world.list.text(0), kRetail);
        QCOMPARE(world.list.text(1), kClassic);
        world.list.resetFileDates();
        world.watcher.UpdateTimer_Timer();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.posted(), QList<QByteArray>({ "retail\r\n", "classic\r\n" }));

        // The player launches Classic: the registry now names the other flavour.
        world.registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\_classic_era_\\"));
        for (int i = 0; i < 4; ++i)
            world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.list.count(), 2);
        QCOMPARE(world.posted().size(), 2);
        QVERIFY(world.write(kRetail, "retail 2\r\n", 300));
        world.watcher.UpdateTimer_Timer();
        world.watcher.UpdateTimer_Timer();
        QCOMPARE(world.posted().last(), QByteArray("retail 2\r\n"));
        QCOMPARE(world.posted().size(), 3);
    }

    void oldNoUploadLinesKeepEveryFlavourPrivate()
    {
        FlavourWorld world;
        QVERIFY(world.write(kRetail, "r", 60));
        QVERIFY(world.write(kClassic, "c", 60));
        QVERIFY(world.write(QStringLiteral("_retail_\\ACC"), "acc", 60));
        world.discovery.LoadfilesFromHardDrive();
        const QString noUpload = world.dir.filePath(kNoUploadFile);
        QVERIFY(FlavourWorld::writeAged(noUpload, "  ACC\\Realm\\Anna \r\n", 0));
        world.list.CompareToHardDrive(world.dir.path());
        QCOMPARE(world.list.uncheckedTexts(), QStringList({ kRetail, kClassic }));

        SettingsFiles settings(world.view, world.list, world.dialogs, world.dir.path());
        world.list.setChecked(0, true);
        settings.SaveSettings();
        QFile saved(noUpload);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), (kClassic + QStringLiteral("\r\n")).toUtf8());
        world.list.CompareToHardDrive(world.dir.path());
        QCOMPARE(world.list.uncheckedTexts(), QStringList({ kClassic }));
    }
};

QTEST_GUILESS_MAIN(TestFlavours)
#include "test_flavours.moc"
