#pragma once
// The text of a Wine registry file as wineserver writes it: names and strings are UTF-16 code units
// written as ASCII with C-like escapes, and each value is a line `"name"=data` whose hex data may
// carry on over more lines. Code units are held in QStrings as they are: a lone surrogate in the
// file stays one until it is handed out as UTF-8.

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rostrel::registry::wine {

// One line of the text: [begin, end) without its line end (nor a CR before it); next is after it.
struct Line
{
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
};
Line lineAt(std::string_view text, std::size_t pos);

// Registry names compare without regard to case, as Windows upper-cases them: unit by unit, so a
// name never changes length.
inline char16_t foldUnit(char16_t unit)
{
    if (unit < 0x80)
        return (unit >= 'a' && unit <= 'z') ? static_cast<char16_t>(unit - ('a' - 'A')) : unit;
    const char32_t upper = QChar::toUpper(static_cast<char32_t>(unit));
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}
QString fold(QString units);

// The routines' texts are UTF-8; a surrogate without its partner becomes U+FFFD.
std::string toUtf8(QStringView units);

enum class Step
{
    Unit,
    End,
    Broken
};
// Takes one code unit of escaped text, or the unescaped terminator, from the front of rest.
// Broken when rest ends first.
Step nextEscapedUnit(std::string_view& rest, char terminator, char16_t& unit);
// nextEscapedUnit with plain characters taken inline: finding a key compares every section's header
// unit by unit.
inline Step nextUnit(std::string_view& rest, char terminator, char16_t& unit)
{
    if (rest.empty() || rest.front() == '\\' || rest.front() == terminator)
        return nextEscapedUnit(rest, terminator, unit);
    unit = static_cast<unsigned char>(rest.front());
    rest.remove_prefix(1);
    return Step::Unit;
}
// Escaped text up to its terminator, both taken from rest; nullopt when rest ends first.
std::optional<QString> decodeText(std::string_view& rest, char terminator);
// Appends units escaped as wineserver escapes them; a backslash goes before escape1 and escape2.
void appendEscaped(QByteArray& out, QStringView units, char escape1, char escape2);

struct ParsedValue
{
    QString name; // empty for the default value "@"
    std::size_t begin = 0;
    std::size_t next = 0; // after the value's last line
    bool valid = false; // false: a value by that name, but its data cannot be read
    unsigned long type = 0;
    std::string data; // as queryValue hands it out
};
// Parses the value whose first line is `line`, following hex data onto further lines of text.
// Only the name is decoded unless withData is set. Nullopt when the line is no value.
std::optional<ParsedValue> parseValue(std::string_view text, const Line& line, bool withData);
// The line(s) a value is written as, with the final line end. data is as setValue takes it.
QByteArray encodeValueLine(QStringView name, unsigned long type, const std::string& data);

} // namespace rostrel::registry::wine
