#pragma once
// The upload request: posts one profile with the website login and password to the site's
// upload script as a multipart form and hands back the reply.

#include "core/result.h"
#include "http/xmlhttp.h"

#include <QByteArray>
#include <QDateTime>
#include <QSet>
#include <QString>
#include <chrono>
#include <memory>

namespace rostrel {

class FormView;
class RequestSource;
class Dialogs;
class MessageSink;

inline const QString kUploadScript = QStringLiteral("/memberbankupload.php");
inline const QString kReplyUploaded = QStringLiteral("Inventory Uploaded");
inline const QString kReplyInvalidLogin = QStringLiteral("Invalid Login/Password");

// A complete reply, whatever its status.
struct UploadReply
{
    QString reply;
    int status = 0; // HTTP status
    QString statusText; // its reason phrase ("Bad Gateway")
    std::chrono::seconds retryAfter { 0 }; // how long the site asked to wait (Retry-After), 0 when it did not
};
// A reply, or why none came (refused, reset, time-out, bad address, the program closing); the
// failure's code is the request's errorCode().
using UploadResult = Result<UploadReply>;

// A profile file as it was looked at, to be posted as it is read.
struct ProfileFile
{
    QString path; // as the game names it, for the log
    QString hostPath;
    qint64 size = 0;
    QDateTime modified;
};
// Why a post of a ProfileFile did not go out: the file could not be read (the log says so), or
// it changed while it was read (nothing reached the site; look again once it stands still).
inline constexpr int ProfileUnreadableError = XmlHttpRequest::kFirstCallerCode;
inline constexpr int ProfileChangedError = XmlHttpRequest::kFirstCallerCode - 1;

// What became of a post, as the login and the watcher tell outcomes apart.
struct PostOutcome
{
    enum Verdict
    {
        Uploaded,
        LoginRefused, // "Invalid Login/Password"
        ProfileRefused, // the site took exception to this profile alone (too large, malformed)
        SiteFailed, // no answer, an error status, or an answer the program does not know
    };
    Verdict verdict = SiteFailed;
    QString why; // for the log: the failure, or the site's answer (status and first line)
    // Tells one failure from another kind (status, error code, the answer's first line): two
    // time-outs of different requests are the same kind, though their texts differ.
    QString kind;
    std::chrono::seconds retryAfter { 0 };
};
PostOutcome judge(const UploadResult& result);
// The first line of a site's answer, cut short and with control characters made "?".
QString firstLineOf(const QString& reply);
// An answer with an error status in words: "HTTP 400 Bad Request: The profile is empty.", or for
// an HTML page, whose first line says nothing, "HTTP 502 Bad Gateway".
QString describeStatus(const UploadReply& reply);
// Whether an answer with an error status is one the site may take back later (408, 429, 5xx),
// rather than its word on this login or profile.
bool isPassingTrouble(int status);

class Uploader
{
public:
    Uploader(FormView& view, RequestSource& requests, Dialogs& dialogs, MessageSink& log);

    // Escapes a login or password for the form.
    static QString EncodeForm(QString text);
    // The multipart body: login, password, then the profile under its own file name.
    static QByteArray buildBody(const QString& login, const QString& password, const QByteArray& profile,
        const QByteArray& boundary = kBoundary);
    // What goes before and after the profile in that body; the profile is sent between them as it is.
    static QByteArray formHead(const QString& login, const QString& password, const QByteArray& boundary);
    static QByteArray formTail(const QByteArray& boundary);
    // "AaB03x", unless one of the contents holds "--AaB03x", which would end its part early at the
    // site: then another boundary that none of them holds.
    static QByteArray boundaryFor(std::initializer_list<QByteArrayView> contents);
    inline static const QByteArray kBoundary = QByteArrayLiteral("AaB03x");
    // "http://" + address + the upload script; an address typed with "https://" keeps its scheme.
    static QString uploadUrl(const QString& address);

    // Whether a failed request is the player's to see: a post made for the player's own "OK" shows
    // it in a box and logs the profile; one made in the background leaves the telling to its caller.
    enum class Reporting
    {
        Attended,
        Background
    };

    // Posts the profile and returns the reply text. A failed request is shown in a message box
    // and logged with the posted profile; the result is then empty.
    QString GetXML(const QString& Method, QByteArray Data);
    // As GetXML, with the outcome spelled out. The profile is sent from the buffer it comes in,
    // between the form's head and tail, so a large profile is held once. profileId names which of
    // the player's profiles it is (the X-Rostrel-Profile header), when known.
    //
    // Before anything goes to a bare host, the site is asked once, with no login, password or
    // profile, whether it moves to https; when it does, the address box gets "https://host" and
    // every post goes there.
    UploadResult post(QByteArray Data, Reporting reporting = Reporting::Attended, const QString& profileId = {});
    // As post(), read from the file while it goes out: the upload starts with the first piece
    // read, and the form's last line goes only once the whole was read while the file stood
    // still, so a profile rewritten meanwhile never reaches the site whole.
    UploadResult post(const ProfileFile& file, Reporting reporting, const QString& profileId = {});
    // Where a post goes now.
    QString uploadAddress() const;
    QString login() const;

private:
    Result<void> learnScheme();
    struct Attempt
    {
        std::unique_ptr<XmlHttpRequest> request; // none when the site could not be asked about https
        Failure failure;
    };
    // The post, opened with its headers, after the scheme is learned.
    Attempt openPost(const QByteArray& boundary, const QString& profileId);
    // Its reply, or its failure, shown and logged with the profile for the player's own post.
    UploadResult conclude(const Attempt& attempt, Reporting reporting, QByteArrayView profile);
    static constexpr int ResendWholeError = XmlHttpRequest::kFirstCallerCode - 2;

    FormView& m_view;
    RequestSource& m_requests;
    Dialogs& m_dialogs;
    MessageSink& m_log;
    QSet<QString> m_plainHosts; // bare hosts found not to move to https, this run
};

} // namespace rostrel
