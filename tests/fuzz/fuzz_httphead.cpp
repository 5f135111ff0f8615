// The guild site's reading of a request line and headers. A head it accepts, written out again,
// reads the same; a Content-Length it takes is a plain non-negative number. And the program's
// reading of the site's answer: the same whether it comes at once or in two pieces, and never
// more body than it allows.

#include "fuzzsupport.h"
#include "guild-site/httpserver.h"
#include "http/replyparser.h"

using namespace rostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const auto answer = [&](qsizetype cut) {
        ReplyParser reply(4096);
        if (reply.feed(QByteArrayView(input).first(cut)))
            reply.feed(QByteArrayView(input).sliced(cut));
        reply.endOfStream();
        FUZZ_CHECK(reply.bodySize() <= 4096 && (reply.failed() || reply.status() == 0 || reply.status() >= 100));
        return reply;
    };
    ReplyParser whole = answer(input.size());
    ReplyParser split = answer(input.isEmpty() ? 0 : qsizetype(data[0]) % input.size());
    FUZZ_CHECK(whole.failed() == split.failed() && whole.complete() == split.complete());
    FUZZ_CHECK(whole.status() == split.status() && whole.takeBody() == split.takeBody());

    const RequestHead head = parseRequestHead(input);
    if (head.status != 0) {
        FUZZ_CHECK(!head.error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(!head.request.method.isEmpty() && !head.request.method.contains(' '));
    FUZZ_CHECK(!head.request.target.isEmpty() && !head.request.target.contains(' '));
    FUZZ_CHECK(!head.contentLength || *head.contentLength >= 0);

    QByteArray again = head.request.method + ' ' + head.request.target + (head.keepAlive ? " HTTP/1.1" : " HTTP/1.0");
    for (const auto& [name, value] : head.request.headers) {
        FUZZ_CHECK(!name.isEmpty() && !name.contains(':') && !name.contains('\n'));
        again += "\r\n" + name + ": " + value;
    }
    if (!head.keepAlive)
        again += "\r\nConnection: close";
    const RequestHead reread = parseRequestHead(again);
    FUZZ_CHECK(reread.status == 0);
    FUZZ_CHECK(reread.request.method == head.request.method && reread.request.target == head.request.target);
    FUZZ_CHECK(reread.contentLength == head.contentLength && reread.keepAlive == head.keepAlive);
    FUZZ_CHECK(reread.expectContinue == head.expectContinue);
    return 0;
}
