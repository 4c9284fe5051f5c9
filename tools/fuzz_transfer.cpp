// libFuzzer target for the XMODEM and YMODEM receivers and the sender. Input: one byte choosing
// the protocol and where the stream is cut into two reads, then the bytes a peer sends. A
// receiver must not depend on the cut, answer only with the protocol's own bytes, never write
// more than came nor past a header's size, and keep no unfinished file once it ends; a sender fed
// anything at any time must send only whole blocks, EOT or CAN.

#include "transfer/block_frame.h"
#include "transfer/block_receiver.h"
#include "transfer/block_sender.h"
#include "transfer/files.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace transfer;

namespace {

void check(bool condition, int line = __builtin_LINE())
{
    if (!condition) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}

struct File
{
    qint64 size = -1;
    QByteArray data;
    bool whole = false;
};

class Sink : public FileSink
{
public:
    QList<File> files;
    [[nodiscard]] bool begin(const QByteArray &, qint64 size, qint64) override
    {
        files.append({size, {}, false});
        return true;
    }
    [[nodiscard]] bool write(QByteArrayView data) override
    {
        files.last().data += data;
        return true;
    }
    [[nodiscard]] bool end() override
    {
        files.last().whole = true;
        return true;
    }
    void abandon() override { files.removeLast(); }
    [[nodiscard]] QString currentName() const override { return QStringLiteral("f"); }
    [[nodiscard]] QString errorString() const override { return {}; }
};

class Source : public FileSource
{
public:
    [[nodiscard]] int count() const override { return 2; }
    [[nodiscard]] OutgoingFile file(int index) const override
    {
        return {QStringLiteral("f"), index == 0 ? 3000 : 0, -1};
    }
    [[nodiscard]] bool read(int, qint64 offset, qsizetype n, QByteArray *out) override
    {
        *out = QByteArray(qsizetype(qMin<qint64>(n, 3000 - offset)), 'x');
        return true;
    }
    [[nodiscard]] QString errorString() const override { return {}; }
};

struct Run
{
    QByteArray output;
    QList<File> files;
    Outcome outcome;
};

Run receive(BlockProtocol protocol, const QList<QByteArrayView> &reads)
{
    Sink sink;
    BlockReceiver receiver({protocol, true, {}}, &sink);
    receiver.start(0);
    for (const QByteArrayView read : reads)
        receiver.receive(read, 1);
    return {receiver.takeOutput(), sink.files, receiver.outcome()};
}

bool answerByte(char c)
{
    return c == Ack || c == Nak || c == CrcStart || c == Can;
}

// Whether what a sender wrote splits into its units: blocks with one check, EOT, the abort.
bool wholeUnits(const QByteArray &out, Check check)
{
    for (qsizetype at = 0; at < out.size();) {
        const char c = out[at];
        if (c == Eot || c == Can) {
            ++at;
            continue;
        }
        const qsizetype size = blockSizeFor(c);
        const qsizetype body = 2 + size + checkSize(check);
        if (size == 0 || at + 1 + body > out.size() ||
            !blockIntact(QByteArrayView(out).sliced(at + 1, body), size, check))
            return false;
        at += 1 + body;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const BlockProtocol protocol = data[0] & 1 ? BlockProtocol::Ymodem : BlockProtocol::Xmodem;
    const qsizetype cut = stream.isEmpty() ? 0 : (data[0] >> 1) % (stream.size() + 1);

    const Run whole = receive(protocol, {stream});
    const Run split =
        receive(protocol, {QByteArrayView(stream).first(cut), QByteArrayView(stream).sliced(cut)});
    check(whole.output == split.output);
    check(whole.outcome == split.outcome);
    check(whole.files.size() == split.files.size());
    qsizetype written = 0;
    for (qsizetype i = 0; i < whole.files.size(); ++i) {
        check(whole.files[i].data == split.files[i].data);
        // Only the file under way may be unfinished, and only while the transfer runs.
        const bool underWay = whole.outcome == Outcome::Running && i == whole.files.size() - 1;
        check(whole.files[i].whole || underWay);
        if (protocol == BlockProtocol::Ymodem && whole.files[i].size >= 0)
            check(whole.files[i].data.size() <= whole.files[i].size);
        written += whole.files[i].data.size();
    }
    check(written <= stream.size());
    for (const char c : whole.output)
        check(answerByte(c));

    // The sender, fed the same bytes one at a time with the clock moving on.
    Source source;
    BlockSender sender({data[0] & 2 ? BlockProtocol::Ymodem : BlockProtocol::Xmodem1K, true, {}},
                       &source);
    qint64 now = 0;
    sender.start(now);
    QByteArray out;
    for (const char c : stream) {
        sender.receive(QByteArrayView(&c, 1), now);
        now += 7;
        if (sender.deadline() >= 0 && sender.deadline() <= now)
            sender.tick(now);
        out += sender.takeOutput();
    }
    check(wholeUnits(out, Check::Crc) || wholeUnits(out, Check::Sum));
    return 0;
}
