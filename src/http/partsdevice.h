#pragma once
// A request body over its parts, read in place: the parts are shared, never copied, so a profile
// of tens of megabytes is sent from the one buffer it was read into. Random access, so that the
// network layer knows its length and can send it again after a redirect.

#include <QByteArrayList>
#include <QIODevice>
#include <algorithm>
#include <cstring>

namespace rostrel {

class PartsDevice final : public QIODevice
{
public:
    PartsDevice(const QByteArrayList& parts, QObject* parent)
        : QIODevice(parent)
        , m_parts(parts)
    {
        for (const QByteArray& part : m_parts)
            m_size += part.size();
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }
    bool seek(qint64 pos) override
    {
        if (pos > m_size || !QIODevice::seek(pos))
            return false;
        m_at = pos;
        return true;
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        qint64 done = 0;
        qint64 skip = m_at;
        for (const QByteArray& part : std::as_const(m_parts)) {
            if (done == maxSize)
                break;
            if (skip >= part.size()) {
                skip -= part.size();
                continue;
            }
            const qint64 n = std::min<qint64>(part.size() - skip, maxSize - done);
            std::memcpy(data + done, part.constData() + skip, size_t(n));
            done += n;
            skip = 0;
        }
        m_at += done;
        return done;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const QByteArrayList m_parts;
    qint64 m_size = 0;
    qint64 m_at = 0;
};

} // namespace rostrel
