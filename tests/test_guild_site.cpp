// The reference guild site: the upload script's replies and storage, its form decoding, the file
// host and its refusal to leave its folder, the pages for people and scripts, and the program.

#include "guild-site/guildsite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace rostrel;

namespace {

const QByteArray kProgramContentType = QByteArrayLiteral("multipart/form-data, boundary=AaB03x");

// The program's escaping of login and password, applied step by step in the same order.
QByteArray encodeForm(QString text)
{
    const QList<QPair<QString, QString>> steps {
        { QStringLiteral("%"), QStringLiteral("%25") },
        { QStringLiteral("+"), QStringLiteral("%2B") },
        { QStringLiteral("\t"), QStringLiteral("+") },
        { QStringLiteral("\n"), QStringLiteral("%0A") },
        { QStringLiteral("\r"), QStringLiteral("%0D") },
        { QStringLiteral("&"), QStringLiteral("%26") },
        { QStringLiteral("="), QStringLiteral("%3D") },
        { QStringLiteral("{"), QStringLiteral("%7B") },
        { QStringLiteral("}"), QStringLiteral("%7D") },
        { QStringLiteral("["), QStringLiteral("%5B") },
        { QStringLiteral("]"), QStringLiteral("%5D") },
        { QStringLiteral("\""), QStringLiteral("%22") },
    };
    for (const auto& [from, to] : steps)
        text.replace(from, to);
    return text.toUtf8();
}

// The body exactly as the program lays it out.
QByteArray programBody(const QString& login, const QString& password, const QByteArray& profile)
{
    return "--AaB03x\r\n"
           "content-disposition: form-data; name=\"login\"\r\n\r\n"
        + encodeForm(login)
        + "\r\n--AaB03x\r\n"
          "content-disposition: form-data; name=\"password\"\r\n\r\n"
        + encodeForm(password)
        + "\r\n--AaB03x\r\n"
          "content-disposition: form-data; name=\"thefile\"; filename=\"Rostrel.lua\"\r\n"
          "Content-Type: text/plain\r\n\r\n"
        + profile + "\r\n--AaB03x--";
}

struct HttpReply
{
    bool finished = false;
    int status = 0;
    QByteArray contentType;
    QByteArray body;
};

QByteArray allBytes()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestGuildSite : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void upload_data();
    void upload();
    void malformed_data();
    void malformed();
    void boundarySeparators_data();
    void boundarySeparators();
    void storedBytes_data();
    void storedBytes();
    void largeProfile();
    void fieldDecoding_data();
    void fieldDecoding();
    void escapedCredentialsLogIn_data();
    void escapedCredentialsLogIn();
    void storageFolders();
    void numberingContinuesAcrossRuns();
    void capturesRawRequest();
    void fileHost_data();
    void fileHost();
    void fileHostRefusesToLeaveFolder_data();
    void fileHostRefusesToLeaveFolder();
    void fileHostIgnoresLinksOutOfFolder();
    void fileHostLinks_data();
    void fileHostLinks();
    void bodyOverLimitRefused_data();
    void bodyOverLimitRefused();
    void slowClientsDropped_data();
    void slowClientsDropped();
    void pagesListUploads();
    void program();

private:
    // A site with small limits and short clocks, so that tests reach them quickly.
    std::unique_ptr<GuildSite> limitedSite();
    HttpReply post(const QByteArray& contentType, const QByteArray& body);
    HttpReply get(const QString& path);
    HttpReply rawGet(const QByteArray& target);
    static HttpReply finish(QNetworkReply* started);

    QNetworkAccessManager m_network;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<GuildSite> m_site;
};

void TestGuildSite::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("files")));
    GuildSiteConfig config;
    config.users.insert(QStringLiteral("alice"), QStringLiteral("s3cret"));
    config.users.insert(QStringLiteral("bob"), QStringLiteral("hunter2"));
    config.dataDir = m_dir->filePath(QStringLiteral("data"));
    config.filesDir = m_dir->filePath(QStringLiteral("files"));
    m_site = std::make_unique<GuildSite>(config);
    QVERIFY(m_site->listen() != 0);
}

void TestGuildSite::cleanup()
{
    m_site.reset();
    m_dir.reset();
}

std::unique_ptr<GuildSite> TestGuildSite::limitedSite()
{
    GuildSiteConfig config = m_site->config();
    config.limits.maxBodyBytes = 4096;
    config.limits.headerTimeout = std::chrono::milliseconds(1000);
    config.limits.bodyGrace = std::chrono::milliseconds(1000);
    config.limits.minBodyRate = 1000;
    auto site = std::make_unique<GuildSite>(config);
    return site->listen() ? std::move(site) : nullptr;
}

HttpReply TestGuildSite::post(const QByteArray& contentType, const QByteArray& body)
{
    QNetworkRequest request(QUrl(m_site->baseUrl() + QStringLiteral("/memberbankupload.php")));
    request.setRawHeader("Content-Type", contentType);
    return finish(m_network.post(request, body));
}

HttpReply TestGuildSite::get(const QString& path)
{
    return finish(m_network.get(QNetworkRequest(QUrl(m_site->baseUrl() + path))));
}

HttpReply TestGuildSite::finish(QNetworkReply* started)
{
    std::unique_ptr<QNetworkReply> reply(started);
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    HttpReply result;
    result.finished = finished.wait(30000);
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.contentType = reply->rawHeader("Content-Type");
    result.body = reply->readAll();
    return result;
}

// A GET whose target goes out exactly as written: the network manager would tidy "..", so
// traversal attempts have to be typed onto the socket by hand.
HttpReply TestGuildSite::rawGet(const QByteArray& target)
{
    // The site runs on this thread, so the socket is driven by the event loop, never by blocking waits.
    QTcpSocket socket;
    QByteArray response;
    connect(&socket, &QTcpSocket::connected, &socket,
        [&] { socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"); });
    connect(&socket, &QTcpSocket::readyRead, &socket, [&] { response += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, m_site->port());

    HttpReply result;
    auto complete = [&] {
        const qsizetype headEnd = response.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return false;
        qint64 length = -1;
        for (const QByteArray& line : response.first(headEnd).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (length < 0 || response.size() < headEnd + 4 + length)
            return false;
        result.status = response.mid(9, 3).toInt();
        result.body = response.mid(headEnd + 4, length);
        return true;
    };
    result.finished = QTest::qWaitFor(complete, 30000);
    return result;
}

void TestGuildSite::upload_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray accepted = "Inventory Uploaded";
    const QByteArray rejected = "Invalid Login/Password";
    QTest::newRow("accepted") << QStringLiteral("alice") << QStringLiteral("s3cret") << accepted;
    QTest::newRow("second user") << QStringLiteral("bob") << QStringLiteral("hunter2") << accepted;
    QTest::newRow("wrong password") << QStringLiteral("alice") << QStringLiteral("hunter2") << rejected;
    QTest::newRow("unknown user") << QStringLiteral("mallory") << QStringLiteral("s3cret") << rejected;
    QTest::newRow("login in other case") << QStringLiteral("Alice") << QStringLiteral("s3cret") << rejected;
    QTest::newRow("password with trailing space") << QStringLiteral("alice") << QStringLiteral("s3cret ") << rejected;
    QTest::newRow("password with trailing tab") << QStringLiteral("alice") << QStringLiteral("s3cret\t") << rejected;
    QTest::newRow("empty password") << QStringLiteral("alice") << QString() << rejected;
}

void TestGuildSite::upload()
{
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QByteArray, reply);

    QSignalSpy uploads(m_site.get(), &GuildSite::uploadReceived);
    QSignalSpy rejections(m_site.get(), &GuildSite::loginRejected);
    const QByteArray profile = "Rostrel = {}\r\n";
    const HttpReply answer = post(kProgramContentType, programBody(login, password, profile));
    QVERIFY(answer.finished);
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body, reply);
    QCOMPARE(answer.contentType, QByteArray("text/plain"));

    const bool accepted = reply == "Inventory Uploaded";
    QCOMPARE(uploads.count(), accepted ? 1 : 0);
    QCOMPARE(rejections.count(), accepted ? 0 : 1);
    QCOMPARE(m_site->received().size(), accepted ? 1 : 0);
    if (accepted) {
        const ReceivedUpload upload = m_site->received().constFirst();
        QCOMPARE(upload.login, login);
        QCOMPARE(upload.size, profile.size());
        QCOMPARE(readFile(upload.filePath), profile);
        QCOMPARE(uploads.constFirst().constFirst().value<ReceivedUpload>().filePath, upload.filePath);
    } else {
        // A rejected login leaves nothing behind.
        QVERIFY(!QFileInfo::exists(m_site->config().dataDir)
            || QDir(m_site->config().dataDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }
}

void TestGuildSite::malformed_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    const QByteArray good = programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), "x\r\n");
    auto without = [&](const QByteArray& field) {
        QByteArray body = good;
        const QByteArray header = "content-disposition: form-data; name=\"" + field + "\"";
        const qsizetype start = body.indexOf(header) - QByteArray("--AaB03x\r\n").size();
        const qsizetype end = body.indexOf("--AaB03x", start + 2);
        return body.remove(start, end - start);
    };

    QTest::newRow("not multipart") << QByteArray("application/x-www-form-urlencoded")
                                   << QByteArray("login=alice&password=s3cret");
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << good;
    QTest::newRow("empty boundary") << QByteArray("multipart/form-data; boundary=") << good;
    QTest::newRow("other boundary") << QByteArray("multipart/form-data, boundary=XyZ") << good;
    QTest::newRow("no login field") << kProgramContentType << without("login");
    QTest::newRow("no password field") << kProgramContentType << without("password");
    QTest::newRow("no file field") << kProgramContentType << without("thefile");
    QTest::newRow("no closing boundary") << kProgramContentType << good.first(good.size() - 12);
    QTest::newRow("body cut in the file") << kProgramContentType << good.first(good.indexOf("x\r\n") + 1);
    QTest::newRow("empty body") << kProgramContentType << QByteArray();
    QTest::newRow("login twice") << kProgramContentType
                                 << QByteArray("--AaB03x\r\ncontent-disposition: form-data; name=\"login\"\r\n\r\nbob")
            + QByteArray("\r\n") + good;
    QTest::newRow("part without blank line")
        << kProgramContentType
        << QByteArray("--AaB03x\r\ncontent-disposition: form-data; name=\"login\"\r\n--AaB03x--");
    QTest::newRow("part without name") << kProgramContentType
                                       << QByteArray("--AaB03x\r\nContent-Type: text/plain\r\n\r\nalice\r\n--AaB03x--");
    QTest::newRow("broken escape in login")
        << kProgramContentType << QByteArray(good).replace("\r\n\r\nalice\r\n", "\r\n\r\nal%4\r\n");
    QTest::newRow("broken escape in password")
        << kProgramContentType << QByteArray(good).replace("\r\n\r\ns3cret\r\n", "\r\n\r\ns3cret%zz\r\n");
}

void TestGuildSite::malformed()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);

    const HttpReply answer = post(contentType, body);
    QVERIFY(answer.finished);
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.contentType, QByteArray("text/plain"));
    QVERIFY(!answer.body.isEmpty());
    QVERIFY(answer.body != "Inventory Uploaded" && answer.body != "Invalid Login/Password");
    QVERIFY(m_site->received().isEmpty());
}

void TestGuildSite::boundarySeparators_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::newRow("comma, as the program sends") << kProgramContentType;
    QTest::newRow("semicolon") << QByteArray("multipart/form-data; boundary=AaB03x");
    QTest::newRow("no space") << QByteArray("multipart/form-data;boundary=AaB03x");
    QTest::newRow("quoted") << QByteArray("multipart/form-data; boundary=\"AaB03x\"");
    QTest::newRow("other case and spacing") << QByteArray("Multipart/Form-Data ,  BOUNDARY=AaB03x");
    QTest::newRow("after another parameter") << QByteArray("multipart/form-data; charset=utf-8, boundary=AaB03x");
}

void TestGuildSite::boundarySeparators()
{
    QFETCH(QByteArray, contentType);
    const HttpReply answer
        = post(contentType, programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), "profile\r\n"));
    QVERIFY(answer.finished);
    QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(m_site->received().size(), 1);
    QCOMPARE(m_site->received().constFirst().profile(), QByteArray("profile\r\n"));
}

void TestGuildSite::storedBytes_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::newRow("every byte value") << allBytes();
    QTest::newRow("CR LF lines kept") << QByteArray("Rostrel = {\r\n  [\"a\"] = 1,\r\n}\r\n");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one line as read from disk") << QByteArray("Rostrel = nil\r\n");
    QTest::newRow("ends in blank lines") << QByteArray("a\r\n\r\n\r\n");
    QTest::newRow("lone CR and LF") << QByteArray("a\rb\nc\r");
    QTest::newRow("boundary text not on its own line") << QByteArray("x--AaB03x\r\n--AaB03xy\r\n--AaB03x-\r\n");
    QTest::newRow("form characters unescaped") << QByteArray("a&b=c%2B+d\t\"{}[]");
    QTest::newRow("UTF-8 names") << QString::fromUtf8("Tövrin = \"Mossgåte\"\r\n").toUtf8();
    QTest::newRow("NUL bytes") << QByteArray("\0\0a\0", 4);
}

void TestGuildSite::storedBytes()
{
    QFETCH(QByteArray, profile);
    const HttpReply answer
        = post(kProgramContentType, programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), profile));
    QVERIFY(answer.finished);
    QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(m_site->received().size(), 1);
    const ReceivedUpload upload = m_site->received().constFirst();
    QCOMPARE(upload.size, profile.size());
    QCOMPARE(readFile(upload.filePath), profile);
    QCOMPARE(upload.profile(), profile);
}

void TestGuildSite::largeProfile()
{
    // Qt HttpServer 6.4 sets no limit on a request body; a 50 MB profile must arrive whole.
    QByteArray profile(50 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < profile.size(); ++i)
        profile[i] = char((i * 131) % 256);
    const HttpReply answer
        = post(kProgramContentType, programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), profile));
    QVERIFY(answer.finished);
    QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(m_site->received().size(), 1);
    QCOMPARE(m_site->received().constFirst().size, profile.size());
    QVERIFY(readFile(m_site->received().constFirst().filePath) == profile);
}

void TestGuildSite::fieldDecoding_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("decoded");
    QTest::addColumn<bool>("valid");

    // The inverse of each escaping step, then the cases where the steps interact.
    QTest::newRow("%25") << QByteArray("%25") << QStringLiteral("%") << true;
    QTest::newRow("%2B") << QByteArray("%2B") << QStringLiteral("+") << true;
    QTest::newRow("+ is a tab") << QByteArray("+") << QStringLiteral("\t") << true;
    QTest::newRow("%0A") << QByteArray("%0A") << QStringLiteral("\n") << true;
    QTest::newRow("%0D") << QByteArray("%0D") << QStringLiteral("\r") << true;
    QTest::newRow("%26") << QByteArray("%26") << QStringLiteral("&") << true;
    QTest::newRow("%3D") << QByteArray("%3D") << QStringLiteral("=") << true;
    QTest::newRow("%7B") << QByteArray("%7B") << QStringLiteral("{") << true;
    QTest::newRow("%7D") << QByteArray("%7D") << QStringLiteral("}") << true;
    QTest::newRow("%5B") << QByteArray("%5B") << QStringLiteral("[") << true;
    QTest::newRow("%5D") << QByteArray("%5D") << QStringLiteral("]") << true;
    QTest::newRow("%22") << QByteArray("%22") << QStringLiteral("\"") << true;
    QTest::newRow("literal %2B typed") << QByteArray("%252B") << QStringLiteral("%2B") << true;
    QTest::newRow("space stays a space") << QByteArray("a b") << QStringLiteral("a b") << true;
    QTest::newRow("lower-case hex") << QByteArray("%2b%3d") << QStringLiteral("+=") << true;
    QTest::newRow("unescaped characters") << QByteArray("#?/") << QStringLiteral("#?/") << true;
    QTest::newRow("UTF-8 as sent") << QString::fromUtf8("Tövrin").toUtf8() << QString::fromUtf8("Tövrin") << true;
    QTest::newRow("UTF-8 escaped") << QByteArray("T%C3%B6vrin") << QString::fromUtf8("Tövrin") << true;
    QTest::newRow("empty") << QByteArray() << QString() << true;
    QTest::newRow("lone %") << QByteArray("%") << QString() << false;
    QTest::newRow("% with one digit") << QByteArray("ab%4") << QString() << false;
    QTest::newRow("% with no hex") << QByteArray("%zz") << QString() << false;
}

void TestGuildSite::fieldDecoding()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, decoded);
    QFETCH(bool, valid);
    const auto result = decodeFormField(field);
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(*result, decoded);
}

void TestGuildSite::escapedCredentialsLogIn_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::newRow("every escaped character") << QStringLiteral("alice") << QStringLiteral("%+\t\n\r&={}[]\" end");
    QTest::newRow("literal %2B") << QStringLiteral("alice") << QStringLiteral("pa%2Bss");
    QTest::newRow("non-ASCII login") << QString::fromUtf8("Tövrin") << QString::fromUtf8("pässwörd");
    QTest::newRow("login with spaces and colon") << QStringLiteral(" a:b ") << QStringLiteral("x");
}

void TestGuildSite::escapedCredentialsLogIn()
{
    QFETCH(QString, login);
    QFETCH(QString, password);
    m_site->setUser(login, password);
    const HttpReply answer = post(kProgramContentType, programBody(login, password, "p\r\n"));
    QVERIFY(answer.finished);
    QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(m_site->received().constFirst().login, login);
}

void TestGuildSite::storageFolders()
{
    const QStringList logins { QStringLiteral("../../escape"), QStringLiteral("a/b"), QStringLiteral("a_b"),
        QStringLiteral("..."), QString::fromUtf8("Tövrin"), QString(QChar(u'x')).repeated(300) };
    for (const QString& login : logins)
        m_site->setUser(login, QStringLiteral("pw"));
    const QString dataDir = QFileInfo(m_site->config().dataDir).absoluteFilePath();
    QSet<QString> folders;
    for (const QString& login : logins) {
        const HttpReply answer = post(kProgramContentType, programBody(login, QStringLiteral("pw"), login.toUtf8()));
        QVERIFY(answer.finished);
        QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
        const QFileInfo stored(m_site->received().constLast().filePath);
        // Straight inside a folder of its own directly under the data folder.
        QCOMPARE(QFileInfo(stored.absolutePath()).absolutePath(), dataDir);
        QCOMPARE(stored.fileName(), QStringLiteral("1-Rostrel.lua"));
        QCOMPARE(readFile(stored.filePath()), login.toUtf8());
        folders.insert(stored.absolutePath());
    }
    QCOMPARE(folders.size(), logins.size());
    QCOMPARE(storageNameForLogin(QString::fromUtf8("Tövrin")), QString::fromUtf8("Tövrin"));
}

void TestGuildSite::numberingContinuesAcrossRuns()
{
    const QByteArray body = programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), "one");
    QCOMPARE(post(kProgramContentType, body).body, QByteArray("Inventory Uploaded"));
    QCOMPARE(post(kProgramContentType, body).body, QByteArray("Inventory Uploaded"));
    QCOMPARE(QFileInfo(m_site->received().constLast().filePath).fileName(), QStringLiteral("2-Rostrel.lua"));

    // A new run over the same data folder carries on rather than overwriting.
    const GuildSiteConfig config = m_site->config();
    m_site = std::make_unique<GuildSite>(config);
    QVERIFY(m_site->listen() != 0);
    QCOMPARE(post(kProgramContentType, programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), "two")).body,
        QByteArray("Inventory Uploaded"));
    const QString third = m_site->received().constLast().filePath;
    QCOMPARE(QFileInfo(third).fileName(), QStringLiteral("3-Rostrel.lua"));
    QCOMPARE(readFile(QFileInfo(third).dir().filePath(QStringLiteral("1-Rostrel.lua"))), QByteArray("one"));
    QCOMPARE(readFile(third), QByteArray("two"));
}

void TestGuildSite::capturesRawRequest()
{
    const QByteArray body = programBody(QStringLiteral("alice"), QStringLiteral("wrong"), "abc\r\n");
    QCOMPARE(post(kProgramContentType, body).body, QByteArray("Invalid Login/Password"));
    QVERIFY(get(QStringLiteral("/")).finished);

    const auto captured = m_site->lastUploadRequest();
    QVERIFY(captured);
    QCOMPARE(captured->method, QByteArray("POST"));
    QCOMPARE(captured->path, QByteArray("/memberbankupload.php"));
    QCOMPARE(captured->header("content-type"), std::optional<QByteArray>(kProgramContentType));
    QCOMPARE(captured->header("Content-Length"), std::optional<QByteArray>(QByteArray::number(body.size())));
    QCOMPARE(captured->body, body);
    QCOMPARE(m_site->uploadRequestCount(), 1);
    QCOMPARE(m_site->lastRequest()->path, QByteArray("/"));
}

void TestGuildSite::fileHost_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("status");

    QTest::newRow("version") << QStringLiteral("RostrelVersion") << 200;
    QTest::newRow("list") << QStringLiteral("RostrelFiles") << 200;
    QTest::newRow("binary file") << QStringLiteral("Rostrel.blp") << 200;
    QTest::newRow("empty file") << QStringLiteral("Empty.lua") << 200;
    QTest::newRow("in a subfolder") << QStringLiteral("Libs/Lib.lua") << 200;
    QTest::newRow("missing") << QStringLiteral("Missing.lua") << 404;
    QTest::newRow("other case") << QStringLiteral("rostrelversion") << 404;
    QTest::newRow("folder") << QStringLiteral("Libs") << 404;
}

void TestGuildSite::fileHost()
{
    QFETCH(QString, name);
    QFETCH(int, status);

    const QMap<QString, QByteArray> published {
        { QStringLiteral("RostrelVersion"), "2.1\r\n" },
        { QStringLiteral("RostrelFiles"), "Rostrel.lua\r\nRostrel.toc\r\n" },
        { QStringLiteral("Rostrel.blp"), allBytes() },
        { QStringLiteral("Empty.lua"), QByteArray() },
        { QStringLiteral("Libs/Lib.lua"), "lib\n" },
    };
    for (auto it = published.cbegin(); it != published.cend(); ++it)
        QVERIFY(m_site->publishFile(it.key(), it.value()));

    QSignalSpy requested(m_site.get(), &GuildSite::fileRequested);
    const HttpReply answer = get(QStringLiteral("/files/Rostrel/") + name);
    QVERIFY(answer.finished);
    QCOMPARE(answer.status, status);
    if (status == 200)
        QCOMPARE(answer.body, published.value(name));
    QCOMPARE(m_site->fileRequestCount(name), 1);
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.constFirst().constFirst().toString(), name);
}

void TestGuildSite::fileHostRefusesToLeaveFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("..") << QByteArray("/files/Rostrel/../secret.txt");
    QTest::newRow(".. deeper") << QByteArray("/files/Rostrel/Libs/../../secret.txt");
    QTest::newRow("encoded ..") << QByteArray("/files/Rostrel/%2e%2e/secret.txt");
    QTest::newRow("encoded .. and slash") << QByteArray("/files/Rostrel/%2E%2E%2Fsecret.txt");
    QTest::newRow(".. and encoded slash") << QByteArray("/files/Rostrel/..%2fsecret.txt");
    QTest::newRow("backslash") << QByteArray("/files/Rostrel/..\\secret.txt");
    QTest::newRow("encoded backslash") << QByteArray("/files/Rostrel/..%5csecret.txt");
    QTest::newRow("absolute") << QByteArray("/files/Rostrel//tmp/secret.txt");
    QTest::newRow("encoded absolute") << QByteArray("/files/Rostrel/%2Ftmp%2Fsecret.txt");
    QTest::newRow("drive letter") << QByteArray("/files/Rostrel/C:%5Csecret.txt");
    QTest::newRow("double-encoded ..") << QByteArray("/files/Rostrel/%252e%252e/secret.txt");
    QTest::newRow("NUL") << QByteArray("/files/Rostrel/RostrelVersion%00.txt");
    QTest::newRow("broken escape") << QByteArray("/files/Rostrel/%zz");
    QTest::newRow("dot segment") << QByteArray("/files/Rostrel/./RostrelVersion");
}

void TestGuildSite::fileHostRefusesToLeaveFolder()
{
    QFETCH(QByteArray, target);
    // A file just outside the served folder, and one inside that a request must not reach by a
    // detour either.
    QFile secret(m_dir->filePath(QStringLiteral("secret.txt")));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("top secret");
    secret.close();
    QVERIFY(m_site->publishFile(QStringLiteral("RostrelVersion"), "2.1"));
    QVERIFY(m_site->publishFile(QStringLiteral("Libs/Lib.lua"), "lib"));

    const HttpReply answer = rawGet(target);
    QVERIFY(answer.finished);
    QVERIFY2(answer.status == 400 || answer.status == 404, QByteArray::number(answer.status).constData());
    QVERIFY(!answer.body.contains("top secret"));
    QVERIFY(!answer.body.contains("2.1"));
}

void TestGuildSite::fileHostIgnoresLinksOutOfFolder()
{
    QFile secret(m_dir->filePath(QStringLiteral("secret.txt")));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("top secret");
    secret.close();
    QVERIFY(QFile::link(secret.fileName(), m_dir->filePath(QStringLiteral("files/Linked.lua"))));
    const HttpReply answer = get(QStringLiteral("/files/Rostrel/Linked.lua"));
    QVERIFY(answer.finished);
    QCOMPARE(answer.status, 404);
}

void TestGuildSite::fileHostLinks_data()
{
    QTest::addColumn<QString>("link"); // made inside the served folder
    QTest::addColumn<QString>("pointsTo"); // relative to the test folder
    QTest::addColumn<QString>("name"); // asked for
    QTest::addColumn<int>("status");
    QTest::newRow("file link out") << QStringLiteral("Out.lua") << QStringLiteral("secret.txt")
                                   << QStringLiteral("Out.lua") << 404;
    QTest::newRow("folder link out") << QStringLiteral("Libs") << QStringLiteral("outside")
                                     << QStringLiteral("Libs/secret.txt") << 404;
    QTest::newRow("link to the parent") << QStringLiteral("up") << QStringLiteral(".")
                                        << QStringLiteral("up/secret.txt") << 404;
    QTest::newRow("relative link out") << QStringLiteral("Rel.lua") << QStringLiteral("../secret.txt")
                                       << QStringLiteral("Rel.lua") << 404;
    QTest::newRow("link inside") << QStringLiteral("Alias.lua") << QStringLiteral("files/RostrelVersion")
                                 << QStringLiteral("Alias.lua") << 200;
}

void TestGuildSite::fileHostLinks()
{
    QFETCH(QString, link);
    QFETCH(QString, pointsTo);
    QFETCH(QString, name);
    QFETCH(int, status);
    QDir root(m_dir->path());
    QVERIFY(root.mkpath(QStringLiteral("outside")));
    for (const QString& secret : { QStringLiteral("secret.txt"), QStringLiteral("outside/secret.txt") }) {
        QFile file(root.filePath(secret));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("top secret");
    }
    QVERIFY(m_site->publishFile(QStringLiteral("RostrelVersion"), "2.1"));
    const QString target = pointsTo.startsWith(u"..") ? pointsTo : root.filePath(pointsTo);
    QVERIFY(QFile::link(target, root.filePath(QStringLiteral("files/") + link)));

    const HttpReply answer = rawGet("/files/Rostrel/" + name.toUtf8());
    QVERIFY(answer.finished);
    QCOMPARE(answer.status, status);
    QVERIFY(!answer.body.contains("top secret"));
}

void TestGuildSite::bodyOverLimitRefused_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("expectContinue");
    QTest::addColumn<int>("status");
    QTest::newRow("at the limit") << qint64(4096) << false << 200;
    QTest::newRow("a byte over") << qint64(4097) << false << 413;
    QTest::newRow("far over") << qint64(1) << true << 413; // 2^40, see below
    QTest::newRow("over, asking to continue") << qint64(5000) << true << 413;
    QTest::newRow("under, asking to continue") << qint64(4000) << true << 200;
}

void TestGuildSite::bodyOverLimitRefused()
{
    QFETCH(qint64, length);
    QFETCH(bool, expectContinue);
    QFETCH(int, status);
    if (length == 1)
        length = qint64(1) << 40;
    const auto site = limitedSite();
    QVERIFY(site);
    QSignalSpy refused(site.get(), &GuildSite::clientRefused);

    // Only the headers are sent: an answer to a body over the limit must not wait for it.
    QTcpSocket socket;
    QByteArray response;
    connect(&socket, &QTcpSocket::readyRead, &socket, [&] {
        response += socket.readAll();
        if (response.startsWith("HTTP/1.1 100 ")) {
            response.clear();
            socket.write(QByteArray(length, 'x'));
        }
    });
    socket.connectToHost(QHostAddress::LocalHost, site->port());
    QVERIFY(socket.waitForConnected(10000));
    socket.write("POST /memberbankupload.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
                 "Content-Length: "
        + QByteArray::number(length) + (expectContinue ? "\r\nExpect: 100-continue" : "") + "\r\n\r\n");
    if (!expectContinue && status == 200)
        socket.write(QByteArray(length, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(response.contains("\r\n\r\n"), 20000);
    // The upload script itself answers 400 to a body that is no form: the body was read and handed on.
    QCOMPARE(response.mid(9, 3).toInt(), status == 200 ? 400 : status);
    QCOMPARE(site->uploadRequestCount(), status == 200 ? 1 : 0);
    QCOMPARE(refused.count(), status == 200 ? 0 : 1);
    if (status == 413)
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 20000);
}

void TestGuildSite::slowClientsDropped_data()
{
    QTest::addColumn<QByteArray>("head"); // sent at once
    QTest::addColumn<QByteArray>("dribble"); // then a byte at a time
    const QByteArray post
        = "POST /memberbankupload.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + kProgramContentType + "\r\n";
    const QByteArray body = programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), QByteArray(2000, 'p'));
    QTest::newRow("headers a byte at a time") << QByteArray() << post + "Content-Length: 5\r\n\r\nhello";
    QTest::newRow("body a byte at a time") << post + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
                                           << body;
    QTest::newRow("idle after the first byte") << QByteArray("P") << QByteArray();
}

void TestGuildSite::slowClientsDropped()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, dribble);
    const auto site = limitedSite();
    QVERIFY(site);
    QSignalSpy refused(site.get(), &GuildSite::clientRefused);

    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, site->port());
    QVERIFY(slow.waitForConnected(10000));
    slow.write(head);
    qsizetype sent = 0;
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, &slow, [&] {
        if (sent < dribble.size() && slow.state() == QAbstractSocket::ConnectedState)
            slow.write(dribble.mid(sent++, 1));
    });
    trickle.start(50);

    // Meanwhile another player's upload goes through at once.
    QNetworkRequest request(QUrl(site->baseUrl() + QStringLiteral("/memberbankupload.php")));
    request.setRawHeader("Content-Type", kProgramContentType);
    const HttpReply other
        = finish(m_network.post(request, programBody(QStringLiteral("bob"), QStringLiteral("hunter2"), "bob's")));
    QCOMPARE(other.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(slow.state(), QAbstractSocket::ConnectedState);

    QTRY_COMPARE_WITH_TIMEOUT(slow.state(), QAbstractSocket::UnconnectedState, 30000);
    QVERIFY(sent < dribble.size() || dribble.isEmpty());
    QCOMPARE(refused.count(), 1);
    QCOMPARE(site->received().size(), 1);
    QCOMPARE(site->received().constFirst().login, QStringLiteral("bob"));
}

void TestGuildSite::pagesListUploads()
{
    m_site->setUser(QStringLiteral("<b>&co"), QStringLiteral("pw"));
    QCOMPARE(post(kProgramContentType, programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), "12345")).body,
        QByteArray("Inventory Uploaded"));
    QCOMPARE(post(kProgramContentType, programBody(QStringLiteral("<b>&co"), QStringLiteral("pw"), "1234567")).body,
        QByteArray("Inventory Uploaded"));

    const HttpReply page = get(QStringLiteral("/"));
    QVERIFY(page.finished);
    QCOMPARE(page.status, 200);
    QVERIFY(page.contentType.startsWith("text/html"));
    QVERIFY(page.body.contains("<td>alice</td><td>5</td>"));
    // A login is what a user typed: shown as text, never as markup.
    QVERIFY(page.body.contains("<td>&lt;b&gt;&amp;co</td><td>7</td>"));
    QVERIFY(!page.body.contains("<b>&co"));
    const QString time = m_site->received().constFirst().time.toString(Qt::ISODateWithMs);
    QVERIFY(page.body.contains(time.toUtf8()));

    const HttpReply json = get(QStringLiteral("/received.json"));
    QVERIFY(json.finished);
    const QJsonArray list = QJsonDocument::fromJson(json.body).array();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[1][QStringLiteral("login")].toString(), QStringLiteral("<b>&co"));
    QCOMPARE(list[1][QStringLiteral("size")].toInt(), 7);
    QCOMPARE(list[1][QStringLiteral("file")].toString(), m_site->received().constLast().filePath);
    QCOMPARE(QDateTime::fromString(list[0][QStringLiteral("time")].toString(), Qt::ISODateWithMs),
        m_site->received().constFirst().time);
}

void TestGuildSite::program()
{
    const QString binDir = qEnvironmentVariable("ROSTREL_BIN_DIR");
    if (binDir.isEmpty())
        QSKIP("ROSTREL_BIN_DIR is not set");
    const QString portFile = m_dir->filePath(QStringLiteral("port"));
    QProcess process;
    process.start(QDir(binDir).filePath(QStringLiteral("rostrel-guild-site")),
        { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--user"),
            QStringLiteral("carol:pass:word"), QStringLiteral("--data"), m_dir->filePath(QStringLiteral("progdata")),
            QStringLiteral("--files"), m_dir->filePath(QStringLiteral("files")), QStringLiteral("--port-file"),
            portFile });
    QVERIFY(process.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += process.readAllStandardOutput()).contains('\n'), 20000);
    const quint16 port = readFile(portFile).trimmed().toUShort();
    QVERIFY(port != 0);
    QCOMPARE(output, "Listening on http://127.0.0.1:" + QByteArray::number(port) + '\n');

    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/memberbankupload.php").arg(port)));
    request.setRawHeader("Content-Type", kProgramContentType);
    std::unique_ptr<QNetworkReply> reply(
        m_network.post(request, programBody(QStringLiteral("carol"), QStringLiteral("pass:word"), "data")));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 20000);
    QCOMPARE(reply->readAll(), QByteArray("Inventory Uploaded"));
    QTRY_VERIFY_WITH_TIMEOUT((output += process.readAllStandardOutput()).contains("carol"), 20000);
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("progdata/carol/1-Rostrel.lua"))), QByteArray("data"));

    process.kill();
    QVERIFY(process.waitForFinished());
}

QTEST_GUILESS_MAIN(TestGuildSite)
#include "test_guild_site.moc"
