// HKEY_LOCAL_MACHINE as a Wine prefix keeps it: the text file system.reg (winereg_document.h).
// Every open reads the file anew, so a change made by Wine while the program runs is seen at the
// next read; every write re-reads it and replaces it atomically.

#include "core/fileio.h"
#include "platform/backends.h"
#include "platform/winereg_document.h"

#include <QFileInfo>
#include <QString>
#include <QStringList>

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
    explicit WineRegistryCalls(const std::string& path)
        : m_path(QString::fromStdString(path))
    { }

    long openKey(Hive hive, const std::string& keyPath, unsigned long access, KeyHandle& key) override
    {
        key = 0;
        if (hive != kLocalMachine)
            return kFileNotFound;
        Document document;
        if (const long status = readFile(document); status != kSuccess)
            return status;
        for (const QString& path : viewsOf(keyPath)) {
            OpenKey open;
            open.path = path;
            open.folded = fold(path);
            open.where = document.locate(open.folded);
            if (!open.where.present)
                continue;
            open.access = access;
            open.snapshot = document;
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
    long readFile(Document& document) const
    {
        const QFileInfo info(m_path);
        if (!info.exists())
            return kFileNotFound;
        // A folder, a pipe or a device is refused like an unreadable file.
        auto text = io::readFile(m_path, kMaxFileSize);
        if (!text)
            return kAccessDenied;
        document = Document(std::move(text).value());
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
        Document document;
        if (const long status = readFile(document); status != kSuccess)
            return status;
        const KeyLocation where = document.locate(open.folded);
        if (!where.present)
            return kFileNotFound;
        std::optional<QByteArray> out = edit(std::as_const(document), where, std::as_const(open));
        if (!out)
            return kFileNotFound;
        if (const long status = writeFile(*out); status != kSuccess)
            return status;
        open.snapshot = Document(std::move(*out));
        open.where = open.snapshot.locate(open.folded);
        return kSuccess;
    }

    QString m_path;
    std::map<KeyHandle, OpenKey> m_keys;
    KeyHandle m_nextHandle = 1;
};

} // namespace

std::unique_ptr<RegistryCalls> makeWineRegistryCalls(const std::string& systemRegPath)
{
    return std::make_unique<WineRegistryCalls>(systemRegPath);
}

std::unique_ptr<Registry> makeWineRegistry(const std::string& systemRegPath)
{
    return makeRegistry(makeWineRegistryCalls(systemRegPath));
}

} // namespace rostrel::registry
