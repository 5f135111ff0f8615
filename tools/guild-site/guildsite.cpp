#include "guild-site/guildsite.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcGuildSite, "rostrel.guildsite", QtInfoMsg)

namespace rostrel {

namespace {

const QByteArray kUploadPath = QByteArrayLiteral("/memberbankupload.php");
const QByteArray kFilesPrefix = QByteArrayLiteral("/files/Rostrel/");
const QByteArray kAccepted = QByteArrayLiteral("Inventory Uploaded");
const QByteArray kRejected = QByteArrayLiteral("Invalid Login/Password");
const QByteArray kTextPlain = QByteArrayLiteral("text/plain");
const QByteArray kCrLf = QByteArrayLiteral("\r\n");

bool isSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isSpaceOrTab(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isSpaceOrTab(text.back()))
        text.chop(1);
    return text;
}

bool equalsIgnoringCase(QByteArrayView a, QByteArrayView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Splits header parameters at any of the given separators that lie outside quotes.
QList<QByteArrayView> splitOutsideQuotes(QByteArrayView text, QByteArrayView separators)
{
    QList<QByteArrayView> pieces;
    bool quoted = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && separators.contains(c)) {
            pieces.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    pieces.append(text.sliced(start));
    return pieces;
}

QByteArray unquoted(QByteArrayView value)
{
    value = trimmed(value);
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return value.toByteArray();
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size())
            ++i;
        out.append(value[i]);
    }
    return out;
}

// name=value parameters after the first piece of a header value.
std::optional<QByteArray> headerParameter(const QList<QByteArrayView>& pieces, QByteArrayView name)
{
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QByteArrayView piece = pieces[i];
        const qsizetype eq = piece.indexOf('=');
        if (eq < 0)
            continue;
        if (equalsIgnoringCase(trimmed(piece.first(eq)), name))
            return unquoted(piece.sliced(eq + 1));
    }
    return std::nullopt;
}

QByteArrayView mediaType(QByteArrayView contentType)
{
    return trimmed(splitOutsideQuotes(contentType, ",;").constFirst());
}

// The form-data name of a part, from its Content-Disposition header.
std::optional<QByteArray> partName(QByteArrayView headers)
{
    qsizetype pos = 0;
    while (pos <= headers.size()) {
        qsizetype end = headers.indexOf(kCrLf, pos);
        if (end < 0)
            end = headers.size();
        const QByteArrayView line = headers.sliced(pos, end - pos);
        pos = end + 2;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || !equalsIgnoringCase(trimmed(line.first(colon)), "content-disposition"))
            continue;
        const auto pieces = splitOutsideQuotes(line.sliced(colon + 1), ";");
        if (!equalsIgnoringCase(trimmed(pieces.constFirst()), "form-data"))
            return std::nullopt;
        return headerParameter(pieces, "name");
    }
    return std::nullopt;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Plain percent-decoding of a URL path; absent for a "%" without two hex digits after it.
std::optional<QByteArray> percentDecoded(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.append(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.append(char(high * 16 + low));
        i += 2;
    }
    return out;
}

// Whether what follows a delimiter makes it a boundary line: "--" closes the body, otherwise
// optional blanks and CR LF must come. Text that merely begins like one ("--AaB03xy") is content.
bool endsBoundaryLine(QByteArrayView rest)
{
    if (rest.startsWith("--"))
        return true;
    while (!rest.isEmpty() && isSpaceOrTab(rest.front()))
        rest = rest.sliced(1);
    return rest.startsWith(kCrLf);
}

// Where the CR LF before the next boundary line starts, from `from` on; -1 when none comes.
qsizetype findBoundaryLine(QByteArrayView body, QByteArrayView crlfDelimiter, qsizetype from)
{
    for (qsizetype at = body.indexOf(crlfDelimiter, from); at >= 0; at = body.indexOf(crlfDelimiter, at + 1)) {
        if (endsBoundaryLine(body.sliced(at + crlfDelimiter.size())))
            return at;
    }
    return -1;
}

QString isoTime(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

QString fileNameRefusal(QByteArrayView name)
{
    if (name.isEmpty())
        return QStringLiteral("No file name");
    if (name.contains('\\'))
        return QStringLiteral("Backslashes are not allowed in file names");
    if (name.contains(':'))
        return QStringLiteral("Drive letters and colons are not allowed in file names");
    if (name.contains('\0'))
        return QStringLiteral("NUL is not allowed in file names");
    if (name.front() == '/')
        return QStringLiteral("Absolute file names are not allowed");
    for (const QByteArrayView segment : QByteArray::fromRawData(name.data(), name.size()).split('/')) {
        if (segment.isEmpty() || segment == "." || segment == "..")
            return QStringLiteral("File names may not contain empty, \".\" or \"..\" segments");
    }
    return {};
}

QByteArray ReceivedUpload::profile() const
{
    if (!body.isEmpty() || size == 0)
        return QByteArrayView(body).sliced(profileOffset, size).toByteArray();
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

std::optional<QByteArray> CapturedRequest::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            return value;
    }
    return std::nullopt;
}

QByteArray multipartBoundary(QByteArrayView contentType)
{
    const auto pieces = splitOutsideQuotes(contentType, ",;");
    if (!equalsIgnoringCase(trimmed(pieces.constFirst()), "multipart/form-data"))
        return {};
    const QByteArray boundary = headerParameter(pieces, "boundary").value_or(QByteArray());
    // A boundary longer than MIME allows, or one that could break a line, cannot be trusted to
    // delimit anything.
    if (boundary.size() > 70 || boundary.contains('\r') || boundary.contains('\n'))
        return {};
    return boundary;
}

std::optional<QString> decodeFormField(QByteArrayView field)
{
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '+') {
            bytes.append('\t');
        } else if (c == '%') {
            if (i + 2 >= field.size())
                return std::nullopt;
            const int high = hexValue(field[i + 1]);
            const int low = hexValue(field[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            bytes.append(char(high * 16 + low));
            i += 2;
        } else {
            bytes.append(c);
        }
    }
    return QString::fromUtf8(bytes);
}

FormParseResult parseUploadForm(QByteArrayView body, QByteArrayView boundary)
{
    auto fail = [](const QString& why) { return FormParseResult { std::nullopt, why }; };
    if (boundary.isEmpty())
        return fail(QStringLiteral("No boundary"));

    const QByteArray delimiter = "--" + boundary.toByteArray();
    const QByteArray nextDelimiter = kCrLf + delimiter;

    // The first boundary line opens the body or follows a preamble.
    qsizetype pos = 0;
    if (!body.startsWith(delimiter) || !endsBoundaryLine(body.sliced(delimiter.size()))) {
        pos = findBoundaryLine(body, nextDelimiter, 0);
        if (pos < 0)
            return fail(QStringLiteral("The body holds no boundary line"));
        pos += 2;
    }

    std::optional<QByteArrayView> login;
    std::optional<QByteArrayView> password;
    std::optional<QPair<qsizetype, qsizetype>> file;
    for (;;) {
        pos += delimiter.size();
        if (body.sliced(pos).startsWith("--"))
            break;
        while (pos < body.size() && isSpaceOrTab(body[pos]))
            ++pos;
        if (!body.sliced(pos).startsWith(kCrLf))
            return fail(QStringLiteral("A boundary line does not end in CR LF"));
        pos += 2;

        const qsizetype partEnd = findBoundaryLine(body, nextDelimiter, pos);
        if (partEnd < 0)
            return fail(QStringLiteral("The body ends before its closing boundary"));
        const qsizetype headerEnd = body.indexOf("\r\n\r\n", pos);
        if (headerEnd < 0 || headerEnd + 4 > partEnd)
            return fail(QStringLiteral("A part has no blank line after its headers"));
        const qsizetype contentStart = headerEnd + 4;

        const auto name = partName(body.sliced(pos, headerEnd - pos));
        if (!name)
            return fail(QStringLiteral("A part has no form-data name"));
        const QByteArrayView content = body.sliced(contentStart, partEnd - contentStart);
        auto duplicate = [&](QByteArrayView field) {
            return fail(QStringLiteral("The field %1 comes twice").arg(QString::fromLatin1(field)));
        };
        if (*name == "login") {
            if (login)
                return duplicate(*name);
            login = content;
        } else if (*name == "password") {
            if (password)
                return duplicate(*name);
            password = content;
        } else if (*name == "thefile") {
            if (file)
                return duplicate(*name);
            file = qMakePair(contentStart, content.size());
        }
        pos = partEnd + 2;
    }

    if (!login)
        return fail(QStringLiteral("No login field"));
    if (!password)
        return fail(QStringLiteral("No password field"));
    if (!file)
        return fail(QStringLiteral("No thefile field"));
    UploadForm form;
    const auto decodedLogin = decodeFormField(*login);
    if (!decodedLogin)
        return fail(QStringLiteral("The login field holds a broken escape"));
    const auto decodedPassword = decodeFormField(*password);
    if (!decodedPassword)
        return fail(QStringLiteral("The password field holds a broken escape"));
    form.login = *decodedLogin;
    form.password = *decodedPassword;
    form.fileOffset = file->first;
    form.fileSize = file->second;
    return FormParseResult { form, {} };
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
    return (m_config.tls ? QStringLiteral("https://") : QStringLiteral("http://")) + hostAndPort();
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
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (file.write(bytes.data(), bytes.size()) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

GuildSite::Reply GuildSite::handle(const CapturedRequest& request)
{
    m_lastRequest = request;
    QByteArrayView path = request.path;
    if (const qsizetype query = path.indexOf('?'); query >= 0)
        path = path.first(query);
    if (m_config.redirectStatus != 0) {
        if (path == kUploadPath) {
            m_lastUploadRequest = request;
            ++m_uploadRequests;
        }
        Reply moved(m_config.redirectStatus, kTextPlain, QByteArrayLiteral("Moved"));
        moved.headers.append({ QByteArrayLiteral("Location"), m_config.redirectTo.toUtf8() + request.path });
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
    m_lastUploadRequest = request;
    ++m_uploadRequests;
    if (request.method != "POST")
        return { 405, kTextPlain, QByteArrayLiteral("Uploads must be POSTed") };

    const QByteArray contentType = request.header("Content-Type").value_or(QByteArray());
    if (!equalsIgnoringCase(mediaType(contentType), "multipart/form-data"))
        return { 400, kTextPlain, QByteArrayLiteral("Not a multipart/form-data request") };
    const QByteArray boundary = multipartBoundary(contentType);
    if (boundary.isEmpty())
        return { 400, kTextPlain, QByteArrayLiteral("No usable boundary in the Content-Type") };

    const FormParseResult parsed = parseUploadForm(request.body, boundary);
    if (!parsed.form) {
        qCInfo(lcGuildSite) << "Malformed upload:" << parsed.error;
        return { 400, kTextPlain, parsed.error.toUtf8() };
    }
    const UploadForm& form = *parsed.form;

    const auto user = m_config.users.constFind(form.login);
    if (user == m_config.users.cend() || *user != form.password) {
        Q_EMIT loginRejected(form.login);
        return { 200, kTextPlain, kRejected };
    }

    const QByteArrayView profile = QByteArrayView(request.body).sliced(form.fileOffset, form.fileSize);
    QString error;
    const auto stored = storeProfile(form.login, profile, &error);
    if (!stored)
        return { 500, kTextPlain, (QStringLiteral("Could not store the profile: ") + error).toUtf8() };

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

std::optional<QString> GuildSite::storeProfile(const QString& login, QByteArrayView bytes, QString* error)
{
    if (m_config.dataDir.isEmpty()) {
        *error = QStringLiteral("no data folder");
        return std::nullopt;
    }
    const QString folderName = storageNameForLogin(login);
    QDir folder(m_config.dataDir);
    if (!folder.mkpath(folderName) || !folder.cd(folderName)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder.filePath(folderName));
        return std::nullopt;
    }

    auto next = m_nextNumber.find(folderName);
    if (next == m_nextNumber.end()) {
        // Carry on after what an earlier run stored, never over it.
        static const QRegularExpression stored(QStringLiteral("^(\\d+)-Rostrel\\.lua$"));
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
        path = folder.filePath(QString::number((*next)++) + QStringLiteral("-Rostrel.lua"));
    } while (QFileInfo::exists(path));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return std::nullopt;
    }
    if (file.write(bytes.data(), bytes.size()) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return std::nullopt;
    }
    return path;
}

GuildSite::Reply GuildSite::handleFile(const CapturedRequest& request, QByteArrayView encodedName)
{
    const auto decoded = percentDecoded(encodedName);
    const QString name = decoded ? QString::fromUtf8(*decoded) : QString::fromUtf8(encodedName);
    ++m_fileRequests[name];
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

    QFile file(real);
    if (!file.open(QIODevice::ReadOnly))
        return { 404, kTextPlain, QByteArrayLiteral("Not found") };
    return { 200, QByteArrayLiteral("application/octet-stream"), file.readAll() };
}

GuildSite::Reply GuildSite::handleIndex() const
{
    QString html
        = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Guild site</title></head>"
                         "<body>\n<h1>Received profiles</h1>\n");
    if (m_received.isEmpty()) {
        html += QStringLiteral("<p>Nothing received yet.</p>\n");
    } else {
        html += QStringLiteral("<table>\n<tr><th>Login</th><th>Size</th><th>Time</th></tr>\n");
        for (const ReceivedUpload& upload : m_received) {
            html += QStringLiteral("<tr><td>") + upload.login.toHtmlEscaped() + QStringLiteral("</td><td>")
                + QString::number(upload.size) + QStringLiteral("</td><td>") + isoTime(upload.time)
                + QStringLiteral("</td></tr>\n");
        }
        html += QStringLiteral("</table>\n");
    }
    html += QStringLiteral("</body></html>\n");
    return { 200, QByteArrayLiteral("text/html; charset=utf-8"), html.toUtf8() };
}

GuildSite::Reply GuildSite::handleReceivedJson() const
{
    QJsonArray list;
    for (const ReceivedUpload& upload : m_received) {
        list.append(QJsonObject { { QStringLiteral("login"), upload.login }, { QStringLiteral("size"), upload.size },
            { QStringLiteral("time"), isoTime(upload.time) }, { QStringLiteral("file"), upload.filePath } });
    }
    return { 200, QByteArrayLiteral("application/json"), QJsonDocument(list).toJson(QJsonDocument::Compact) };
}

} // namespace rostrel
