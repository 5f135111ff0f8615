// The upload form's parser on its own: the boundary a Content-Type names, the bodies it takes
// apart (preambles, padding, header spellings, content that only looks like a boundary) and the
// reason it gives for each body it refuses.

#include "guild-site/multipart.h"

#include <QTest>

using namespace rostrel;
using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray part(QByteArrayView disposition, QByteArrayView content)
{
    return "--B\r\nContent-Disposition: form-data; " + disposition.toByteArray() + "\r\n\r\n" + content.toByteArray()
        + "\r\n";
}

const QByteArray kFields = part("name=login", "alice") + part("name=\"password\"", "pa%2Bss");
const QByteArray kBody = kFields + part("name=\"thefile\"; filename=\"Rostrel.lua\"", "Rostrel = {}") + "--B--";

} // namespace

class TestMultipart : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void boundary_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("boundary");
        QTest::newRow("separators inside quotes")
            << QByteArray("multipart/form-data; boundary=\"a,b;c\"") << "a,b;c"_ba;
        QTest::newRow("escaped quote") << QByteArray(R"(multipart/form-data; boundary="a\"b")") << "a\"b"_ba;
        QTest::newRow("quoted value holding boundary=")
            << QByteArray(R"(multipart/form-data; x="; boundary=no"; boundary=yes)") << "yes"_ba;
        QTest::newRow("70 characters") << "multipart/form-data; boundary=" + QByteArray(70, 'x') << QByteArray(70, 'x');
        QTest::newRow("71 characters") << "multipart/form-data; boundary=" + QByteArray(71, 'x') << QByteArray();
        QTest::newRow("CR LF in a quoted boundary")
            << QByteArray("multipart/form-data; boundary=\"a\r\nb\"") << QByteArray();
        QTest::newRow("other multipart type") << QByteArray("multipart/mixed; boundary=B") << QByteArray();
    }
    void boundary()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, boundary);
        QCOMPARE(multipartBoundary(contentType), boundary);
    }

    void body_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error"); // empty: parsed
        QTest::addColumn<QByteArray>("file");
        const QByteArray noFile;
        QTest::newRow("quoted and unquoted names") << kBody << QString() << "Rostrel = {}"_ba;
        QTest::newRow("preamble") << "ignored\r\n" + kBody << QString() << "Rostrel = {}"_ba;
        QTest::newRow("blanks after a boundary line") << "--B \t" + kBody.sliced(3) << QString() << "Rostrel = {}"_ba;
        QTest::newRow("other headers, names in other case") << kFields
                + "--B\r\nContent-Type: text/plain\r\ncontent-DISPOSITION : Form-Data ; name=\"thefile\"; "
                  "filename=\"a;b.lua\"\r\n\r\nx\r\n--B--" << QString()
                                                            << "x"_ba;
        QTest::newRow("unknown part ignored") << part("name=submit", "Go") + kBody << QString() << "Rostrel = {}"_ba;
        QTest::newRow("epilogue") << kBody + "\r\nepilogue" << QString() << "Rostrel = {}"_ba;
        QTest::newRow("content that only begins like a boundary")
            << kFields + part("name=thefile", "--Bx\r\n--B-\r\nend") + "--B--" << QString() << "--Bx\r\n--B-\r\nend"_ba;
        QTest::newRow("CR LF ending the content kept")
            << kFields + part("name=thefile", "a\r\n") + "--B--" << QString() << "a\r\n"_ba;

        QTest::newRow("LF line ends") << QByteArray(kBody).replace("\r\n", "\n") << u"The body holds no boundary line"_s
                                      << noFile;
        QTest::newRow("LF blank line after headers")
            << "--B\r\nContent-Disposition: form-data; name=login\n\nalice\r\n--B--"_ba
            << u"A part has no blank line after its headers"_s << noFile;
        QTest::newRow("cut after a boundary line") << kFields + "--B\r\n"
                                                   << u"The body ends before its closing boundary"_s << noFile;
        QTest::newRow("cut in the closing boundary")
            << kBody.chopped(3) << u"The body ends before its closing boundary"_s << noFile;
        QTest::newRow("not form-data") << kFields
                + "--B\r\nContent-Disposition: attachment; name=thefile\r\n\r\nx\r\n--B--"
                                       << u"A part has no form-data name"_s << noFile;
        QTest::newRow("names are case-sensitive")
            << kFields + part("name=TheFile", "x") + "--B--" << u"No thefile field"_s << noFile;
    }
    void body()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QFETCH(QByteArray, file);
        const Result<UploadForm> parsed = parseUploadForm(body, "B");
        QCOMPARE(parsed.error(), error);
        if (!parsed)
            return;
        QCOMPARE(parsed->login, u"alice"_s);
        QCOMPARE(parsed->password, u"pa+ss"_s);
        QCOMPARE(QByteArrayView(body).sliced(parsed->fileOffset, parsed->fileSize), file);
    }

    void noBoundaryParsesNothing() { QCOMPARE(parseUploadForm(kBody, "").error(), u"No boundary"_s); }

    void pathDecoding()
    {
        QCOMPARE(percentDecoded("a+b%2B%2f").value_or(QByteArray()), "a+b+/"_ba);
        QVERIFY(!percentDecoded("a%4"));
    }
};

QTEST_GUILESS_MAIN(TestMultipart)
#include "test_multipart.moc"
