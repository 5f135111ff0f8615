// Guild sites and file hosts over TLS: certificate checks for uploads and addon fetches, and the
// redirects a site that moved to https answers with, followed only to the host the player typed.

#include "addon/addonupdater.h"
#include "guild-site/guildsite.h"
#include "support/uploadworld.h"
#include "testdata.h"

#include <QSslCertificate>
#include <QSslKey>
#include <QTest>

using namespace rostrel;
using namespace rostrel::fakes;

namespace {

const QByteArray kProfile = QByteArrayLiteral("Rostrel = { gold = 12 }\r\n");

QByteArray fixture(const QString& name)
{
    QFile file(testing::testDataPath(QStringLiteral("tls/") + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QSslConfiguration serverTls(const QString& certificate)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(fixture(certificate)));
    tls.setPrivateKey(QSslKey(fixture(QStringLiteral("server.key")), QSsl::Ec));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

// A site in a folder of its own; tls and redirect as given.
std::unique_ptr<GuildSite> startSite(const QTemporaryDir& dir, const QString& name,
    std::optional<QSslConfiguration> tls = std::nullopt, int redirectStatus = 0, const QString& redirectTo = {})
{
    GuildSiteConfig config;
    config.users.insert(QStringLiteral("kestrel"), QStringLiteral("secret"));
    config.dataDir = dir.filePath(name + QStringLiteral("-data"));
    config.filesDir = dir.filePath(name + QStringLiteral("-files"));
    config.tls = std::move(tls);
    config.redirectStatus = redirectStatus;
    config.redirectTo = redirectTo;
    auto site = std::make_unique<GuildSite>(config);
    if (site->listen() == 0)
        return nullptr;
    site->publishFile(QStringLiteral("RostrelVersion"), "2.1");
    return site;
}

} // namespace

class TestTls : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // The test authority is trusted the way a system's authorities are.
        const QSslCertificate authority(fixture(QStringLiteral("ca.pem")));
        QVERIFY(!authority.isNull());
        QSslConfiguration defaults = QSslConfiguration::defaultConfiguration();
        defaults.addCaCertificate(authority);
        QSslConfiguration::setDefaultConfiguration(defaults);
    }

    void certificates_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("signed by a trusted authority") << QStringLiteral("server.pem") << true;
        QTest::newRow("self-signed") << QStringLiteral("selfsigned.pem") << false;
        QTest::newRow("expired") << QStringLiteral("expired.pem") << false;
        QTest::newRow("for another name") << QStringLiteral("othername.pem") << false;
    }
    void certificates()
    {
        QFETCH(QString, certificate);
        QFETCH(bool, trusted);
        QTemporaryDir dir;
        const auto site = startSite(dir, QStringLiteral("site"), serverTls(certificate));
        QVERIFY(site);

        UploadWorld world;
        world.view.setUrl(site->baseUrl());
        const QByteArray profile = kProfile.repeated(4 * 1024 * 1024 / kProfile.size()); // more than a socket holds
        const UploadResult upload = world.uploader.post(profile);
        AddonUpdater updater(world.folders, world.requests, world.dialogs, world.log, fileHostBase(site->baseUrl()));
        const Result<QByteArray> version = updater.fetch(updater.fileUrl(QStringLiteral("RostrelVersion")));

        if (trusted) {
            QCOMPARE(upload->reply, QStringLiteral("Inventory Uploaded"));
            QCOMPARE(site->received().size(), 1);
            QCOMPARE(site->received().constFirst().profile(), profile);
            QVERIFY(version.ok());
            QCOMPARE(*version, QByteArray("2.1"));
            QVERIFY(world.dialogs.shown.isEmpty());
            return;
        }
        // Refused before a byte of the request went out: nothing arrives, the player is told why.
        QVERIFY(!upload.ok()); // and so no reply text
        QCOMPARE(site->uploadRequestCount(), 0);
        QCOMPARE(site->fileRequestCount(QStringLiteral("RostrelVersion")), 0);
        QVERIFY(!version.ok());
        QCOMPARE(world.dialogs.shown.size(), 2);
        QVERIFY2(world.dialogs.shown[0].text.contains(u"certificate cannot be trusted"),
            qPrintable(world.dialogs.shown[0].text));
        QVERIFY(world.dialogs.shown[1].text.startsWith(u"Error Downloading File: https://"));
        QVERIFY(world.dialogs.shown[1].text.contains(u"certificate cannot be trusted"));
        QVERIFY(world.log.messages.constFirst().startsWith(u"Error Sending the following data to https://"));
    }

    void redirects_data()
    {
        QTest::addColumn<bool>("fromTls");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("target"); // "https" same host, "other host", "http" same host
        QTest::addColumn<bool>("reached");
        for (const int status : { 301, 302, 307, 308 }) {
            const QByteArray code = QByteArray::number(status);
            QTest::newRow(QByteArray(code + " to https, same host").constData())
                << false << status << QStringLiteral("https") << true;
            QTest::newRow(QByteArray(code + " to http, same host, other port").constData())
                << false << status << QStringLiteral("http") << true;
            QTest::newRow(QByteArray(code + " to another host").constData())
                << false << status << QStringLiteral("other host") << false;
            QTest::newRow(QByteArray(code + " from https to http").constData())
                << true << status << QStringLiteral("http") << false;
        }
    }
    void redirects()
    {
        QFETCH(bool, fromTls);
        QFETCH(int, status);
        QFETCH(QString, target);
        QFETCH(bool, reached);
        QTemporaryDir dir;
        const auto tlsSite = startSite(dir, QStringLiteral("tls"), serverTls(QStringLiteral("server.pem")));
        const auto plainSite = startSite(dir, QStringLiteral("plain"));
        QVERIFY(tlsSite && plainSite);
        GuildSite& destination = target == u"http" ? *plainSite : *tlsSite;
        QString to = destination.baseUrl();
        if (target == u"other host") // the same server under another name
            to.replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));
        const auto redirector = startSite(dir, QStringLiteral("redirector"),
            fromTls ? std::optional(serverTls(QStringLiteral("server.pem"))) : std::nullopt, status, to);
        QVERIFY(redirector);

        UploadWorld world;
        const QString typed = fromTls ? redirector->baseUrl() : redirector->hostAndPort();
        world.view.setUrl(typed);
        const UploadResult upload = world.uploader.post(kProfile);

        if (target == u"https" && !fromTls) {
            // Learned before the post: login, password and profile never crossed in clear.
            QCOMPARE(redirector->uploadRequestCount(), 0);
            QCOMPARE(world.view.url(), tlsSite->baseUrl());
            QCOMPARE(destination.received().size(), 1);
            return;
        }
        QCOMPARE(redirector->uploadRequestCount(), 1);
        QCOMPARE(world.view.url(), typed);
        if (reached) {
            // The same POST, body and headers, arrived where the site sent it.
            QCOMPARE(upload->reply, QStringLiteral("Inventory Uploaded"));
            QCOMPARE(destination.received().size(), 1);
            QCOMPARE(destination.received().constFirst().profile(), kProfile);
            QVERIFY(destination.lastUploadRequest() && redirector->lastUploadRequest());
            QCOMPARE(destination.lastUploadRequest()->method, QByteArray("POST"));
            QCOMPARE(destination.lastUploadRequest()->body, redirector->lastUploadRequest()->body);
            QCOMPARE(destination.lastUploadRequest()->header("Content-Type"),
                std::optional(QByteArray("multipart/form-data, boundary=AaB03x")));
            return;
        }
        QCOMPARE(tlsSite->uploadRequestCount() + plainSite->uploadRequestCount(), 0);
        QVERIFY(!upload.ok()); // and so no reply text
        QCOMPARE(world.dialogs.shown.size(), 1);
        QVERIFY2(world.dialogs.shown[0].text.contains(u"which is not the site you entered; nothing was sent there"),
            qPrintable(world.dialogs.shown[0].text));
    }

    void seeOtherIsNotSentAgain()
    {
        // 303 says the site has handled the post; the reply stands and nothing is sent twice.
        QTemporaryDir dir;
        const auto tlsSite = startSite(dir, QStringLiteral("tls"), serverTls(QStringLiteral("server.pem")));
        const auto redirector = startSite(dir, QStringLiteral("redirector"), std::nullopt, 303, tlsSite->baseUrl());
        UploadWorld world;
        world.view.setUrl(redirector->hostAndPort());
        const UploadResult upload = world.uploader.post(kProfile);
        QVERIFY(upload.ok());
        QCOMPARE(upload->status, 303);
        QCOMPARE(redirector->uploadRequestCount(), 1);
        QCOMPARE(tlsSite->uploadRequestCount(), 0);
    }

    void redirectsEndAfterFive()
    {
        QTemporaryDir dir;
        const auto site = startSite(dir, QStringLiteral("loop"));
        QVERIFY(site);
        site->setRedirect(307, site->baseUrl()); // round and round on the same site
        UploadWorld world;
        world.view.setUrl(site->hostAndPort());
        const UploadResult upload = world.uploader.post(kProfile);
        QVERIFY(!upload.ok());
        QCOMPARE(site->uploadRequestCount(), 1 + kMaxRedirects);
        QVERIFY2(world.dialogs.shown.constFirst().text.contains(u"more than 5 times"),
            qPrintable(world.dialogs.shown.constFirst().text));
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "test_tls.moc"
