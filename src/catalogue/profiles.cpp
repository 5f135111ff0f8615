#include "catalogue/profiles.h"

#include "catalogue/characterlist.h"
#include "catalogue/gamefolders.h"
#include "core/seams.h"
#include "core/textlines.h"

#include <QFile>
#include <cstring>

namespace rostrel {

QByteArray GetFile(const QString& fn, const QString& hostPath, MessageSink& log)
{
    QFile file(hostPath);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        log.AddMessage(QStringLiteral("Error accessing file: ") + fn + QStringLiteral(" (") + file.errorString()
            + QStringLiteral(")"));
        return {};
    }

    return endLinesWithCrLf(std::move(bytes));
}

QByteArray endLinesWithCrLf(QByteArray bytes)
{
    if (bytes.isEmpty())
        return bytes;
    // Profiles the game writes end every line in CR LF already: pass those on without a copy,
    // adding only a missing end to the last line. (Profiles can be tens of megabytes.)
    const char* data = bytes.constData();
    const qsizetype size = bytes.size();
    bool loneCr = false;
    for (const char* cr = static_cast<const char*>(std::memchr(data, '\r', size)); cr;) {
        const qsizetype at = cr - data;
        if (at + 1 >= size || data[at + 1] != '\n') {
            loneCr = true;
            break;
        }
        cr = static_cast<const char*>(std::memchr(cr + 2, '\r', size - at - 2));
    }
    if (!loneCr) {
        if (!bytes.endsWith("\r\n"))
            bytes += "\r\n";
        return bytes;
    }

    QByteArray text;
    text.reserve(size + size / 16 + 2);
    bool lineEnded = false;
    for (qsizetype i = 0; i < size; ++i) {
        lineEnded = data[i] == '\r';
        if (!lineEnded) {
            text += data[i];
            continue;
        }
        text += "\r\n";
        if (i + 1 < size && data[i + 1] == '\n')
            ++i;
    }
    if (!lineEnded)
        text += "\r\n";
    return text;
}

ProfileReader::ProfileReader(GameFolders& folders, const CharacterList& list, MessageSink& log)
    : m_folders(folders)
    , m_list(list)
    , m_log(log)
{ }

QString ProfileReader::profilePath(int index)
{
    return m_folders.GetAccountDir() + QLatin1Char('\\') + m_list.text(index)
        + QStringLiteral("\\SavedVariables\\Rostrel.lua");
}

QByteArray ProfileReader::LoadDataFromHardDrive(int index)
{
    if (index < 0 || index >= m_list.count() || !m_list.isChecked(index))
        return {};
    const QString path = profilePath(index);
    return GetFile(path, m_folders.toHost(path), m_log);
}

} // namespace rostrel
