#include "guild-site/guildsite.h"
#include "support/faultserver.h"
#include "support/uploadworld.h"
#include "testdata.h"

#include <QElapsedTimer>
#include <QNetworkProxyFactory>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace rostrel;
using namespace rostrel::fakes;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(std::optional<rostrel::FaultServer::Mode>)

namespace {
const QString kInvalidUrl = QStringLiteral("Invalid URL.  Please make sure you've entered it correctly");

GuildSiteConfig siteConfig(const QTemporaryDir& dir)
{
    GuildSiteConfig config;
    config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
    config.dataDir = dir.path() + QStringLiteral("/site");
    return config;
}
} // namespace

class TestUpload : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void encodeForm_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("space stays") << QStringLiteral("a b") << QStringLiteral("a b");
        QTest::newRow("plus") << QStringLiteral("+") << QStringLiteral("%2B");
        QTest::newRow("percent") << QStringLiteral("%") << QStringLiteral("%25");
        QTest::newRow("percent then 2B") << QStringLiteral("%2B") << QStringLiteral("%252B");
        QTest::newRow("tab becomes plus") << QStringLiteral("\t") << QStringLiteral("+");
        QTest::newRow("line ends") << QStringLiteral("\r\n") << QStringLiteral("%0D%0A");
        QTest::newRow("form specials") << QStringLiteral("&={}[]\"") << QStringLiteral("%26%3D%7B%7D%5B%5D%22");
        QTest::newRow("untouched") << QStringLiteral("#?/é") << QStringLiteral("#?/é");
    }
    void encodeForm()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(Uploader::EncodeForm(input), expected);
    }

    void bodyIsLaidOutByteForByte()
    {
        const QByteArray expected = "--AaB03x\r\n"
                                    "content-disposition: form-data; name=\"login\"\r\n\r\n"
                                    "k%26\xc3\xa9\r\n"
                                    "--AaB03x\r\n"
                                    "content-disposition: form-data; name=\"password\"\r\n\r\n"
                                    "p+w\r\n"
                                    "--AaB03x\r\n"
                                    "content-disposition: form-data; name=\"thefile\"; filename=\"Rostrel.lua\"\r\n"
                                    "Content-Type: text/plain\r\n\r\n"
                                    "a&b=%\r\n\r\n"
                                    "--AaB03x--";
        QCOMPARE(Uploader::buildBody(QStringLiteral("k&é"), QStringLiteral("p\tw"), "a&b=%\r\n"), expected);
        QVERIFY(Uploader::buildBody({}, {}, {}).endsWith("Content-Type: text/plain\r\n\r\n\r\n--AaB03x--"));
    }

    void addressIsReducedToTheHost_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("path and slash") << QStringLiteral("http://guild.example/forum/")
                                        << QStringLiteral("guild.example");
        QTest::newRow("capital scheme") << QStringLiteral("HTTP://guild.example/x") << QStringLiteral("guild.example");
        QTest::newRow("backslashes") << QStringLiteral("guild.example\\a\\b") << QStringLiteral("guild.example");
        QTest::newRow("spaces") << QStringLiteral("  gu ild.exa mple  ") << QStringLiteral("guild.example");
        QTest::newRow("only spaces") << QStringLiteral("   ") << QString();
        QTest::newRow("port kept") << QStringLiteral("http://127.0.0.1:8080/up") << QStringLiteral("127.0.0.1:8080");
        QTest::newRow("https keeps its scheme")
            << QStringLiteral("HTTPS://guild.example/x") << QStringLiteral("https://guild.example");
    }
    void addressIsReducedToTheHost()
    {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        QCOMPARE(LoginCommand::normaliseAddress(typed), expected);
    }

    void uploadUrlKeepsHttps()
    {
        QCOMPARE(Uploader::uploadUrl(QStringLiteral("guild.example")),
            QStringLiteral("http://guild.example/memberbankupload.php"));
        QCOMPARE(Uploader::uploadUrl(QStringLiteral("https://guild.example")),
            QStringLiteral("https://guild.example/memberbankupload.php"));
    }

    void requestReachesTheSiteExactly()
    {
        UploadWorld world;
        GuildSite site(siteConfig(world.dir));
        QVERIFY(site.listen());
        world.view.setUrl(site.hostAndPort());
        const QByteArray profile("Rostrel = {\r\n\t[\"\xc3\x89lan\"] = 1,\n}\r\n\x00\xff", 31);
        QCOMPARE(world.uploader.GetXML(QStringLiteral("POST"), profile), QStringLiteral("Inventory Uploaded"));
        const auto request = site.lastUploadRequest();
        QVERIFY(request);
        QCOMPARE(request->method, QByteArray("POST"));
        QCOMPARE(request->path, QByteArray("/memberbankupload.php"));
        QCOMPARE(
            request->header("Content-Type").value_or(QByteArray()), QByteArray("multipart/form-data, boundary=AaB03x"));
        QCOMPARE(request->body, Uploader::buildBody(QStringLiteral("kestrel"), QStringLiteral("secret"), profile));
        QCOMPARE(site.received().size(), 1);
        QCOMPARE(site.received().first().profile(), profile);
    }

    void loginOutcomes_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<std::optional<FaultServer::Mode>>("other"); // a server that is not the guild site
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("box");
        const std::optional<FaultServer::Mode> guildSite;
        QTest::newRow("accepted") << QStringLiteral("secret") << guildSite << true << QString();
        QTest::newRow("wrong password") << QStringLiteral("nope") << guildSite << false
                                        << QStringLiteral("Invalid Login/Password");
        // The site's error, not a verdict on the address.
        QTest::newRow("site answers 429")
            << QStringLiteral("secret") << std::optional(FaultServer::Mode::Raw) << false
            << QStringLiteral("answered HTTP 429 Too Many: Too many failed logins; wait 27 s.");
        QTest::newRow("not a guild site")
            << QStringLiteral("secret") << std::optional(FaultServer::Mode::Ok) << false << kInvalidUrl;
    }
    void loginOutcomes()
    {
        QFETCH(QString, password);
        QFETCH(std::optional<FaultServer::Mode>, other);
        QFETCH(bool, loggedIn);
        QFETCH(QString, box);
        UploadWorld world;
        world.writeProfile(QStringLiteral("ACC"), "profile\r\n");
        world.discovery.LoadfilesFromHardDrive();
        GuildSite site(siteConfig(world.dir));
        QVERIFY(site.listen());
        const QByteArray tooMany = "Too many failed logins; wait 27 s.";
        FaultServer broken(other.value_or(FaultServer::Mode::Ok),
            other == FaultServer::Mode::Raw
                ? QByteArray("HTTP/1.1 429 Too Many\r\nContent-Length: 34\r\n\r\n" + tooMany)
                : QByteArray("Welcome to nginx!"));
        QVERIFY(broken.listen());
        const QString host = other ? broken.hostAndPort() : site.hostAndPort();
        world.view.setUrl(QStringLiteral("http://") + host + QStringLiteral("/path/"));
        world.view.setPassword(password);
        world.log.AddMessage(QStringLiteral("earlier line"));

        world.login.Command1_Click();

        QCOMPARE(world.view.url(), host);
        QCOMPARE(world.saves, 1);
        QCOMPARE(world.list.WatchIndex(), 0);
        QVERIFY(!world.log.text().contains(QStringLiteral("earlier line")));
        QCOMPARE(world.watcher.isRunning(), loggedIn);
        QCOMPARE(world.view.inputsEnabled, !loggedIn);
        QCOMPARE(world.view.logOutEnabled, loggedIn);
        QCOMPARE(world.view.minimized, loggedIn ? 1 : 0);
        if (loggedIn) {
            QVERIFY(world.dialogs.shown.isEmpty());
            QCOMPARE(world.log.text(), QStringLiteral("Successfully logged in\r\nInventory Uploaded"));
            QCOMPARE(site.received().first().profile(), QByteArray("profile\r\n"));
        } else {
            QCOMPARE(world.dialogs.shown.size(), 1);
            QVERIFY2(world.dialogs.shown.first().text.contains(box), qPrintable(world.dialogs.shown.first().text));
            QCOMPARE(world.dialogs.shown.first().icon, BoxIcon::None);
            QCOMPARE(world.dialogs.shown.first().title, kAppTitle);
        }
    }

    void inputChecksStopEarly_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("message");
        QTest::newRow("no login") << QString() << QString() << QString()
                                  << QStringLiteral("Please enter your login name for your website");
        QTest::newRow("no password") << QStringLiteral("a") << QString() << QString()
                                     << QStringLiteral("Please enter your password for your website");
        QTest::newRow("no address") << QStringLiteral("a") << QStringLiteral("b") << QString()
                                    << QStringLiteral("Please enter the URL of your website");
    }
    void inputChecksStopEarly()
    {
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(QString, url);
        QFETCH(QString, message);
        UploadWorld world;
        world.view.setLogin(login);
        world.view.setPassword(password);
        world.view.setUrl(url);
        world.login.Command1_Click();
        QCOMPARE(world.dialogs.shown.size(), 1);
        QCOMPARE(world.dialogs.shown.first().text, message);
        QCOMPARE(world.saves, 0);
        QCOMPARE(world.list.WatchIndex(), -1);
    }

    void failedRequestShowsThenLogs()
    {
        UploadWorld world;
        FaultServer refusing(FaultServer::Mode::Refuse);
        QVERIFY(refusing.listen());
        world.view.setUrl(refusing.hostAndPort());
        int logLinesWhenBoxShown = -1;
        world.dialogs.onShow = [&](const MessageBoxRequest&) { logLinesWhenBoxShown = world.log.messages.size(); };
        const QString reply = world.uploader.GetXML(QStringLiteral("POST"), "line one\r\n");
        QCOMPARE(reply, QString());
        QCOMPARE(logLinesWhenBoxShown, 0);
        QCOMPARE(world.dialogs.shown.size(), 1);
        QVERIFY(!world.dialogs.shown.first().text.isEmpty());
        QCOMPARE(world.log.messages.size(), 1);
        QCOMPARE(world.log.messages.first(),
            QStringLiteral("Error Sending the following data to http://") + refusing.hostAndPort()
                + QStringLiteral("/memberbankupload.php: \r\n-----Start-----\r\nline one\r\n-----End-----"));
        QVERIFY(!world.log.messages.first().contains(QStringLiteral("secret")));
    }

    void failedLargeProfileIsLoggedOnlyAsFarAsTheLogKeeps()
    {
        UploadWorld world;
        FaultServer refusing(FaultServer::Mode::Refuse);
        QVERIFY(refusing.listen());
        world.view.setUrl(refusing.hostAndPort());
        const QByteArray profile = QByteArray(3000000, 'x') + "\r\n";
        QCOMPARE(world.uploader.GetXML(QStringLiteral("POST"), profile), QString());
        const QString entry = world.log.messages.first();
        QVERIFY(entry.size() < 21000);
        QVERIFY(entry.contains(QStringLiteral("[... 2980002 more bytes not shown]")));
        QVERIFY(entry.endsWith(QStringLiteral("-----End-----")));
    }

    void silentServerTimesOutWithoutFreezing()
    {
        UploadWorld world(300ms);
        FaultServer silent(FaultServer::Mode::NeverAnswer);
        QVERIFY(silent.listen());
        world.view.setUrl(silent.hostAndPort());
        int ticks = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
        heartbeat.start(20);
        const UploadResult result = world.uploader.post("x");
        QVERIFY(!result.ok());
        QVERIFY2(result.error().contains(QStringLiteral("timed out")), qPrintable(result.error()));
        QVERIFY(ticks >= 5); // the event loop kept running while the request waited
        QCOMPARE(world.dialogs.shown.first().text, result.error());
    }

    void everyRequestHasAnEnd()
    {
        // Long before the stall limit, the overall one ends a body that keeps moving below the slowest
        // rate: 0.3 s plus 32 MB at 8 MB/s, where reading it takes four times that.
        UploadWorld world;
        FaultServer slow(FaultServer::Mode::SlowRead);
        XmlHttpRequest request(world.network, 60s, 300ms, 8 << 20);
        QVERIFY(slow.listen() && request.Open(QStringLiteral("POST"), slow.baseUrl() + QStringLiteral("/x")));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(request.send(QByteArray(32 << 20, 'x')) && !request.waitForCompletion());
        QVERIFY2(request.errorString().contains(" complete 4.3 seconds after the request started"_L1)
                && clock.elapsed() < 7000,
            qPrintable(request.errorString()));
    }

    void automaticLoginWaitsOnlyForPassingTrouble_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("waits");
        QTest::newRow("413 ends it") << QByteArray("413 Too Large") << false;
        QTest::newRow("400 to the probe and the post ends it") << QByteArray("400 Bad Request") << false;
        QTest::newRow("503 is waited out") << QByteArray("503 Busy") << true;
    }
    void automaticLoginWaitsOnlyForPassingTrouble()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, waits);
        UploadWorld world;
        world.watcher.setTimings({ {}, 1ms, 1ms });
        FaultServer site(FaultServer::Mode::Raw, "HTTP/1.1 " + status + "\r\nContent-Length: 5\r\n\r\nNope.");
        QVERIFY(site.listen());
        world.view.setUrl(site.hostAndPort());
        QSignalSpy ended(&world.login, &LoginCommand::loginRefused);
        world.login.automaticLogin(); // no profile yet: an empty one goes
        QVERIFY(world.login.isWaiting() == waits && ended.size() == !waits && world.dialogs.shown.isEmpty());
        QCOMPARE(world.log.messages.filter(QString::fromLatin1("HTTP " + status + ": Nope.")).size(), 1);
        // A profile the game writes meanwhile is the one the next try posts.
        world.writeProfile(u"ACC"_s, "first\r\n");
        site.setMode(FaultServer::Mode::Ok, "Inventory Uploaded");
        QTRY_COMPARE(world.watcher.isRunning(), waits);
        QCOMPARE(site.lastRequest().contains("first\r\n"), waits);
    }

    // Answers as web servers frame them: in chunks (nginx before PHP), or after an interim answer
    // up to the connection's end.
    void answersAsServersFrameThem_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::newRow("chunked") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                               "9;ext=1\r\nInventory\r\n9\r\n Uploaded\r\n0\r\nX-T: 1\r\n\r\n");
        QTest::newRow("interim, then to the end")
            << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\n\r\nInventory Uploaded");
    }
    void answersAsServersFrameThem()
    {
        QFETCH(QByteArray, raw);
        UploadWorld world;
        FaultServer site(FaultServer::Mode::Raw, raw);
        QVERIFY(site.listen());
        world.view.setUrl(site.hostAndPort());
        const UploadResult result = world.uploader.post("p\r\n", Uploader::Reporting::Background);
        QVERIFY2(result && result->status == 200 && result->reply == kReplyUploaded, qPrintable(result.error()));
    }

    void secondPressDuringALoginIsIgnored()
    {
        UploadWorld world(400ms);
        FaultServer silent(FaultServer::Mode::NeverAnswer);
        QVERIFY(silent.listen());
        world.view.setUrl(silent.hostAndPort());
        QTimer::singleShot(100, [&] {
            QVERIFY(world.login.isRunning());
            world.login.Command1_Click();
        });
        world.login.Command1_Click();
        QCOMPARE(silent.requestCount(), 1);
        QCOMPARE(world.saves, 1);
        QVERIFY(!world.login.isRunning());
    }

    void missingHttpClientEndsTheProgram()
    {
        struct NoFactory : RequestFactory
        {
            std::unique_ptr<XmlHttpRequest> create() override { return nullptr; }
        } none;
        FakeDialogs dialogs;
        FakeBrowser browser;
        FakeExit exit;
        RequestSource requests(none, dialogs, browser, exit);
        QVERIFY_THROWS_EXCEPTION(ProgramExited, requests.CreateXMLObject());
        QCOMPARE(dialogs.shown.size(), 1);
        QCOMPARE(dialogs.shown.first().icon, BoxIcon::Critical);
        QCOMPARE(dialogs.shown.first().text,
            QStringLiteral("We were unable to initialize.  Please download and install the program that you are "
                           "taken to after clicking 'OK'\r\n\r\nNote: If you are unsure about which file to download "
                           "from that page, then download the first one (msxml6.msi)"));
        QCOMPARE(browser.opened.size(), 1);
        QVERIFY(browser.opened.first().endsWith(
            QStringLiteral("/downloads/details.aspx?FamilyId=993c0bcf-3bcf-4009-be21-27e85e1857b1")));
        QCOMPARE(exit.codes.size(), 1);

        browser.works = false;
        QVERIFY_THROWS_EXCEPTION(ProgramExited, requests.CreateXMLObject());
        QCOMPARE(dialogs.shown.last().text, QStringLiteral("Could not find associated Browser"));
        QCOMPARE(dialogs.shown.last().title, QStringLiteral("Browser Not Found"));
        QCOMPARE(dialogs.shown.last().icon, BoxIcon::Exclamation);
    }

    // PHP's own form parser, as guild sites run it, behind its built-in web server: the form as it
    // always was (AaB03x, CR LF, the header), sent from the profile's one buffer and from its file
    // as it is read.
    void phpParsesTheForm_data()
    {
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<QByteArray>("profile");
        QTest::addColumn<QByteArray>("boundary");
        const QByteArray forged("a\r\n--AaB03x\r\ncontent-disposition: form-data; name=\"login\"\r\n\r\nforged\r\n");
        QTest::newRow("holding the boundary") << forged << forged << QByteArray("RostrelUploader-1");
        QTest::newRow("lone CR, last line unended")
            << QByteArray("a\rb\nc") << QByteArray("a\r\nb\nc\r\n") << QByteArray("AaB03x");
        QByteArray large;
        for (int i = 0; large.size() < 10 * 1024 * 1024; ++i)
            large += "\t[\"item" + QByteArray::number(i) + "\"] = \"|cff9d9d9d|Hitem:3299::|h[Canine]|h|r\",\n";
        QTest::newRow("10 MB, LF") << large << large + "\r\n" << QByteArray("AaB03x");
    }
    void phpParsesTheForm()
    {
#ifdef Q_OS_WIN
        QSKIP("PHP runs beside the Linux build");
#endif
        QFETCH(QByteArray, onDisk);
        QFETCH(QByteArray, profile);
        QFETCH(QByteArray, boundary);
        QTcpServer free;
        QVERIFY(free.listen(QHostAddress::LocalHost));
        const QString host = u"127.0.0.1:%1"_s.arg(free.serverPort());
        free.close();
        QProcess php;
        php.setProcessChannelMode(QProcess::MergedChannels);
        php.start(u"php"_s,
            { u"-d"_s, u"upload_max_filesize=64M"_s, u"-d"_s, u"post_max_size=64M"_s, u"-S"_s, host,
                testing::testDataPath(u"php/echo-upload.php"_s) });
        QByteArray output;
        QTRY_VERIFY2_WITH_TIMEOUT((output += php.readAll()).contains("started"), "php-cli is needed", 10000);
        UploadWorld world;
        world.view.setUrl(host);
        world.view.setPassword(u"p&ss\tw"_s);
        const QString path = world.dir.filePath(u"Rostrel.lua"_s);
        QVERIFY(testing::writeFile(path, onDisk));
        const QFileInfo file(path);
        const UploadResult results[] = {
            world.uploader.post(profile, Uploader::Reporting::Attended, u"/Realm/Char"_s),
            world.uploader.post(ProfileFile { path, path, file.size(), file.lastModified() },
                Uploader::Reporting::Background, u"/Realm/Char"_s),
        };
        php.kill();
        php.waitForFinished();
        for (const UploadResult& result : results) {
            QVERIFY2(result && result->status == 200, qPrintable(result.error()));
            QVERIFY(result->reply.toUtf8()
                == "multipart/form-data, boundary=" + boundary + "\n/Realm/Char\nkestrel\np%26ss+w\n" + profile);
        }
    }

    // A profile the game rewrites while it goes out never reaches the site whole: the form's last
    // line waits until the file is found as it was when looked at.
    void aProfileRewrittenWhileSentIsNotStored()
    {
        UploadWorld world;
        GuildSite site(siteConfig(world.dir));
        QVERIFY(site.listen());
        world.view.setUrl(site.hostAndPort());
        const QString path = world.dir.filePath(u"Rostrel.lua"_s);
        const QByteArray profile = QByteArray(3 * 1024 * 1024, 'x') + "\r\n";
        QVERIFY(testing::writeFile(path, profile));
        const QFileInfo file(path);
        ProfileFile looked { path, path, file.size(), file.lastModified().addSecs(-10) };
        const UploadResult changed = world.uploader.post(looked, Uploader::Reporting::Background);
        QCOMPARE(changed.errorCode(), ProfileChangedError);
        looked.modified = file.lastModified();
        const UploadResult result = world.uploader.post(looked, Uploader::Reporting::Background);
        QVERIFY(result && result->reply == kReplyUploaded);
        QCOMPARE(site.received().size(), 1);
        QCOMPARE(site.received().first().profile(), profile);
    }

    // Started at logon before the network is up: no box, the tray, and the login once the site answers.
    void automaticLoginWaitsForTheSite()
    {
        UploadWorld world;
        world.writeProfile(QStringLiteral("ACC"), "profile\r\n");
        world.discovery.LoadfilesFromHardDrive();
        FaultServer away(FaultServer::Mode::Refuse);
        QVERIFY(away.listen());
        world.view.setUrl(away.hostAndPort());
        QSignalSpy waiting(&world.login, &LoginCommand::waitingForSite);
        world.login.automaticLogin();
        QVERIFY(world.dialogs.shown.isEmpty() && world.login.isWaiting() && !world.watcher.isRunning()
            && world.view.minimized == 1 && !world.view.inputsEnabled && world.view.logOutEnabled);

        GuildSite site(siteConfig(world.dir));
        QCOMPARE(site.listen(QHostAddress::LocalHost, away.port()), away.port());
        QTRY_VERIFY(world.watcher.isRunning());
        QVERIFY(world.dialogs.shown.isEmpty() && !world.login.isWaiting());
        QCOMPARE(site.received().size(), 1);
        QVERIFY(site.lastUploadRequest()->header("X-Rostrel-Profile")->startsWith("/account-"));
        QCOMPARE(waiting.size(), 1);
        QVERIFY(world.log.text().startsWith(u"Successfully logged in\r\nInventory Uploaded"_s));
    }

    void uploadsGoThroughTheSystemProxy()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows' system proxy comes from its own settings, not from http_proxy");
#endif
        FaultServer proxy(FaultServer::Mode::Ok, "Inventory Uploaded");
        QVERIFY(proxy.listen());
        qputenv("http_proxy", (QStringLiteral("http://") + proxy.hostAndPort()).toLatin1());
        qunsetenv("no_proxy");
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        UploadWorld world;
        world.view.setUrl(QStringLiteral("guild.invalid"));
        const QString reply = world.uploader.GetXML(QStringLiteral("POST"), "p");
        QNetworkProxyFactory::setUseSystemConfiguration(false);
        qunsetenv("http_proxy");
        QCOMPARE(reply, QStringLiteral("Inventory Uploaded"));
        QVERIFY2(proxy.lastRequest().startsWith("POST http://guild.invalid/memberbankupload.php "),
            proxy.lastRequest().left(80).constData());
    }
};

QTEST_GUILESS_MAIN(TestUpload)
#include "test_upload.moc"
