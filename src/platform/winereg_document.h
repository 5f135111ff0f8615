#pragma once
// A system.reg text as keys and their values: sections "[Key\\Path] stamp" that each hold one
// value per line. Lookups read the text as it is; an edit gives the new text, in which only the
// lines of the one value changed (or a section added) differ, byte for byte.

#include "platform/winereg_format.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace rostrel::registry::wine {

// Where a key is in the text.
struct KeyLocation
{
    bool present = false; // as a section of its own or as the parent of one
    bool hasSection = false;
    std::size_t bodyBegin = 0; // first line after the header
    std::size_t bodyEnd = 0; // start of the next section, or the end of the text
};

class Document
{
public:
    explicit Document(QByteArray text = {})
        : m_text(std::move(text))
    { }

    const QByteArray& text() const { return m_text; }
    std::string_view view() const { return { m_text.constData(), static_cast<std::size_t>(m_text.size()) }; }

    // The key's first section, by its folded path.
    KeyLocation locate(const QString& foldedPath) const;
    // Calls visit with each value of the section, in file order, without its data.
    template <typename Visit> void forEachValue(const KeyLocation& where, Visit visit) const;
    // The value of that folded name (the last one, should a broken file hold it twice).
    std::optional<ParsedValue> findValue(const KeyLocation& where, const QString& foldedName, bool withData) const;

    // The text with the value stored in a present key: in place of the value of that name (whose
    // name keeps its spelling), else at the end of the key's section, else in a new section headed
    // keyPath at the end of the text. data is as setValue takes it.
    QByteArray withValue(const KeyLocation& where, const QString& keyPath, const QString& name, unsigned long type,
        const std::string& data) const;
    // The text without any line of that folded name; nullopt when the key's section holds none.
    std::optional<QByteArray> withoutValue(const KeyLocation& where, const QString& foldedName) const;

private:
    std::size_t insertionPoint(const KeyLocation& where) const;

    QByteArray m_text;
};

template <typename Visit> void Document::forEachValue(const KeyLocation& where, Visit visit) const
{
    const std::string_view text = view();
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

} // namespace rostrel::registry::wine
