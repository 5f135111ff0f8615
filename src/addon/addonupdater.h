#pragma once
// Keeps the in-game addon current: reads the installed version, fetches the published version,
// file list and files from the file host, and removes the older "Coffrin" addon. Every game path
// is built Windows-style and reaches the disk through GameFolders::toHost.

#include "core/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace rostrel {

class GameFolders;
class RequestSource;
class Dialogs;
class MessageSink;

// The file host's base address ("http://" + host + "/files/Rostrel/"). The host is the build-time
// default unless `override` names one ("files.example.org", "127.0.0.1:8080"); an override that
// starts with "https://" keeps TLS, one that starts with "http://" is taken as plain HTTP. Empty
// when neither names a host.
QString fileHostBase(const QString& override);
// The same, with the override taken from the environment variable ROSTREL_FILE_HOST.
QString fileHostBaseFromEnvironment();

// Where the addon's files come from: a fixed base address, or one worked out at each check (the
// guild site in the address box, which the player may not have typed yet: then empty).
class FileHostSource
{
public:
    FileHostSource(QString base)
        : m_fixed(std::move(base))
    { }
    FileHostSource(std::function<QString()> find)
        : m_find(std::move(find))
    { }
    QString base() const { return m_find ? m_find() : m_fixed; }

private:
    QString m_fixed;
    std::function<QString()> m_find;
};

class AddonUpdater
{
public:
    AddonUpdater(
        GameFolders& folders, RequestSource& requests, Dialogs& dialogs, MessageSink& log, FileHostSource fileHost);

    // The version named by the first "Version:" line of the installed Rostrel.toc; absent when
    // there is no such line or the file cannot be read. Makes sure the addon folder exists first.
    std::optional<QString> GetMyVersion();
    // The same for the addon folder of another flavour ("...\Interface\Addons\Rostrel\").
    std::optional<QString> installedVersion(const QString& addonFolder);

    // Fetches an address and returns the reply decoded as UTF-8. A failure (no answer or an HTTP
    // error status) is shown to the user and gives the empty text; lastDownloadOk() tells the two
    // apart.
    QString QuickDownload(const QString& url);
    bool lastDownloadOk() const { return m_lastDownloadOk; }

    // Fetches an address and stores the reply bytes followed by CR LF at a game path. A failed fetch
    // leaves the file as it was; the file is replaced atomically. Returns whether it was written.
    bool QuickDownloadToFile(const QString& url, const QString& toFile);

    // Removes Coffrin.lua, Coffrin.toc and Coffrin.xml (in that order, stopping at the first that
    // cannot be removed) when Coffrin.lua carries the service's marker. Silent otherwise.
    void FindOldAddonAndDelete();

    // Who is there to see a failure: the check at start-up shows each failed fetch in a box; the
    // one repeated from the tray writes to the log only, one line for a run of failing checks (an
    // offline laptop would otherwise meet a box every half hour). An update is announced either way.
    enum class CheckMode
    {
        Attended,
        Background
    };

    // The update check: old addon removal, then version comparison and, when the versions differ,
    // the download of every listed file. A call while a check runs returns at once. It keeps the
    // addon current in the flavour the registry names and in every other flavour that has it,
    // with one fetch of the version and of the list. Without a file host it is skipped, with one
    // log line in the run.
    void CheckVersionAndDownload(CheckMode mode = CheckMode::Attended);
    bool isChecking() const { return m_checking; }

    QString fileHostBase() const { return m_fileHost.base(); }
    // The address of a file on the host; the name is percent-encoded as a URL needs.
    QString fileUrl(const QString& name) const;

    // Whether a name from the file list stays inside the addon folder as a plain file name.
    static bool isSafeFileName(const QString& name);
    // The published version: the version file's text with spaces at its ends and every CR LF
    // removed.
    static QString cleanVersion(const QByteArray& versionFile);
    // The file list's names: its text split at every CR LF, empty pieces kept.
    static QStringList splitFileList(const QByteArray& fileList);

private:
    // One GET through a fresh request object: the body of a 2xx reply, or why there is none (for
    // boxes and log lines). A failure is shown in the download error box.
    Result<QByteArray> fetch(const QString& url);
    bool storeFile(const QString& toFile, const QByteArray& bytes);
    // Removes the older addon from an "...\Interface\Addons" folder (no trailing "\").
    void removeOldAddon(const QString& addons, const QString& logPrefix);
    // A flavour whose addon the check keeps current.
    struct Target
    {
        QString addons; // the flavour's "...\Interface\Addons", without a trailing "\"
        QString logPrefix; // names the flavour when the game has several
        bool named = false;
        int failed = 0;
        std::optional<std::pair<QString, QByteArray>> toc;
    };
    std::vector<Target> targets();
    // Fetches and stores the listed files in every pending flavour; returns how many were tried.
    int install(const QStringList& names, std::vector<Target>& pending);
    // A line about a check that failed; in the background only the first of a run is written.
    void reportFailure(const QString& line);
    friend class CheckScope;

    GameFolders& m_folders;
    RequestSource& m_requests;
    Dialogs& m_dialogs;
    MessageSink& m_log;
    FileHostSource m_fileHost;
    QString m_base; // the file host of the check under way
    bool m_saidNoHost = false;
    bool m_lastDownloadOk = false;
    bool m_checking = false;
    bool m_background = false;
    bool m_checkFailed = false; // something failed in the check under way
    bool m_failingInBackground = false; // the last background check failed and said so
};

} // namespace rostrel
