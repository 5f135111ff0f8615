#pragma once
// One HTTP/1.1 request with a body, on a connection of its own, written from the caller's buffers
// in large pieces as fast as the socket takes them. The network access manager hands a body to
// its own thread a copied 16 KB at a time, which left a large profile's upload well behind curl's;
// this writes from the caller's thread straight to the socket. The body may still be growing when
// the request starts (a profile read while it goes out): append() adds to it, and the request
// waits for more until the length it announced has gone out.
//
// Used only where no proxy stands in the way; time limits and redirects are the caller's.

#include "http/replyparser.h"

#include <QByteArrayList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QUrl>

class QAbstractSocket;
class QSslError;

namespace rostrel {

// Why a server's certificate was refused, the reasons joined by "; ".
QString describeCertificateProblems(const QList<QSslError>& errors);

class HttpExchange : public QObject
{
    Q_OBJECT
public:
    // bodySize is the whole body's length, announced before any of it is known.
    HttpExchange(const QString& method, const QUrl& url, const QList<QPair<QByteArray, QByteArray>>& headers,
        qint64 bodySize, qint64 maxReply, QObject* parent = nullptr);
    ~HttpExchange() override;

    // The next bytes of the body; they are not copied and must stay where they are until the
    // exchange is over.
    void append(const QByteArray& piece);
    void start();
    // Ends the exchange at once as failed (finished() is emitted before this returns).
    void abort();

    bool isFinished() const { return m_finished; }
    // Whether no complete answer came; errorCode() is then a QNetworkReply::NetworkError.
    bool failed() const { return m_errorCode != 0; }
    int errorCode() const { return m_errorCode; }
    QString errorString() const { return m_errorString; }
    // Why the server's certificate was refused, when it was.
    QString certificateProblems() const { return m_certificateProblems; }
    ReplyParser& reply() { return m_reply; }
    qint64 bytesSent() const { return m_sent; }
    qint64 bytesReceived() const { return m_received; }

Q_SIGNALS:
    void progressed();
    void finished();

private:
    void onConnected();
    void pump();
    void onReadyRead();
    void onError();
    void end(int code, const QString& why);

    QString m_method;
    QUrl m_url;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint64 m_bodySize;
    QByteArrayList m_body; // the pieces appended, in order
    qsizetype m_piece = 0; // the piece being written, and how far into it
    qsizetype m_offset = 0;
    qint64 m_appended = 0;
    qint64 m_written = 0; // handed to the socket, head and body
    qint64 m_sent = 0; // of those, what has left it
    qint64 m_received = 0;
    bool m_connected = false;
    bool m_finished = false;
    QPointer<QAbstractSocket> m_socket;
    ReplyParser m_reply;
    int m_errorCode = 0;
    QString m_errorString;
    QString m_certificateProblems;
};

} // namespace rostrel
