#include "platform/winereg_format.h"

#include "core/registry.h"

#include <QList>
#include <QtEndian>

namespace rostrel::registry::wine {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// wineserver's one-letter escapes and the code units they stand for; kEscapes is the same table
// seen from the unit's side.
constexpr std::string_view kEscapeLetters = "abefnrtv";
constexpr char16_t kEscapeUnits[] = { 0x07, 0x08, 0x1B, 0x0C, 0x0A, 0x0D, 0x09, 0x0B };
constexpr char kEscapes[33] = ".......abtnvfr.............e....";

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

QByteArray number(qulonglong value, int base, int width = 0)
{
    return QByteArray::number(value, base).rightJustified(width, '0');
}

bool isStringType(unsigned long type)
{
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// The escapes are those wineserver reads: \a \b \e \f \n \r \t \v, \x with up to four hex digits,
// up to three octal digits; any other escaped character stands for itself.
Step nextUnitAt(const char*& p, const char* end, char terminator, char16_t& out)
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
    if (const std::size_t letter = kEscapeLetters.find(*p); letter != kNone) {
        out = kEscapeUnits[letter];
    } else if (*p == 'x') {
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
    } else if (*p >= '0' && *p <= '7') {
        unsigned value = 0;
        for (int n = 0; n < 3 && p != end && *p >= '0' && *p <= '7'; ++n, ++p)
            value = value * 8 + static_cast<unsigned>(*p - '0');
        out = static_cast<char16_t>(value);
        return Step::Unit;
    } else {
        out = static_cast<unsigned char>(*p);
    }
    ++p;
    return Step::Unit;
}

std::optional<QString> decodeAt(const char*& p, const char* end, char terminator)
{
    QString units;
    for (;;) {
        char16_t u = 0;
        switch (nextUnitAt(p, end, terminator, u)) {
        case Step::Unit:
            units.append(QChar(u));
            break;
        case Step::End:
            return units;
        case Step::Broken:
            return std::nullopt;
        }
    }
}

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

// Comma-separated bytes from p on; a backslash that ends a line carries them on to the next, as
// wineserver reads them, but never into the next section, whose header must stay a header.
bool readHexBytes(std::string_view text, const char* p, const char* end, ParsedValue& value, std::string& bytes)
{
    for (;;) {
        p = skipSpaces(p, end);
        if (p == end)
            return true;
        if (*p == '\\') {
            if (skipSpaces(p + 1, end) != end || value.next >= text.size() || text[value.next] == '[')
                return false;
            const Line more = lineAt(text, value.next);
            value.next = more.next;
            p = text.data() + more.begin;
            end = text.data() + more.end;
            continue;
        }
        if (!isHexDigit(*p))
            return false;
        int byte = hexValue(*p++);
        if (p != end && isHexDigit(*p))
            byte = byte * 16 + hexValue(*p++);
        bytes.push_back(static_cast<char>(byte));
        p = skipSpaces(p, end);
        if (p != end && *p == ',')
            ++p;
    }
}

} // namespace

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

QString fold(QString units)
{
    for (QChar& u : units)
        u = QChar(foldUnit(u.unicode()));
    return units;
}

std::string toUtf8(QStringView units)
{
    if (units.isValidUtf16())
        return units.toUtf8().toStdString();
    // QString's UTF-8 writes '?' for a lone surrogate, where UCS-4 gives U+FFFD as this always
    // did. QString::fromUcs4 would drop a leading U+FEFF, so back one code point at a time.
    QString replaced;
    replaced.reserve(units.size());
    for (const uint point : units.toUcs4())
        replaced += QChar::fromUcs4(point);
    return replaced.toUtf8().toStdString();
}

Step nextEscapedUnit(std::string_view& rest, char terminator, char16_t& unit)
{
    const char* p = rest.data();
    const Step step = nextUnitAt(p, rest.data() + rest.size(), terminator, unit);
    rest.remove_prefix(static_cast<std::size_t>(p - rest.data()));
    return step;
}

std::optional<QString> decodeText(std::string_view& rest, char terminator)
{
    const char* p = rest.data();
    auto units = decodeAt(p, rest.data() + rest.size(), terminator);
    rest.remove_prefix(static_cast<std::size_t>(p - rest.data()));
    return units;
}

void appendEscaped(QByteArray& out, QStringView units, char escape1, char escape2)
{
    for (qsizetype i = 0; i < units.size(); ++i) {
        const char16_t u = units[i].unicode();
        const bool hasNext = i + 1 < units.size();
        const char16_t next = hasNext ? units[i + 1].unicode() : 0;
        if (u > 127) {
            // Four digits when a hex digit follows, so that it is not read as part of the escape.
            const bool padded = hasNext && next < 128 && isHexDigit(static_cast<char>(next));
            out += "\\x" + number(u, 16, padded ? 4 : 0);
        } else if (u < 32) {
            if (kEscapes[u] != '.') {
                out += '\\';
                out += kEscapes[u];
            } else {
                const bool padded = hasNext && next >= '0' && next <= '7';
                out += '\\';
                out += number(u, 8, padded ? 3 : 0);
            }
        } else {
            if (u == '\\' || u == escape1 || u == escape2)
                out += '\\';
            out += static_cast<char>(u);
        }
    }
}

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
        auto name = decodeAt(p, end, '"');
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
        auto units = decodeAt(p, end, '"');
        if (!units)
            return value;
        if (withData) {
            units->append(QChar(0)); // wineserver writes only terminated strings in this form
            value.data = toUtf8(*units);
        }
        value.type = type;
        value.valid = true;
        return value;
    }
    if (startsWith(p, end, "dword:")) {
        p += 6;
        quint32 dword = 0;
        int digits = 0;
        while (p != end && isHexDigit(*p) && digits < 8) {
            dword = dword * 16 + static_cast<quint32>(hexValue(*p++));
            ++digits;
        }
        if (digits == 0 || skipSpaces(p, end) != end)
            return value;
        value.type = kRegDword;
        value.data.resize(4);
        qToLittleEndian(dword, value.data.data());
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
    std::string bytes;
    if (!readHexBytes(text, p, end, value, bytes))
        return value;
    value.type = type;
    if (withData) {
        if (isStringType(type)) {
            // UTF-16LE; an odd last byte is no code unit.
            QString units(static_cast<qsizetype>(bytes.size() / 2), Qt::Uninitialized);
            qFromLittleEndian<char16_t>(bytes.data(), units.size(), units.data());
            value.data = toUtf8(units);
        } else {
            value.data = std::move(bytes);
        }
    }
    value.valid = true;
    return value;
}

QByteArray encodeValueLine(QStringView name, unsigned long type, const std::string& data)
{
    QByteArray line;
    if (name.isEmpty()) {
        line += "@=";
    } else {
        line += '"';
        appendEscaped(line, name, '"', '"');
        line += "\"=";
    }
    std::string bytes = data;
    if (isStringType(type)) {
        QString units = QString::fromStdString(data);
        if (!units.isEmpty() && units.back() == QChar(0)) {
            units.chop(1);
            if (type != kRegSz)
                line += "str(" + number(type, 16) + "):";
            line += '"';
            appendEscaped(line, units, '"', '"');
            line += "\"\n";
            return line;
        }
        // Not terminated: only the raw form keeps it exactly.
        bytes.resize(static_cast<std::size_t>(units.size()) * 2);
        qToLittleEndian<char16_t>(units.utf16(), units.size(), bytes.data());
    } else if (type == kRegDword && data.size() == 4) {
        line += "dword:" + number(qFromLittleEndian<quint32>(data.data()), 16, 8) + '\n';
        return line;
    }
    if (type == kRegBinary)
        line += "hex:";
    else
        line += "hex(" + number(type, 16) + "):";
    std::size_t count = static_cast<std::size_t>(line.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        line += number(static_cast<unsigned char>(bytes[i]), 16, 2);
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

} // namespace rostrel::registry::wine
