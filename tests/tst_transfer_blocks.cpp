// XMODEM and YMODEM as state machines, with no port and no clock: the checks, the header block,
// and a sender and a receiver joined by a simulated line that damages, drops and delays bytes.
// The real peers (lrzsz, python3-xmodem) are in tst_transfer_peers.
#include "support/byte_patterns.h"
#include "support/memory_files.h"
#include "transfer/block_frame.h"
#include "transfer/block_receiver.h"
#include "transfer/block_sender.h"

#include <QRandomGenerator>
#include <QTest>

#include <deque>

using namespace transfer;

namespace {

// What the line does to the bytes: every Nth byte of the sender's flipped or dropped, every Nth
// answer of the receiver flipped or dropped, a burst of NAK before every Nth answer, answers
// held back for a while.
struct Faults
{
    int flipData = 0;
    int dropData = 0;
    int flipAnswer = 0;
    int dropAnswer = 0;
    int nakBurst = 0;
    int delayAnswerMs = 0;
    int longDelayEvery = 0; // every Nth answer waits past the sender's patience
    // Instead of every Nth: each byte damaged, dropped or held back at random, one in this many.
    int randomOneIn = 0;
    quint32 seed = 0;
};

// Two engines joined by a line, on a simulated clock: each write arrives as one read 1 ms
// later (answers later still when delayed). Runs until both have ended or nothing moves.
class Line
{
public:
    Line(Engine &sender, Engine &receiver, Faults faults = {})
        : m_sender(sender), m_receiver(receiver), m_faults(faults), m_random(faults.seed)
    {}

    void run(qint64 limitMs = 3600 * 1000)
    {
        m_sender.start(m_now);
        m_receiver.start(m_now);
        while (m_now < limitMs) {
            carry();
            if (m_sender.outcome() != Outcome::Running && m_receiver.outcome() != Outcome::Running)
                return;
            qint64 next = -1;
            const auto earlier = [&next](qint64 t) {
                if (t >= 0 && (next < 0 || t < next))
                    next = t;
            };
            if (!m_toReceiver.empty())
                earlier(m_toReceiver.front().first);
            if (!m_toSender.empty())
                earlier(m_toSender.front().first);
            if (m_sender.outcome() == Outcome::Running)
                earlier(m_sender.deadline());
            if (m_receiver.outcome() == Outcome::Running)
                earlier(m_receiver.deadline());
            if (next < 0)
                return;
            m_now = qMax(m_now, next);
            deliver(m_toReceiver, m_receiver);
            deliver(m_toSender, m_sender);
            for (Engine *e : {&m_sender, &m_receiver}) {
                if (e->outcome() == Outcome::Running && e->deadline() >= 0 &&
                    e->deadline() <= m_now)
                    e->tick(m_now);
            }
        }
    }

    // Each write of the sender, as it left.
    QList<QByteArray> sent;
    qint64 elapsedMs() const { return m_now; }

private:
    using Queue = std::deque<std::pair<qint64, QByteArray>>;

    // At random, one byte in randomOneIn.
    bool hit() { return m_faults.randomOneIn && m_random.bounded(m_faults.randomOneIn) == 0; }

    void carry()
    {
        QByteArray out = m_sender.takeOutput();
        if (!out.isEmpty()) {
            sent.append(out);
            QByteArray damaged;
            for (const char c : out) {
                ++m_dataBytes;
                if ((m_faults.dropData && m_dataBytes % m_faults.dropData == 0) || hit())
                    continue;
                damaged += (m_faults.flipData && m_dataBytes % m_faults.flipData == 0) || hit()
                               ? char(c ^ 0x55)
                               : c;
            }
            m_toReceiver.push_back({m_now + 1, damaged});
        }
        const QByteArray answers = m_receiver.takeOutput();
        for (const char c : answers) {
            ++m_answers;
            QByteArray bytes(1, c);
            if ((m_faults.nakBurst && m_answers % m_faults.nakBurst == 0) || hit())
                bytes.prepend(QByteArray(3, Nak));
            if ((m_faults.dropAnswer && m_answers % m_faults.dropAnswer == 0) || hit())
                continue;
            if ((m_faults.flipAnswer && m_answers % m_faults.flipAnswer == 0) || hit())
                bytes.back() = char(bytes.back() ^ 0x55);
            qint64 at = qMax(m_now + 1 + m_faults.delayAnswerMs,
                             m_toSender.empty() ? 0 : m_toSender.back().first);
            if ((m_faults.longDelayEvery && m_answers % m_faults.longDelayEvery == 0) || hit())
                at += Timing().answerMs + 500;
            m_toSender.push_back({at, bytes});
        }
    }

    void deliver(Queue &queue, Engine &to)
    {
        while (!queue.empty() && queue.front().first <= m_now) {
            const QByteArray bytes = queue.front().second;
            queue.pop_front();
            if (to.outcome() == Outcome::Running)
                to.receive(bytes, m_now);
        }
    }

    Engine &m_sender;
    Engine &m_receiver;
    Faults m_faults;
    QRandomGenerator m_random;
    qint64 m_now = 0;
    qint64 m_dataBytes = 0;
    qint64 m_answers = 0;
    Queue m_toReceiver;
    Queue m_toSender;
};

QByteArray padded(QByteArray data, qsizetype block)
{
    if (data.size() % block)
        data.append(block - data.size() % block, Sub);
    return data;
}

} // namespace

Q_DECLARE_METATYPE(Faults)

class TestTransferBlocks : public QObject
{
    Q_OBJECT

private slots:
    void checks_data();
    void checks();
    void header_data();
    void header();
    void transfer_data();
    void transfer();
    void bannerBeforeStart_data();
    void bannerBeforeStart();
    void silentPeer_data();
    void silentPeer();
    void cancelled_data();
    void cancelled();
    void neverCorrupt_data();
    void neverCorrupt();
    void writeFailsHalfway();
    void outOfSequence();
};

void TestTransferBlocks::checks_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");
    QTest::addColumn<int>("sum");
    // The catalogue's check value of CRC-16/XMODEM.
    QTest::newRow("123456789") << QByteArray("123456789") << 0x31C3 << (0x1DD & 0xFF);
    QTest::newRow("empty") << QByteArray() << 0 << 0;
    QTest::newRow("one 1A") << QByteArray(1, Sub) << 0xB37B << 0x1A;
}

void TestTransferBlocks::checks()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QFETCH(int, sum);
    QCOMPARE(int(crc16(data)), crc);
    QCOMPARE(int(checksum(data)), sum);
    for (const Check check : {Check::Crc, Check::Sum}) {
        const QByteArray b = block(7, data, ShortBlock, check);
        QCOMPARE(b.size(), 3 + ShortBlock + checkSize(check));
        QCOMPARE(b[0], Soh);
        QVERIFY(blockIntact(QByteArrayView(b).sliced(1), ShortBlock, check));
        QByteArray damaged = b;
        damaged[10] = char(damaged[10] ^ 1);
        QVERIFY(!blockIntact(QByteArrayView(damaged).sliced(1), ShortBlock, check));
    }
}

void TestTransferBlocks::header_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("mtime");
    QTest::newRow("lrzsz's") << QByteArray("fw.bin\0"
                                           "4096 14605300000 100644 0 1 4096",
                                           38)
                             << QByteArray("fw.bin") << qint64(4096) << qint64(01460530000) * 8;
    QTest::newRow("ST's IAP: name and size") << QByteArray("app.bin\0"
                                                           "123",
                                                           11)
                                             << QByteArray("app.bin") << qint64(123) << qint64(-1);
    QTest::newRow("no size") << QByteArray("x\0\0\0", 4) << QByteArray("x") << qint64(-1)
                             << qint64(-1);
    QTest::newRow("end of batch") << QByteArray(128, '\0') << QByteArray() << qint64(-1)
                                  << qint64(-1);
}

void TestTransferBlocks::header()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, name);
    QFETCH(qint64, size);
    QFETCH(qint64, mtime);
    const std::optional<Header> parsed = parseHeader(data);
    QVERIFY(parsed);
    QCOMPARE(parsed->name, name);
    QCOMPARE(parsed->size, size);
    QCOMPARE(parsed->mtime, mtime);
    if (!name.isEmpty()) {
        const std::optional<Header> again = parseHeader(headerData(*parsed));
        QVERIFY(again);
        QCOMPARE(again->name, name);
        QCOMPARE(again->size, qMax<qint64>(size, 0));
    }
    QVERIFY(!parseHeader(QByteArray("no terminator")));
}

void TestTransferBlocks::transfer_data()
{
    QTest::addColumn<BlockProtocol>("protocol");
    QTest::addColumn<bool>("only1K");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<Faults>("faults");
    const QList<int> edges{0, 1, 127, 128, 1023, 1024, 1025};
    for (const int size : edges) {
        const QByteArray tag = QByteArray::number(size) + " bytes";
        QTest::newRow("XMODEM " + tag)
            << BlockProtocol::Xmodem << true << QList<int>{size} << Faults{};
        QTest::newRow("XMODEM-1K " + tag)
            << BlockProtocol::Xmodem1K << true << QList<int>{size} << Faults{};
    }
    QTest::newRow("YMODEM batch of every edge")
        << BlockProtocol::Ymodem << true << edges << Faults{};
    QTest::newRow("YMODEM 128-byte tail")
        << BlockProtocol::Ymodem << false << QList<int>{1025, 2048 + 896, 2048 + 897} << Faults{};
    QTest::newRow("YMODEM 300 KB")
        << BlockProtocol::Ymodem << true << QList<int>{300000} << Faults{};
    const QList<int> mid{20000, 3000};
    QTest::newRow("flipped data") << BlockProtocol::Ymodem << true << mid
                                  << Faults{3001, 0, 0, 0, 0, 0, 0};
    QTest::newRow("dropped data") << BlockProtocol::Ymodem << true << mid
                                  << Faults{0, 2503, 0, 0, 0, 0, 0};
    QTest::newRow("XMODEM dropped data")
        << BlockProtocol::Xmodem << true << mid.mid(0, 1) << Faults{0, 997, 0, 0, 0, 0, 0};
    QTest::newRow("flipped answers")
        << BlockProtocol::Ymodem << true << mid << Faults{0, 0, 7, 0, 0, 0, 0};
    QTest::newRow("dropped answers")
        << BlockProtocol::Xmodem1K << true << mid.mid(0, 1) << Faults{0, 0, 0, 5, 0, 0, 0};
    QTest::newRow("NAK bursts") << BlockProtocol::Ymodem << true << mid
                                << Faults{0, 0, 0, 0, 4, 0, 0};
    QTest::newRow("slow answers") << BlockProtocol::Ymodem << true << mid
                                  << Faults{0, 0, 0, 0, 0, 800, 0};
    QTest::newRow("answers past the timeout")
        << BlockProtocol::Ymodem << true << mid << Faults{0, 0, 0, 0, 0, 0, 6};
    QTest::newRow("everything at once")
        << BlockProtocol::Ymodem << true << mid << Faults{4001, 5003, 11, 13, 9, 200, 17};
}

// The files arrive whole, with their names and sizes (XMODEM padded to its block), however
// the line treats them.
void TestTransferBlocks::transfer()
{
    QFETCH(BlockProtocol, protocol);
    QFETCH(bool, only1K);
    QFETCH(QList<int>, sizes);
    QFETCH(Faults, faults);
    QList<MemorySource::File> files;
    for (int i = 0; i < sizes.size(); ++i)
        files.append({QStringLiteral("file%1.bin").arg(i), pseudoRandomBytes(sizes[i], 99 + i)});
    MemorySource source(files);
    MemorySink sink;
    BlockSender sender({protocol, only1K, {}}, &source);
    BlockReceiver receiver({protocol, false, {}}, &sink);
    Line line(sender, receiver, faults);
    line.run();
    QCOMPARE(sender.message(), QStringLiteral("传输完成"));
    QCOMPARE(receiver.message(), QStringLiteral("传输完成"));
    QCOMPARE(sink.files.size(), files.size());
    for (int i = 0; i < files.size(); ++i) {
        const MemorySink::File &got = sink.files[i];
        QVERIFY(got.whole);
        if (protocol == BlockProtocol::Ymodem) {
            QCOMPARE(got.name, files[i].name.toUtf8());
            QCOMPARE(got.size, files[i].data.size());
            QCOMPARE(got.data, files[i].data);
        } else {
            const qsizetype blockSize = protocol == BlockProtocol::Xmodem ? ShortBlock : LongBlock;
            QCOMPARE(got.data, padded(files[i].data, blockSize));
        }
    }
    QCOMPARE(sender.progress().done, sender.progress().total);
    if (faults.flipData || faults.dropData || faults.nakBurst || faults.longDelayEvery)
        QVERIFY(sender.progress().retries > 0);
    // Block 0 and the closing block are 128 bytes; with only1K every data block is 1024.
    if (protocol == BlockProtocol::Ymodem) {
        const QByteArray stream = line.sent.join();
        int headers = 0;
        int shortData = 0;
        for (qsizetype at = 0; at < stream.size();) {
            const char kind = stream[at];
            QVERIFY(kind == Soh || kind == Stx || kind == Eot);
            if (kind == Soh)
                ++(stream[at + 1] == 0 ? headers : shortData);
            at += kind == Eot ? 1 : 3 + blockSizeFor(kind) + 2;
        }
        QVERIFY(headers >= sizes.size() + 1);
        QCOMPARE(shortData > 0, !only1K);
    }
}

void TestTransferBlocks::bannerBeforeStart_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<bool>("starts");
    QTest::newRow("menu with C inside")
        << QList<QByteArray>{"Choose: 1 = Download (CRC)\r\n"} << false;
    QTest::newRow("menu, then C in a read of its own")
        << QList<QByteArray>{"Choose: 1 = Download (CRC)\r\n", "C"} << true;
    QTest::newRow("banner ending in requests")
        << QList<QByteArray>{"## Ready for binary (ymodem) download\r\nCCC"} << true;
    QTest::newRow("NAK for the sum") << QList<QByteArray>{QByteArray(1, Nak)} << true;
}

// A board prints its menu before its first request; the sender starts on a request only.
void TestTransferBlocks::bannerBeforeStart()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(bool, starts);
    MemorySource source({{QStringLiteral("a"), QByteArray(10, 'a')}});
    BlockSender sender({BlockProtocol::Ymodem, true, {}}, &source);
    sender.start(0);
    (void)sender.takeOutput();
    for (const QByteArray &read : std::as_const(reads))
        sender.receive(read, 1);
    sender.tick(1000);
    const QByteArray out = sender.takeOutput();
    QCOMPARE(!out.isEmpty(), starts);
    if (starts) {
        QCOMPARE(out[0], Soh);
        QCOMPARE(out.size(), 3 + ShortBlock + (reads.last() == QByteArray(1, Nak) ? 1 : 2));
    }
}

void TestTransferBlocks::silentPeer_data()
{
    QTest::addColumn<bool>("senderSide");
    QTest::addColumn<bool>("afterFirstBlock");
    QTest::addColumn<QString>("message");
    QTest::newRow("receiver never starts") << true << false << QStringLiteral("接收方没有应答");
    QTest::newRow("receiver goes quiet") << true << true << QStringLiteral("接收方没有应答");
    QTest::newRow("sender never starts") << false << false << QStringLiteral("发送方没有应答");
    QTest::newRow("sender goes quiet") << false << true << QStringLiteral("发送方没有应答");
}

// A peer that stops answering: the timeout and the retry limit, then the message; a receiver
// that gives up tells the sender with CAN.
void TestTransferBlocks::silentPeer()
{
    QFETCH(bool, senderSide);
    QFETCH(bool, afterFirstBlock);
    QFETCH(QString, message);
    MemorySource source({{QStringLiteral("a"), QByteArray(5000, 'a')}});
    MemorySink sink;
    BlockSender sender({BlockProtocol::Xmodem, true, {}}, &source);
    BlockReceiver receiver({BlockProtocol::Xmodem, false, {}}, &sink);
    Engine &engine = senderSide ? static_cast<Engine &>(sender) : receiver;
    qint64 now = 0;
    engine.start(now);
    if (afterFirstBlock) {
        if (senderSide) {
            sender.receive("C", now);
        } else {
            const QByteArray first = block(1, QByteArray(128, 'x'), ShortBlock, Check::Crc);
            receiver.receive(first, now);
            QVERIFY(receiver.takeOutput().endsWith(Ack));
        }
    }
    (void)engine.takeOutput();
    int ticks = 0;
    while (engine.outcome() == Outcome::Running && ticks < 1000) {
        QVERIFY(engine.deadline() > now);
        now = engine.deadline();
        engine.tick(now);
        ++ticks;
    }
    QCOMPARE(engine.message(), message);
    QVERIFY2(now >= 30000, "gave up before the protocol's patience ran out");
    if (afterFirstBlock)
        QVERIFY(engine.takeOutput().endsWith(abortSequence()));
    if (!senderSide)
        QVERIFY(sink.files.isEmpty());
}

void TestTransferBlocks::cancelled_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<bool>("senderSide");
    QTest::newRow("user cancels sending") << true << true;
    QTest::newRow("user cancels receiving") << true << false;
    QTest::newRow("receiver cancels") << false << true;
    QTest::newRow("sender cancels") << false << false;
}

// Cancelling sends the abort both protocols define; a peer's abort ends the transfer with its
// message; a half-received file is not kept.
void TestTransferBlocks::cancelled()
{
    QFETCH(bool, byUser);
    QFETCH(bool, senderSide);
    MemorySource source({{QStringLiteral("a"), pseudoRandomBytes(50000)}});
    MemorySink sink;
    BlockSender sender({BlockProtocol::Ymodem, true, {}}, &source);
    BlockReceiver receiver({BlockProtocol::Ymodem, false, {}}, &sink);
    sender.start(0);
    receiver.start(0);
    // A few blocks across, by hand.
    for (int i = 0; i < 12; ++i) {
        sender.receive(receiver.takeOutput(), i * 100);
        sender.tick(i * 100 + 50);
        receiver.receive(sender.takeOutput(), i * 100 + 50);
    }
    QCOMPARE(sink.files.size(), 1);
    QVERIFY(sender.progress().done > 0);
    Engine &side = senderSide ? static_cast<Engine &>(sender) : receiver;
    Engine &peer = senderSide ? static_cast<Engine &>(receiver) : sender;
    (void)side.takeOutput();
    if (byUser) {
        side.stop(QStringLiteral("已取消"), true);
        QCOMPARE(side.message(), QStringLiteral("已取消"));
        const QByteArray out = side.takeOutput();
        QVERIFY(out.endsWith(abortSequence()));
        peer.receive(out, 20);
        QCOMPARE(peer.message(), senderSide ? QStringLiteral("发送方取消了传输")
                                            : QStringLiteral("接收方取消了传输"));
    } else {
        side.receive(abortSequence(), 20);
        QCOMPARE(side.message(), senderSide ? QStringLiteral("接收方取消了传输")
                                            : QStringLiteral("发送方取消了传输"));
    }
    QCOMPARE(side.outcome(), Outcome::Failed);
    if (receiver.outcome() == Outcome::Failed)
        QVERIFY(sink.files.isEmpty());
}

void TestTransferBlocks::neverCorrupt_data()
{
    QTest::addColumn<BlockProtocol>("protocol");
    QTest::addColumn<int>("oneIn");
    QTest::addColumn<quint32>("seed");
    // At 1 in 300 nearly every 1K block is hit: those end in failure.
    for (quint32 seed = 1; seed <= 8; ++seed) {
        QTest::addRow("YMODEM, 1 in 2000, seed %u", seed) << BlockProtocol::Ymodem << 2000 << seed;
        QTest::addRow("YMODEM, 1 in 300, seed %u", seed) << BlockProtocol::Ymodem << 300 << seed;
        QTest::addRow("XMODEM, 1 in 500, seed %u", seed) << BlockProtocol::Xmodem << 500 << seed;
    }
}

// On a line that damages, drops, repeats and holds back bytes at random, a transfer either
// completes byte for byte or fails with a message; whatever the receiver calls whole is right.
void TestTransferBlocks::neverCorrupt()
{
    QFETCH(BlockProtocol, protocol);
    QFETCH(int, oneIn);
    QFETCH(quint32, seed);
    const QList<MemorySource::File> files{{QStringLiteral("a"), pseudoRandomBytes(12000, seed)},
                                          {QStringLiteral("b"), pseudoRandomBytes(2500, ~seed)}};
    MemorySource source(protocol == BlockProtocol::Ymodem ? files : files.mid(0, 1));
    MemorySink sink;
    BlockSender sender({protocol, true, {}}, &source);
    BlockReceiver receiver({protocol, false, {}}, &sink);
    Faults faults;
    faults.randomOneIn = oneIn;
    faults.seed = seed;
    Line line(sender, receiver, faults);
    line.run();
    QVERIFY(sender.outcome() != Outcome::Running && receiver.outcome() != Outcome::Running);
    for (int i = 0; i < sink.files.size(); ++i) {
        if (!sink.files[i].whole)
            continue;
        const QByteArray expected = files[i].data;
        QCOMPARE(sink.files[i].data,
                 protocol == BlockProtocol::Ymodem ? expected : padded(expected, ShortBlock));
    }
    if (receiver.outcome() == Outcome::Succeeded)
        QCOMPARE(sink.files.size(), source.count());
    for (const Engine *e : {static_cast<Engine *>(&sender), static_cast<Engine *>(&receiver)}) {
        if (e->outcome() == Outcome::Failed)
            QVERIFY(!e->message().isEmpty());
    }
}

// A full disk halfway: the receiver stops, tells the sender, and keeps nothing.
void TestTransferBlocks::writeFailsHalfway()
{
    MemorySource source({{QStringLiteral("a"), pseudoRandomBytes(50000)}});
    MemorySink sink;
    sink.failAfter = 20000;
    BlockSender sender({BlockProtocol::Ymodem, true, {}}, &source);
    BlockReceiver receiver({BlockProtocol::Ymodem, false, {}}, &sink);
    Line line(sender, receiver);
    line.run();
    QCOMPARE(receiver.message(), QStringLiteral("无法写入 a：设备上没有空间"));
    QCOMPARE(sender.message(), QStringLiteral("接收方取消了传输"));
    QVERIFY(sink.files.isEmpty());
}

// A block that skips ahead means blocks were lost for good: stop, never write around the gap.
void TestTransferBlocks::outOfSequence()
{
    MemorySink sink;
    BlockReceiver receiver({BlockProtocol::Xmodem, false, {}}, &sink);
    receiver.start(0);
    receiver.receive(block(1, "one", ShortBlock, Check::Crc), 1);
    receiver.receive(block(1, "one", ShortBlock, Check::Crc), 2); // a repeat is fine
    receiver.receive(block(3, "three", ShortBlock, Check::Crc), 3);
    QCOMPARE(receiver.message(), QStringLiteral("块序号错乱：期待 2，收到 3"));
    QVERIFY(receiver.takeOutput().endsWith(abortSequence()));
    QVERIFY(sink.files.isEmpty());
}

QTEST_GUILESS_MAIN(TestTransferBlocks)
#include "tst_transfer_blocks.moc"
