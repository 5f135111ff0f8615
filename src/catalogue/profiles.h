#pragma once
// Reading profile files.

#include <QByteArray>
#include <QString>

namespace rostrel {

class GameFolders;
class CharacterList;
class MessageSink;

// Reads a file as bytes, line by line: a line ends at CR or CR LF (a lone LF stays in the line)
// and every line, the last one included, comes back followed by CR LF. On failure the log gets
// "Error accessing file: <fn> (<reason>)" and the result is empty. fn is the game path shown in
// the log; hostPath is where it lives.
QByteArray GetFile(const QString& fn, const QString& hostPath, MessageSink& log);

class ProfileReader
{
public:
    ProfileReader(GameFolders& folders, const CharacterList& list, MessageSink& log);

    // The entry's flavour's account folder, "\", its folder, "\SavedVariables\Rostrel.lua".
    QString profilePath(int index);
    // The profile of a checked entry; empty for an unchecked entry or an index outside the list.
    QByteArray LoadDataFromHardDrive(int index);

private:
    GameFolders& m_folders;
    const CharacterList& m_list;
    MessageSink& m_log;
};

} // namespace rostrel
