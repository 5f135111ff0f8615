#include "http/httpexchange.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {
// What the socket is given at a time, and how much it may hold unsent: enough to keep any link
// busy between two passes of the event loop, little beside a profile of tens of megabytes.
constexpr qsizetype kPiece = 256 * 1024;
constexpr qint64 kHighWater = 1024 * 1024;

bool isHeaderSafe(const QByteArray& text)
{
    return !text.contains('\r') && !text.contains('\n') && !text.contains('\0');
}
} // namespace

QString describeCertificateProblems(const QList<QSslError>& errors)
{
    QStringList texts;
#if QT_CONFIG(ssl)
    for (const QSslError& error : errors)
        texts.append(error.errorString());
#else
    Q_UNUSED(errors);
#endif
    return texts.join(u"; "_s);
}

HttpExchange::HttpExchange(const QString& method, const QUrl& url, const QList<QPair<QByteArray, QByteArray>>& headers,
    qint64 bodySize, qint64 maxReply, QObject* parent)
    : QObject(parent)
    , m_method(method)
    , m_url(url)
    , m_headers(headers)
    , m_bodySize(bodySize)
    , m_reply(maxReply)
{ }

HttpExchange::~HttpExchange()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort(); // nothing written may point at pieces about to go
    }
}

void HttpExchange::append(const QByteArray& piece)
{
    if (m_finished || piece.isEmpty())
        return;
    if (m_appended + piece.size() > m_bodySize) {
        end(QNetworkReply::UnknownNetworkError, u"The request's body came out longer than it was announced."_s);
        return;
    }
    m_body.append(piece);
    m_appended += piece.size();
    pump();
}

void HttpExchange::start()
{
    const bool secure = m_url.scheme().compare(u"https", Qt::CaseInsensitive) == 0;
    const QString host = m_url.host(QUrl::FullyEncoded);
    const quint16 port = quint16(m_url.port(secure ? 443 : 80));
    for (const auto& [name, value] : std::as_const(m_headers)) {
        if (!isHeaderSafe(name) || !isHeaderSafe(value)) {
            end(QNetworkReply::ProtocolInvalidOperationError, u"A header of the request holds a line break."_s);
            return;
        }
    }
#if QT_CONFIG(ssl)
    if (secure) {
        auto* socket = new QSslSocket(this);
        m_socket = socket;
        connect(socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
            // Not ignored: the handshake fails. Kept to say plainly why.
            m_certificateProblems = describeCertificateProblems(errors);
        });
        connect(socket, &QSslSocket::encrypted, this, &HttpExchange::onConnected);
    }
#endif
    if (secure && !m_socket) {
        end(QNetworkReply::ProtocolUnknownError, u"Secure connections are not available in this build."_s);
        return;
    }
    if (!m_socket) {
        m_socket = new QTcpSocket(this);
        connect(m_socket, &QAbstractSocket::connected, this, &HttpExchange::onConnected);
    }
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QIODevice::bytesWritten, this, [this] {
        pump();
        Q_EMIT progressed();
    });
    connect(m_socket, &QIODevice::readyRead, this, &HttpExchange::onReadyRead);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &HttpExchange::onError);
    connect(m_socket, &QAbstractSocket::disconnected, this, &HttpExchange::onError);
#if QT_CONFIG(ssl)
    if (auto* socket = qobject_cast<QSslSocket*>(m_socket.data())) {
        socket->connectToHostEncrypted(host, port);
        return;
    }
#endif
    m_socket->connectToHost(host, port);
}

void HttpExchange::onConnected()
{
    // The last small piece goes at once rather than after the acknowledgement of the one before.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QByteArray target = m_url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (m_url.hasQuery())
        target += '?' + m_url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray head = m_method.toLatin1() + ' ' + target
        + " HTTP/1.1\r\nHost: " + m_url.authority(QUrl::RemoveUserInfo | QUrl::FullyEncoded).toLatin1() + "\r\n";
    for (const auto& [name, value] : std::as_const(m_headers))
        head += name + ": " + value + "\r\n";
    head += "Content-Length: " + QByteArray::number(m_bodySize)
        + "\r\nConnection: close\r\nUser-Agent: Mozilla/5.0\r\n\r\n";
    m_body.prepend(head);
    m_connected = true;
    pump();
}

void HttpExchange::pump()
{
    if (!m_connected || m_finished)
        return;
    for (;;) {
        while (m_piece < m_body.size() && m_socket->bytesToWrite() < kHighWater) {
            const QByteArray& piece = m_body.at(m_piece);
            const qsizetype n = std::min(kPiece, piece.size() - m_offset);
            // A view, not a copy: the socket keeps the piece it is given until it has gone out.
            if (n > 0 && m_socket->write(QByteArray::fromRawData(piece.constData() + m_offset, n)) != n)
                return; // the socket failed, and says so through errorOccurred
            m_written += n;
            m_offset += n;
            if (m_offset == piece.size()) {
                ++m_piece;
                m_offset = 0;
            }
        }
        // As much as the system takes now, rather than one piece per pass of the event loop, which
        // reading the rest of a profile meanwhile would make a slow one.
        const qint64 waiting = m_socket->bytesToWrite();
        if (waiting == 0 || !m_socket->flush() || m_finished || m_socket->bytesToWrite() >= waiting)
            break;
    }
    m_sent = m_written - m_socket->bytesToWrite();
}

void HttpExchange::onReadyRead()
{
    if (m_finished)
        return;
    const QByteArray bytes = m_socket->readAll();
    m_received += bytes.size();
    const bool readable = m_reply.feed(bytes);
    Q_EMIT progressed();
    if (!readable)
        end(QNetworkReply::ProtocolFailure,
            m_reply.tooLarge() ? m_reply.error()
                               : u"The answer from %1 could not be read: %2."_s.arg(m_url.host(), m_reply.error()));
    else if (m_reply.complete())
        end(0, {}); // an answer may come before the whole body went out (413): it stands
}

void HttpExchange::onError()
{
    if (m_finished)
        return;
    if (m_socket->bytesAvailable() > 0) {
        onReadyRead(); // what came before the end is read first
        if (m_finished)
            return;
    }
    const auto error = m_socket->error();
    const bool closed = error == QAbstractSocket::RemoteHostClosedError
        || (error == QAbstractSocket::UnknownSocketError && m_socket->state() == QAbstractSocket::UnconnectedState);
    if (closed) {
        m_reply.endOfStream();
        if (m_reply.complete()) {
            end(0, {});
            return;
        }
        end(QNetworkReply::RemoteHostClosedError, u"Connection closed"_s);
        return;
    }
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        end(QNetworkReply::ConnectionRefusedError, u"Connection refused"_s);
        break;
    case QAbstractSocket::HostNotFoundError:
        end(QNetworkReply::HostNotFoundError, u"Host %1 not found"_s.arg(m_url.host()));
        break;
    case QAbstractSocket::SocketTimeoutError:
        end(QNetworkReply::TimeoutError, m_socket->errorString());
        break;
    case QAbstractSocket::SslHandshakeFailedError:
        end(QNetworkReply::SslHandshakeFailedError, m_socket->errorString());
        break;
    default:
        end(QNetworkReply::UnknownNetworkError, m_socket->errorString());
        break;
    }
}

void HttpExchange::abort()
{
    end(QNetworkReply::OperationCanceledError, u"Operation canceled"_s);
}

void HttpExchange::end(int code, const QString& why)
{
    if (m_finished)
        return;
    m_finished = true;
    m_errorCode = code;
    m_errorString = why;
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
    }
    Q_EMIT finished();
}

} // namespace rostrel
