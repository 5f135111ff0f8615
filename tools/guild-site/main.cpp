// rostrel-guild-site: the demo's and the tests' guild website and addon file host, on loopback only.
// Guilds put the PHP kit in site/ on their own web host instead.

#include "core/fileio.h"
#include "guild-site/guildsite.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSslCertificate>
#include <QSslKey>
#include <QTextStream>

#include <cstdio>

namespace {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString& message)
{
    QTextStream(stderr) << "rostrel-guild-site: " << message << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rostrel-guild-site"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The demo's and the tests' guild website (/memberbankupload.php) and addon file host "
                       "(/files/Rostrel/), on loopback only. A guild's own website uses the PHP kit in site/."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral("Loopback address and port to listen on (port 0 picks a free one)."),
        QStringLiteral("ADDR:PORT"), QStringLiteral("127.0.0.1:0"));
    const QCommandLineOption userOption(QStringLiteral("user"),
        QStringLiteral("A website user (repeatable); the password is everything after the first colon."),
        QStringLiteral("LOGIN:PASSWORD"));
    const QCommandLineOption dataOption(
        QStringLiteral("data"), QStringLiteral("Folder that receives the profiles."), QStringLiteral("DIR"));
    const QCommandLineOption filesOption(QStringLiteral("files"),
        QStringLiteral("Folder served as the addon file host under /files/Rostrel/."), QStringLiteral("DIR"));
    const QCommandLineOption portFileOption(QStringLiteral("port-file"),
        QStringLiteral("Write the port listened on into this file once listening."), QStringLiteral("FILE"));
    const QCommandLineOption maxBodyOption(QStringLiteral("max-body"),
        QStringLiteral("Largest request body accepted, in bytes; larger ones get 413 (default 64 MB)."),
        QStringLiteral("BYTES"));
    const QCommandLineOption timeoutOption(QStringLiteral("request-timeout"),
        QStringLiteral("Seconds a client may take for its headers, and before its body must keep coming at 4 KB/s "
                       "(default 10)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption certOption(QStringLiteral("tls-cert"),
        QStringLiteral("Serve over TLS with this PEM certificate."), QStringLiteral("FILE"));
    const QCommandLineOption keyOption(
        QStringLiteral("tls-key"), QStringLiteral("The PEM private key of --tls-cert."), QStringLiteral("FILE"));
    const QCommandLineOption redirectOption(QStringLiteral("redirect"),
        QStringLiteral("Answer every request with a redirect to URL followed by the path asked for, as a site that "
                       "moved does (STATUS is 301, 302, 307 or 308)."),
        QStringLiteral("STATUS:URL"));
    parser.addOptions({ listenOption, userOption, dataOption, filesOption, portFileOption, maxBodyOption, timeoutOption,
        certOption, keyOption, redirectOption });
    parser.process(app);

    rostrel::GuildSiteConfig config;
    // A long-running site re-reads stored profiles rather than holding every upload in memory.
    config.keepBodies = false;
    for (const QString& user : parser.values(userOption)) {
        const qsizetype colon = user.indexOf(u':');
        if (colon <= 0)
            return fail(QStringLiteral("--user wants LOGIN:PASSWORD, got \"%1\"").arg(user));
        config.users.insert(user.left(colon), user.mid(colon + 1));
    }
    if (!parser.isSet(dataOption))
        return fail(QStringLiteral("--data DIR is required"));
    config.dataDir = QDir(parser.value(dataOption)).absolutePath();
    if (!QDir().mkpath(config.dataDir))
        return fail(QStringLiteral("cannot create the data folder %1").arg(config.dataDir));
    if (parser.isSet(filesOption))
        config.filesDir = QDir(parser.value(filesOption)).absolutePath();

    if (parser.isSet(maxBodyOption)) {
        bool ok = false;
        config.limits.maxBodyBytes = parser.value(maxBodyOption).toLongLong(&ok);
        if (!ok || config.limits.maxBodyBytes < 0)
            return fail(QStringLiteral("--max-body wants a number of bytes"));
    }
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        const double seconds = parser.value(timeoutOption).toDouble(&ok);
        if (!ok || seconds <= 0 || seconds > 86400)
            return fail(QStringLiteral("--request-timeout wants a number of seconds"));
        config.limits.headerTimeout = config.limits.bodyGrace = std::chrono::milliseconds(qint64(seconds * 1000));
    }
    if (parser.isSet(certOption) != parser.isSet(keyOption))
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (parser.isSet(certOption)) {
        // Far more than any PEM certificate chain or key needs.
        constexpr qint64 pemLimit = 4 * 1024 * 1024;
        const auto certBytes = rostrel::io::readFile(parser.value(certOption), pemLimit);
        const auto keyFileBytes = rostrel::io::readFile(parser.value(keyOption), pemLimit);
        if (!certBytes || !keyFileBytes)
            return fail(QStringLiteral("cannot read the certificate or its key"));
        const QSslCertificate certificate(*certBytes);
        const QByteArray& keyBytes = *keyFileBytes;
        QSslKey key(keyBytes, QSsl::Rsa);
        if (key.isNull())
            key = QSslKey(keyBytes, QSsl::Ec);
        if (certificate.isNull() || key.isNull())
            return fail(QStringLiteral("the certificate or its key is not PEM"));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(certificate);
        tls.setPrivateKey(key);
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        config.tls = tls;
    }
    if (parser.isSet(redirectOption)) {
        const QString value = parser.value(redirectOption);
        const int status = value.section(u':', 0, 0).toInt();
        config.redirectTo = value.section(u':', 1);
        if (!QList<int> { 301, 302, 303, 307, 308 }.contains(status) || config.redirectTo.isEmpty())
            return fail(QStringLiteral("--redirect wants STATUS:URL, got \"%1\"").arg(value));
        config.redirectStatus = status;
    }

    const QString listenText = parser.value(listenOption);
    const qsizetype colon = listenText.lastIndexOf(u':');
    bool portOk = false;
    const uint portNumber = colon > 0 ? listenText.mid(colon + 1).toUInt(&portOk) : 0;
    QString hostText = colon > 0 ? listenText.left(colon) : QString();
    if (hostText.startsWith(u'[') && hostText.endsWith(u']'))
        hostText = hostText.mid(1, hostText.size() - 2);
    const QHostAddress address(hostText);
    if (!portOk || portNumber > 65535 || address.isNull())
        return fail(QStringLiteral("--listen wants ADDRESS:PORT, got \"%1\"").arg(listenText));
    if (!address.isLoopback())
        return fail(QStringLiteral("refusing to listen on %1: this test site is for loopback only").arg(hostText));

    rostrel::GuildSite site(config);
    if (site.listen(address, quint16(portNumber)) == 0)
        return fail(QStringLiteral("cannot listen on %1").arg(listenText));

    if (parser.isSet(portFileOption)) {
        // Written whole or not at all, so a script polling for it never reads half a number.
        if (!rostrel::io::writeFileAtomically(parser.value(portFileOption), QByteArray::number(site.port()) + '\n'))
            return fail(QStringLiteral("cannot write the port file %1").arg(parser.value(portFileOption)));
    }

    QObject::connect(&site, &rostrel::GuildSite::uploadReceived, &site, [](const rostrel::ReceivedUpload& upload) {
        out() << "Received " << upload.size << " bytes from " << rostrel::loggableText(upload.login) << " -> "
              << upload.filePath << Qt::endl;
    });
    QObject::connect(&site, &rostrel::GuildSite::clientRefused, &site,
        [](const QString& reason) { out() << "Refused a client: " << rostrel::loggableText(reason) << Qt::endl; });
    QObject::connect(&site, &rostrel::GuildSite::loginRejected, &site,
        [](const QString& login) { out() << "Rejected login " << rostrel::loggableText(login) << Qt::endl; });

    out() << "Listening on " << site.baseUrl() << Qt::endl;
    return app.exec();
}
