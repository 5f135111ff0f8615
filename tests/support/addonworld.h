#pragma once
// A game on disk (C:\Games\World of Warcraft\ with Interface/AddOns spelled as the game's installer
// spells it), the reference site as file host, and the addon updater between them, for the
// download and update check tests.

#include "addon/addonupdater.h"
#include "catalogue/gamefolders.h"
#include "core/browser.h"
#include "fakes.h"
#include "guild-site/guildsite.h"
#include "http/xmlhttp.h"
#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <chrono>
#include <memory>

namespace rostrel::fakes {

inline const QString kAnnounce = QStringLiteral("Rostrel has been updated to version ");
inline const QString kUpdated = QStringLiteral("Rostrel Mod Updated to version ");
inline const QString kDownloadError = QStringLiteral("Error Downloading File: ");
// The addon folder as the update check names it: the stored game folder ends in a backslash and
// the check adds its own.
inline const QString kGameAddonFolder = QStringLiteral("C:\\Games\\World of Warcraft\\\\Interface\\AddOns\\Rostrel\\");

// Every byte value, then the line ends a text download might mangle.
inline QByteArray allBytes()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes + QByteArray("\r\n\n\r\0\xff", 6);
}

struct AddonWorld : GameWorld
{
    explicit AddonWorld(std::chrono::milliseconds stallTimeout = kStallTimeout)
        : requests(network, stallTimeout)
        , site(siteConfig(dir.path()))
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\World of Warcraft\\"));
        QDir().mkpath(addons());
        QDir().mkpath(site.config().filesDir);
        site.listen();
        QObject::connect(&site, &GuildSite::fileRequested, [this](const QString& name) { requested.append(name); });
        useHost(site.hostAndPort());
    }

    static GuildSiteConfig siteConfig(const QString& root)
    {
        GuildSiteConfig config;
        config.dataDir = root + QStringLiteral("/site-data");
        config.filesDir = root + QStringLiteral("/host");
        return config;
    }

    void useHost(const QString& host)
    {
        updater = std::make_unique<AddonUpdater>(folders, source, dialogs, log, fileHostBase(host));
    }

    QString gameDir() const { return dir.path() + QStringLiteral("/Games/World of Warcraft"); }
    QString addons() const { return gameDir() + QStringLiteral("/Interface/AddOns"); }
    QString addon(const QString& name = {}) const { return addons() + QStringLiteral("/Rostrel/") + name; }

    [[nodiscard]] bool installToc(const QByteArray& toc)
    {
        return testing::writeFile(addon(QStringLiteral("Rostrel.toc")), toc);
    }
    [[nodiscard]] bool publish(const QString& name, const QByteArray& bytes) { return site.publishFile(name, bytes); }

    QStringList boxTexts() const
    {
        QStringList texts;
        for (const MessageBoxRequest& box : dialogs.shown)
            texts.append(box.text);
        return texts;
    }

    // Every box the updater shows is a plain OK box under the application title.
    bool boxesArePlain() const
    {
        for (const MessageBoxRequest& box : dialogs.shown) {
            if (box.title != kAppTitle || box.icon != BoxIcon::None || box.buttons != BoxButtons::Ok)
                return false;
        }
        return true;
    }

    // Files anywhere in the game tree, relative to the game folder.
    QStringList gameFiles() const
    {
        QStringList files;
        QDirIterator it(gameDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(QDir(gameDir()).relativeFilePath(it.next()));
        files.sort();
        return files;
    }

    FakeBrowser browser;
    QNetworkAccessManager network;
    NetworkRequestFactory requests;
    RequestSource source { requests, dialogs, browser, exit };
    GuildSite site;
    QStringList requested;
    std::unique_ptr<AddonUpdater> updater;
};

} // namespace rostrel::fakes
