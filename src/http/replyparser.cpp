#include "http/replyparser.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {
// A status line and its headers fit in far less; an answer that sends more is not a site's.
constexpr qint64 kMaxHeadBytes = 64 * 1024;
constexpr int kMaxHeaders = 200;
constexpr qsizetype kMaxChunkSizeDigits = 15;

bool isToken(QByteArrayView name)
{
    return !name.isEmpty()
        && std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127 && c != ':'; });
}
} // namespace

ReplyParser::ReplyParser(qint64 maxBody)
    : m_maxBody(maxBody)
{ }

QByteArray ReplyParser::header(QByteArrayView name) const
{
    for (const auto& [key, value] : m_headers) {
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool ReplyParser::fail(const QString& why)
{
    if (m_error.isEmpty())
        m_error = why;
    return false;
}

bool ReplyParser::takeLine(QByteArray& line)
{
    const qsizetype end = m_pending.indexOf('\n');
    if (end < 0)
        return false;
    line = m_pending.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    m_pending.remove(0, end + 1);
    return true;
}

bool ReplyParser::feed(QByteArrayView bytes)
{
    if (failed())
        return false;
    while (!bytes.isEmpty() && m_stage != Stage::Done) {
        if (m_stage == Stage::Body || m_stage == Stage::ChunkData) {
            const qsizetype n = m_toEnd ? bytes.size() : qsizetype(std::min<qint64>(m_left, bytes.size()));
            if (!appendBody(bytes.first(n)))
                return false;
            bytes = bytes.sliced(n);
            m_left -= n;
            if (!m_toEnd && m_left == 0)
                m_stage = m_stage == Stage::Body ? Stage::Done : Stage::ChunkEnd;
            continue;
        }
        // Line by line: the head, a chunk's size, the line end after it, the trailers.
        const qsizetype end = bytes.indexOf('\n');
        const qsizetype n = end < 0 ? bytes.size() : end + 1;
        m_pending += bytes.first(n);
        bytes = bytes.sliced(n);
        m_headBytes += n;
        if (m_headBytes > kMaxHeadBytes)
            return fail(u"the answer's header lines run past %1 bytes"_s.arg(kMaxHeadBytes));
        QByteArray line;
        if (!takeLine(line))
            continue;
        switch (m_stage) {
        case Stage::StatusLine:
            if (!statusLine(line))
                return false;
            break;
        case Stage::Headers:
            if (!line.isEmpty()) {
                if (!headerLine(line))
                    return false;
            } else if (m_status >= 100 && m_status < 200) {
                // An interim answer: the real one follows.
                m_headers.clear();
                m_stage = Stage::StatusLine;
            } else if (!bodyFraming()) {
                return false;
            }
            break;
        case Stage::ChunkSize: {
            const qsizetype extension = line.indexOf(';');
            const QByteArray digits = (extension < 0 ? line : line.left(extension)).trimmed();
            bool ok = false;
            const qint64 size = digits.size() <= kMaxChunkSizeDigits ? digits.toLongLong(&ok, 16) : -1;
            if (!ok || size < 0 || digits.startsWith('-') || digits.startsWith('+'))
                return fail(u"a chunk of the answer has no readable size"_s);
            m_left = size;
            m_stage = size == 0 ? Stage::Trailers : Stage::ChunkData;
            break;
        }
        case Stage::ChunkEnd:
            if (!line.isEmpty())
                return fail(u"a chunk of the answer is longer than it said"_s);
            m_stage = Stage::ChunkSize;
            break;
        case Stage::Trailers:
            if (line.isEmpty())
                m_stage = Stage::Done;
            break;
        default:
            break;
        }
        if (m_stage == Stage::ChunkSize || m_stage == Stage::ChunkEnd || m_stage == Stage::Trailers)
            m_headBytes = 0; // each framing line is bounded on its own
    }
    return true;
}

bool ReplyParser::statusLine(const QByteArray& line)
{
    // "HTTP/1.1 200 OK"; the reason may be missing or empty.
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || line.at(8) != ' ')
        return fail(u"the answer does not begin with an HTTP status line"_s);
    const QByteArray code = line.mid(9, 3);
    bool ok = false;
    const int status = code.toInt(&ok);
    if (!ok || status < 100 || status > 999
        || !std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })
        || (line.size() > 12 && line.at(12) != ' '))
        return fail(u"the answer's status line has no status"_s);
    if (status == 101)
        return fail(u"the site switched protocols, which nobody asked for"_s);
    m_status = status;
    m_reason = line.mid(13).trimmed();
    m_stage = Stage::Headers;
    return true;
}

bool ReplyParser::headerLine(const QByteArray& line)
{
    if ((line.startsWith(' ') || line.startsWith('\t')) && !m_headers.isEmpty()) {
        // An old-style folded line goes on with the header before it.
        m_headers.last().second += ' ' + line.trimmed();
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !isToken(QByteArrayView(line).first(colon)))
        return fail(u"the answer has a malformed header line"_s);
    if (m_headers.size() >= kMaxHeaders)
        return fail(u"the answer has more than %1 header lines"_s.arg(kMaxHeaders));
    m_headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
    return true;
}

bool ReplyParser::bodyFraming()
{
    m_headBytes = 0;
    if (m_status == 204 || m_status == 304) {
        m_stage = Stage::Done;
        return true;
    }
    if (header("Transfer-Encoding").toLower().contains("chunked")) {
        m_stage = Stage::ChunkSize;
        return true;
    }
    QByteArray length;
    for (const auto& [key, value] : std::as_const(m_headers)) {
        if (key.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        if (!length.isNull() && value != length)
            return fail(u"the answer gives two different lengths"_s);
        length = value;
    }
    if (length.isNull()) {
        m_toEnd = true;
        m_stage = Stage::Body;
        return true;
    }
    bool ok = false;
    const qint64 size
        = length.size() <= 18 && std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; })
        ? length.toLongLong(&ok)
        : -1;
    if (!ok || size < 0)
        return fail(u"the answer's length is not a number"_s);
    if (size > m_maxBody) {
        m_tooLarge = true;
        return fail(u"The reply is larger than %1 bytes."_s.arg(m_maxBody));
    }
    m_left = size;
    m_stage = size == 0 ? Stage::Done : Stage::Body;
    return true;
}

bool ReplyParser::appendBody(QByteArrayView bytes)
{
    if (m_body.size() + bytes.size() > m_maxBody) {
        m_tooLarge = true;
        return fail(u"The reply is larger than %1 bytes."_s.arg(m_maxBody));
    }
    m_body += bytes;
    return true;
}

void ReplyParser::endOfStream()
{
    if (m_stage == Stage::Body && m_toEnd)
        m_stage = Stage::Done;
}

} // namespace rostrel
