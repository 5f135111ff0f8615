// The reference guild site's upload script: its replies, what it stores and where, and how it
// decodes the program's form.

#include "support/guildsitecheck.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

using namespace rostrel;
using namespace rostrel::testing::site;

class TestGuildSiteUpload : public QObject, public GuildSiteCheck
{
    Q_OBJECT

private Q_SLOTS:
    void init() { startSite(); }
    void cleanup() { stopSite(); }

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
};

void TestGuildSiteUpload::upload_data()
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

void TestGuildSiteUpload::upload()
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

void TestGuildSiteUpload::malformed_data()
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

void TestGuildSiteUpload::malformed()
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

void TestGuildSiteUpload::boundarySeparators_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::newRow("comma, as the program sends") << kProgramContentType;
    QTest::newRow("semicolon") << QByteArray("multipart/form-data; boundary=AaB03x");
    QTest::newRow("no space") << QByteArray("multipart/form-data;boundary=AaB03x");
    QTest::newRow("quoted") << QByteArray("multipart/form-data; boundary=\"AaB03x\"");
    QTest::newRow("other case and spacing") << QByteArray("Multipart/Form-Data ,  BOUNDARY=AaB03x");
    QTest::newRow("after another parameter") << QByteArray("multipart/form-data; charset=utf-8, boundary=AaB03x");
}

void TestGuildSiteUpload::boundarySeparators()
{
    QFETCH(QByteArray, contentType);
    const HttpReply answer
        = post(contentType, programBody(QStringLiteral("alice"), QStringLiteral("s3cret"), "profile\r\n"));
    QVERIFY(answer.finished);
    QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(m_site->received().size(), 1);
    QCOMPARE(m_site->received().constFirst().profile(), QByteArray("profile\r\n"));
}

void TestGuildSiteUpload::storedBytes_data()
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

void TestGuildSiteUpload::storedBytes()
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

void TestGuildSiteUpload::largeProfile()
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

void TestGuildSiteUpload::fieldDecoding_data()
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

void TestGuildSiteUpload::fieldDecoding()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, decoded);
    QFETCH(bool, valid);
    const auto result = decodeFormField(field);
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(*result, decoded);
}

void TestGuildSiteUpload::escapedCredentialsLogIn_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::newRow("every escaped character") << QStringLiteral("alice") << QStringLiteral("%+\t\n\r&={}[]\" end");
    QTest::newRow("literal %2B") << QStringLiteral("alice") << QStringLiteral("pa%2Bss");
    QTest::newRow("non-ASCII login") << QString::fromUtf8("Tövrin") << QString::fromUtf8("pässwörd");
    QTest::newRow("login with spaces and colon") << QStringLiteral(" a:b ") << QStringLiteral("x");
}

void TestGuildSiteUpload::escapedCredentialsLogIn()
{
    QFETCH(QString, login);
    QFETCH(QString, password);
    m_site->setUser(login, password);
    const HttpReply answer = post(kProgramContentType, programBody(login, password, "p\r\n"));
    QVERIFY(answer.finished);
    QCOMPARE(answer.body, QByteArray("Inventory Uploaded"));
    QCOMPARE(m_site->received().constFirst().login, login);
}

void TestGuildSiteUpload::storageFolders()
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

void TestGuildSiteUpload::numberingContinuesAcrossRuns()
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

void TestGuildSiteUpload::capturesRawRequest()
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

QTEST_GUILESS_MAIN(TestGuildSiteUpload)
#include "test_guild_site_upload.moc"
