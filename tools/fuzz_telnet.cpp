// libFuzzer target for the telnet decoding of network ports. Input: one byte choosing where the
// stream is cut into two reads, then the bytes a server sends. The decoding must not depend on
// the cut, never give out more data than came, and stop for good once the server broke the
// protocol.

#include "port/telnet.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype cut = stream.isEmpty() ? 0 : data[0] % (stream.size() + 1);

    telnet::Client whole;
    QByteArray wholeReplies;
    (void)whole.greeting();
    const QByteArray wholeData = whole.decode(stream, &wholeReplies);

    telnet::Client split;
    QByteArray splitReplies;
    (void)split.greeting();
    QByteArray splitData = split.decode(stream.left(cut), &splitReplies);
    splitData += split.decode(stream.mid(cut), &splitReplies);

    check(wholeData == splitData);
    check(wholeReplies == splitReplies);
    check(whole.broken() == split.broken());
    check(wholeData.size() <= stream.size());
    // Replies are whole negotiations, three bytes each.
    check(wholeReplies.size() % 3 == 0);
    if (whole.broken()) {
        QByteArray more;
        check(whole.decode("after", &more).isEmpty() && more.isEmpty());
    }
    // Escaping and decoding give the data back.
    telnet::Client echo;
    QByteArray none;
    check(echo.decode(telnet::escape(stream), &none) == stream && none.isEmpty());
    return 0;
}
