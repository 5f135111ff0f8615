#pragma once
// A profile read a piece at a time into its one buffer, so that its upload can begin with the
// first piece instead of after the last. Whole, the buffer is what GetFile() gives. The pieces
// handed out are the file's bytes as they are, which is what they stay in the whole as long as no
// lone CR turns up: the whole then only adds a line end after the last line, which expectedSize()
// foresees from the file's last bytes. asForeseen() tells at the end whether that held; when not,
// the pieces sent are not the profile, and the whole (takeProfile()) must go instead.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QFile>
#include <QString>

namespace rostrel {

class ProfileStream
{
public:
    // size and modified are the file as it was looked at: the read counts only if it is still so.
    // marker is a text whose appearance in the profile sawMarker() reports (a form's boundary).
    ProfileStream(const QString& hostPath, qint64 size, const QDateTime& modified, QByteArray marker = {});

    // Opens the file and looks at its last bytes; false, with error(), when it cannot be read.
    bool open();
    qint64 expectedSize() const { return m_expected; }
    // Reads up to maxBytes more and returns the bytes that may go out now: empty once a lone CR
    // was met, as the whole differs from the file from there on.
    QByteArrayView readSome(qint64 maxBytes);
    bool atEnd() const { return m_atEnd; }
    // After the end: whether the file was read whole while its size and time stood still.
    bool stoodStill() const { return m_stoodStill; }
    // Whether the pieces plus ending() are the whole profile, of the size expected.
    bool asForeseen() const;
    QByteArrayView ending() const;
    bool sawMarker() const { return m_sawMarker; }
    // The whole profile, line ends mended; the pieces handed out are not valid after this.
    QByteArray takeProfile();
    QString error() const { return m_error; }

private:
    void scan(qint64 to);

    QString m_hostPath;
    qint64 m_size;
    QDateTime m_modified;
    QByteArray m_marker;
    QFile m_file;
    QByteArray m_buffer;
    qint64 m_expected = 0;
    qint64 m_read = 0;
    qint64 m_checked = 0; // bytes known to hold no lone CR
    qint64 m_handed = 0; // bytes handed out
    qint64 m_markerFrom = 0; // where the next look for the marker starts
    bool m_plain = true;
    bool m_sawMarker = false;
    bool m_atEnd = false;
    bool m_stoodStill = false;
    QString m_error;
};

} // namespace rostrel
