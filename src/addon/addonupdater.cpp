#include "addon/addonupdater.h"

#include "catalogue/gamefolders.h"
#include "core/config.h"
#include "core/seams.h"
#include "http/xmlhttp.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QScopeGuard>
#include <QUrl>
#include <array>

Q_LOGGING_CATEGORY(lcAddon, "rostrel.addon", QtInfoMsg)

namespace rostrel {

namespace {

const QString kVersionFile = QStringLiteral("RostrelVersion");
const QString kFileList = QStringLiteral("RostrelFiles");
// The installed addon's table of contents, which names its version.
const QString kTocName = QStringLiteral("Rostrel.toc");
const QString kCrLf = QStringLiteral("\r\n");

// A published version is a short text. Anything longer is a misconfigured host (an HTML page, a
// binary), which must not end up in a message box or be taken for a version.
constexpr qsizetype kMaxVersionLength = 256;
// Longest file name the common file systems accept, in UTF-8 bytes.
constexpr qsizetype kMaxFileNameBytes = 255;
// How much of a refused name the log shows.
constexpr qsizetype kShownNameLength = 80;

// Reads a device line by line the way the game's text files are read: a line ends at CR LF or at
// a lone CR; a lone LF stays inside the line. Works on bytes, in chunks, so a large file is never
// held twice.
class LineReader
{
public:
    explicit LineReader(QIODevice& device)
        : m_device(device)
    { }

    // False at the end of the data; a read error ends the data too.
    bool next(QByteArray& line)
    {
        for (;;) {
            const qsizetype cr = m_buffer.indexOf('\r', m_scan);
            // A CR that ends the buffer may be the first half of a CR LF split across two reads.
            if (cr >= 0 && (cr + 1 < m_buffer.size() || m_atEnd)) {
                line = m_buffer.mid(m_pos, cr - m_pos);
                m_pos = cr + 1;
                if (m_pos < m_buffer.size() && m_buffer.at(m_pos) == '\n')
                    ++m_pos;
                m_scan = m_pos;
                return true;
            }
            if (m_atEnd) {
                if (m_pos >= m_buffer.size())
                    return false;
                line = m_buffer.mid(m_pos);
                m_pos = m_scan = m_buffer.size();
                return true;
            }
            // Only the new bytes are searched next time, so a long line costs one pass.
            m_scan = cr >= 0 ? cr : m_buffer.size();
            fill();
        }
    }

private:
    void fill()
    {
        m_buffer.remove(0, m_pos);
        m_scan -= m_pos;
        m_pos = 0;
        const QByteArray chunk = m_device.read(64 * 1024);
        m_atEnd = chunk.isEmpty();
        m_buffer += chunk;
    }

    QIODevice& m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0; // start of the current line
    qsizetype m_scan = 0; // where the search for its end goes on
    bool m_atEnd = false;
};

// Trimming in the game's files removes the space character only.
QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

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
    return scheme + host + QStringLiteral("/files/Rostrel/");
}

QString fileHostBaseFromEnvironment()
{
    return fileHostBase(qEnvironmentVariable("ROSTREL_FILE_HOST"));
}

AddonUpdater::AddonUpdater(GameFolders& folders, RequestFactory& requests, Dialogs& dialogs, BrowserOpener& browser,
    ProgramExit& exit, MessageSink& log, QString fileHostBase)
    : m_folders(folders)
    , m_requests(requests)
    , m_dialogs(dialogs)
    , m_browser(browser)
    , m_exit(exit)
    , m_log(log)
    , m_base(std::move(fileHostBase))
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
    const QString toc = m_folders.addonFolder() + QStringLiteral("\\Rostrel.toc");
    QFile file(m_folders.toHost(toc));
    if (QFileInfo(file.fileName()).isDir() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    LineReader reader(file);
    QByteArray bytes;
    while (reader.next(bytes)) {
        const QString line = QString::fromUtf8(bytes);
        const qsizetype marker = line.indexOf(u"Version:");
        if (marker >= 0)
            return versionInLine(line, marker);
    }
    return std::nullopt;
}

AddonUpdater::Fetch AddonUpdater::fetch(const QString& url)
{
    // Does not return when no request object can be made: the program ends there.
    const std::unique_ptr<XmlHttpRequest> request = CreateXMLObject(m_requests, m_dialogs, m_browser, m_exit);
    Fetch result;
    if (!request->Open(QStringLiteral("GET"), url, true) || !request->send()) {
        result.error = request->errorString();
        if (result.error.isEmpty())
            result.error = QStringLiteral("The request could not be sent.");
    } else {
        request->waitForCompletion();
        const int status = request->status();
        if (request->failed()) {
            result.error = request->errorString();
        } else if (status < 200 || status > 299) {
            // An error page is not the file asked for.
            result.error = QStringLiteral("HTTP %1").arg(status);
        } else {
            result.ok = true;
            result.body = request->responseBody();
        }
    }
    qCDebug(lcAddon) << "GET" << url << (result.ok ? QStringLiteral("ok") : result.error);
    if (!result.ok)
        m_dialogs.message(QStringLiteral("Error Downloading File: ") + url + kCrLf + kCrLf + result.error);
    return result;
}

QString AddonUpdater::QuickDownload(const QString& url)
{
    const Fetch reply = fetch(url);
    m_lastDownloadOk = reply.ok;
    return QString::fromUtf8(reply.body);
}

bool AddonUpdater::QuickDownloadToFile(const QString& url, const QString& toFile)
{
    const Fetch reply = fetch(url);
    m_lastDownloadOk = reply.ok;
    // The installed file stays as it was when nothing usable came.
    if (!reply.ok)
        return false;
    return storeFile(toFile, reply.body + QByteArrayLiteral("\r\n"));
}

bool AddonUpdater::storeFile(const QString& toFile, const QByteArray& bytes)
{
    // Written beside the target and renamed over it, so a full disk or a crash never leaves a
    // half-written addon file behind.
    QSaveFile file(m_folders.toHost(toFile));
    QString error;
    // Unbuffered: a write the system cuts short must fail here, not be flushed silently and
    // committed truncated.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = file.errorString();
    } else if (file.write(bytes) != bytes.size()) {
        error = file.errorString();
        file.cancelWriting();
    } else if (!file.commit()) {
        error = file.errorString();
    }
    if (error.isEmpty())
        return true;
    m_dialogs.message(
        QStringLiteral("Saving of file ") + toFile + QStringLiteral(" Failed for the following reason: ") + error);
    return false;
}

void AddonUpdater::FindOldAddonAndDelete()
{
    const QString folder = m_folders.GetWoWDir() + QStringLiteral("\\Interface\\Addons\\Coffrin");
    QFile code(m_folders.toHost(folder + QStringLiteral("\\Coffrin.lua")));
    if (QFileInfo(code.fileName()).isDir() || !code.open(QIODevice::ReadOnly))
        return;
    bool marked = false;
    LineReader reader(code);
    QByteArray line;
    while (!marked && reader.next(line))
        marked = line.contains("Varnhold");
    code.close();
    if (!marked)
        return;

    m_log.AddMessage(QStringLiteral("Old 'Coffrin' addon found.  Removing"));
    const std::array<QString, 3> names { QStringLiteral("\\Coffrin.lua"), QStringLiteral("\\Coffrin.toc"),
        QStringLiteral("\\Coffrin.xml") };
    for (const QString& name : names) {
        if (!QFile::remove(m_folders.toHost(folder + name))) {
            qCDebug(lcAddon) << "old addon removal stopped at" << name;
            return;
        }
    }
}

void AddonUpdater::CheckVersionAndDownload()
{
    // A check started while another waits for the network would race it over the same files.
    if (m_checking)
        return;
    m_checking = true;
    const auto done = qScopeGuard([this] { m_checking = false; });

    FindOldAddonAndDelete();
    const QString folder = m_folders.GetWoWDir() + QStringLiteral("\\Interface\\Addons\\Rostrel\\");

    const auto stop = [this](const QString& url, const QString& why) {
        m_log.AddMessage(
            QStringLiteral("Addon update check stopped: could not fetch ") + url + QStringLiteral(" (") + why + u')');
    };

    const QString versionUrl = fileUrl(kVersionFile);
    const Fetch versionReply = fetch(versionUrl);
    if (!versionReply.ok) {
        stop(versionUrl, versionReply.error);
        return;
    }
    const QString serverVersion = cleanVersion(versionReply.body);
    if (serverVersion.size() > kMaxVersionLength) {
        m_log.AddMessage(QStringLiteral("Addon update check stopped: ") + versionUrl
            + QStringLiteral(" holds %1 characters, which is no version").arg(serverVersion.size()));
        return;
    }

    const std::optional<QString> installed = GetMyVersion();
    if (installed && *installed == serverVersion)
        return;

    const QString listUrl = fileUrl(kFileList);
    const Fetch listReply = fetch(listUrl);
    if (!listReply.ok) {
        stop(listUrl, listReply.error);
        return;
    }

    int tried = 0;
    int failed = 0;
    // The table of contents names the installed version, so it is stored after every other file
    // and only when they all were: an update cut short (a file that failed, the program ended half
    // way) then leaves the old version in place and the next check tries again.
    std::optional<std::pair<QString, QByteArray>> toc;
    const QStringList names = splitFileList(listReply.body);
    for (const QString& name : names) {
        if (name.isEmpty())
            continue;
        if (!isSafeFileName(name)) {
            m_log.AddMessage(QStringLiteral("Addon update: refused the listed name \"") + shownName(name)
                + QStringLiteral("\", which is not a plain file name inside the addon folder"));
            continue;
        }
        ++tried;
        if (name.compare(kTocName, Qt::CaseInsensitive) == 0) {
            const Fetch reply = fetch(fileUrl(name));
            m_lastDownloadOk = reply.ok;
            if (reply.ok)
                toc.emplace(name, reply.body + QByteArrayLiteral("\r\n"));
            else
                ++failed;
            continue;
        }
        if (!QuickDownloadToFile(fileUrl(name), folder + name))
            ++failed;
    }
    if (toc && failed == 0 && !storeFile(folder + toc->first, toc->second))
        ++failed;

    if (failed > 0) {
        // The user has seen a box for each failed file; saying "updated" now would be untrue.
        QString line = QStringLiteral("Rostrel update to version ") + serverVersion
            + QStringLiteral(" incomplete: %1 of %2 files could not be updated").arg(failed).arg(tried);
        if (toc)
            line += QStringLiteral("; ") + toc->first
                + QStringLiteral(" keeps the installed version, so the next check tries again");
        m_log.AddMessage(line);
        return;
    }
    m_dialogs.message(QStringLiteral("Rostrel has been updated to version ") + serverVersion);
    m_log.AddMessage(QStringLiteral("Rostrel Mod Updated to version ") + serverVersion);
}

} // namespace rostrel
