// The reference guild site beyond the upload script: the file host and its refusal to leave its
// folder, the limits on bodies and slow clients, the pages for people and scripts, and the program.

#include "support/guildsitecheck.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace rostrel;
using namespace rostrel::testing::site;

class TestGuildSiteServing : public QObject, public GuildSiteCheck
{
    Q_OBJECT

private Q_SLOTS:
    void init() { startSite(); }
    void cleanup() { stopSite(); }

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
};

void TestGuildSiteServing::fileHost_data()
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

void TestGuildSiteServing::fileHost()
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

void TestGuildSiteServing::fileHostRefusesToLeaveFolder_data()
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

void TestGuildSiteServing::fileHostRefusesToLeaveFolder()
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

void TestGuildSiteServing::fileHostIgnoresLinksOutOfFolder()
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

void TestGuildSiteServing::fileHostLinks_data()
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

void TestGuildSiteServing::fileHostLinks()
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

void TestGuildSiteServing::bodyOverLimitRefused_data()
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

void TestGuildSiteServing::bodyOverLimitRefused()
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

void TestGuildSiteServing::slowClientsDropped_data()
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

void TestGuildSiteServing::slowClientsDropped()
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

void TestGuildSiteServing::pagesListUploads()
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
    const QString file = list[1][QStringLiteral("file")].toString(); // inside the data folder, no absolute path
    QCOMPARE(m_site->config().dataDir + u'/' + file, m_site->received().constLast().filePath);
    QCOMPARE(QDateTime::fromString(list[0][QStringLiteral("time")].toString(), Qt::ISODateWithMs),
        m_site->received().constFirst().time);
}

void TestGuildSiteServing::program()
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
QTEST_GUILESS_MAIN(TestGuildSiteServing)
#include "test_guild_site_serving.moc"
