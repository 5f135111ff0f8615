#pragma once
// The update check: fetches the published version, the file list and the files from the file host
// and stores them in every flavour that has the addon, then says what happened. The installed side
// is InstalledAddon's, the addresses and the parsing are filehost.h's.

#include "addon/filehost.h"
#include "addon/installedaddon.h"
#include "core/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

namespace rostrel {

class GameFolders;
class RequestSource;
class Dialogs;
class MessageSink;

class AddonUpdater
{
public:
    AddonUpdater(
        GameFolders& folders, RequestSource& requests, Dialogs& dialogs, MessageSink& log, FileHostSource fileHost);

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
    //
    // An update is bounded (100 names, 64 MB) and replaces the addon folder whole once every file
    // has arrived; it shows one box at most. A version that still differs once stored is not
    // fetched again until the published one changes.
    void CheckVersionAndDownload(CheckMode mode = CheckMode::Attended);
    bool isChecking() const { return m_checking; }
    // Whether the first check could not reach the guild site serving the addon (or had no address
    // yet), so that it is to run once more when a login first reaches the site.
    bool checkAfterLogin() const { return m_checkAfterLogin; }
    // Runs that check, once.
    void loggedIn()
    {
        if (std::exchange(m_checkAfterLogin, false))
            CheckVersionAndDownload(CheckMode::Background);
    }

    // The address of a file on the file host of the latest check.
    QString fileUrl(const QString& name) const { return rostrel::fileUrl(m_base, name); }

    // The check's one GET through a fresh request object: the body of a 2xx reply, or why there is
    // none. A failure is shown in the download error box, unless the check runs in the background.
    Result<QByteArray> fetch(const QString& url);
    // The check's store of a file at a game path, replacing it atomically: a write that fails
    // leaves the file as it was and is shown in a box, unless in the background.
    bool storeFile(const QString& toFile, const QByteArray& bytes);

private:
    // Whether the check under way has failed, and the run of failing background checks: a
    // background check writes only the first line of a run, and one that fails nothing ends it.
    class FailureRun
    {
    public:
        void begin(CheckMode mode)
        {
            m_background = mode == CheckMode::Background;
            m_checkFailed = false;
        }
        void end()
        {
            if (m_background && !m_checkFailed)
                m_failingInBackground = false;
            m_background = false;
        }
        bool background() const { return m_background; }
        void failed() { m_checkFailed = true; }
        // A failure with a line of its own: whether the line is to be written.
        bool failedWithLine()
        {
            m_checkFailed = true;
            if (m_background && m_failingInBackground)
                return false;
            m_failingInBackground = m_background;
            return true;
        }

    private:
        bool m_background = false;
        bool m_checkFailed = false; // something failed in the check under way
        bool m_failingInBackground = false; // the last background check failed and said so
    };

    // A flavour the check updates, and why its update failed (the box's text), if it did.
    struct Target
    {
        AddonPlace place;
        QString failure;
    };
    // The listed files' names and bytes as they are to be stored.
    using Files = std::vector<std::pair<QString, QByteArray>>;
    // Every listed file, or nothing when one fails or the list is past the bounds (said in the log).
    std::optional<Files> fetchFiles(const QString& listUrl, const QStringList& listed, const QString& version);
    // Puts the files in place of a flavour's addon folder; the failure's box text, or empty.
    QString replaceAddon(const AddonPlace& place, const Files& files);
    void announce(const QString& version, const std::vector<Target>& pending);
    // A line about a check that failed; in the background only the first of a run is written.
    void reportFailure(const QString& line);

    GameFolders& m_folders;
    RequestSource& m_requests;
    Dialogs& m_dialogs;
    MessageSink& m_log;
    InstalledAddon m_installed;
    FileHostSource m_fileHost;
    QString m_base; // the file host of the check under way
    bool m_saidNoHost = false;
    bool m_checkedOnce = false;
    bool m_checkAfterLogin = false;
    int m_lastStatus = 0; // of the latest fetch; 0 when it got no answer
    std::optional<QString> m_unsettled; // a published version installed that did not settle
    bool m_checking = false;
    FailureRun m_failures;
};

} // namespace rostrel
