#include "guild-site/multipart.h"

#include <QList>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

namespace {

const QByteArray kCrLf = QByteArrayLiteral("\r\n");

bool isSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isSpaceOrTab(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isSpaceOrTab(text.back()))
        text.chop(1);
    return text;
}

bool equalsIgnoringCase(QByteArrayView a, QByteArrayView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Splits header parameters at any of the given separators that lie outside quotes.
QList<QByteArrayView> splitOutsideQuotes(QByteArrayView text, QByteArrayView separators)
{
    QList<QByteArrayView> pieces;
    bool quoted = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && separators.contains(c)) {
            pieces.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    pieces.append(text.sliced(start));
    return pieces;
}

QByteArray unquoted(QByteArrayView value)
{
    value = trimmed(value);
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return value.toByteArray();
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size())
            ++i;
        out.append(value[i]);
    }
    return out;
}

// name=value parameters after the first piece of a header value.
std::optional<QByteArray> headerParameter(const QList<QByteArrayView>& pieces, QByteArrayView name)
{
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QByteArrayView piece = pieces[i];
        const qsizetype eq = piece.indexOf('=');
        if (eq < 0)
            continue;
        if (equalsIgnoringCase(trimmed(piece.first(eq)), name))
            return unquoted(piece.sliced(eq + 1));
    }
    return std::nullopt;
}

// The form-data name of a part, from its Content-Disposition header.
std::optional<QByteArray> partName(QByteArrayView headers)
{
    qsizetype pos = 0;
    while (pos <= headers.size()) {
        qsizetype end = headers.indexOf(kCrLf, pos);
        if (end < 0)
            end = headers.size();
        const QByteArrayView line = headers.sliced(pos, end - pos);
        pos = end + 2;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || !equalsIgnoringCase(trimmed(line.first(colon)), "content-disposition"))
            continue;
        const auto pieces = splitOutsideQuotes(line.sliced(colon + 1), ";");
        if (!equalsIgnoringCase(trimmed(pieces.constFirst()), "form-data"))
            return std::nullopt;
        return headerParameter(pieces, "name");
    }
    return std::nullopt;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%XX" is a byte; with plusIsTab, "+" is a tab as the program escapes form fields.
std::optional<QByteArray> unescaped(QByteArrayView text, bool plusIsTab)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plusIsTab) {
            out.append('\t');
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out.append(char(high * 16 + low));
            i += 2;
        } else {
            out.append(c);
        }
    }
    return out;
}

// Whether what follows a delimiter makes it a boundary line: "--" closes the body, otherwise
// optional blanks and CR LF must come. Text that merely begins like one ("--AaB03xy") is content.
bool endsBoundaryLine(QByteArrayView rest)
{
    if (rest.startsWith("--"))
        return true;
    while (!rest.isEmpty() && isSpaceOrTab(rest.front()))
        rest = rest.sliced(1);
    return rest.startsWith(kCrLf);
}

// Where the CR LF before the next boundary line starts, from `from` on; -1 when none comes.
qsizetype findBoundaryLine(QByteArrayView body, QByteArrayView crlfDelimiter, qsizetype from)
{
    for (qsizetype at = body.indexOf(crlfDelimiter, from); at >= 0; at = body.indexOf(crlfDelimiter, at + 1)) {
        if (endsBoundaryLine(body.sliced(at + crlfDelimiter.size())))
            return at;
    }
    return -1;
}

} // namespace

QByteArrayView mediaType(QByteArrayView contentType)
{
    return trimmed(splitOutsideQuotes(contentType, ",;").constFirst());
}

QByteArray multipartBoundary(QByteArrayView contentType)
{
    const auto pieces = splitOutsideQuotes(contentType, ",;");
    if (!equalsIgnoringCase(trimmed(pieces.constFirst()), "multipart/form-data"))
        return {};
    const QByteArray boundary = headerParameter(pieces, "boundary").value_or(QByteArray());
    // A boundary longer than MIME allows, or one that could break a line, cannot be trusted to
    // delimit anything.
    if (boundary.size() > 70 || boundary.contains('\r') || boundary.contains('\n'))
        return {};
    return boundary;
}

std::optional<QString> decodeFormField(QByteArrayView field)
{
    const auto bytes = unescaped(field, true);
    if (!bytes)
        return std::nullopt;
    return QString::fromUtf8(*bytes);
}

std::optional<QByteArray> percentDecoded(QByteArrayView text)
{
    return unescaped(text, false);
}

Result<UploadForm> parseUploadForm(QByteArrayView body, QByteArrayView boundary)
{
    if (boundary.isEmpty())
        return Failure { u"No boundary"_s };

    const QByteArray delimiter = "--" + boundary.toByteArray();
    const QByteArray nextDelimiter = kCrLf + delimiter;

    // The first boundary line opens the body or follows a preamble.
    qsizetype pos = 0;
    if (!body.startsWith(delimiter) || !endsBoundaryLine(body.sliced(delimiter.size()))) {
        pos = findBoundaryLine(body, nextDelimiter, 0);
        if (pos < 0)
            return Failure { u"The body holds no boundary line"_s };
        pos += 2;
    }

    std::optional<QByteArrayView> login;
    std::optional<QByteArrayView> password;
    std::optional<QByteArrayView> file;
    for (;;) {
        pos += delimiter.size();
        if (body.sliced(pos).startsWith("--"))
            break;
        while (pos < body.size() && isSpaceOrTab(body[pos]))
            ++pos;
        if (!body.sliced(pos).startsWith(kCrLf))
            return Failure { u"A boundary line does not end in CR LF"_s };
        pos += 2;

        const qsizetype partEnd = findBoundaryLine(body, nextDelimiter, pos);
        if (partEnd < 0)
            return Failure { u"The body ends before its closing boundary"_s };
        const qsizetype headerEnd = body.indexOf("\r\n\r\n", pos);
        if (headerEnd < 0 || headerEnd + 4 > partEnd)
            return Failure { u"A part has no blank line after its headers"_s };
        const qsizetype contentStart = headerEnd + 4;

        const auto name = partName(body.sliced(pos, headerEnd - pos));
        if (!name)
            return Failure { u"A part has no form-data name"_s };
        std::optional<QByteArrayView>* field = *name == "login" ? &login
            : *name == "password"                               ? &password
            : *name == "thefile"                                ? &file
                                                                : nullptr;
        if (field) {
            if (field->has_value())
                return Failure { u"The field %1 comes twice"_s.arg(QString::fromLatin1(*name)) };
            *field = body.sliced(contentStart, partEnd - contentStart);
        }
        pos = partEnd + 2;
    }

    if (!login)
        return Failure { u"No login field"_s };
    if (!password)
        return Failure { u"No password field"_s };
    if (!file)
        return Failure { u"No thefile field"_s };
    const auto decodedLogin = decodeFormField(*login);
    if (!decodedLogin)
        return Failure { u"The login field holds a broken escape"_s };
    const auto decodedPassword = decodeFormField(*password);
    if (!decodedPassword)
        return Failure { u"The password field holds a broken escape"_s };
    return UploadForm { *decodedLogin, *decodedPassword, file->data() - body.data(), file->size() };
}

} // namespace rostrel
