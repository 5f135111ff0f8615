#include "catalogue/profiles.h"

#include "catalogue/characterlist.h"
#include "catalogue/gamefolders.h"
#include "catalogue/textlines.h"
#include "platform/seams.h"

#include <QFile>

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

    QByteArray text;
    text.reserve(bytes.size() + bytes.size() / 16 + 2);
    for (const QByteArray& line : splitLines(bytes)) {
        text += line;
        text += "\r\n";
    }
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
