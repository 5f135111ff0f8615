// Change reports on Windows: one recursive ReadDirectoryChangesW per account tree, opened on the
// folder that holds WTF, where a handle per folder would keep the player from renaming any folder
// of the tree (and would cost a handle per folder and a thread per 63 of them). Opened with full
// sharing on the game folder itself, it lets WTF, an account or a character folder be renamed or
// deleted. Its completions arrive on the thread's event loop through the overlapped event.

#include "core/folderwatch.h"
#include "platform/backends.h"

#include <QDir>
#include <QSet>
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

const QString kAccountTail = QStringLiteral("/WTF/Account");

bool startsWithFolder(const QString& path, const QString& folder)
{
    return path.size() > folder.size() && path.startsWith(folder, Qt::CaseInsensitive)
        && (path.at(folder.size()) == u'/' || path.at(folder.size()) == u'\\');
}

// One recursive watch: the folder opened (base) and the tree reported on (root, the account
// folder as the walk names it), which lies at `below` inside base.
struct TreeWatch
{
    QString root;
    QString below; // base-relative, backslashes; empty when base is the root
    HANDLE folder = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped = {};
    std::vector<DWORD> buffer = std::vector<DWORD>(kBufferBytes / sizeof(DWORD));
    std::unique_ptr<QWinEventNotifier> notifier;

    TreeWatch() = default;
    TreeWatch(const TreeWatch&) = delete;
    TreeWatch& operator=(const TreeWatch&) = delete;
    ~TreeWatch()
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
        }
        if (event)
            CloseHandle(event);
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
    // for a name on the way to the root (WTF renamed, say). Empty for a name outside the tree.
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
        for (const auto& tree : m_trees) {
            if (tree->root.compare(folder, Qt::CaseInsensitive) == 0 || startsWithFolder(folder, tree->root))
                return true;
        }
        auto tree = std::make_unique<TreeWatch>();
        tree->root = folder;
        QString base = folder;
        if (folder.endsWith(kAccountTail, Qt::CaseInsensitive) && folder.size() > kAccountTail.size()) {
            base = folder.chopped(kAccountTail.size());
            tree->below = QDir::toNativeSeparators(folder.right(kAccountTail.size() - 1));
        }
        if (base.endsWith(u':'))
            base += u'/';
        tree->folder = CreateFileW(QDir::toNativeSeparators(base).toStdWString().c_str(), FILE_LIST_DIRECTORY,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        if (tree->folder == INVALID_HANDLE_VALUE)
            return false;
        tree->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!tree->event || !tree->arm())
            return false;
        // Wine follows a recursive watch only into the folders made, or opened, after it started;
        // those between the game folder and the account folder are opened once, so that the tree
        // is followed as far as the walk lists it. (Windows needs no such help.)
        QString between = base;
        for (const QString& name : tree->below.split(u'\\', Qt::SkipEmptyParts)) {
            between = QDir::cleanPath(between + u'/' + name);
            const HANDLE opened = CreateFileW(QDir::toNativeSeparators(between).toStdWString().c_str(),
                FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (opened != INVALID_HANDLE_VALUE)
                CloseHandle(opened);
        }
        TreeWatch* watched = tree.get();
        tree->notifier = std::make_unique<QWinEventNotifier>(tree->event);
        connect(tree->notifier.get(), &QWinEventNotifier::activated, this, [this, watched] { completed(watched); });
        m_trees.push_back(std::move(tree));
        return true;
    }

    void unwatch(const QString& folder) override
    {
        // Folders inside a tree share its watch, which ends with the tree's root.
        std::erase_if(m_trees, [&](const auto& tree) { return tree->root.compare(folder, Qt::CaseInsensitive) == 0; });
    }

    bool reportsChanges(const QString& folder, QString* why) const override
    {
        const QString native = QDir::toNativeSeparators(folder);
        const bool remote = native.startsWith(QStringLiteral("\\\\"))
            || (native.size() >= 2 && native.at(1) == u':'
                && GetDriveTypeW(QString(native.left(2) + u'\\').toStdWString().c_str()) == DRIVE_REMOTE);
        if (remote && why)
            *why = QStringLiteral("network drive");
        return !remote;
    }

    void deliverPending() override
    {
        const std::vector<TreeWatch*> trees = [this] {
            std::vector<TreeWatch*> all;
            for (const auto& tree : m_trees)
                all.push_back(tree.get());
            return all;
        }();
        for (TreeWatch* tree : trees) {
            if (WaitForSingleObject(tree->event, 0) == WAIT_OBJECT_0)
                completed(tree);
        }
    }

private:
    void completed(TreeWatch* tree)
    {
        const auto it = std::find_if(m_trees.begin(), m_trees.end(), [&](const auto& t) { return t.get() == tree; });
        if (it == m_trees.end())
            return;
        DWORD bytes = 0;
        const bool done = GetOverlappedResult(tree->folder, &tree->overlapped, &bytes, FALSE);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return; // handed out already by deliverPending
        // Read out before the buffer is handed back to the system.
        QSet<QString> changed;
        bool lost = error == ERROR_NOTIFY_ENUM_DIR || (done && bytes == 0);
        if (done && bytes > 0) {
            const auto* at = reinterpret_cast<const unsigned char*>(tree->buffer.data());
            for (;;) {
                const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
                const QString name = QString::fromWCharArray(
                    entry->FileName, static_cast<qsizetype>(entry->FileNameLength / sizeof(wchar_t)));
                if (const QString folder = tree->changedFolder(name); !folder.isEmpty())
                    changed.insert(folder);
                if (entry->NextEntryOffset == 0)
                    break;
                at += entry->NextEntryOffset;
            }
        }
        if (!((done || lost) && tree->arm())) {
            // The game folder was deleted (or its volume went away): the watch is over, and the
            // walk learns from its next listing what is left. Watching the root again reopens it.
            m_trees.erase(it);
            lost = true;
        }
        for (const QString& folder : std::as_const(changed))
            Q_EMIT folderChanged(folder);
        if (lost)
            Q_EMIT changesLost();
    }

    std::vector<std::unique_ptr<TreeWatch>> m_trees;
};

} // namespace

std::unique_ptr<FolderWatch> makeWindowsFolderWatch()
{
    return std::make_unique<WindowsFolderWatch>();
}

} // namespace rostrel
