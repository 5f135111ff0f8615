#include "catalogue/profiles.h"

#include "catalogue/characterlist.h"
#include "catalogue/gamefolders.h"
#include "core/fileio.h"
#include "core/seams.h"
#include "core/textlines.h"

namespace rostrel {

void logUnreadable(const QString& fn, const QString& reason, MessageSink& log)
{
    log.AddMessage(QStringLiteral("Error accessing file: ") + fn + QStringLiteral(" (") + reason + QStringLiteral(")"));
}

QByteArray GetFile(const QString& fn, const QString& hostPath, MessageSink& log)
{
    auto bytes = io::readFile(hostPath, kMaxProfileBytes);
    if (!bytes) {
        logUnreadable(fn, bytes.error(), log);
        return {};
    }
    return endLinesWithCrLf(std::move(bytes).value());
}

ProfileReader::ProfileReader(GameFolders& folders, const CharacterList& list, MessageSink& log)
    : m_folders(folders)
    , m_list(list)
    , m_log(log)
{ }

QString ProfileReader::profilePath(int index)
{
    // The entry's own flavour, whichever one the game was launched as since.
    return m_folders.profilePath(m_list.place(index));
}

WatchedEntry ProfileReader::entry(int index)
{
    if (index < 0 || index >= m_list.count())
        return {};
    const QString path = profilePath(index);
    return { index, m_list.text(index), path, m_folders.toHost(path), m_list.isChecked(index), m_list.fileDate(index) };
}

QByteArray ProfileReader::LoadDataFromHardDrive(int index)
{
    if (index < 0 || index >= m_list.count() || !m_list.isChecked(index))
        return {};
    const QString path = profilePath(index);
    return GetFile(path, m_folders.toHost(path), m_log);
}

} // namespace rostrel
