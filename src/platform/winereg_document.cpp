#include "platform/winereg_document.h"

#include "platform/backends.h"

#include <QDateTime>

#include <algorithm>
#include <vector>

namespace rostrel::registry {
namespace wine {
namespace {

enum class HeaderMatch
{
    None,
    Exact,
    Ancestor
};

// Compares a "[Key\\Path] stamp" line with a folded key path, stopping at the first difference
// (most sections differ within a few characters).
HeaderMatch matchHeader(std::string_view text, const Line& line, const QString& folded)
{
    std::string_view rest = text.substr(line.begin + 1, line.end - line.begin - 1);
    qsizetype i = 0;
    for (;;) {
        char16_t u = 0;
        const Step step = nextUnit(rest, ']', u);
        if (step == Step::Broken)
            return HeaderMatch::None;
        if (step == Step::End)
            return i == folded.size() ? HeaderMatch::Exact : HeaderMatch::None;
        if (i == folded.size())
            return (u == '\\' && !folded.isEmpty()) ? HeaderMatch::Ancestor : HeaderMatch::None;
        if (foldUnit(u) != folded[i].unicode())
            return HeaderMatch::None;
        ++i;
    }
}

// Whether the text's last line ends in a backslash, which carries hex data on to the next line.
bool endsInContinuation(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return !text.empty() && text.back() == '\\';
}

// "[Key\\Path] seconds" and its "#time=" line, as wineserver heads a section.
QByteArray sectionHeader(QStringView path, const QDateTime& when)
{
    QByteArray header = "[";
    appendEscaped(header, path, '[', ']');
    // FILETIME: 100 ns steps since 1601.
    const quint64 filetime = quint64(when.toMSecsSinceEpoch()) * 10000 + 116444736000000000ULL;
    header += "] " + QByteArray::number(when.toSecsSinceEpoch()) + "\n#time=" + QByteArray::number(filetime, 16) + '\n';
    return header;
}

void append(QByteArray& out, std::string_view text, std::size_t from, std::size_t to)
{
    out.append(text.data() + from, static_cast<qsizetype>(to - from));
}

} // namespace

KeyLocation Document::locate(const QString& foldedPath) const
{
    const std::string_view text = view();
    KeyLocation where;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const Line line = lineAt(text, pos);
        pos = line.next;
        if (line.end == line.begin || text[line.begin] != '[')
            continue;
        if (where.hasSection) {
            where.bodyEnd = line.begin;
            return where;
        }
        const HeaderMatch match = matchHeader(text, line, foldedPath);
        if (match == HeaderMatch::Exact) {
            where.present = true;
            where.hasSection = true;
            where.bodyBegin = line.next;
            where.bodyEnd = text.size();
        } else if (match == HeaderMatch::Ancestor) {
            where.present = true;
        }
    }
    return where;
}

std::optional<ParsedValue> Document::findValue(const KeyLocation& where, const QString& foldedName, bool withData) const
{
    std::optional<ParsedValue> found;
    forEachValue(where, [&](ParsedValue value) {
        if (fold(value.name) == foldedName)
            found = std::move(value);
    });
    if (found && withData)
        found = parseValue(view(), lineAt(view(), found->begin), true);
    return found;
}

// Where a new value goes: after the section's last line that is not blank, and after the whole of
// the value that line belongs to (hex data carried on over a blank line would take in a line
// written right after it). Before that value when its data is announced to go on and never does:
// any line after it would be taken in, and it must stay as unreadable as it was.
std::size_t Document::insertionPoint(const KeyLocation& where) const
{
    const std::string_view text = view();
    std::size_t point = where.bodyBegin;
    std::size_t lastBegin = where.bodyBegin;
    std::size_t pos = where.bodyBegin;
    while (pos < where.bodyEnd) {
        const Line line = lineAt(text, pos);
        pos = line.next;
        if (line.end == line.begin)
            continue;
        lastBegin = line.begin;
        point = line.next;
        if (text[line.begin] == '"' || text[line.begin] == '@') {
            if (const auto value = parseValue(text, line, false))
                point = pos = std::max(pos, value->next);
        }
    }
    return endsInContinuation(text.substr(0, point)) ? lastBegin : point;
}

QByteArray Document::withValue(const KeyLocation& where, const QString& keyPath, const QString& name,
    unsigned long type, const std::string& data) const
{
    const std::string_view text = view();
    QByteArray out;
    out.reserve(m_text.size() + 256);
    const auto old = where.hasSection ? findValue(where, fold(name), false) : std::nullopt;
    if (old) {
        append(out, text, 0, old->begin);
        out += encodeValueLine(old->name, type, data);
        append(out, text, old->next, text.size());
        return out;
    }
    const QByteArray line = encodeValueLine(name, type, data);
    if (where.hasSection) {
        const std::size_t point = insertionPoint(where);
        append(out, text, 0, point);
        if (point > 0 && text[point - 1] != '\n')
            out += '\n';
        out += line;
        append(out, text, point, text.size());
        return out;
    }
    // The key exists only as the parent of other sections: it gets one of its own.
    out += m_text;
    if (!out.isEmpty() && !out.endsWith('\n'))
        out += '\n';
    // Right after data announced to go on, the header must come first, so that it ends that data
    // as it did the file.
    if (!endsInContinuation(text))
        out += '\n';
    out += sectionHeader(keyPath, QDateTime::currentDateTimeUtc());
    out += line;
    return out;
}

std::optional<QByteArray> Document::withoutValue(const KeyLocation& where, const QString& foldedName) const
{
    if (!where.hasSection)
        return std::nullopt;
    // Every line of that name goes: with one left behind (a file edited by hand may hold a name
    // twice), the value would still read after it was deleted.
    const std::string_view text = view();
    QByteArray out;
    out.reserve(m_text.size());
    std::size_t kept = 0;
    forEachValue(where, [&](const ParsedValue& value) {
        if (fold(value.name) != foldedName)
            return;
        append(out, text, kept, value.begin);
        kept = value.next;
    });
    if (kept == 0)
        return std::nullopt;
    append(out, text, kept, text.size());
    return out;
}

} // namespace wine

WineRegistryDump dumpWineRegistry(const std::string& text)
{
    using namespace wine;
    const Document document(QByteArray::fromStdString(text));
    const std::string_view view = document.view();
    WineRegistryDump dump;
    std::vector<QString> seenKeys;
    std::size_t pos = 0;
    while (pos < view.size()) {
        const Line line = lineAt(view, pos);
        pos = line.next;
        if (line.end == line.begin || view[line.begin] != '[')
            continue;
        std::string_view header = view.substr(line.begin + 1, line.end - line.begin - 1);
        const auto key = decodeText(header, ']');
        if (!key)
            continue;
        const QString folded = fold(*key);
        if (std::find(seenKeys.begin(), seenKeys.end(), folded) != seenKeys.end())
            continue;
        seenKeys.push_back(folded);
        const KeyLocation where = document.locate(folded);
        if (!where.hasSection)
            continue;
        document.forEachValue(where, [&](const ParsedValue& named) {
            const auto value = document.findValue(where, fold(named.name), true);
            WineValue entry;
            entry.status = !value ? kFileNotFound : value->valid ? kSuccess : kInvalidData;
            if (value && value->valid) {
                entry.type = value->type;
                entry.data = value->data;
            }
            dump[{ toUtf8(folded), toUtf8(fold(named.name)) }] = entry;
        });
    }
    return dump;
}

} // namespace rostrel::registry
