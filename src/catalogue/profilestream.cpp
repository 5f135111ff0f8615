#include "catalogue/profilestream.h"

#include "catalogue/profiles.h"
#include "core/fileio.h"
#include "core/textlines.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

ProfileStream::ProfileStream(const QString& hostPath, qint64 size, const QDateTime& modified, QByteArray marker)
    : m_hostPath(hostPath)
    , m_size(size)
    , m_modified(modified)
    , m_marker(std::move(marker))
    , m_file(hostPath)
{ }

bool ProfileStream::open()
{
    const QFileInfo info(m_hostPath);
    // A pipe or a device would hold the read for as long as it pleases.
    if (info.exists() && !info.isFile())
        m_error = u"Not an ordinary file"_s;
    else if (m_size > kMaxProfileBytes || m_size < 0)
        m_error = u"File too large"_s;
    else if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        m_error = m_file.errorString();
    if (!m_error.isEmpty())
        return false;
    // Whether the last line ends in CR LF, which reading the whole adds where it does not.
    char last[2] = {};
    const qint64 tail = std::min<qint64>(m_size, 2);
    if (tail > 0 && !(m_file.seek(m_size - tail) && m_file.read(last, tail) == tail && m_file.seek(0))) {
        m_error = m_file.errorString();
        return false;
    }
    const QByteArrayView end(last, tail);
    m_expected = m_size + (m_size == 0 || end.endsWith("\r\n") ? 0 : end.endsWith('\r') ? 1 : 2);
    // Room for that line end, so that adding it never moves what was handed out.
    m_buffer = io::bufferForFile(m_size, 2);
    return true;
}

QByteArrayView ProfileStream::readSome(qint64 maxBytes)
{
    if (m_atEnd)
        return {};
    const qint64 want = std::min(maxBytes, m_size - m_read);
    const qint64 got = want > 0 ? m_file.read(m_buffer.data() + m_read, want) : 0;
    if (got < 0)
        m_error = m_file.errorString();
    m_read += std::max<qint64>(got, 0);
    if (got < 0 || got < want || m_read == m_size) {
        // The end: a byte more, or fewer than looked at, and the file was rewritten meanwhile.
        char more = 0;
        const bool grew = got >= 0 && m_file.read(&more, 1) > 0;
        m_file.close();
        m_buffer.resize(qsizetype(m_read));
        const QFileInfo after(m_hostPath);
        m_stoodStill = m_error.isEmpty() && !grew && m_read == m_size && after.exists() && after.size() == m_size
            && after.lastModified() == m_modified;
        m_atEnd = true;
    }
    scan(m_read);
    if (!m_plain)
        return {};
    const QByteArrayView piece(m_buffer.constData() + m_handed, m_checked - m_handed);
    m_handed = m_checked;
    return piece;
}

namespace {
// Where the first lone CR (one not followed by LF) lies in [from, to), given that the byte at `to`
// is there to be looked at; -1 when there is none. Profiles run to tens of megabytes with a CR on
// every line, so sixteen bytes are looked at at once where the processor can.
qint64 firstLoneCr(const char* data, qint64 from, qint64 to)
{
    qint64 at = from;
#ifdef __SSE2__
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; at + 16 <= to; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + 1));
        if (_mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(next, lf), _mm_cmpeq_epi8(bytes, cr))) != 0)
            break; // the byte-wise look below finds which one
    }
#endif
    for (; at < to; ++at) {
        if (data[at] == '\r' && data[at + 1] != '\n')
            return at;
    }
    return -1;
}
} // namespace

void ProfileStream::scan(qint64 to)
{
    const char* data = m_buffer.constData();
    if (m_plain && m_checked < to) {
        // The last byte read is judged once the one after it is, or at the end of the file.
        const qint64 judged = to - 1;
        if (firstLoneCr(data, m_checked, judged) >= 0 || (m_atEnd && data[to - 1] == '\r'))
            m_plain = false; // a lone CR, which the whole turns into CR LF
        else
            m_checked = m_atEnd ? to : judged;
    }
    if (!m_marker.isEmpty() && !m_sawMarker) {
        // From a little before where the last look ended, for a marker across two pieces.
        const qint64 from = std::max<qint64>(0, m_markerFrom - (m_marker.size() - 1));
        m_sawMarker = QByteArrayView(data + from, to - from).contains(m_marker);
        m_markerFrom = to;
    }
}

QByteArrayView ProfileStream::ending() const
{
    if (m_read == 0 || m_buffer.endsWith("\r\n"))
        return {};
    return "\r\n";
}

bool ProfileStream::asForeseen() const
{
    return m_atEnd && m_plain && m_stoodStill && m_read + ending().size() == m_expected;
}

QByteArray ProfileStream::takeProfile()
{
    m_file.close();
    m_buffer.resize(qsizetype(m_read));
    m_atEnd = true;
    return endLinesWithCrLf(std::exchange(m_buffer, {}));
}

} // namespace rostrel
