#include "guild-site/guildsite.h"

#include "core/fileio.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

Q_LOGGING_CATEGORY(lcGuildSite, "rostrel.guildsite", QtInfoMsg)

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {

const QByteArray kUploadPath = QByteArrayLiteral("/memberbankupload.php");
const QByteArray kFilesPrefix = QByteArrayLiteral("/files/Rostrel/");
const QByteArray kAccepted = QByteArrayLiteral("Inventory Uploaded");
const QByteArray kRejected = QByteArrayLiteral("Invalid Login/Password");
const QByteArray kTextPlain = QByteArrayLiteral("text/plain");
// The site has never capped what it stores or serves; its request limits bound the uploads.
constexpr qint64 kWholeFile = std::numeric_limits<qint64>::max();
// Enough for every name of an addon and the names tests ask for.
constexpr qsizetype kCountedNames = 512;
constexpr qsizetype kCountedNameLength = 256;

QString isoTime(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

QString fileNameRefusal(QByteArrayView name)
{
    if (name.isEmpty())
        return u"No file name"_s;
    if (name.contains('\\'))
        return u"Backslashes are not allowed in file names"_s;
    if (name.contains(':'))
        return u"Drive letters and colons are not allowed in file names"_s;
    if (name.contains('\0'))
        return u"NUL is not allowed in file names"_s;
    if (name.front() == '/')
        return u"Absolute file names are not allowed"_s;
    for (const QByteArrayView segment : QByteArray::fromRawData(name.data(), name.size()).split('/')) {
        if (segment.isEmpty() || segment == "." || segment == "..")
            return u"File names may not contain empty, \".\" or \"..\" segments"_s;
    }
    return {};
}

QString loggableText(QStringView text)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == u'\\')
            safe += u"\\x"_s + QString::number(code, 16).rightJustified(2, u'0');
        else
            safe += c;
    }
    return safe;
}

QByteArray ReceivedUpload::profile() const
{
    if (!body.isEmpty() || size == 0)
        return QByteArrayView(body).sliced(profileOffset, size).toByteArray();
    auto stored = io::readFile(filePath, kWholeFile);
    return stored ? std::move(stored).value() : QByteArray();
}

std::optional<QByteArray> CapturedRequest::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

QString storageNameForLogin(const QString& login)
{
    QString name;
    for (const QChar c : login) {
        const bool keep = (c.isLetterOrNumber() && !c.isSurrogate()) || c == u'-' || c == u'_';
        name.append(keep ? c : QChar(u'_'));
    }
    name.truncate(64);
    if (name != login || name.isEmpty()) {
        const QByteArray hash = QCryptographicHash::hash(login.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
        name += u'-' + QString::fromLatin1(hash);
    }
    return name;
}

GuildSite::GuildSite(GuildSiteConfig config, QObject* parent)
    : QObject(parent)
    , m_config(std::move(config))
{
    m_server = std::make_unique<HttpServer>(
        [this](const HttpRequest& request) {
            return handle(CapturedRequest { request.method, request.target, request.headers, request.body });
        },
        m_config.limits);
    connect(m_server.get(), &HttpServer::clientRefused, this, &GuildSite::clientRefused);
}

GuildSite::~GuildSite() = default;

quint16 GuildSite::listen(const QHostAddress& address, quint16 port)
{
    m_port = m_server->listen(address, port, m_config.tls);
    m_address = address;
    return m_port;
}

QString GuildSite::hostAndPort() const
{
    const QString host = m_address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + m_address.toString() + u']'
                                                                               : m_address.toString();
    return host + u':' + QString::number(m_port);
}

QString GuildSite::baseUrl() const
{
    return (m_config.tls ? u"https://"_s : u"http://"_s) + hostAndPort();
}

int GuildSite::connectionCount() const
{
    return m_server->connectionCount();
}

bool GuildSite::publishFile(const QString& name, QByteArrayView bytes)
{
    if (m_config.filesDir.isEmpty() || !fileNameRefusal(name.toUtf8()).isEmpty())
        return false;
    const QString path = QDir(m_config.filesDir).filePath(name);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    return io::writeFileAtomically(path, QByteArray::fromRawData(bytes.data(), bytes.size())).ok();
}

GuildSite::Reply GuildSite::handle(const CapturedRequest& request)
{
    m_lastRequest = request;
    QByteArrayView path = request.path;
    if (const qsizetype query = path.indexOf('?'); query >= 0)
        path = path.first(query);
    if (m_config.redirectStatus != 0) {
        if (path == kUploadPath && request.method == "POST") {
            m_lastUploadRequest = request;
            ++m_uploadRequests;
        }
        // Only a path goes after the configured host: a target such as "@elsewhere/" must not become
        // part of the authority, nor a stray control byte part of the header.
        const bool plainPath = path.startsWith('/')
            && std::none_of(path.begin(), path.end(), [](char c) { return uchar(c) <= 0x20 || uchar(c) == 0x7f; });
        Reply moved(m_config.redirectStatus, kTextPlain, QByteArrayLiteral("Moved"));
        moved.headers.append(
            { QByteArrayLiteral("Location"), m_config.redirectTo.toUtf8() + (plainPath ? path.toByteArray() : "/") });
        return moved;
    }

    if (path == kUploadPath)
        return handleUpload(request);
    if (path.startsWith(kFilesPrefix))
        return handleFile(request, path.sliced(kFilesPrefix.size()));
    if (request.method != "GET")
        return { 405, kTextPlain, QByteArrayLiteral("Method not allowed") };
    if (path == "/" || path == "/index.html")
        return handleIndex();
    if (path == "/received.json")
        return handleReceivedJson();
    return { 404, kTextPlain, QByteArrayLiteral("Not found") };
}

GuildSite::Reply GuildSite::handleUpload(const CapturedRequest& request)
{
    if (request.method != "POST")
        return { 405, kTextPlain, QByteArrayLiteral("Uploads must be POSTed") };
    m_lastUploadRequest = request;
    ++m_uploadRequests;

    const QByteArray contentType = request.header("Content-Type").value_or(QByteArray());
    if (mediaType(contentType).compare("multipart/form-data", Qt::CaseInsensitive) != 0)
        return { 400, kTextPlain, QByteArrayLiteral("Not a multipart/form-data request") };
    const QByteArray boundary = multipartBoundary(contentType);
    if (boundary.isEmpty())
        return { 400, kTextPlain, QByteArrayLiteral("No usable boundary in the Content-Type") };

    const Result<UploadForm> parsed = parseUploadForm(request.body, boundary);
    if (!parsed) {
        qCInfo(lcGuildSite).noquote() << "Malformed upload:" << loggableText(parsed.error());
        return { 400, kTextPlain, parsed.error().toUtf8() };
    }
    const UploadForm& form = *parsed;

    const auto user = m_config.users.constFind(form.login);
    if (user == m_config.users.cend() || *user != form.password) {
        Q_EMIT loginRejected(form.login);
        return { 200, kTextPlain, kRejected };
    }

    const QByteArrayView profile = QByteArrayView(request.body).sliced(form.fileOffset, form.fileSize);
    const Result<QString> stored = storeProfile(form.login, profile);
    if (!stored)
        return { 500, kTextPlain, (u"Could not store the profile: "_s + stored.error()).toUtf8() };

    ReceivedUpload upload;
    upload.login = form.login;
    upload.size = form.fileSize;
    upload.time = QDateTime::currentDateTimeUtc();
    upload.filePath = *stored;
    if (m_config.keepBodies) {
        upload.body = request.body;
        upload.profileOffset = form.fileOffset;
    }
    m_received.append(upload);
    Q_EMIT uploadReceived(upload);
    return { 200, kTextPlain, kAccepted };
}

Result<QString> GuildSite::storeProfile(const QString& login, QByteArrayView bytes)
{
    if (m_config.dataDir.isEmpty())
        return Failure { u"no data folder"_s };
    const QString folderName = storageNameForLogin(login);
    QDir folder(m_config.dataDir);
    if (!folder.mkpath(folderName) || !folder.cd(folderName))
        return Failure { u"cannot create the folder %1"_s.arg(folder.filePath(folderName)) };

    auto next = m_nextNumber.find(folderName);
    if (next == m_nextNumber.end()) {
        // Carry on after what an earlier run stored, never over it.
        static const QRegularExpression stored(u"^(\\d+)-Rostrel\\.lua$"_s);
        int highest = 0;
        const QStringList names = folder.entryList(QDir::Files | QDir::Hidden);
        for (const QString& name : names) {
            const auto match = stored.match(name);
            if (match.hasMatch())
                highest = std::max(highest, match.captured(1).toInt());
        }
        next = m_nextNumber.insert(folderName, highest + 1);
    }

    QString path;
    do {
        path = folder.filePath(QString::number((*next)++) + u"-Rostrel.lua"_s);
    } while (QFileInfo::exists(path));

    // The view lives in the request body, which outlasts the write: no copy of a large profile.
    if (const auto written = io::writeFileAtomically(path, QByteArray::fromRawData(bytes.data(), bytes.size()));
        !written)
        return Failure { written.error() };
    return path;
}

GuildSite::Reply GuildSite::handleFile(const CapturedRequest& request, QByteArrayView encodedName)
{
    const auto decoded = percentDecoded(encodedName);
    const QString name = decoded ? QString::fromUtf8(*decoded) : QString::fromUtf8(encodedName);
    if (const auto counted = m_fileRequests.find(name); counted != m_fileRequests.end())
        ++*counted;
    else if (m_fileRequests.size() < kCountedNames && name.size() <= kCountedNameLength)
        m_fileRequests.insert(name, 1);
    Q_EMIT fileRequested(name);

    if (request.method != "GET")
        return { 405, kTextPlain, QByteArrayLiteral("Method not allowed") };
    if (!decoded)
        return { 400, kTextPlain, QByteArrayLiteral("Broken percent escape in the file name") };
    if (const QString reason = fileNameRefusal(*decoded); !reason.isEmpty())
        return { 400, kTextPlain, reason.toUtf8() };
    if (m_config.filesDir.isEmpty())
        return { 404, kTextPlain, QByteArrayLiteral("Not found") };

    // A link inside the folder could still point out of it, so the real path must stay inside.
    const QString root = QFileInfo(m_config.filesDir).canonicalFilePath();
    const QFileInfo info(QDir(m_config.filesDir).filePath(name));
    const QString real = info.canonicalFilePath();
    if (root.isEmpty() || real.isEmpty() || !info.isFile() || !real.startsWith(root + u'/'))
        return { 404, kTextPlain, QByteArrayLiteral("Not found") };

    auto bytes = io::readFile(real, kWholeFile);
    if (!bytes)
        return { 404, kTextPlain, QByteArrayLiteral("Not found") };
    return { 200, QByteArrayLiteral("application/octet-stream"), std::move(bytes).value() };
}

GuildSite::Reply GuildSite::handleIndex() const
{
    QString html = u"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Guild site</title></head>"
                   u"<body>\n<h1>Received profiles</h1>\n"_s;
    if (m_received.isEmpty()) {
        html += u"<p>Nothing received yet.</p>\n"_s;
    } else {
        html += u"<table>\n<tr><th>Login</th><th>Size</th><th>Time</th></tr>\n"_s;
        for (const ReceivedUpload& upload : m_received) {
            html += u"<tr><td>"_s + upload.login.toHtmlEscaped() + u"</td><td>"_s + QString::number(upload.size)
                + u"</td><td>"_s + isoTime(upload.time) + u"</td></tr>\n"_s;
        }
        html += u"</table>\n"_s;
    }
    html += u"</body></html>\n"_s;
    return { 200, QByteArrayLiteral("text/html; charset=utf-8"), html.toUtf8() };
}

GuildSite::Reply GuildSite::handleReceivedJson() const
{
    QJsonArray list;
    for (const ReceivedUpload& upload : m_received) {
        list.append(
            QJsonObject { { u"login"_s, upload.login }, { u"size"_s, upload.size }, { u"time"_s, isoTime(upload.time) },
                { u"file"_s, QDir(m_config.dataDir).relativeFilePath(upload.filePath) } });
    }
    return { 200, QByteArrayLiteral("application/json"), QJsonDocument(list).toJson(QJsonDocument::Compact) };
}

} // namespace rostrel
