// The text of a Wine registry file: the escapes wineserver reads and writes, and value lines read
// back as queryValue hands them out and written as wineserver writes them.

#include "core/registry.h"
#include "platform/winereg_format.h"

#include <QTest>

using namespace rostrel::registry;
using namespace rostrel::registry::wine;
using namespace Qt::Literals::StringLiterals;
using namespace std::literals;

Q_DECLARE_METATYPE(std::optional<QString>)

class TestWineRegFormat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void encode_data();
    void encode();
    void parse_data();
    void parse();
    void encodeValue_data();
    void encodeValue();
};

namespace {

std::string_view bytesView(const QByteArray& bytes)
{
    return { bytes.constData(), static_cast<std::size_t>(bytes.size()) };
}

QString units(std::u16string_view text)
{
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void TestWineRegFormat::decode_data()
{
    QTest::addColumn<QByteArray>("escaped");
    QTest::addColumn<std::optional<QString>>("expected"); // nullopt: the text never ends
    QTest::addColumn<QByteArray>("rest");
    const auto row = [](const char* name, const QByteArray& escaped, std::optional<QString> expected,
                         const QByteArray& rest = {}) { QTest::newRow(name) << escaped << expected << rest; };
    row("plain, rest left", "abc\"tail", units(u"abc"sv), "tail");
    row("letter escapes", R"(\a\b\e\f\n\r\t\v")", units(u"\a\b\x1b\f\n\r\t\v"sv));
    row("hex, up to four digits", R"(\x41z\x00e91\x12345")", units(u"Az\u00e91\u12345"sv));
    row("x without a hex digit", R"(\xg")", units(u"xg"sv));
    row("octal, up to three digits", R"(\1018\0\4000")", units(u"A8\0\u01000"sv));
    row("other escapes stand for themselves", R"(\"\\\q\8")", units(u"\"\\q8"sv));
    row("a byte above ASCII is its own unit", "\xe9\xff\"", units(u"\u00e9\u00ff"sv));
    row("escape at the end", "abc\\", std::nullopt);
    row("no terminator", "abc", std::nullopt);
}

void TestWineRegFormat::decode()
{
    QFETCH(QByteArray, escaped);
    QFETCH(std::optional<QString>, expected);
    QFETCH(QByteArray, rest);
    std::string_view text = bytesView(escaped);
    QCOMPARE(decodeText(text, '"'), expected);
    if (expected)
        QCOMPARE(QByteArray(text.data(), qsizetype(text.size())), rest);
}

void TestWineRegFormat::encode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("header"); // escapes brackets instead of quotes
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("non-ASCII before a hex digit") << units(u"\u00e9a"sv) << false << QByteArray(R"(\x00e9a)");
    QTest::newRow("non-ASCII before another letter")
        << units(u"\u00e9z\u00e9"sv) << false << QByteArray(R"(\xe9z\xe9)");
    QTest::newRow("lone surrogate kept") << units(u"\xd800"
                                                  u"7"sv)
                                         << false << QByteArray(R"(\xd8007)");
    QTest::newRow("letter escapes") << units(u"\a\b\t\n\v\f\r\x1b"sv) << false << QByteArray(R"(\a\b\t\n\v\f\r\e)");
    QTest::newRow("octal before an octal digit") << units(u"\x01"
                                                          u"7\x01"
                                                          u"8\0"sv)
                                                 << false << QByteArray(R"(\0017\18\0)");
    QTest::newRow("quotes and backslashes") << units(u"a\"b\\c[]"sv) << false << QByteArray(R"(a\"b\\c[])");
    QTest::newRow("brackets in a header") << units(u"A]B[\""sv) << true << QByteArray(R"(A\]B\[")");
}

void TestWineRegFormat::encode()
{
    QFETCH(QString, text);
    QFETCH(bool, header);
    QFETCH(QByteArray, escaped);
    QByteArray out;
    appendEscaped(out, text, header ? '[' : '"', header ? ']' : '"');
    QCOMPARE(out, escaped);
    // It reads back as it was.
    const QByteArray terminated = out + (header ? ']' : '"');
    std::string_view view = bytesView(terminated);
    QCOMPARE(decodeText(view, header ? ']' : '"'), std::optional(text));
}

void TestWineRegFormat::parse_data()
{
    QTest::addColumn<QByteArray>("text"); // the value starts at its first byte
    QTest::addColumn<int>("next"); // -1: no value; otherwise where the value ends
    QTest::addColumn<bool>("valid");
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("data");
    const auto row = [](const char* name, const QByteArray& text, int next, bool valid = false, uint type = 0,
                         const QByteArray& data = {}) {
        QTest::newRow(name) << text << (next == 0 ? int(text.size()) : next) << valid << type << data;
    };
    const QByteArray nul(1, '\0');
    row("string", "\"N\"=\"C:\\\\x\"\n", 0, true, kRegSz, "C:\\x" + nul);
    row("default value, spaces around =", "@ = \"d\"\n", 0, true, kRegSz, "d" + nul);
    row("str:", "\"N\"=str:\"v\"", 0, true, kRegSz, "v" + nul);
    row("str(2)", "\"N\"=str(2):\"%P%\"", 0, true, kRegExpandSz, "%P%" + nul);
    row("str( without its colon", "\"N\"=str(2)\"x\"", 0);
    row("lone surrogate", "\"N\"=\"\\xd800x\"", 0, true, kRegSz, "\xef\xbf\xbdx" + nul);
    row("BOM before a lone surrogate", "\"N\"=\"\\xfeff\\xdc00\"", 0, true, kRegSz, "\xef\xbb\xbf\xef\xbf\xbd" + nul);
    row("unterminated string", "\"N\"=\"abc", 0);
    row("dword", "\"N\"=dword:0000beef  \n", 0, true, kRegDword, QByteArray("\xef\xbe\0\0", 4));
    row("dword of nine digits", "\"N\"=dword:000000001", 0);
    row("dword without digits", "\"N\"=dword:", 0);
    row("hex", "\"N\"=hex:01,2, ff\n", 0, true, kRegBinary, "\x01\x02\xff");
    row("hex carried on", "\"N\"=hex:01,\\\n  02\r\n", 0, true, kRegBinary, "\x01\x02");
    row("hex carried into a header", "\"N\"=hex:01,\\\n[K] 1\n", 13);
    row("hex carried past the end", "\"N\"=hex:01,\\", 0);
    row("backslash inside the line", "\"N\"=hex:01,\\ 02\n", 0);
    row("hex(1) is UTF-16LE", "\"N\"=hex(1):61,00,e9,00,00,00", 0, true, kRegSz, "a\xc3\xa9" + nul);
    row("hex(1), odd byte dropped", "\"N\"=hex(1):61,00,62", 0, true, kRegSz, "a");
    row("hex(7) keeps every NUL", "\"N\"=hex(7):61,00,00,00,00,00", 0, true, kRegMultiSz, "a" + nul + nul);
    row("unknown data", "\"N\"=foo", 0);
    row("no value", "junk=\"x\"", -1);
    row("name never ends", "\"N=\"x\"", -1);
    row("no equals sign", "\"N\" \"x\"", -1);
}

void TestWineRegFormat::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(int, next);
    QFETCH(bool, valid);
    QFETCH(uint, type);
    QFETCH(QByteArray, data);
    const std::string_view view = bytesView(text);
    const auto value = parseValue(view, lineAt(view, 0), true);
    QCOMPARE(value.has_value(), next >= 0);
    if (!value)
        return;
    QCOMPARE(value->next, std::size_t(next));
    QCOMPARE(value->valid, valid);
    if (valid) {
        QCOMPARE(value->type, ulong(type));
        QCOMPARE(QByteArray::fromStdString(value->data), data);
    }
}

void TestWineRegFormat::encodeValue_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("line");
    const QByteArray nul(1, '\0');
    QTest::newRow("REG_SZ") << u"N"_s << uint(kRegSz) << QByteArray("C:\\x" + nul) << QByteArray("\"N\"=\"C:\\\\x\"\n");
    QTest::newRow("default name") << QString() << uint(kRegSz) << QByteArray("d" + nul) << QByteArray("@=\"d\"\n");
    QTest::newRow("quote in the name") << u"N\"x"_s << uint(kRegSz) << nul << QByteArray("\"N\\\"x\"=\"\"\n");
    QTest::newRow("REG_EXPAND_SZ") << u"N"_s << uint(kRegExpandSz) << QByteArray("%P%" + nul)
                                   << QByteArray("\"N\"=str(2):\"%P%\"\n");
    QTest::newRow("REG_MULTI_SZ") << u"N"_s << uint(kRegMultiSz) << QByteArray("a" + nul + "b" + nul + nul)
                                  << QByteArray(R"("N"=str(7):"a\0b\0")"
                                                "\n");
    QTest::newRow("string without its NUL")
        << u"N"_s << uint(kRegSz) << QByteArray("a\xc3\xa9") << QByteArray("\"N\"=hex(1):61,00,e9,00\n");
    QTest::newRow("dword") << u"N"_s << uint(kRegDword) << QByteArray("\xef\xbe\0\0", 4)
                           << QByteArray("\"N\"=dword:0000beef\n");
    QTest::newRow("dword of two bytes") << u"N"_s << uint(kRegDword) << QByteArray("\x01\x02")
                                        << QByteArray("\"N\"=hex(4):01,02\n");
    QTest::newRow("empty binary") << u"N"_s << uint(kRegBinary) << QByteArray() << QByteArray("\"N\"=hex:\n");
    QTest::newRow("other type") << u"N"_s << 11u << QByteArray("\x00\xff", 2) << QByteArray("\"N\"=hex(b):00,ff\n");
    // 23 bytes fill the first line to its 77th column, 25 each line after.
    QTest::newRow("long binary wraps") << u"N"_s << uint(kRegBinary) << QByteArray(49, '\xaa')
                                       << QByteArray("\"N\"=hex:" + QByteArray("aa,").repeated(23) + "\\\n  "
                                              + QByteArray("aa,").repeated(25) + "\\\n  aa\n");
}

void TestWineRegFormat::encodeValue()
{
    QFETCH(QString, name);
    QFETCH(uint, type);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, line);
    const QByteArray encoded = encodeValueLine(name, type, data.toStdString());
    QCOMPARE(encoded, line);
    // It reads back as it was given.
    const std::string_view view = bytesView(encoded);
    const auto value = parseValue(view, lineAt(view, 0), true);
    QVERIFY(value && value->valid);
    QCOMPARE(value->name, name);
    QCOMPARE(value->type, ulong(type));
    QCOMPARE(QByteArray::fromStdString(value->data), data);
    QCOMPARE(value->next, view.size());
}

QTEST_GUILESS_MAIN(TestWineRegFormat)
#include "test_winereg_format.moc"
