#pragma once
// The reference guild website: the upload script "/memberbankupload.php" (login checked against
// its own users, profiles stored byte for byte) and the addon file host under "/files/Rostrel/".
// Tests run it in-process on a loopback port; the demo runs it as the rostrel-guild-site program.

#include "core/result.h"
#include "guild-site/httpserver.h"
#include "guild-site/multipart.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <memory>
#include <optional>

namespace rostrel {

struct GuildSiteConfig
{
    // login -> password, both as the user types them.
    QMap<QString, QString> users;
    // Uploaded profiles land in <dataDir>/<login>/<n>-Rostrel.lua.
    QString dataDir;
    // Served under /files/Rostrel/; empty means no file host (every name is 404).
    QString filesDir;
    // Keep each upload's request body in memory so received() can hand the bytes back without
    // touching the disk. A long-running site turns this off and re-reads the stored file instead.
    bool keepBodies = true;
    // Size and time limits for every request (body size, slow clients).
    HttpLimits limits;
    // Serve over TLS with this certificate and key.
    std::optional<QSslConfiguration> tls;
    // Answer every request with this redirect status (301, 302, 307, 308), sending the client to
    // redirectTo (scheme, host and port) followed by the path it asked for, as a site that moved
    // to https does.
    int redirectStatus = 0;
    QString redirectTo;
};

struct ReceivedUpload
{
    QString login;
    qint64 size = 0;
    QDateTime time;
    QString filePath;

    // The profile bytes exactly as stored.
    QByteArray profile() const;

    // The whole request body, shared with the request rather than copied, and where the profile
    // sits in it. Empty when the site does not keep bodies.
    QByteArray body;
    qsizetype profileOffset = 0;
};

// A request as it reached the site: method, target path (still percent-encoded), the headers as
// sent (names keep their case), and the body bytes.
struct CapturedRequest
{
    QByteArray method;
    QByteArray path;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // First header of that name (names compare case-insensitively); absent when none came.
    std::optional<QByteArray> header(QByteArrayView name) const;
};

// Why a file-host name (a path below the served folder, percent-decoded) may not be served, or
// empty when it stays inside the folder.
QString fileNameRefusal(QByteArrayView name);

// The folder name under which a login's profiles are stored: letters, digits, "-" and "_" kept,
// anything else replaced, and a hash of the login added when that changed it so two logins never
// share a folder by accident.
QString storageNameForLogin(const QString& login);

// Text from a client made safe for a log line or a terminal: control characters (line breaks,
// escape sequences) and backslashes written as \xNN escapes, so one entry stays one line.
QString loggableText(QStringView text);

class GuildSite : public QObject
{
    Q_OBJECT
public:
    explicit GuildSite(GuildSiteConfig config, QObject* parent = nullptr);
    ~GuildSite() override;

    // The port listened on, 0 on failure. Port 0 picks a free one.
    quint16 listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const { return m_port; }
    // "127.0.0.1:PORT", the form the program's address box and file-host setting take.
    QString hostAndPort() const;
    // "http://" or, with TLS, "https://", then hostAndPort().
    QString baseUrl() const;
    // Connections open right now (a dropped slow client no longer counts).
    int connectionCount() const;

    const GuildSiteConfig& config() const { return m_config; }
    void setUser(const QString& login, const QString& password) { m_config.users.insert(login, password); }
    void setRedirect(int status, const QString& to)
    {
        m_config.redirectStatus = status;
        m_config.redirectTo = to;
    }

    QList<ReceivedUpload> received() const { return m_received; }
    // The last request of any kind, and the last one to the upload script.
    std::optional<CapturedRequest> lastRequest() const { return m_lastRequest; }
    std::optional<CapturedRequest> lastUploadRequest() const { return m_lastUploadRequest; }

    // File-host requests per name (as decoded from the path), missing names and refusals included.
    // Only the first few hundred short names are counted, so that no client can grow the table.
    QMap<QString, int> fileRequests() const { return m_fileRequests; }
    int fileRequestCount(const QString& name) const { return m_fileRequests.value(name); }
    int uploadRequestCount() const { return m_uploadRequests; }

    // Writes a file into the file-host folder (for tests and scripts that publish an addon).
    bool publishFile(const QString& name, QByteArrayView bytes);

Q_SIGNALS:
    void uploadReceived(const rostrel::ReceivedUpload& upload);
    void loginRejected(const QString& login);
    void fileRequested(const QString& name);
    // A request was refused or a client dropped by the limits.
    void clientRefused(const QString& reason);

private:
    using Reply = HttpResponse;

    Reply handle(const CapturedRequest& request);
    Reply handleUpload(const CapturedRequest& request);
    Reply handleFile(const CapturedRequest& request, QByteArrayView name);
    Reply handleIndex() const;
    Reply handleReceivedJson() const;
    // The stored file's path.
    Result<QString> storeProfile(const QString& login, QByteArrayView bytes);

    GuildSiteConfig m_config;
    std::unique_ptr<HttpServer> m_server;
    quint16 m_port = 0;
    QHostAddress m_address;
    QList<ReceivedUpload> m_received;
    std::optional<CapturedRequest> m_lastRequest;
    std::optional<CapturedRequest> m_lastUploadRequest;
    QMap<QString, int> m_fileRequests;
    int m_uploadRequests = 0;
    // Next number per storage folder, found by looking at the folder the first time.
    QHash<QString, int> m_nextNumber;
};

} // namespace rostrel

Q_DECLARE_METATYPE(rostrel::ReceivedUpload)
