// Change reports on Windows: one recursive ReadDirectoryChangesW per account tree, opened two
// folders above the tree's root, where a handle per folder would keep the player from renaming any
// folder of the tree (and would cost a handle per folder and a thread per 63 of them). Opened with
// full sharing above the root, it lets the root, an account or a character folder be renamed or
// deleted. Its completions arrive on the thread's event loop through the overlapped event.

#include "folderwatch/folderwatch.h"

#include <QDir>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QWinEventNotifier>

#include <algorithm>
#include <memory>
#include <vector>

#include <windows.h>

namespace rostrel {
namespace {

// Names only: the walk looks at which folders and files there are, never at their contents, so a
// profile written in place is no news to it.
constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
// Network shares take at most 64 KB; a burst that overruns the buffer is reported as lost.
constexpr std::size_t kBufferBytes = 64 * 1024;
// How far above the root the watch is opened: far enough that renaming the root, or the folder
// that holds it, is a change the watch reports rather than one that its handle refuses.
constexpr int kLevelsAbove = 2;

bool startsWithFolder(const QString& path, const QString& folder)
{
    return path.size() > folder.size() && path.startsWith(folder, Qt::CaseInsensitive)
        && (path.at(folder.size()) == u'/' || path.at(folder.size()) == u'\\');
}

// Windows compares names without regard to case.
QString folderKey(const QString& folder)
{
    return QDir::fromNativeSeparators(folder).toCaseFolded();
}

HANDLE openFolder(const QString& folder, DWORD flags)
{
    return CreateFileW(QDir::toNativeSeparators(folder).toStdWString().c_str(), FILE_LIST_DIRECTORY,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

QString fromWide(const std::vector<wchar_t>& text, DWORD length)
{
    return QDir::fromNativeSeparators(QString::fromWCharArray(text.data(), static_cast<qsizetype>(length)));
}

// The folder's long name (8.3 names expanded), or empty when some part of it is not there.
QString longPath(const QString& path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = GetLongPathNameW(native.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetLongPathNameW(native.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    return length == 0 || length >= buffer.size() ? QString() : fromWide(buffer, length);
}

// Where the folder really is, every link on the way followed; empty when that cannot be told.
QString finalPath(const QString& folder)
{
    const HANDLE handle = openFolder(folder, 0);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    }
    CloseHandle(handle);
    if (length == 0 || length >= buffer.size())
        return {};
    QString path = fromWide(buffer, length);
    if (path.startsWith(u"//?/UNC/"))
        return u"//" + path.mid(8);
    return path.startsWith(u"//?/") ? path.mid(4) : path;
}

bool isLink(const QString& folder)
{
    const DWORD attributes = GetFileAttributesW(QDir::toNativeSeparators(folder).toStdWString().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Splits a folder into the one kLevelsAbove it (fewer at a drive's root) and the rest.
void splitAbove(const QString& folder, QString* above, QString* below)
{
    *above = folder;
    below->clear();
    for (int level = 0; level < kLevelsAbove; ++level) {
        const qsizetype slash = above->lastIndexOf(u'/');
        if (slash <= 0 || above->at(slash - 1) == u':' || above->at(slash - 1) == u'/')
            break;
        *below = above->mid(slash + 1) + (below->isEmpty() ? QString() : u'/' + *below);
        above->truncate(slash);
    }
    if (above->endsWith(u':'))
        *above += u'/';
}

// Where to open the watch of the tree at root: two levels above it, or above its real place where
// a folder on the way is a link, since the watch does not follow links. False when that place
// cannot be found.
bool placeWatch(const QString& root, QString* base, QString* below)
{
    QString names;
    splitAbove(QDir::fromNativeSeparators(root), base, &names);
    bool linked = false;
    QString between = *base;
    for (const QString& name : names.split(u'/', Qt::SkipEmptyParts)) {
        between += (between.endsWith(u'/') ? QString() : QStringLiteral("/")) + name;
        linked = linked || isLink(between);
    }
    if (linked) {
        const QString target = finalPath(root);
        if (target.isEmpty())
            return false;
        splitAbove(target, base, &names);
    }
    *below = QDir::toNativeSeparators(names);
    return true;
}

// One recursive watch: the folder opened (base) and the tree reported on (root, the account
// folder as the walk names it), which lies at `below` inside base (inside the root's real place,
// where it is reached through a link).
struct TreeWatch
{
    QString root;
    QString base;
    QString below; // base-relative, backslashes; empty when base is the root
    HANDLE folder = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped = {};
    std::vector<DWORD> buffer = std::vector<DWORD>(kBufferBytes / sizeof(DWORD));
    std::unique_ptr<QWinEventNotifier> notifier;

    TreeWatch() = default;
    TreeWatch(const TreeWatch&) = delete;
    TreeWatch& operator=(const TreeWatch&) = delete;
    ~TreeWatch() { close(); }

    bool isOpen() const { return folder != INVALID_HANDLE_VALUE; }

    bool open()
    {
        folder = openFolder(base, FILE_FLAG_OVERLAPPED);
        if (folder == INVALID_HANDLE_VALUE)
            return false;
        if (!event)
            event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!event || !arm()) {
            close();
            return false;
        }
        // Wine follows a recursive watch only into the folders made, or opened, after it started;
        // those between base and the root are opened once, so that the tree is followed as far as
        // the walk lists it. (Windows needs no such help.)
        QString between = base;
        for (const QString& name : below.split(u'\\', Qt::SkipEmptyParts)) {
            between = QDir::cleanPath(between + u'/' + name);
            const HANDLE opened = openFolder(between, 0);
            if (opened != INVALID_HANDLE_VALUE)
                CloseHandle(opened);
        }
        return true;
    }

    void close()
    {
        if (notifier) {
            // It may be the one whose signal is being handled.
            notifier->setEnabled(false);
            notifier.release()->deleteLater();
        }
        if (folder != INVALID_HANDLE_VALUE) {
            // The system writes into the buffer until the read is over.
            if (CancelIoEx(folder, &overlapped) || GetLastError() != ERROR_NOT_FOUND) {
                DWORD bytes = 0;
                GetOverlappedResult(folder, &overlapped, &bytes, TRUE);
            }
            CloseHandle(folder);
            folder = INVALID_HANDLE_VALUE;
        }
        if (event) {
            CloseHandle(event);
            event = nullptr;
        }
    }

    bool arm()
    {
        ResetEvent(event);
        overlapped = {};
        overlapped.hEvent = event;
        return ReadDirectoryChangesW(
            folder, buffer.data(), static_cast<DWORD>(kBufferBytes), TRUE, kFilter, nullptr, &overlapped, nullptr);
    }

    // The folder of the tree that holds a changed name (base-relative): its parent, or the root
    // for a name on the way to the root (the root's folder renamed, say). Empty for a name outside
    // the tree.
    QString changedFolder(const QString& name) const
    {
        QString rest = name;
        if (!below.isEmpty()) {
            if (name.compare(below, Qt::CaseInsensitive) == 0 || startsWithFolder(below, name))
                return root;
            if (!startsWithFolder(name, below))
                return {};
            rest = name.mid(below.size() + 1);
        }
        const qsizetype slash = rest.lastIndexOf(u'\\');
        if (slash < 0)
            return root;
        return root + u'/' + QString(rest.left(slash)).replace(u'\\', u'/');
    }
};

class WindowsFolderWatch final : public FolderWatch
{
public:
    bool watch(const QString& folder) override
    {
        reopenEnded();
        for (const auto& tree : m_trees) {
            if (tree->root.compare(folder, Qt::CaseInsensitive) == 0 || startsWithFolder(folder, tree->root)) {
                m_known.insert(folderKey(folder), folder);
                return true;
            }
        }
        auto tree = std::make_unique<TreeWatch>();
        tree->root = folder;
        if (!placeWatch(folder, &tree->base, &tree->below) || !tree->open())
            return false;
        listen(*tree);
        m_known.insert(folderKey(folder), folder);
        m_trees.push_back(std::move(tree));
        return true;
    }

    void unwatch(const QString& folder) override
    {
        m_known.remove(folderKey(folder));
        // Folders inside a tree share its watch, which ends with the tree's root.
        std::erase_if(m_trees, [&](const auto& tree) { return tree->root.compare(folder, Qt::CaseInsensitive) == 0; });
    }

    bool reportsChanges(const QString& folder, QString* why) const override
    {
        const QString native = QDir::toNativeSeparators(folder);
        const bool remote = native.startsWith(QStringLiteral("\\\\"))
            || (native.size() >= 2 && native.at(1) == u':'
                && GetDriveTypeW(QString(native.left(2) + u'\\').toStdWString().c_str()) == DRIVE_REMOTE);
        if (remote) {
            if (why)
                *why = QStringLiteral("network drive");
            return false;
        }
        QString base;
        QString below;
        if (placeWatch(QDir::fromNativeSeparators(folder), &base, &below))
            return true;
        if (why)
            *why = QStringLiteral("a linked folder whose target is unknown");
        return false;
    }

    void deliverPending() override
    {
        reopenEnded();
        for (TreeWatch* tree : openTrees()) {
            if (WaitForSingleObject(tree->event, 0) == WAIT_OBJECT_0)
                completed(tree);
        }
    }

private:
    void listen(TreeWatch& tree)
    {
        TreeWatch* watched = &tree;
        tree.notifier = std::make_unique<QWinEventNotifier>(tree.event);
        connect(tree.notifier.get(), &QWinEventNotifier::activated, this, [this, watched] { completed(watched); });
    }

    std::vector<TreeWatch*> openTrees() const
    {
        std::vector<TreeWatch*> trees;
        for (const auto& tree : m_trees) {
            if (tree->isOpen())
                trees.push_back(tree.get());
        }
        return trees;
    }

    // A watch the system ended while its tree is still kept (the read failed, the handle went
    // stale) is opened again; what changed meanwhile went unreported. Until it opens, every turn
    // looks through the tree.
    void reopenEnded()
    {
        bool lost = false;
        for (const auto& tree : m_trees) {
            if (tree->isOpen())
                continue;
            if (placeWatch(tree->root, &tree->base, &tree->below) && tree->open())
                listen(*tree);
            lost = true;
        }
        if (lost)
            Q_EMIT changesLost();
    }

    // The folder the walk knows that holds the reported one: the same in its own letter case and
    // with short (8.3) names expanded, or the nearest known folder above it (one made since the
    // last turn, or one gone already).
    QString knownFolder(const TreeWatch& tree, const QString& reported) const
    {
        for (QString folder = reported; startsWithFolder(folder, tree.root);
             folder.truncate(folder.lastIndexOf(u'/'))) {
            if (const auto known = m_known.constFind(folderKey(folder)); known != m_known.constEnd())
                return *known;
            const QString expanded = longPath(folder);
            if (const auto known = m_known.constFind(folderKey(expanded));
                !expanded.isEmpty() && known != m_known.constEnd())
                return *known;
        }
        return tree.root;
    }

    void completed(TreeWatch* tree)
    {
        const auto it = std::find_if(m_trees.begin(), m_trees.end(), [&](const auto& t) { return t.get() == tree; });
        if (it == m_trees.end() || !tree->isOpen())
            return;
        DWORD bytes = 0;
        const bool done = GetOverlappedResult(tree->folder, &tree->overlapped, &bytes, FALSE);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return; // handed out already by deliverPending
        // Read out before the buffer is handed back to the system.
        // In the order the folders first changed, each once.
        QSet<QString> seen;
        QStringList changed;
        bool lost = error == ERROR_NOTIFY_ENUM_DIR || (done && bytes == 0);
        if (done && bytes > 0) {
            const auto* at = reinterpret_cast<const unsigned char*>(tree->buffer.data());
            for (;;) {
                const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
                const QString name = QString::fromWCharArray(
                    entry->FileName, static_cast<qsizetype>(entry->FileNameLength / sizeof(wchar_t)));
                if (const QString folder = tree->changedFolder(name); !folder.isEmpty()) {
                    const QString known = knownFolder(*tree, folder);
                    if (!seen.contains(known)) {
                        seen.insert(known);
                        changed.append(known);
                    }
                }
                if (entry->NextEntryOffset == 0)
                    break;
                at += entry->NextEntryOffset;
            }
        }
        if (!((done || lost) && tree->arm())) {
            // The watch is over (its folder deleted, its volume gone, or its read failed). It is
            // opened again at the next turn while the walk keeps the tree; a tree that is gone
            // the walk lets go of.
            tree->close();
            lost = true;
        }
        for (const QString& folder : std::as_const(changed))
            Q_EMIT folderChanged(folder);
        if (lost)
            Q_EMIT changesLost();
    }

    std::vector<std::unique_ptr<TreeWatch>> m_trees;
    QHash<QString, QString> m_known; // the folders handed to watch(), by folderKey
};

} // namespace

std::unique_ptr<FolderWatch> makeFolderWatch()
{
    return std::make_unique<WindowsFolderWatch>();
}

} // namespace rostrel
