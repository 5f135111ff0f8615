#pragma once
// The program without its window, for the fault suite: a game folder with profiles and an
// installed addon, a settings folder, the reference guild site, and the real request object,
// upload, login, watcher, settings files and update check around them.

#include "addon/addonupdater.h"
#include "guild-site/guildsite.h"
#include "settings/settingsfiles.h"
#include "support/uploadworld.h"
#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>

namespace rostrel::fakes {

// Counts the ticks of a fast timer and remembers the longest stretch without one: a wait that
// blocks the event loop shows up as a long stretch.
class Heartbeat
{
public:
    explicit Heartbeat(std::chrono::milliseconds interval = std::chrono::milliseconds(10))
    {
        m_timer.setInterval(interval);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { beat(); });
        m_sinceLast.start();
        m_timer.start();
    }
    // Ends the count; the stretch since the last tick counts too.
    void stop()
    {
        m_timer.stop();
        m_longest = std::max(m_longest, m_sinceLast.elapsed());
    }
    int ticks() const { return m_ticks; }
    qint64 longestGapMs() const { return m_longest; }

private:
    void beat()
    {
        ++m_ticks;
        m_longest = std::max(m_longest, m_sinceLast.restart());
    }
    QTimer m_timer;
    QElapsedTimer m_sinceLast;
    int m_ticks = 0;
    qint64 m_longest = 0;
};

using testing::FileSizeLimit;
using testing::readFile;
using testing::writeFile;

// Every file below a folder (relative path -> bytes); folders show up as "<name>/" with no bytes.
inline QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(folder).relativeFilePath(path);
        if (it.fileInfo().isDir())
            files.insert(name + QLatin1Char('/'), {});
        else
            files.insert(name, readFile(path));
    }
    return files;
}

struct FaultWorld : UploadWorld
{
    static inline const QString kLogin = QStringLiteral("kestrel");
    static inline const QString kPassword = QStringLiteral("secret");
    static inline const QByteArray kInstalledToc = "## Interface: 11200\r\n## Version: 1.0\r\n";
    static inline const QByteArray kInstalledLua = "-- Rostrel 1.0\r\nRostrel = {}\r\n";

    explicit FaultWorld(std::chrono::milliseconds stall = std::chrono::milliseconds(3000))
        : UploadWorld(stall)
        , site([this] {
            GuildSiteConfig config;
            config.users.insert(kLogin, kPassword);
            config.dataDir = dir.path() + QStringLiteral("/site-data");
            config.filesDir = dir.path() + QStringLiteral("/site-files");
            QDir().mkpath(config.filesDir);
            return config;
        }())
    {
        QDir().mkpath(settingsHost());
        writeFile(addonHost(QStringLiteral("Rostrel.toc")), kInstalledToc);
        writeFile(addonHost(QStringLiteral("Rostrel.lua")), kInstalledLua);
        site.listen();
        useFileHost(site.hostAndPort());
        saved = [this] { settings.SaveSettings(); };
    }

    QString gameHost() const { return dir.path() + QStringLiteral("/Games/WoW"); }
    QString addonHost(const QString& name = {}) const
    {
        return gameHost() + QStringLiteral("/Interface/AddOns/Rostrel/") + name;
    }
    QString settingsHost(const QString& name = {}) const { return dir.path() + QStringLiteral("/settings/") + name; }
    // The game path the watcher and the log name for an entry's profile.
    static QString profileGamePath(const QString& entry)
    {
        return QStringLiteral("C:\\Games\\WoW\\WTF\\Account\\") + entry
            + QStringLiteral("\\SavedVariables\\Rostrel.lua");
    }

    void useFileHost(const QString& hostAndPort)
    {
        updater = std::make_unique<AddonUpdater>(folders, requests, dialogs, log, fileHostBase(hostAndPort));
    }
    // Publishes a new addon on the reference site: version 2.0, a table of contents and code.
    void publishAddon(const QByteArray& toc = "## Version: 2.0\r\n", const QByteArray& lua = "-- Rostrel 2.0\r\n")
    {
        site.publishFile(QStringLiteral("RostrelVersion"), "2.0");
        site.publishFile(QStringLiteral("RostrelFiles"), "Rostrel.lua\r\nRostrel.toc\r\n");
        site.publishFile(QStringLiteral("Rostrel.lua"), lua);
        site.publishFile(QStringLiteral("Rostrel.toc"), toc);
    }

    QStringList boxTexts() const
    {
        QStringList texts;
        for (const MessageBoxRequest& box : dialogs.shown)
            texts.append(box.text);
        return texts;
    }
    int uploads() const { return static_cast<int>(site.received().size()); }

    SettingsFiles settings { view, list, dialogs, settingsHost() };
    GuildSite site;
    std::unique_ptr<AddonUpdater> updater;
};

} // namespace rostrel::fakes
