#pragma once
// The reference guild site on loopback for its own tests: a site with two users in a fresh
// folder, the body the program sends, and plain ways to talk to the site (through the network
// manager, or typed onto a socket as written).

#include "guild-site/guildsite.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace rostrel::testing::site {

inline const QByteArray kProgramContentType = QByteArrayLiteral("multipart/form-data, boundary=AaB03x");

// The program's escaping of login and password, applied step by step in the same order.
inline QByteArray encodeForm(QString text)
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
inline QByteArray programBody(const QString& login, const QString& password, const QByteArray& profile)
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

inline QByteArray allBytes()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Each test starts a site with two users, a data folder and an empty served folder.
class GuildSiteCheck
{
protected:
    void startSite();
    void stopSite();

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

inline void GuildSiteCheck::startSite()
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

inline void GuildSiteCheck::stopSite()
{
    m_site.reset();
    m_dir.reset();
}

inline std::unique_ptr<GuildSite> GuildSiteCheck::limitedSite()
{
    GuildSiteConfig config = m_site->config();
    config.limits.maxBodyBytes = 4096;
    config.limits.headerTimeout = std::chrono::milliseconds(1000);
    config.limits.bodyGrace = std::chrono::milliseconds(1000);
    config.limits.minBodyRate = 1000;
    auto site = std::make_unique<GuildSite>(config);
    return site->listen() ? std::move(site) : nullptr;
}

inline HttpReply GuildSiteCheck::post(const QByteArray& contentType, const QByteArray& body)
{
    QNetworkRequest request(QUrl(m_site->baseUrl() + QStringLiteral("/memberbankupload.php")));
    request.setRawHeader("Content-Type", contentType);
    return finish(m_network.post(request, body));
}

inline HttpReply GuildSiteCheck::get(const QString& path)
{
    return finish(m_network.get(QNetworkRequest(QUrl(m_site->baseUrl() + path))));
}

inline HttpReply GuildSiteCheck::finish(QNetworkReply* started)
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
inline HttpReply GuildSiteCheck::rawGet(const QByteArray& target)
{
    // The site runs on this thread, so the socket is driven by the event loop, never by blocking waits.
    QTcpSocket socket;
    QByteArray response;
    QObject::connect(&socket, &QTcpSocket::connected, &socket,
        [&] { socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"); });
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { response += socket.readAll(); });
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

} // namespace rostrel::testing::site
