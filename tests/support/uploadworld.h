#pragma once
// A small game world in a temporary folder with the upload machinery around it, for the upload
// and watcher tests: a fake registry naming C:\Games\WoW\, profiles on disk, and the real
// request object talking to servers on loopback.

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
#include "catalogue/profiles.h"
#include "core/browser.h"
#include "fakes.h"
#include "guild-site/guildsite.h"
#include "http/xmlhttp.h"
#include "testfiles.h"
#include "upload/logincommand.h"
#include "upload/uploader.h"
#include "upload/watcher.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <functional>

namespace rostrel::fakes {

struct UploadWorld : GameWorld
{
    explicit UploadWorld(std::chrono::milliseconds stall = std::chrono::milliseconds(3000))
        : factory(network, stall)
    {
        registry.setInstallPath(QStringLiteral("C:\\Games\\WoW\\"));
        QDir().mkpath(accountHost());
        view.setLogin(QStringLiteral("kestrel"));
        view.setPassword(QStringLiteral("secret"));
        watcher.setTimings({ {}, {}, {} }); // profiles go up as written, failures pause nothing
    }

    QString accountHost() const { return dir.path() + QStringLiteral("/Games/WoW/WTF/Account"); }
    QString profileHost(const QString& entry) const
    {
        return accountHost() + QLatin1Char('/') + QString(entry).replace(QLatin1Char('\\'), QLatin1Char('/'))
            + QStringLiteral("/SavedVariables/Rostrel.lua");
    }
    // Writes a profile for the entry (e.g. "ACC\Realm\Char") and returns its host path.
    QString writeProfile(const QString& entry, const QByteArray& bytes)
    {
        const QString path = profileHost(entry);
        return testing::writeFile(path, bytes) ? path : QString();
    }

    int saves = 0;
    FakeFormView view;
    FakeBrowser browser;
    CharacterList list;
    Discovery discovery { folders, list };
    ProfileReader profiles { folders, list, log };
    QNetworkAccessManager network;
    NetworkRequestFactory factory;
    RequestSource requests { factory, dialogs, browser, exit };
    Uploader uploader { view, requests, dialogs, log };
    ForwardClock clock;
    Watcher watcher { discovery, list, profiles, uploader, log, clock };
    std::function<void()> saved = [this] { ++saves; }; // what the login's save of the settings does
    LoginCommand login { view, uploader, list, discovery, profiles, watcher, dialogs, log, [this] { saved(); } };
};

// The same with the reference site on loopback, its address typed in.
struct WatchedWorld : UploadWorld
{
    explicit WatchedWorld(std::chrono::milliseconds stall = std::chrono::milliseconds(3000))
        : UploadWorld(stall)
        , site([this] {
            GuildSiteConfig config;
            config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
            config.dataDir = dir.path() + QStringLiteral("/site");
            return config;
        }())
    {
        site.listen();
        view.setUrl(site.hostAndPort());
    }
    int uploads() const { return static_cast<int>(site.received().size()); }
    GuildSite site;
};

} // namespace rostrel::fakes
