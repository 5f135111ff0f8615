#pragma once
// The upload request: posts one profile with the website login and password to the site's
// upload script as a multipart form and hands back the reply.

#include "core/result.h"

#include <QByteArray>
#include <QString>

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
};
// A reply, or why none came (refused, reset, time-out, bad address, the program closing).
using UploadResult = Result<UploadReply>;

class Uploader
{
public:
    Uploader(FormView& view, RequestSource& requests, Dialogs& dialogs, MessageSink& log);

    // Escapes a login or password for the form.
    static QString EncodeForm(QString text);
    // The multipart body: login, password, then the profile as the file "Rostrel.lua".
    static QByteArray buildBody(const QString& login, const QString& password, const QByteArray& profile);
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
    // As GetXML, with the outcome spelled out. The profile is taken by value and let go once the
    // body is built, so a large profile is held twice at most.
    UploadResult post(QByteArray Data, Reporting reporting = Reporting::Attended);
    // Where a post goes now.
    QString uploadAddress() const;

private:
    FormView& m_view;
    RequestSource& m_requests;
    Dialogs& m_dialogs;
    MessageSink& m_log;
};

} // namespace rostrel
