// HKEY_LOCAL_MACHINE as a Wine prefix keeps it: the text file system.reg (winereg_document.h).
// A real prefix's file runs to megabytes and is asked for several times a turn, so the text and
// the keys found in it are kept while the file on disk is the same one, unchanged (its identity,
// size and times); any change made by Wine while the program runs is still seen at the next read.
// Every write re-reads the file and replaces it atomically.

#include "core/fileio.h"
#include "platform/backends.h"
#include "platform/winereg_document.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

#include <ctime>
#include <map>
#include <optional>
#include <utility>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace rostrel::registry {
namespace {

using wine::Document;
using wine::fold;
using wine::KeyLocation;

// No prefix registry comes near this; a bigger file is not a registry we should load whole.
constexpr qint64 kMaxFileSize = qint64(256) * 1024 * 1024;
std::int64_t nanoseconds(const timespec& t)
{
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// What tells one state of the file on disk from another without reading it: a file renamed over
// it is another inode, a write in place moves its modification and change times.
struct FileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;

    static std::optional<FileStamp> of(const QString& path)
    {
        struct stat info = {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return std::nullopt;
        return FileStamp { info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim),
            nanoseconds(info.st_ctim) };
    }

    bool settled(std::int64_t settleNs) const
    {
        timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        return nanoseconds(now) - std::max(modified, changed) >= settleNs;
    }
};

// The file as last read or written, and the keys looked for in it.
struct KeptFile
{
    FileStamp stamp;
    bool trusted = false; // settled when read: the stamp alone tells whether it changed since
    Document document;
    std::map<QString, KeyLocation> located;

    KeyLocation locate(const QString& folded)
    {
        const auto it = located.find(folded);
        if (it != located.end())
            return it->second;
        return located.emplace(folded, document.locate(folded)).first->second;
    }
};

struct OpenKey
{
    QString path; // as asked for (in the view that was found), for a section still to be written
    QString folded;
    unsigned long access = 0;
    Document snapshot; // the file as it was when the key was opened or last written
    KeyLocation where;
};

class WineRegistryCalls final : public RegistryCalls
{
public:
    WineRegistryCalls(const std::string& path, long long settleNs)
        : m_path(QString::fromStdString(path))
        , m_settleNs(settleNs)
    { }

    long openKey(Hive hive, const std::string& keyPath, unsigned long access, KeyHandle& key) override
    {
        key = 0;
        if (hive != kLocalMachine)
            return kFileNotFound;
        if (const long status = readFile(); status != kSuccess)
            return status;
        for (const QString& path : viewsOf(keyPath)) {
            OpenKey open;
            open.path = path;
            open.folded = fold(path);
            open.where = m_kept->locate(open.folded);
            if (!open.where.present)
                continue;
            open.access = access;
            open.snapshot = m_kept->document;
            key = m_nextHandle++;
            m_keys.emplace(key, std::move(open));
            return kSuccess;
        }
        return kFileNotFound;
    }

    long queryValue(KeyHandle key, const std::string& valueName, unsigned long& type, std::string& data) override
    {
        const auto it = m_keys.find(key);
        if (it == m_keys.end())
            return kInvalidHandle;
        const OpenKey& open = it->second;
        if (!(open.access & kKeyQueryValue))
            return kAccessDenied;
        if (!open.where.hasSection)
            return kFileNotFound;
        const auto value = open.snapshot.findValue(open.where, fold(QString::fromStdString(valueName)), true);
        if (!value)
            return kFileNotFound;
        if (!value->valid)
            return kInvalidData;
        type = value->type;
        data = value->data;
        return kSuccess;
    }

    long setValue(KeyHandle key, const std::string& valueName, unsigned long type, const std::string& data) override
    {
        return change(key, [&](const Document& document, const KeyLocation& where, const OpenKey& open) {
            return std::optional(document.withValue(where, open.path, QString::fromStdString(valueName), type, data));
        });
    }

    long deleteValue(KeyHandle key, const std::string& valueName) override
    {
        return change(key, [&](const Document& document, const KeyLocation& where, const OpenKey&) {
            return document.withoutValue(where, fold(QString::fromStdString(valueName)));
        });
    }

    long closeKey(KeyHandle key) override { return m_keys.erase(key) ? kSuccess : kInvalidHandle; }

private:
    // Brings m_kept up to the file as it is now.
    long readFile()
    {
        // Looked at before the read: should the file change in between, the text read is newer
        // than the stamp, and the next look reads it again.
        const auto stamp = FileStamp::of(m_path);
        if (!stamp) {
            m_kept.reset();
            return kFileNotFound;
        }
        if (m_kept && m_kept->trusted && m_kept->stamp == *stamp)
            return kSuccess;
        m_kept.reset();
        // A folder, a pipe or a device is refused like an unreadable file.
        auto text = io::readFile(m_path, kMaxFileSize);
        if (!text)
            return kAccessDenied;
        m_kept = KeptFile { *stamp, stamp->settled(m_settleNs), Document(std::move(text).value()), {} };
        return kSuccess;
    }

    // A failed write left the file as it was. Refused at the start, when the file or the folder
    // its replacement is made in cannot be written, it is access denied; refused on the way, by a
    // full disk or a size limit, a write fault.
    long writeFile(const QByteArray& text) const
    {
        if (io::writeFileAtomically(m_path, text))
            return kSuccess;
        const QFileInfo file(m_path);
        const QString canonical = file.canonicalFilePath(); // the replacement is made beside a link's target
        const QFileInfo target(canonical.isEmpty() ? file.absoluteFilePath() : canonical);
        const QFileInfo folder(target.absolutePath());
        return (target.exists() && !target.isWritable()) || !folder.isWritable() ? kAccessDenied : kWriteFault;
    }

    // A key under Software\ is looked for in the 32-bit view first, which is where the game's
    // installer writes; a prefix made for 32-bit Windows has only the one view.
    static std::vector<QString> viewsOf(const std::string& keyPath)
    {
        QStringList parts = QString::fromStdString(keyPath).split(u'\\', Qt::SkipEmptyParts);
        std::vector<QString> views;
        if (!parts.isEmpty() && fold(parts[0]) == u"SOFTWARE"_s
            && (parts.size() < 2 || fold(parts[1]) != u"WOW6432NODE"_s)) {
            QStringList redirected = parts;
            redirected.insert(1, u"Wow6432Node"_s);
            views.push_back(redirected.join(u'\\'));
        }
        views.push_back(parts.join(u'\\'));
        return views;
    }

    // Re-reads the file, lets `edit` build the new text, and writes it atomically.
    template <typename Edit> long change(KeyHandle key, Edit edit)
    {
        const auto it = m_keys.find(key);
        if (it == m_keys.end())
            return kInvalidHandle;
        OpenKey& open = it->second;
        if (!(open.access & kKeySetValue))
            return kAccessDenied;
        if (const long status = readFile(); status != kSuccess)
            return status;
        const KeyLocation where = m_kept->locate(open.folded);
        if (!where.present)
            return kFileNotFound;
        std::optional<QByteArray> out = edit(std::as_const(m_kept->document), where, std::as_const(open));
        if (!out)
            return kFileNotFound;
        m_kept.reset();
        if (const long status = writeFile(*out); status != kSuccess)
            return status;
        open.snapshot = Document(std::move(*out));
        open.where = open.snapshot.locate(open.folded);
        // Not kept: just written, the file is too recent for its stamp to tell whether another
        // writer replaced it since.
        return kSuccess;
    }

    QString m_path;
    std::int64_t m_settleNs;
    std::optional<KeptFile> m_kept;
    std::map<KeyHandle, OpenKey> m_keys;
    KeyHandle m_nextHandle = 1;
};

} // namespace

std::unique_ptr<RegistryCalls> makeWineRegistryCalls(const std::string& systemRegPath, long long settleNs)
{
    return std::make_unique<WineRegistryCalls>(systemRegPath, settleNs);
}

std::unique_ptr<Registry> makeWineRegistry(const std::string& systemRegPath)
{
    return makeRegistry(makeWineRegistryCalls(systemRegPath));
}

} // namespace rostrel::registry
