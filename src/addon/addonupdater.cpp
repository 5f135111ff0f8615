#include "addon/addonupdater.h"

#include "catalogue/gamefolders.h"
#include "core/config.h"
#include "core/fileio.h"
#include "core/seams.h"
#include "core/textlines.h"
#include "http/nestingguard.h"
#include "http/xmlhttp.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QUrl>
#include <algorithm>
#include <array>

Q_LOGGING_CATEGORY(lcAddon, "rostrel.addon", QtInfoMsg)

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {

const QString kVersionFile = QStringLiteral("RostrelVersion");
const QString kFileList = QStringLiteral("RostrelFiles");
// The installed addon's table of contents, which names its version.
const QString kTocName = QStringLiteral("Rostrel.toc");
// The addon's folder inside a flavour's Interface\Addons.
const QString kRostrelFolder = QStringLiteral("\\Rostrel\\");
const QString kCrLf = QStringLiteral("\r\n");

// A published version is a short text. Anything longer is a misconfigured host (an HTML page, a
// binary), which must not end up in a message box or be taken for a version.
constexpr qsizetype kMaxVersionLength = 256;
// Longest file name the common file systems accept, in UTF-8 bytes.
constexpr qsizetype kMaxFileNameBytes = 255;
// How much of a refused name the log shows.
constexpr qsizetype kShownNameLength = 80;
// The installed addon's text files are small; one past this is no addon file of ours. The same
// bound as a reply, so that any file the update stored can be read back.
constexpr qint64 kMaxAddonTextBytes = 64 * 1024 * 1024 + 2;

// The version named in one line of the table-of-contents file: the character right after
// "Version:" is always skipped and the rest trimmed. Absent when the line ends at the colon.
std::optional<QString> versionInLine(const QString& line, qsizetype marker)
{
    qsizetype start = marker + 8;
    if (start >= line.size())
        return std::nullopt;
    // One character, even when it takes two UTF-16 units.
    const bool pair
        = line.at(start).isHighSurrogate() && start + 1 < line.size() && line.at(start + 1).isLowSurrogate();
    start += pair ? 2 : 1;
    return trimSpaces(line.mid(start));
}

QString shownName(const QString& name)
{
    if (name.size() <= kShownNameLength)
        return name;
    return name.left(kShownNameLength) + QStringLiteral("...");
}

bool isWindowsDeviceName(const QString& name)
{
    // "CON", "nul.txt", "COM1.lua" open a device on the game's platform instead of a file.
    const QString stem = name.section(u'.', 0, 0).trimmed().toUpper();
    static const std::array<QString, 4> plain { QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
        QStringLiteral("NUL") };
    for (const QString& device : plain) {
        if (stem == device)
            return true;
    }
    if (stem.size() == 4 && (stem.startsWith(u"COM") || stem.startsWith(u"LPT")))
        return stem.at(3) >= u'1' && stem.at(3) <= u'9';
    return false;
}

} // namespace

// Sets the check's mode for its duration and, when a background check ends without a failure,
// ends the run of failures so that the next one is logged again.
class CheckScope
{
public:
    CheckScope(AddonUpdater& updater, AddonUpdater::CheckMode mode)
        : m_updater(updater)
    {
        m_updater.m_background = mode == AddonUpdater::CheckMode::Background;
        m_updater.m_checkFailed = false;
    }
    ~CheckScope()
    {
        if (m_updater.m_background && !m_updater.m_checkFailed)
            m_updater.m_failingInBackground = false;
        m_updater.m_background = false;
    }
    CheckScope(const CheckScope&) = delete;
    CheckScope& operator=(const CheckScope&) = delete;

private:
    AddonUpdater& m_updater;
};

QString fileHostBase(const QString& override)
{
    QString host = override.trimmed();
    QString scheme = QStringLiteral("http://");
    if (host.startsWith(u"https://", Qt::CaseInsensitive)) {
        scheme = QStringLiteral("https://");
        host = host.mid(8);
    } else if (host.startsWith(u"http://", Qt::CaseInsensitive)) {
        host = host.mid(7);
    }
    while (host.endsWith(u'/'))
        host.chop(1);
    if (host.isEmpty())
        host = QString::fromUtf8(config::kFileHost);
    if (host.isEmpty())
        return {};
    return scheme + host + QStringLiteral("/files/Rostrel/");
}

QString fileHostBaseFromEnvironment()
{
    return fileHostBase(qEnvironmentVariable("ROSTREL_FILE_HOST"));
}

AddonUpdater::AddonUpdater(
    GameFolders& folders, RequestSource& requests, Dialogs& dialogs, MessageSink& log, FileHostSource fileHost)
    : m_folders(folders)
    , m_requests(requests)
    , m_dialogs(dialogs)
    , m_log(log)
    , m_fileHost(std::move(fileHost))
    , m_base(m_fileHost.base())
{ }

QString AddonUpdater::fileUrl(const QString& name) const
{
    QUrl url(m_base);
    // Decoded mode: a "%", "#" or "?" in a name is part of the name, not of the address syntax.
    url.setPath(url.path(QUrl::FullyDecoded) + name, QUrl::DecodedMode);
    return url.toString(QUrl::FullyEncoded);
}

bool AddonUpdater::isSafeFileName(const QString& name)
{
    // Windows drops a name's trailing dots and spaces: "..." names the addon folder itself and
    // ".. " its parent, and "a.lua." would not be the file the list names.
    if (name.isEmpty() || name.endsWith(u'.') || name.endsWith(u' '))
        return false;
    for (const QChar c : name) {
        // Separators and drive letters would leave the folder; control characters are no file names.
        if (c == u'/' || c == u'\\' || c == u':' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    if (name.toUtf8().size() > kMaxFileNameBytes)
        return false;
    return !isWindowsDeviceName(name);
}

QString AddonUpdater::cleanVersion(const QByteArray& versionFile)
{
    return trimSpaces(QString::fromUtf8(versionFile)).remove(kCrLf);
}

QStringList AddonUpdater::splitFileList(const QByteArray& fileList)
{
    return QString::fromUtf8(fileList).split(kCrLf);
}

std::optional<QString> AddonUpdater::GetMyVersion()
{
    m_folders.InitializeFolders();
    return installedVersion(m_folders.addonFolder() + u'\\');
}

std::optional<QString> AddonUpdater::installedVersion(const QString& addonFolder)
{
    const QString toc = addonFolder + u"Rostrel.toc"_s;
    const Result<QByteArray> bytes = io::readFile(m_folders.toHost(toc), kMaxAddonTextBytes);
    if (!bytes)
        return std::nullopt;
    for (const QByteArray& bytesOfLine : splitLines(*bytes)) {
        const QString line = QString::fromUtf8(bytesOfLine);
        const qsizetype marker = line.indexOf(u"Version:");
        if (marker >= 0)
            return versionInLine(line, marker);
    }
    return std::nullopt;
}

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
        m_checkFailed = true;
    if (!result && !m_background)
        m_dialogs.message(u"Error Downloading File: "_s + url + kCrLf + kCrLf + result.error());
    return result;
}

QString AddonUpdater::QuickDownload(const QString& url)
{
    const Result<QByteArray> reply = fetch(url);
    m_lastDownloadOk = reply.ok();
    return reply ? QString::fromUtf8(*reply) : QString();
}

bool AddonUpdater::QuickDownloadToFile(const QString& url, const QString& toFile)
{
    const Result<QByteArray> reply = fetch(url);
    m_lastDownloadOk = reply.ok();
    // The installed file stays as it was when nothing usable came.
    if (!reply)
        return false;
    return storeFile(toFile, *reply + QByteArrayLiteral("\r\n"));
}

bool AddonUpdater::storeFile(const QString& toFile, const QByteArray& bytes)
{
    // Never half-written: a full disk or a crash leaves the installed file as it was.
    const Result<void> written = io::writeFileAtomically(m_folders.toHost(toFile), bytes);
    if (!written)
        m_checkFailed = true;
    if (!written && !m_background)
        m_dialogs.message(u"Saving of file "_s + toFile + u" Failed for the following reason: "_s + written.error());
    return written.ok();
}

void AddonUpdater::FindOldAddonAndDelete()
{
    removeOldAddon(m_folders.addonsFolder(), QString());
}

void AddonUpdater::removeOldAddon(const QString& addons, const QString& logPrefix)
{
    const QString folder = addons + u"\\Coffrin"_s;
    const Result<QByteArray> code = io::readFile(m_folders.toHost(folder + u"\\Coffrin.lua"_s), kMaxAddonTextBytes);
    if (!code)
        return;
    const QList<QByteArray> lines = splitLines(*code);
    const bool marked
        = std::any_of(lines.begin(), lines.end(), [](const QByteArray& line) { return line.contains("Varnhold"); });
    if (!marked)
        return;

    m_log.AddMessage(logPrefix + QStringLiteral("Old 'Coffrin' addon found.  Removing"));
    const std::array<QString, 3> names { QStringLiteral("\\Coffrin.lua"), QStringLiteral("\\Coffrin.toc"),
        QStringLiteral("\\Coffrin.xml") };
    for (const QString& name : names) {
        if (!QFile::remove(m_folders.toHost(folder + name))) {
            qCDebug(lcAddon) << "old addon removal stopped at" << name;
            return;
        }
    }
}

void AddonUpdater::reportFailure(const QString& line)
{
    m_checkFailed = true;
    if (m_background && m_failingInBackground)
        return;
    m_failingInBackground = m_background;
    m_log.AddMessage(line);
}

std::vector<AddonUpdater::Target> AddonUpdater::targets()
{
    const QList<Flavour> flavours = m_folders.flavours();
    std::vector<Target> found;
    for (const Flavour& flavour : flavours) {
        const QString prefix = flavours.size() > 1 ? flavour.name + u": "_s : QString();
        if (flavour.named) {
            // Spelled as the game folder is stored, which may end in a backslash of its own.
            found.push_back({ m_folders.addonsFolder(flavour.name), prefix, true, 0, {} });
        } else {
            // A flavour without the addon is the player's choice; it is left alone.
            if (QFileInfo(m_folders.toHost(m_folders.addonFolder(flavour.name))).isDir())
                found.push_back({ m_folders.addonsFolder(flavour.name), prefix, false, 0, {} });
        }
    }
    return found;
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
    const CheckScope scope(*this, mode);

    std::vector<Target> all = targets();
    for (const Target& target : all) {
        removeOldAddon(target.addons, target.logPrefix);
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
    for (Target& target : all) {
        const std::optional<QString> installed
            = target.named ? GetMyVersion() : installedVersion(target.addons + kRostrelFolder);
        if (!installed || *installed != serverVersion)
            pending.push_back(std::move(target));
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

    const bool updated = std::any_of(pending.begin(), pending.end(), [](const Target& t) { return t.failed == 0; });
    if (updated)
        m_dialogs.message(QStringLiteral("Rostrel has been updated to version ") + serverVersion);
    for (const Target& target : pending) {
        if (target.failed > 0) {
            // The user has seen a box for each failed file; saying "updated" now would be untrue.
            QString line = target.logPrefix + QStringLiteral("Rostrel update to version ") + serverVersion
                + QStringLiteral(" incomplete: %1 of %2 files could not be updated").arg(target.failed).arg(tried);
            if (target.toc)
                line += QStringLiteral("; ") + target.toc->first
                    + QStringLiteral(" keeps the installed version, so the next check tries again");
            reportFailure(line);
            continue;
        }
        m_log.AddMessage(target.logPrefix + QStringLiteral("Rostrel Mod Updated to version ") + serverVersion);
    }
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
        m_lastDownloadOk = reply.ok();
        const bool isToc = name.compare(kTocName, Qt::CaseInsensitive) == 0;
        for (Target& target : pending) {
            if (!reply)
                ++target.failed; // the installed file stays as it was
            else if (isToc)
                target.toc.emplace(name, *reply + QByteArrayLiteral("\r\n"));
            else if (!storeFile(target.addons + kRostrelFolder + name, *reply + QByteArrayLiteral("\r\n")))
                ++target.failed;
        }
    }
    for (Target& target : pending) {
        if (target.toc && target.failed == 0
            && !storeFile(target.addons + kRostrelFolder + target.toc->first, target.toc->second))
            ++target.failed;
    }
    return tried;
}

} // namespace rostrel
