#include "catalogue/profilestream.h"

#include "catalogue/profiles.h"
#include "core/textlines.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

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
    m_buffer.reserve(qsizetype(m_size) + 2);
    m_buffer.resize(qsizetype(m_size));
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

void ProfileStream::scan(qint64 to)
{
    const char* data = m_buffer.constData();
    qint64 at = m_checked;
    while (m_plain && at < to) {
        const void* found = std::memchr(data + at, '\r', size_t(to - at));
        if (!found) {
            at = to;
            break;
        }
        const qint64 cr = static_cast<const char*>(found) - data;
        if (cr + 1 == to && !m_atEnd) {
            at = cr; // judged once the byte after it is read
            break;
        }
        if (cr + 1 == to || data[cr + 1] != '\n')
            m_plain = false; // a lone CR, which the whole turns into CR LF
        at = cr + 2;
    }
    if (m_plain)
        m_checked = at;
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
