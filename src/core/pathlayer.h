#pragma once
// Maps the game's Windows-style paths onto the host's file system, and lists folders the way
// the game's own platform does.

#include <QString>
#include <QStringList>
#include <memory>

namespace rostrel {

// One folder's listing: hidden and system entries (names beginning with ".") are left out.
struct FolderListing
{
    QStringList all; // folders and ordinary files, in the order the system yields them
    QStringList files; // ordinary files only
    // The folder itself, as the file system tells folders apart (0: not known). A folder deleted
    // and made again, or another one moved into its place, has another id.
    quint64 id = 0;
    // Some entry is a link (a dangling one included): what it leads to can change without this
    // folder changing.
    bool links = false;
};

class PathLayer
{
public:
    virtual ~PathLayer() = default;

    // Maps a game path such as "C:\Games\World of Warcraft\WTF\Account" to a host path.
    // Components that exist are matched without regard to case (the name on disk is used);
    // the rest are kept as given. Doubled separators count as one.
    virtual QString toHost(const QString& gamePath) const = 0;

    // Lists a host folder; a folder that is missing or unreadable gives empty lists.
    virtual FolderListing list(const QString& hostPath) const = 0;
};

} // namespace rostrel
