#include "upload/uploader.h"

#include "catalogue/gamefolders.h"
#include "catalogue/profiles.h"
#include "catalogue/profilestream.h"

#include "core/formview.h"
#include "core/seams.h"
#include "http/xmlhttp.h"

#include <QRegularExpression>
#include <QTimer>
#include <QUrl>
#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
// The log keeps about this many characters; a failed profile beyond it would only slow the window.
constexpr qsizetype kMaxLoggedProfile = 20000;
// How much of a site's answer the log shows.
constexpr qsizetype kShownAnswer = 200;
// How much of a profile is read per pass of the event loop while it goes out.
constexpr qint64 kReadPiece = 1024 * 1024;

// A header carries no line breaks or other control characters, whatever a folder was named.
QByteArray headerValue(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    for (char& c : bytes) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7f)
            c = '?';
    }
    return bytes;
}
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

QByteArray Uploader::buildBody(
    const QString& login, const QString& password, const QByteArray& profile, const QByteArray& boundary)
{
    return formHead(login, password, boundary) + profile + formTail(boundary);
}

QByteArray Uploader::formHead(const QString& login, const QString& password, const QByteArray& boundary)
{
    const QByteArray boundaryLine = "--" + boundary;
    QByteArray head;
    head += boundaryLine + kCrLf;
    head += QByteArrayLiteral("content-disposition: form-data; name=\"login\"") + kCrLf + kCrLf;
    head += EncodeForm(login).toUtf8() + kCrLf;
    head += boundaryLine + kCrLf;
    head += QByteArrayLiteral("content-disposition: form-data; name=\"password\"") + kCrLf + kCrLf;
    head += EncodeForm(password).toUtf8() + kCrLf;
    head += boundaryLine + kCrLf;
    head += "content-disposition: form-data; name=\"thefile\"; filename=\"" + GameFolders::profileName().toUtf8() + '"'
        + kCrLf;
    head += QByteArrayLiteral("Content-Type: text/plain") + kCrLf + kCrLf;
    return head;
}

QByteArray Uploader::formTail(const QByteArray& boundary)
{
    return kCrLf + "--" + boundary + "--";
}

QByteArray Uploader::boundaryFor(std::initializer_list<QByteArrayView> contents)
{
    const auto heldByAny = [&](const QByteArray& boundary) {
        const QByteArray line = "--" + boundary;
        return std::any_of(
            contents.begin(), contents.end(), [&](QByteArrayView content) { return content.contains(line); });
    };
    QByteArray boundary = kBoundary;
    for (int n = 1; heldByAny(boundary); ++n)
        boundary = "RostrelUploader-" + QByteArray::number(n, 36);
    return boundary;
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

QString Uploader::login() const
{
    return m_view.login();
}

Result<void> Uploader::learnScheme()
{
    const QString address = m_view.url();
    if (address.startsWith(u"https://", Qt::CaseInsensitive) || m_plainHosts.contains(address.toLower()))
        return {};
    // A request with nothing of the player's in it, whose redirect is looked at, not followed.
    auto request = m_requests.CreateXMLObject();
    request->setFollowRedirects(false);
    const QUrl asked(uploadUrl(address));
    if (!request->Open(u"GET"_s, asked.toString(), true) || !request->send() || !request->waitForCompletion()) {
        const QString error = request->errorString();
        return Failure { error.isEmpty() ? u"The request to %1 could not be sent."_s.arg(asked.toString()) : error,
            request->errorCode() };
    }
    // A site that has moved says so with 301, 302, 307 or 308; 303 only points at another page.
    const QUrl target = request->status() == 303 ? QUrl() : request->redirectTarget();
    if (target.scheme().compare(u"https", Qt::CaseInsensitive) != 0 || target.host().isEmpty()
        || target.host().compare(asked.host(), Qt::CaseInsensitive) != 0) {
        m_plainHosts.insert(address.toLower());
        return {};
    }
    QUrl secure;
    secure.setScheme(u"https"_s);
    secure.setHost(target.host());
    secure.setPort(target.port() == 443 ? -1 : target.port());
    const QString learned = secure.toString();
    m_view.setUrl(learned);
    m_log.AddMessage(u"The site at "_s + address + u" moves to https: uploads go to "_s + learned + u" from now on"_s);
    return {};
}

Uploader::Attempt Uploader::openPost(const QByteArray& boundary, const QString& profileId)
{
    const Result<void> learned = learnScheme();
    if (!learned)
        return { nullptr, { learned.error(), learned.errorCode() } };
    Attempt attempt { m_requests.CreateXMLObject(), {} };
    if (attempt.request->Open(u"POST"_s, uploadAddress(), true)) {
        attempt.request->setRequestHeader("Content-Type", "multipart/form-data, boundary=" + boundary);
        if (!profileId.isEmpty())
            attempt.request->setRequestHeader("X-Rostrel-Profile", headerValue(profileId));
    }
    return attempt;
}

UploadResult Uploader::conclude(const Attempt& attempt, Reporting reporting, QByteArrayView profile)
{
    Failure failure = attempt.failure;
    if (attempt.request) {
        const XmlHttpRequest& request = *attempt.request;
        if (!request.failed()) {
            const qint64 wait = request.responseHeader("Retry-After").trimmed().toLongLong();
            return UploadReply { request.responseText(), request.status(), request.statusText(),
                std::chrono::seconds(std::clamp<qint64>(wait, 0, 24 * 3600)) };
        }
        failure = { request.errorString(), request.errorCode() };
    }
    const QString url = uploadAddress();
    if (failure.text.isEmpty())
        failure.text = u"The request to %1 could not be sent."_s.arg(url);
    if (reporting == Reporting::Background)
        return failure;

    m_dialogs.message(failure.text);
    QString shown = QString::fromUtf8(profile.first(std::min(profile.size(), kMaxLoggedProfile * 4)));
    if (shown.size() > kMaxLoggedProfile || profile.size() > kMaxLoggedProfile * 4) {
        shown.truncate(kMaxLoggedProfile);
        shown += u"\r\n[... %1 more bytes not shown]\r\n"_s.arg(profile.size() - shown.toUtf8().size());
    }
    m_log.AddMessage(u"Error Sending the following data to "_s + url + u": "_s + u"\r\n-----Start-----\r\n"_s + shown
        + u"-----End-----"_s);
    return failure;
}

UploadResult Uploader::post(QByteArray Data, Reporting reporting, const QString& profileId)
{
    const QString login = m_view.login();
    const QString password = m_view.password();
    const QByteArray boundary
        = boundaryFor({ EncodeForm(login).toUtf8(), EncodeForm(password).toUtf8(), QByteArrayView(Data) });
    const Attempt attempt = openPost(boundary, profileId);
    if (attempt.request && attempt.request->readyState() == XmlHttpRequest::Opened
        && attempt.request->send({ formHead(login, password, boundary), Data, formTail(boundary) }))
        attempt.request->waitForCompletion();
    return conclude(attempt, reporting, Data);
}

UploadResult Uploader::post(const ProfileFile& file, Reporting reporting, const QString& profileId)
{
    const QString login = m_view.login();
    const QString password = m_view.password();
    // Profiles hold neither the boundary nor a lone CR, so the profile goes out as it is read;
    // should this one hold either, the whole goes again once read.
    const QByteArray boundary = boundaryFor({ EncodeForm(login).toUtf8(), EncodeForm(password).toUtf8() });
    const auto unreadable = [&](const QString& why) {
        logUnreadable(file.path, why, m_log);
        return Failure { why, ProfileUnreadableError };
    };
    const Attempt attempt = openPost(boundary, profileId);
    XmlHttpRequest* request = attempt.request.get();
    // Opened only now: asking the site about https can take a while, and on Windows an open file
    // keeps the game from renaming it when it saves.
    ProfileStream stream(file.hostPath, file.size, file.modified, "--" + boundary);
    if (request && request->readyState() == XmlHttpRequest::Opened && !stream.open())
        return unreadable(stream.error());
    const QByteArray head = formHead(login, password, boundary);
    const QByteArray tail = formTail(boundary);
    if (request && request->readyState() == XmlHttpRequest::Opened
        && request->sendStreamed(head, head.size() + stream.expectedSize() + tail.size())) {
        // A piece per pass of the event loop: the socket sends the ones before meanwhile.
        QTimer reader;
        reader.setInterval(0);
        QObject::connect(&reader, &QTimer::timeout, [&] {
            request->appendBody(stream.readSome(kReadPiece));
            if (!stream.atEnd())
                return;
            reader.stop();
            if (!stream.error().isEmpty()) {
                request->cancel(stream.error(), ProfileUnreadableError);
                unreadable(stream.error());
            } else if (!stream.stoodStill()) {
                request->cancel(u"The profile changed while it was read."_s, ProfileChangedError);
            } else if (!stream.asForeseen() || stream.sawMarker()) {
                request->cancel(u"The profile is sent again whole."_s, ResendWholeError);
            } else {
                request->appendBody(stream.ending());
                request->endBody(tail);
            }
        });
        reader.start();
        request->waitForCompletion();
    }
    if (request && (request->errorCode() == ProfileChangedError || request->errorCode() == ProfileUnreadableError))
        return Failure { request->errorString(), request->errorCode() };
    if (request && request->errorCode() == ResendWholeError)
        return post(stream.takeProfile(), reporting, profileId);
    return conclude(attempt, reporting, reporting == Reporting::Attended ? stream.takeProfile() : QByteArray());
}

QString firstLineOf(const QString& reply)
{
    QString line = reply.section(u'\n', 0, 0);
    if (line.endsWith(u'\r'))
        line.chop(1);
    line.truncate(kShownAnswer);
    // A binary answer would put control characters into the log.
    for (QChar& c : line) {
        if (!c.isPrint())
            c = u'?';
    }
    return line;
}

namespace {
bool isWebPage(const QString& reply)
{
    for (const QChar c : reply) {
        if (!c.isSpace())
            return c == u'<';
    }
    return false;
}
} // namespace

QString describeStatus(const UploadReply& reply)
{
    QString text = u"HTTP %1"_s.arg(reply.status);
    if (!reply.statusText.trimmed().isEmpty())
        text += u' ' + firstLineOf(reply.statusText.trimmed());
    const QString line = firstLineOf(reply.reply);
    if (!isWebPage(reply.reply) && !line.trimmed().isEmpty())
        text += u": "_s + line;
    return text;
}

bool isPassingTrouble(int status)
{
    return status == 408 || status == 429 || status >= 500;
}

PostOutcome judge(const UploadResult& result)
{
    if (!result) {
        // Without a code the text is all there is; its figures (sizes, seconds) do not make a kind.
        QString kind = result.errorCode() != 0 ? u"error %1"_s.arg(result.errorCode()) : result.error();
        if (result.errorCode() == 0)
            kind.remove(QRegularExpression(u"[0-9]+"_s));
        return { PostOutcome::SiteFailed, result.error(), kind, {} };
    }
    const QString line = firstLineOf(result->reply);
    if (result->reply == kReplyInvalidLogin)
        return { PostOutcome::LoginRefused, kReplyInvalidLogin, kReplyInvalidLogin, {} };
    if (result->status >= 400) {
        // Statuses about this request's body: the site refuses that profile, not every upload.
        static const int kProfileStatuses[] = { 400, 413, 415, 422 };
        const bool profile = std::find(std::begin(kProfileStatuses), std::end(kProfileStatuses), result->status)
            != std::end(kProfileStatuses);
        return { profile ? PostOutcome::ProfileRefused : PostOutcome::SiteFailed,
            u"the site answered "_s + describeStatus(*result), u"HTTP %1"_s.arg(result->status), result->retryAfter };
    }
    if (result->reply == kReplyUploaded)
        return { PostOutcome::Uploaded, {}, {}, {} };
    if (isWebPage(result->reply))
        return { PostOutcome::SiteFailed, u"the site answered with a web page ("_s + describeStatus(*result) + u')',
            u"page %1"_s.arg(result->status), result->retryAfter };
    return { PostOutcome::SiteFailed, u"the site answered \""_s + line + u'"', u"answer "_s + line,
        result->retryAfter };
}

} // namespace rostrel
