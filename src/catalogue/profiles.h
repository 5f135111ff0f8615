#pragma once
// Reading profile files.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

namespace rostrel {

class GameFolders;
class CharacterList;
class MessageSink;

// Profiles run to tens of megabytes; a file past this is no profile and is not sent.
inline constexpr qint64 kMaxProfileBytes = qint64(1024) * 1024 * 1024;

// Reads a file as bytes, line by line: a line ends at CR or CR LF (a lone LF stays in the line)
// and every line, the last one included, comes back followed by CR LF. On failure the log gets
// "Error accessing file: <fn> (<reason>)" and the result is empty. fn is the game path shown in
// the log; hostPath is where it lives.
QByteArray GetFile(const QString& fn, const QString& hostPath, MessageSink& log);
// That log line, for a profile read in another way.
void logUnreadable(const QString& fn, const QString& reason, MessageSink& log);

// One entry as a watcher turn sees it, looked up once.
struct WatchedEntry
{
    int index = -1;
    QString text;
    QString path; // its profile, as the game names it
    QString hostPath; // where that lives on this machine
    bool checked = false;
    std::optional<QDateTime> stored; // the time it was last uploaded with
};

class ProfileReader
{
public:
    ProfileReader(GameFolders& folders, const CharacterList& list, MessageSink& log);

    // The entry's profile, in its own flavour (GameFolders::profilePath).
    QString profilePath(int index);
    // The profile of a checked entry; empty for an unchecked entry or an index outside the list.
    QByteArray LoadDataFromHardDrive(int index);
    // An entry for a watcher turn (index -1 for one outside the list).
    WatchedEntry entry(int index);

private:
    GameFolders& m_folders;
    const CharacterList& m_list;
    MessageSink& m_log;
};

} // namespace rostrel
