// HKEY_LOCAL_MACHINE as a Wine prefix keeps it: the text file system.reg, in the format that
// wineserver writes. Sections "[Key\\Path] stamp" hold one value per line; texts are UTF-16 code
// units written as ASCII with C-like escapes. Every open reads the file anew, so a change made by
// Wine while the program runs is seen at the next read.

#include "platform/backends.h"

#include <QChar>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace rostrel::registry {
namespace {

using Units = std::u16string;
constexpr std::size_t kNone = std::string_view::npos;
// No prefix registry comes near this; a bigger file is not a registry we should load whole.
constexpr qint64 kMaxFileSize = qint64(256) * 1024 * 1024;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

// Registry names compare without regard to case, as Windows upper-cases them.
char16_t foldUnit(char16_t u)
{
    if (u < 0x80)
        return (u >= 'a' && u <= 'z') ? static_cast<char16_t>(u - ('a' - 'A')) : u;
    const char32_t upper = QChar::toUpper(static_cast<char32_t>(u));
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : u;
}

Units fold(Units units)
{
    for (auto& u : units)
        u = foldUnit(u);
    return units;
}

Units toUnits(const std::string& utf8)
{
    const QString s = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    return Units(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size()));
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// UTF-16 code units to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string toUtf8(const Units& units)
{
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

// ---- Reading Wine's escaped text -------------------------------------------------------

enum class Step
{
    Unit,
    End,
    Broken
};

// One code unit of escaped text at p, or the unescaped terminator. The escapes are those
// wineserver reads: \a \b \e \f \n \r \t \v, \x with up to four hex digits, up to three octal
// digits; any other escaped character stands for itself.
Step nextUnit(const char*& p, const char* end, char terminator, char16_t& out)
{
    if (p == end)
        return Step::Broken;
    const char c = *p;
    if (c == terminator) {
        ++p;
        return Step::End;
    }
    if (c != '\\') {
        out = static_cast<unsigned char>(c);
        ++p;
        return Step::Unit;
    }
    if (++p == end)
        return Step::Broken;
    switch (*p) {
    case 'a':
        out = 0x07;
        break;
    case 'b':
        out = 0x08;
        break;
    case 'e':
        out = 0x1B;
        break;
    case 'f':
        out = 0x0C;
        break;
    case 'n':
        out = 0x0A;
        break;
    case 'r':
        out = 0x0D;
        break;
    case 't':
        out = 0x09;
        break;
    case 'v':
        out = 0x0B;
        break;
    case 'x': {
        ++p;
        if (p == end || !isHexDigit(*p)) {
            out = 'x';
            return Step::Unit;
        }
        unsigned value = 0;
        for (int n = 0; n < 4 && p != end && isHexDigit(*p); ++n, ++p)
            value = value * 16 + static_cast<unsigned>(hexValue(*p));
        out = static_cast<char16_t>(value);
        return Step::Unit;
    }
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7': {
        unsigned value = 0;
        for (int n = 0; n < 3 && p != end && *p >= '0' && *p <= '7'; ++n, ++p)
            value = value * 8 + static_cast<unsigned>(*p - '0');
        out = static_cast<char16_t>(value);
        return Step::Unit;
    }
    default:
        out = static_cast<unsigned char>(*p);
        break;
    }
    ++p;
    return Step::Unit;
}

// Escaped text up to its terminator; nullopt when the line ends first.
std::optional<Units> decodeText(const char*& p, const char* end, char terminator)
{
    Units units;
    for (;;) {
        char16_t u = 0;
        switch (nextUnit(p, end, terminator, u)) {
        case Step::Unit:
            units.push_back(u);
            break;
        case Step::End:
            return units;
        case Step::Broken:
            return std::nullopt;
        }
    }
}

// ---- Writing it the way wineserver does -------------------------------------------------

void appendEscaped(std::string& out, const Units& units, char escape1, char escape2)
{
    static constexpr char kEscapes[33] = ".......abtnvfr.............e....";
    char buffer[16];
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        const bool hasNext = i + 1 < units.size();
        if (u > 127) {
            // Four digits when a hex digit follows, so that it is not read as part of the escape.
            const bool padded = hasNext && units[i + 1] < 128 && isHexDigit(static_cast<char>(units[i + 1]));
            std::snprintf(buffer, sizeof buffer, padded ? "\\x%04x" : "\\x%x", static_cast<unsigned>(u));
            out += buffer;
        } else if (u < 32) {
            if (kEscapes[u] != '.') {
                out.push_back('\\');
                out.push_back(kEscapes[u]);
            } else {
                const bool padded = hasNext && units[i + 1] >= '0' && units[i + 1] <= '7';
                std::snprintf(buffer, sizeof buffer, padded ? "\\%03o" : "\\%o", static_cast<unsigned>(u));
                out += buffer;
            }
        } else {
            if (u == '\\' || u == escape1 || u == escape2)
                out.push_back('\\');
            out.push_back(static_cast<char>(u));
        }
    }
}

bool isStringType(unsigned long type)
{
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string encodeValueLine(const Units& name, unsigned long type, const std::string& data)
{
    // Appended, not assigned: GCC 12 takes an assignment of a literal here for an overlapping copy
    // (-Wrestrict) in optimised builds.
    std::string line;
    if (name.empty()) {
        line.append("@=");
    } else {
        line.push_back('"');
        appendEscaped(line, name, '"', '"');
        line.append("\"=");
    }
    char buffer[32];
    std::string bytes = data;
    if (isStringType(type)) {
        Units units = toUnits(data);
        if (!units.empty() && units.back() == 0) {
            units.pop_back();
            if (type != kRegSz) {
                std::snprintf(buffer, sizeof buffer, "str(%lx):", type);
                line += buffer;
            }
            line += '"';
            appendEscaped(line, units, '"', '"');
            line += "\"\n";
            return line;
        }
        // Not terminated: only the raw form keeps it exactly.
        bytes.clear();
        for (const char16_t u : units) {
            bytes.push_back(static_cast<char>(u & 0xFF));
            bytes.push_back(static_cast<char>(u >> 8));
        }
    } else if (type == kRegDword && data.size() == 4) {
        std::uint32_t number = 0;
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
        std::snprintf(buffer, sizeof buffer, "dword:%08x\n", static_cast<unsigned>(number));
        line += buffer;
        return line;
    }
    if (type == kRegBinary) {
        line += "hex:";
    } else {
        std::snprintf(buffer, sizeof buffer, "hex(%lx):", type);
        line += buffer;
    }
    std::size_t count = line.size();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
        line += buffer;
        count += 2;
        if (i + 1 < bytes.size()) {
            line += ',';
            if (++count > 76) {
                line += "\\\n  ";
                count = 2;
            }
        }
    }
    line += '\n';
    return line;
}

// ---- The file's structure -----------------------------------------------------------------

struct Line
{
    std::size_t begin = 0;
    std::size_t end = 0; // before the line end (and a CR before it)
    std::size_t next = 0; // after the line end
};

Line lineAt(std::string_view text, std::size_t pos)
{
    Line line;
    line.begin = pos;
    const std::size_t nl = text.find('\n', pos);
    line.next = nl == kNone ? text.size() : nl + 1;
    line.end = nl == kNone ? text.size() : nl;
    if (line.end > line.begin && text[line.end - 1] == '\r')
        --line.end;
    return line;
}

enum class HeaderMatch
{
    None,
    Exact,
    Ancestor
};

// Compares a "[Key\\Path] stamp" line with a folded key path, stopping at the first difference
// (most sections differ within a few characters).
HeaderMatch matchHeader(std::string_view text, const Line& line, const Units& folded)
{
    const char* p = text.data() + line.begin + 1;
    const char* end = text.data() + line.end;
    std::size_t i = 0;
    for (;;) {
        char16_t u = 0;
        const Step step = nextUnit(p, end, ']', u);
        if (step == Step::Broken)
            return HeaderMatch::None;
        if (step == Step::End)
            return i == folded.size() ? HeaderMatch::Exact : HeaderMatch::None;
        if (i == folded.size())
            return (u == '\\' && !folded.empty()) ? HeaderMatch::Ancestor : HeaderMatch::None;
        if (foldUnit(u) != folded[i])
            return HeaderMatch::None;
        ++i;
    }
}

struct KeyLocation
{
    bool present = false; // as a section of its own or as the parent of one
    bool hasSection = false;
    std::size_t bodyBegin = 0; // first line after the header
    std::size_t bodyEnd = 0; // start of the next section, or the end of the file
};

KeyLocation locateKey(std::string_view text, const Units& folded)
{
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
        const HeaderMatch match = matchHeader(text, line, folded);
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

struct ParsedValue
{
    Units name;
    std::size_t begin = 0;
    std::size_t next = 0; // after the value's last line (hex data may run over several)
    bool valid = false;
    unsigned long type = 0;
    std::string data; // as queryValue hands it out
};

const char* skipSpaces(const char* p, const char* end)
{
    while (p != end && (*p == ' ' || *p == '\t'))
        ++p;
    return p;
}

bool startsWith(const char* p, const char* end, std::string_view prefix)
{
    return static_cast<std::size_t>(end - p) >= prefix.size() && std::string_view(p, prefix.size()) == prefix;
}

// Reads "(N):" after "str" or "hex"; the type in hex digits.
bool readTypeSuffix(const char*& p, const char* end, unsigned long& type)
{
    if (p == end || *p != '(')
        return false;
    ++p;
    unsigned long value = 0;
    int digits = 0;
    while (p != end && isHexDigit(*p) && digits < 8) {
        value = value * 16 + static_cast<unsigned long>(hexValue(*p++));
        ++digits;
    }
    if (digits == 0 || !startsWith(p, end, "):"))
        return false;
    p += 2;
    type = value;
    return true;
}

// Parses the value that starts at `line`; only names are decoded unless withData is set.
std::optional<ParsedValue> parseValue(std::string_view text, const Line& line, bool withData)
{
    const char* p = text.data() + line.begin;
    const char* end = text.data() + line.end;
    ParsedValue value;
    value.begin = line.begin;
    value.next = line.next;
    if (p == end)
        return std::nullopt;
    if (*p == '@') {
        ++p;
    } else if (*p == '"') {
        ++p;
        auto name = decodeText(p, end, '"');
        if (!name)
            return std::nullopt;
        value.name = std::move(*name);
    } else {
        return std::nullopt;
    }
    p = skipSpaces(p, end);
    if (p == end || *p != '=')
        return std::nullopt;
    p = skipSpaces(p + 1, end);

    unsigned long type = kRegSz;
    bool isString = false;
    if (p != end && *p == '"') {
        isString = true;
    } else if (startsWith(p, end, "str:\"")) {
        p += 4;
        isString = true;
    } else if (startsWith(p, end, "str(")) {
        p += 3;
        if (!readTypeSuffix(p, end, type) || p == end || *p != '"')
            return value; // malformed: a value by name, but nothing readable
        isString = true;
    }
    if (isString) {
        ++p;
        auto units = decodeText(p, end, '"');
        if (!units)
            return value;
        if (withData) {
            units->push_back(0); // wineserver writes only terminated strings in this form
            value.data = toUtf8(*units);
        }
        value.type = type;
        value.valid = true;
        return value;
    }
    if (startsWith(p, end, "dword:")) {
        p += 6;
        std::uint32_t number = 0;
        int digits = 0;
        while (p != end && isHexDigit(*p) && digits < 8) {
            number = number * 16 + static_cast<std::uint32_t>(hexValue(*p++));
            ++digits;
        }
        if (digits == 0 || skipSpaces(p, end) != end)
            return value;
        value.type = kRegDword;
        for (int i = 0; i < 4; ++i)
            value.data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
        value.valid = true;
        return value;
    }
    if (startsWith(p, end, "hex:")) {
        p += 4;
        type = kRegBinary;
    } else if (startsWith(p, end, "hex(")) {
        p += 3;
        if (!readTypeSuffix(p, end, type))
            return value;
    } else {
        return value;
    }
    // Comma-separated bytes; a backslash at the end of a line carries them on to the next.
    std::string bytes;
    bool good = true;
    for (;;) {
        p = skipSpaces(p, end);
        if (p == end)
            break;
        if (*p == '\\') {
            // Only a backslash that ends the line carries the data on, as wineserver reads it; and
            // never into the next section, whose header must stay a header.
            if (skipSpaces(p + 1, end) != end || value.next >= text.size() || text[value.next] == '[') {
                good = false;
                break;
            }
            const Line more = lineAt(text, value.next);
            value.next = more.next;
            p = text.data() + more.begin;
            end = text.data() + more.end;
            continue;
        }
        if (!isHexDigit(*p)) {
            good = false;
            break;
        }
        int byte = hexValue(*p++);
        if (p != end && isHexDigit(*p))
            byte = byte * 16 + hexValue(*p++);
        bytes.push_back(static_cast<char>(byte));
        p = skipSpaces(p, end);
        if (p != end && *p == ',')
            ++p;
    }
    if (!good)
        return value;
    value.type = type;
    if (withData) {
        if (isStringType(type)) {
            Units units;
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
                units.push_back(static_cast<char16_t>(
                    static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
            value.data = toUtf8(units);
        } else {
            value.data = std::move(bytes);
        }
    }
    value.valid = true;
    return value;
}

// The value of that name in a section (the last one, should a broken file hold it twice).
// Calls visit with each value of the section, in file order, without its data.
template <typename Visit> void forEachValue(std::string_view text, const KeyLocation& where, Visit visit)
{
    std::size_t pos = where.bodyBegin;
    while (pos < where.bodyEnd) {
        const Line line = lineAt(text, pos);
        pos = line.next;
        if (line.begin == line.end || (text[line.begin] != '"' && text[line.begin] != '@'))
            continue;
        auto value = parseValue(text, line, false);
        if (!value)
            continue;
        pos = value->next;
        visit(std::move(*value));
    }
}

std::optional<ParsedValue> findValue(
    std::string_view text, const KeyLocation& where, const Units& foldedName, bool withData)
{
    std::optional<ParsedValue> found;
    forEachValue(text, where, [&](ParsedValue value) {
        if (fold(value.name) == foldedName)
            found = std::move(value);
    });
    if (found && withData)
        found = parseValue(text, lineAt(text, found->begin), true);
    return found;
}

// Whether the last line of the text ends in a backslash, which carries hex data on to the next.
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

// Where a new value goes: after the section's last line that is not blank, and after the whole of
// the value that line belongs to (hex data carried on over a blank line would take in a line
// written right after it). Before that value when its data is announced to go on and never does:
// any line after it would be taken in, and it must stay as unreadable as it was.
std::size_t insertionPoint(std::string_view text, const KeyLocation& where)
{
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

struct OpenKey
{
    Units path; // as asked for (in the view that was found), for a section still to be written
    Units folded;
    unsigned long access = 0;
    QByteArray snapshot; // the file as it was when the key was opened
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
        QByteArray text;
        if (const long status = readFile(text); status != kSuccess)
            return status;
        const std::string_view view(text.constData(), static_cast<std::size_t>(text.size()));
        for (const Units& path : viewsOf(keyPath)) {
            OpenKey open;
            open.path = path;
            open.folded = fold(path);
            open.where = locateKey(view, open.folded);
            if (!open.where.present)
                continue;
            open.access = access;
            open.snapshot = text;
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
        const std::string_view view(open.snapshot.constData(), static_cast<std::size_t>(open.snapshot.size()));
        const auto value = findValue(view, open.where, fold(toUnits(valueName)), true);
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
        return change(key, [&](std::string_view text, const KeyLocation& where, OpenKey& open, QByteArray& out) {
            const Units name = toUnits(valueName);
            const auto old = where.hasSection ? findValue(text, where, fold(name), false) : std::nullopt;
            if (old) {
                // The name keeps the spelling it has in the file.
                const std::string line = encodeValueLine(old->name, type, data);
                out.append(text.data(), static_cast<qsizetype>(old->begin));
                out.append(line.data(), static_cast<qsizetype>(line.size()));
                out.append(text.data() + old->next, static_cast<qsizetype>(text.size() - old->next));
                return kSuccess;
            }
            const std::string line = encodeValueLine(name, type, data);
            if (where.hasSection) {
                const std::size_t point = insertionPoint(text, where);
                out.append(text.data(), static_cast<qsizetype>(point));
                if (point > 0 && text[point - 1] != '\n')
                    out.append('\n');
                out.append(line.data(), static_cast<qsizetype>(line.size()));
                out.append(text.data() + point, static_cast<qsizetype>(text.size() - point));
                return kSuccess;
            }
            // The key exists only as the parent of other sections: it gets one of its own.
            out.append(text.data(), static_cast<qsizetype>(text.size()));
            if (!out.isEmpty() && !out.endsWith('\n'))
                out.append('\n');
            // Right after data announced to go on, the header must come first, so that it ends
            // that data as it did the file.
            const std::string header = sectionHeader(open.path);
            out.append(header.c_str() + (endsInContinuation(text) ? 1 : 0));
            out.append(line.data(), static_cast<qsizetype>(line.size()));
            return kSuccess;
        });
    }

    long deleteValue(KeyHandle key, const std::string& valueName) override
    {
        return change(key, [&](std::string_view text, const KeyLocation& where, OpenKey&, QByteArray& out) {
            if (!where.hasSection)
                return kFileNotFound;
            // Every line of that name goes: with one left behind (a file edited by hand may hold
            // a name twice), the value would still read after it was deleted.
            const Units name = fold(toUnits(valueName));
            std::size_t kept = 0;
            forEachValue(text, where, [&](const ParsedValue& value) {
                if (fold(value.name) != name)
                    return;
                out.append(text.data() + kept, static_cast<qsizetype>(value.begin - kept));
                kept = value.next;
            });
            if (kept == 0)
                return kFileNotFound;
            out.append(text.data() + kept, static_cast<qsizetype>(text.size() - kept));
            return kSuccess;
        });
    }

    long closeKey(KeyHandle key) override { return m_keys.erase(key) ? kSuccess : kInvalidHandle; }

private:
    long readFile(QByteArray& text) const
    {
        QFile file(m_path);
        const QFileInfo info(m_path);
        if (!info.exists())
            return kFileNotFound;
        if (!info.isFile() || info.size() > kMaxFileSize || !file.open(QIODevice::ReadOnly))
            return kAccessDenied;
        text = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return kAccessDenied;
        return kSuccess;
    }

    // A key under Software\ is looked for in the 32-bit view first, which is where the game's
    // installer writes; a prefix made for 32-bit Windows has only the one view.
    static std::vector<Units> viewsOf(const std::string& keyPath)
    {
        std::vector<Units> parts;
        const Units all = toUnits(keyPath);
        Units part;
        for (const char16_t u : all) {
            if (u == '\\') {
                if (!part.empty())
                    parts.push_back(part);
                part.clear();
            } else {
                part.push_back(u);
            }
        }
        if (!part.empty())
            parts.push_back(part);

        auto join = [](const std::vector<Units>& list) {
            Units path;
            for (const auto& p : list) {
                if (!path.empty())
                    path.push_back('\\');
                path += p;
            }
            return path;
        };
        std::vector<Units> views;
        if (!parts.empty() && fold(parts[0]) == u"SOFTWARE" && (parts.size() < 2 || fold(parts[1]) != u"WOW6432NODE")) {
            std::vector<Units> redirected = parts;
            redirected.insert(redirected.begin() + 1, u"Wow6432Node");
            views.push_back(join(redirected));
        }
        views.push_back(join(parts));
        return views;
    }

    static std::string sectionHeader(const Units& path)
    {
        std::string header = "\n[";
        appendEscaped(header, path, '[', ']');
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // FILETIME: 100 ns steps since 1601.
        const quint64 filetime = quint64(now.toMSecsSinceEpoch()) * 10000 + 116444736000000000ULL;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "] %lld\n#time=%llx\n", static_cast<long long>(now.toSecsSinceEpoch()),
            static_cast<unsigned long long>(filetime));
        header += buffer;
        return header;
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
        QByteArray text;
        if (const long status = readFile(text); status != kSuccess)
            return status;
        const std::string_view view(text.constData(), static_cast<std::size_t>(text.size()));
        const KeyLocation where = locateKey(view, open.folded);
        if (!where.present)
            return kFileNotFound;
        QByteArray out;
        out.reserve(text.size() + 256);
        if (const long status = edit(view, where, open, out); status != kSuccess)
            return status;
        if (const long status = writeFile(out); status != kSuccess)
            return status;
        open.snapshot = out;
        open.where = locateKey(std::string_view(out.constData(), static_cast<std::size_t>(out.size())), open.folded);
        return kSuccess;
    }

    long writeFile(const QByteArray& text) const
    {
        QSaveFile file(m_path);
        // Unbuffered: a write the system cuts short must fail here, not be flushed silently and
        // committed truncated.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return kAccessDenied;
        if (file.write(text) != text.size()) {
            file.cancelWriting();
            return kWriteFault;
        }
        return file.commit() ? kSuccess : kWriteFault;
    }

    QString m_path;
    std::map<KeyHandle, OpenKey> m_keys;
    KeyHandle m_nextHandle = 1;
};

} // namespace

WineRegistryDump dumpWineRegistry(const std::string& text)
{
    const std::string_view view(text);
    WineRegistryDump dump;
    std::vector<Units> seenKeys;
    std::size_t pos = 0;
    while (pos < view.size()) {
        const Line line = lineAt(view, pos);
        pos = line.next;
        if (line.end == line.begin || view[line.begin] != '[')
            continue;
        const char* p = view.data() + line.begin + 1;
        auto key = decodeText(p, view.data() + line.end, ']');
        if (!key)
            continue;
        const Units folded = fold(*key);
        if (std::find(seenKeys.begin(), seenKeys.end(), folded) != seenKeys.end())
            continue;
        seenKeys.push_back(folded);
        const KeyLocation where = locateKey(view, folded);
        if (!where.hasSection)
            continue;
        forEachValue(view, where, [&](const ParsedValue& named) {
            const auto value = findValue(view, where, fold(named.name), true);
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

std::unique_ptr<RegistryCalls> makeWineRegistryCalls(const std::string& systemRegPath)
{
    return std::make_unique<WineRegistryCalls>(systemRegPath);
}

std::unique_ptr<Registry> makeWineRegistry(const std::string& systemRegPath)
{
    return makeRegistry(makeWineRegistryCalls(systemRegPath));
}

} // namespace rostrel::registry
