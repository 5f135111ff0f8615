#include "addon/addonupdater.h"

#include "catalogue/gamefolders.h"
#include "core/fileio.h"
#include "core/seams.h"
#include "http/nestingguard.h"
#include "http/xmlhttp.h"

#include <QDir>
#include <QFileInfo>
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
// An addon is a handful of files; a list or a download past these is a host gone wrong, and every
// member of the guild would get it.
constexpr qsizetype kMaxListedNames = 100;
constexpr qint64 kMaxUpdateBytes = 64 * 1024 * 1024;
// Beside the addon folder: the new version while it arrives, the old one while they swap places.
const QString kStagingSuffix = QStringLiteral(".new");
const QString kPreviousSuffix = QStringLiteral(".old");

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
    m_lastStatus = 0;
    const Result<QByteArray> result = [&]() -> Result<QByteArray> {
        if (!request->Open(u"GET"_s, url, true) || !request->send()) {
            const QString error = request->errorString();
            return Failure { error.isEmpty() ? u"The request could not be sent."_s : error };
        }
        if (!request->waitForCompletion())
            return Failure { request->errorString() };
        const int status = request->status();
        m_lastStatus = status;
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
    const bool first = !m_checkedOnce;
    m_checkedOnce = true;
    m_base = m_fileHost.base();
    if (m_base.isEmpty()) {
        if (!m_saidNoHost)
            m_log.AddMessage(QStringLiteral("Addon update check skipped: the addon comes from your guild site, whose "
                                            "address is not typed in yet"));
        m_saidNoHost = true;
        m_checkAfterLogin = first && m_fileHost.followsSite();
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
        // The guild site not up yet at start-up: the first login that reaches it tries again.
        m_checkAfterLogin = first && m_fileHost.followsSite() && m_lastStatus == 0;
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
            pending.push_back({ std::move(place), {} });
    }
    if (pending.empty()) {
        m_unsettled.reset();
        return;
    }
    // Installed once and still not named by the table of contents: fetching it again would only
    // repeat the update and its box every half hour.
    if (m_unsettled == serverVersion)
        return;

    const QString listUrl = fileUrl(kFileList);
    const Result<QByteArray> listReply = fetch(listUrl);
    if (!listReply) {
        stop(listUrl, listReply.error());
        return;
    }
    const std::optional<Files> files = fetchFiles(listUrl, splitFileList(*listReply), serverVersion);
    if (!files)
        return;
    for (Target& target : pending)
        target.failure = replaceAddon(target.place, *files);
    announce(serverVersion, pending);
}

std::optional<AddonUpdater::Files> AddonUpdater::fetchFiles(
    const QString& listUrl, const QStringList& listed, const QString& version)
{
    QStringList names;
    for (const QString& name : listed) {
        if (!name.isEmpty())
            names.append(name);
    }
    if (names.size() > kMaxListedNames) {
        reportFailure(QStringLiteral("Addon update refused: ") + listUrl
            + QStringLiteral(" names %1 files, more than the %2 an addon update may have")
                  .arg(names.size())
                  .arg(kMaxListedNames));
        return std::nullopt;
    }
    Files files;
    qint64 total = 0;
    for (const QString& name : std::as_const(names)) {
        if (!isSafeFileName(name)) {
            m_log.AddMessage(QStringLiteral("Addon update: refused the listed name \"") + shownName(name)
                + QStringLiteral("\", which is not a plain file name inside the addon folder"));
            continue;
        }
        // The first file that fails ends the update, with its one box: the installed addon stays whole.
        const QString url = fileUrl(name);
        const Result<QByteArray> reply = fetch(url);
        if (!reply) {
            reportFailure(QStringLiteral("Addon update check stopped: could not fetch ") + url + QStringLiteral(" (")
                + reply.error() + QStringLiteral("); the installed addon is kept as it was"));
            return std::nullopt;
        }
        total += reply->size();
        if (total > kMaxUpdateBytes) {
            reportFailure(QStringLiteral("Addon update refused: the files of version ") + version
                + QStringLiteral(" come to more than %1 MB").arg(kMaxUpdateBytes / (1024 * 1024)));
            return std::nullopt;
        }
        files.push_back({ name, *reply + QByteArrayLiteral("\r\n") });
    }
    if (files.empty()) {
        // Nothing was installed, so there is nothing to announce; the same list would otherwise
        // announce the same version again at every check.
        reportFailure(QStringLiteral("Addon update check stopped: ") + listUrl
            + QStringLiteral(" names no file to fetch for version ") + version);
        return std::nullopt;
    }
    return files;
}

QString AddonUpdater::replaceAddon(const AddonPlace& place, const Files& files)
{
    // The new version is written whole beside the addon folder and then put in its place, so that
    // files the new list no longer names are gone and an update cut short leaves the old addon.
    const QString folder = place.file({}).chopped(1);
    const QString live = m_folders.toHost(folder);
    const QString staging = live + kStagingSuffix;
    const QString previous = live + kPreviousSuffix;
    const auto failed = [&](const QString& path, const QString& why) -> QString {
        QDir(staging).removeRecursively();
        m_failures.failed();
        return u"Saving of file "_s + path + u" Failed for the following reason: "_s + why;
    };
    // A run ended between the two renames left the old addon aside.
    if (!QFileInfo::exists(live) && QFileInfo(previous).isDir())
        QDir().rename(previous, live);
    if (QFileInfo::exists(live) && !QFileInfo(live).isDir())
        return failed(folder, u"a file of that name stands where the addon folder belongs"_s);
    QDir(staging).removeRecursively();
    if (!QDir().mkpath(staging))
        return failed(folder + kStagingSuffix, u"the folder could not be made"_s);
    for (const auto& [name, bytes] : files) {
        const Result<void> written = io::writeFileAtomically(staging + u'/' + name, bytes);
        if (!written)
            return failed(place.file(name), written.error());
    }
    QDir(previous).removeRecursively();
    if (QFileInfo::exists(live) && !QDir().rename(live, previous))
        return failed(folder, u"the installed addon folder could not be moved aside (is the game running?)"_s);
    if (!QDir().rename(staging, live)) {
        QDir().rename(previous, live);
        return failed(folder, u"the new addon folder could not be put in its place"_s);
    }
    QDir(previous).removeRecursively();
    return {};
}

void AddonUpdater::announce(const QString& version, const std::vector<Target>& pending)
{
    const auto updated
        = std::find_if(pending.begin(), pending.end(), [](const Target& t) { return t.failure.isEmpty(); });
    // One box for the update whatever the number of flavours: the news, or else the first failure.
    if (updated != pending.end())
        m_dialogs.message(QStringLiteral("Rostrel has been updated to version ") + version);
    else if (!m_failures.background())
        m_dialogs.message(pending.front().failure);
    for (const Target& target : pending) {
        if (!target.failure.isEmpty()) {
            reportFailure(target.place.logPrefix + QStringLiteral("Rostrel update to version ") + version
                + QStringLiteral(" not installed, the installed addon is kept as it was: ") + target.failure);
            continue;
        }
        m_log.AddMessage(target.place.logPrefix + QStringLiteral("Rostrel Mod Updated to version ") + version);
        const std::optional<QString> installed = m_installed.installedVersion(target.place);
        if (installed != version && m_unsettled != version) {
            m_unsettled = version;
            m_log.AddMessage(target.place.logPrefix + QStringLiteral("Rostrel version \"") + version
                + QStringLiteral("\" was installed, but its ") + kTocName + QStringLiteral(" names version \"")
                + installed.value_or(QString())
                + QStringLiteral("\"; it is not fetched again until the file host "
                                 "publishes another version"));
        }
    }
}

} // namespace rostrel
