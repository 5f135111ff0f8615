#pragma once
// Reads an HTTP/1.x answer as it arrives: the status line, the header lines, then the body by its
// length, in chunks, or up to the connection's end. Interim answers (100 Continue) are passed
// over. The bytes come from whatever answers on the site's address, so every size is bounded and
// anything malformed ends the reading with a plain description.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>
#include <utility>

namespace rostrel {

class ReplyParser
{
public:
    explicit ReplyParser(qint64 maxBody);

    // Takes the next bytes of the connection. Returns false once the answer is malformed or too
    // large; bytes after a complete answer are ignored.
    bool feed(QByteArrayView bytes);
    // The connection ended: an answer whose body runs to the end is complete by that.
    void endOfStream();

    bool headersDone() const { return m_stage > Stage::Headers; }
    bool complete() const { return m_stage == Stage::Done; }
    bool failed() const { return !m_error.isEmpty(); }
    bool tooLarge() const { return m_tooLarge; }
    QString error() const { return m_error; }

    int status() const { return m_status; }
    QByteArray reason() const { return m_reason; }
    const QList<QPair<QByteArray, QByteArray>>& headers() const { return m_headers; }
    // The first header of that name (any case), empty when there is none.
    QByteArray header(QByteArrayView name) const;
    // The body as sent, without the chunks' framing.
    QByteArray takeBody() { return std::exchange(m_body, {}); }
    qint64 bodySize() const { return m_body.size(); }

private:
    enum class Stage
    {
        StatusLine,
        Headers,
        Body, // m_left bytes to go, or to the end when m_toEnd
        ChunkSize,
        ChunkData,
        ChunkEnd, // the line end after a chunk
        Trailers,
        Done
    };
    bool fail(const QString& why);
    // The next line from m_pending without its line end, or false when it has not all come.
    bool takeLine(QByteArray& line);
    bool statusLine(const QByteArray& line);
    bool headerLine(const QByteArray& line);
    bool bodyFraming();
    bool appendBody(QByteArrayView bytes);

    qint64 m_maxBody;
    Stage m_stage = Stage::StatusLine;
    QByteArray m_pending; // bytes of the head (or a chunk's size line) not taken yet
    qint64 m_headBytes = 0;
    int m_status = 0;
    QByteArray m_reason;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QByteArray m_body;
    qint64 m_left = 0;
    bool m_toEnd = false;
    bool m_tooLarge = false;
    QString m_error;
};

} // namespace rostrel
