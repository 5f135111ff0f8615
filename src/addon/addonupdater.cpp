#include "addon/addonupdater.h"

#include "catalogue/gamefolders.h"
#include "core/fileio.h"
#include "core/seams.h"
#include "http/nestingguard.h"
#include "http/xmlhttp.h"

#include <QLoggingCategory>
#include <QScopeGuard>
#include <algorithm>

Q_LOGGING_CATEGORY(lcAddon, "rostrel.addon", QtInfoMsg)

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {

const QString kVersionFile = QStringLiteral("RostrelVersion");
const QString kFileList = QStringLiteral("RostrelFiles");
const QString kCrLf = QStringLiteral("\r\n");

// A published version is a short text. Anything longer is a misconfigured host (an HTML page, a
// binary), which must not end up in a message box or be taken for a version.
constexpr qsizetype kMaxVersionLength = 256;
// How much of a refused name the log shows.
constexpr qsizetype kShownNameLength = 80;

QString shownName(const QString& name)
{
    if (name.size() <= kShownNameLength)
        return name;
    return name.left(kShownNameLength) + QStringLiteral("...");
}

} // namespace

AddonUpdater::AddonUpdater(
    GameFolders& folders, RequestSource& requests, Dialogs& dialogs, MessageSink& log, FileHostSource fileHost)
    : m_folders(folders)
    , m_requests(requests)
    , m_dialogs(dialogs)
    , m_log(log)
    , m_installed(folders, log)
    , m_fileHost(std::move(fileHost))
    , m_base(m_fileHost.base())
{ }

Result<QByteArray> AddonUpdater::fetch(const QString& url)
{
    // Does not return when no request object can be made: the program ends there.
    const std::unique_ptr<XmlHttpRequest> request = m_requests.CreateXMLObject();
    const Result<QByteArray> result = [&]() -> Result<QByteArray> {
        if (!request->Open(u"GET"_s, url, true) || !request->send()) {
            const QString error = request->errorString();
            return Failure { error.isEmpty() ? u"The request could not be sent."_s : error };
        }
        if (!request->waitForCompletion())
            return Failure { request->errorString() };
        const int status = request->status();
        if (status < 200 || status > 299)
            return Failure { u"HTTP %1"_s.arg(status) }; // an error page is not the file asked for
        return request->responseBody();
    }();
    qCDebug(lcAddon) << "GET" << url << (result ? u"ok"_s : result.error());
    if (!result)
        m_failures.failed();
    if (!result && !m_failures.background())
        m_dialogs.message(u"Error Downloading File: "_s + url + kCrLf + kCrLf + result.error());
    return result;
}

bool AddonUpdater::storeFile(const QString& toFile, const QByteArray& bytes)
{
    // Never half-written: a full disk or a crash leaves the installed file as it was.
    const Result<void> written = io::writeFileAtomically(m_folders.toHost(toFile), bytes);
    if (!written)
        m_failures.failed();
    if (!written && !m_failures.background())
        m_dialogs.message(u"Saving of file "_s + toFile + u" Failed for the following reason: "_s + written.error());
    return written.ok();
}

void AddonUpdater::reportFailure(const QString& line)
{
    if (m_failures.failedWithLine())
        m_log.AddMessage(line);
}

void AddonUpdater::CheckVersionAndDownload(CheckMode mode)
{
    // A check started while another waits for the network would race it over the same files.
    const NestingGuard guard(m_checking);
    if (!guard.entered())
        return;
    m_base = m_fileHost.base();
    if (m_base.isEmpty()) {
        if (!m_saidNoHost)
            m_log.AddMessage(QStringLiteral("Addon update check skipped: the addon comes from your guild site, whose "
                                            "address is not typed in yet"));
        m_saidNoHost = true;
        return;
    }
    m_saidNoHost = false;
    m_failures.begin(mode);
    const auto endOfCheck = qScopeGuard([this] { m_failures.end(); });

    std::vector<AddonPlace> places = m_installed.places();
    for (const AddonPlace& place : places) {
        m_installed.FindOldAddonAndDelete(place);
    }

    const auto stop = [this](const QString& url, const QString& why) {
        reportFailure(
            QStringLiteral("Addon update check stopped: could not fetch ") + url + QStringLiteral(" (") + why + u')');
    };

    const QString versionUrl = fileUrl(kVersionFile);
    const Result<QByteArray> versionReply = fetch(versionUrl);
    if (!versionReply) {
        stop(versionUrl, versionReply.error());
        return;
    }
    const QString serverVersion = cleanVersion(*versionReply);
    if (serverVersion.size() > kMaxVersionLength) {
        reportFailure(QStringLiteral("Addon update check stopped: ") + versionUrl
            + QStringLiteral(" holds %1 characters, which is no version").arg(serverVersion.size()));
        return;
    }

    std::vector<Target> pending;
    for (AddonPlace& place : places) {
        const std::optional<QString> installed = m_installed.installedVersion(place);
        if (!installed || *installed != serverVersion)
            pending.push_back({ std::move(place), 0, {} });
    }
    if (pending.empty())
        return;

    const QString listUrl = fileUrl(kFileList);
    const Result<QByteArray> listReply = fetch(listUrl);
    if (!listReply) {
        stop(listUrl, listReply.error());
        return;
    }

    const int tried = install(splitFileList(*listReply), pending);
    if (tried == 0) {
        // Nothing was installed, so there is nothing to announce; the same list would otherwise
        // announce the same version again at every check.
        reportFailure(QStringLiteral("Addon update check stopped: ") + listUrl
            + QStringLiteral(" names no file to fetch for version ") + serverVersion);
        return;
    }
    announce(serverVersion, pending, tried);
}

int AddonUpdater::install(const QStringList& names, std::vector<Target>& pending)
{
    int tried = 0;
    // Each file is fetched once and stored in every flavour that needs it. The table of contents
    // names the installed version, so it is stored after every other file and only when they all
    // were: an update cut short (a file that failed, the program ended half way) then leaves the
    // old version in place and the next check tries again.
    for (const QString& name : names) {
        if (name.isEmpty())
            continue;
        if (!isSafeFileName(name)) {
            m_log.AddMessage(QStringLiteral("Addon update: refused the listed name \"") + shownName(name)
                + QStringLiteral("\", which is not a plain file name inside the addon folder"));
            continue;
        }
        ++tried;
        const Result<QByteArray> reply = fetch(fileUrl(name));
        const bool isToc = name.compare(kTocName, Qt::CaseInsensitive) == 0;
        for (Target& target : pending) {
            if (!reply)
                ++target.failed; // the installed file stays as it was
            else if (isToc)
                target.toc.emplace(name, *reply + QByteArrayLiteral("\r\n"));
            else if (!storeFile(target.place.file(name), *reply + QByteArrayLiteral("\r\n")))
                ++target.failed;
        }
    }
    for (Target& target : pending) {
        if (target.toc && target.failed == 0 && !storeFile(target.place.file(target.toc->first), target.toc->second))
            ++target.failed;
    }
    return tried;
}

void AddonUpdater::announce(const QString& version, const std::vector<Target>& pending, int tried)
{
    const bool updated = std::any_of(pending.begin(), pending.end(), [](const Target& t) { return t.failed == 0; });
    if (updated)
        m_dialogs.message(QStringLiteral("Rostrel has been updated to version ") + version);
    for (const Target& target : pending) {
        if (target.failed > 0) {
            // The user has seen a box for each failed file; saying "updated" now would be untrue.
            QString line = target.place.logPrefix + QStringLiteral("Rostrel update to version ") + version
                + QStringLiteral(" incomplete: %1 of %2 files could not be updated").arg(target.failed).arg(tried);
            if (target.toc)
                line += QStringLiteral("; ") + target.toc->first
                    + QStringLiteral(" keeps the installed version, so the next check tries again");
            reportFailure(line);
            continue;
        }
        m_log.AddMessage(target.place.logPrefix + QStringLiteral("Rostrel Mod Updated to version ") + version);
    }
}

} // namespace rostrel
