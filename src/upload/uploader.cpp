#include "upload/uploader.h"

#include "core/formview.h"
#include "core/seams.h"
#include "http/xmlhttp.h"

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {
const QByteArray kBoundaryLine = QByteArrayLiteral("--AaB03x");
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
// The log keeps about this many characters; a failed profile beyond it would only slow the window.
constexpr qsizetype kMaxLoggedProfile = 20000;
} // namespace

Uploader::Uploader(FormView& view, RequestSource& requests, Dialogs& dialogs, MessageSink& log)
    : m_view(view)
    , m_requests(requests)
    , m_dialogs(dialogs)
    , m_log(log)
{ }

QString Uploader::EncodeForm(QString text)
{
    // Order matters: "%" first, so later escapes are not escaped again.
    static const std::pair<QString, QString> kSteps[] = {
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
    for (const auto& [from, to] : kSteps)
        text.replace(from, to);
    return text;
}

QByteArray Uploader::buildBody(const QString& login, const QString& password, const QByteArray& profile)
{
    const QByteArray loginBytes = EncodeForm(login).toUtf8();
    const QByteArray passwordBytes = EncodeForm(password).toUtf8();
    QByteArray body;
    body.reserve(profile.size() + loginBytes.size() + passwordBytes.size() + 320);
    body += kBoundaryLine + kCrLf;
    body += QByteArrayLiteral("content-disposition: form-data; name=\"login\"") + kCrLf + kCrLf;
    body += loginBytes + kCrLf;
    body += kBoundaryLine + kCrLf;
    body += QByteArrayLiteral("content-disposition: form-data; name=\"password\"") + kCrLf + kCrLf;
    body += passwordBytes + kCrLf;
    body += kBoundaryLine + kCrLf;
    body += QByteArrayLiteral("content-disposition: form-data; name=\"thefile\"; filename=\"Rostrel.lua\"") + kCrLf;
    body += QByteArrayLiteral("Content-Type: text/plain") + kCrLf + kCrLf;
    body += profile;
    body += kCrLf;
    body += QByteArrayLiteral("--AaB03x--");
    return body;
}

QString Uploader::uploadUrl(const QString& address)
{
    if (address.startsWith(u"https://", Qt::CaseInsensitive))
        return address + kUploadScript;
    return QStringLiteral("http://") + address + kUploadScript;
}

QString Uploader::GetXML(const QString& /*Method: always POST*/, QByteArray Data)
{
    const UploadResult result = post(std::move(Data));
    return result ? result->reply : QString();
}

QString Uploader::uploadAddress() const
{
    return uploadUrl(m_view.url());
}

UploadResult Uploader::post(QByteArray Data, Reporting reporting)
{
    auto request = m_requests.CreateXMLObject();
    const QString url = uploadAddress();
    const qsizetype profileSize = Data.size();
    // Kept for the failure entry of the log, which shows no more than the log holds.
    const QByteArray shown = Data.left(kMaxLoggedProfile * 4);
    if (request->Open(u"POST"_s, url, true)) {
        request->setRequestHeader("Content-Type", "multipart/form-data, boundary=AaB03x");
        QByteArray body = buildBody(m_view.login(), m_view.password(), Data);
        Data = QByteArray();
        if (request->send(body)) {
            body = QByteArray(); // the request holds its own reference
            request->waitForCompletion();
        }
    }
    if (!request->failed())
        return UploadReply { request->responseText(), request->status() };
    QString error = request->errorString();
    if (error.isEmpty())
        error = u"The request to %1 could not be sent."_s.arg(url);
    request.reset();
    if (reporting == Reporting::Background)
        return Failure { error };

    m_dialogs.message(error);
    QString profile = QString::fromUtf8(shown);
    if (profile.size() > kMaxLoggedProfile || shown.size() < profileSize) {
        profile.truncate(kMaxLoggedProfile);
        profile += u"\r\n[... %1 more bytes not shown]\r\n"_s.arg(profileSize - profile.toUtf8().size());
    }
    m_log.AddMessage(u"Error Sending the following data to "_s + url + u": "_s + u"\r\n-----Start-----\r\n"_s + profile
        + u"-----End-----"_s);
    return Failure { error };
}

} // namespace rostrel
