// The serial component's input and output on pseudo-terminals: blocks as they arrive, text
// decoding across blocks, output, and a device that goes away.
#include "port/tty_link.h"
#include "support/board_port.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray randomBytes(qsizetype n)
{
    QByteArray bytes(n, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Reads block after block through OnComm, as the window does. A reader that joins while bytes
// already wait starts with read(), as the announcement of those bytes went unheard.
struct Reader
{
    explicit Reader(MSComm &port) : comm(port)
    {
        QObject::connect(&comm, &MSComm::OnComm, &context, [this] {
            if (comm.CommEvent() == MSComm::comEvReceive)
                read();
        });
    }
    void read()
    {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        portOpenAtRead.append(comm.PortOpen());
        const int waiting = comm.InBufferCount();
        comm.setInputLen(0);
        const QVariant block = comm.Input();
        // Bytes given out, whatever their text: a held-back partial character stays counted.
        blockSizes.append(waiting - comm.InBufferCount());
        if (comm.InputMode() == MSComm::comInputModeBinary)
            bytes += block.toByteArray();
        else
            text += block.toString();
        --depth;
    }

    MSComm &comm;
    QObject context;
    QByteArray bytes;
    QString text;
    QList<qsizetype> blockSizes;
    QList<bool> portOpenAtRead;
    int depth = 0;
    int maxDepth = 0;
};

} // namespace

class TestMSCommIo : public QObject
{
    Q_OBJECT

private slots:
    void inputComesInBlocks();
    void inputLenLimitsBlock();
    void readerThatReadsNothingIsNotPolled();
    void utf8AcrossBlocks_data();
    void utf8AcrossBlocks();
    void utf8AcrossArrivals();
    void byteModeGivesHeldBackBytes();
    void openResetsDecoder();
    void closeDiscardsUnread();
    void output_data();
    void output();
    void outputRefusals();
    void deviceLossKeepsReceivedBytes();
    void lostBytesSurviveAReopen();
    void outputAfterHangUp();
    void streamIsGathered_data();
    void streamIsGathered();
    void gatheredStreamSpeedsUp();
    void pauseEndsTheGathering();
};

void TestMSCommIo::inputComesInBlocks()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);

    // Everything arrives before anyone reads: far more than one block waits at once.
    const QByteArray sent = randomBytes(10000);
    QVERIFY(pty.write(sent));
    QTRY_COMPARE(comm.InBufferCount(), 10000);

    Reader reader(comm);
    reader.read();
    QCOMPARE(reader.bytes.size(), 4096);
    QTRY_COMPARE(reader.bytes.size(), sent.size());
    QCOMPARE(reader.bytes, sent);
    QCOMPARE(reader.blockSizes, (QList<qsizetype>{4096, 4096, 1808}));
    // Each block came in an event of its own, not from inside the previous one.
    QCOMPARE(reader.maxDepth, 1);
    QCOMPARE(comm.InBufferCount(), 0);

    // A stream larger than any buffer of the line comes through whole, in order.
    const QByteArray stream = randomBytes(300000);
    QVERIFY(pty.write(stream));
    QTRY_COMPARE(reader.bytes.size(), sent.size() + stream.size());
    QCOMPARE(reader.bytes.mid(sent.size()), stream);
    for (const qsizetype size : std::as_const(reader.blockSizes))
        QVERIFY(size > 0 && size <= 4096);
}

void TestMSCommIo::inputLenLimitsBlock()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);
    QVERIFY(pty.write("abcdefgh"));
    QTRY_COMPARE(comm.InBufferCount(), 8);

    comm.setInputLen(3);
    QCOMPARE(comm.Input().toByteArray(), QByteArray("abc"));
    QCOMPARE(comm.InBufferCount(), 5);
    comm.setInputLen(0);
    QCOMPARE(comm.Input().toByteArray(), QByteArray("defgh"));
    QCOMPARE(comm.Input().toByteArray(), QByteArray());
}

void TestMSCommIo::readerThatReadsNothingIsNotPolled()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QSignalSpy events(&comm, &MSComm::OnComm);
    QVERIFY(pty.write("x"));
    QVERIFY(events.wait(5000));
    QTest::qWait(200);
    const auto seen = events.size();
    QVERIFY(seen <= 2);
    QCOMPARE(comm.InBufferCount(), 1);

    // New bytes are announced again; reading then takes all of them.
    QVERIFY(pty.write("yz"));
    QTRY_VERIFY(events.size() > seen);
    QCOMPARE(comm.Input().toString(), QStringLiteral("xyz"));
}

void TestMSCommIo::utf8AcrossBlocks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("malformed");
    const QByteArray fill4095(4095, 'a');
    const QByteArray fill4094(4094, 'a');
    const QString text4095 = QString::fromLatin1(fill4095);
    const QString text4094 = QString::fromLatin1(fill4094);
    QTest::newRow("3-byte character over the boundary")
        << fill4095 + "\xE4\xB8\xAD" + "b" << text4095 + QStringLiteral("中b") << false;
    QTest::newRow("2-byte character over the boundary")
        << fill4095 + "\xC3\xA9" << text4095 + QStringLiteral("é") << false;
    QTest::newRow("4-byte character, two bytes each side")
        << fill4094 + "\xF0\x9F\x98\x80" + "!" << text4094 + QStringLiteral("\U0001F600!") << false;
    const QString chinese = QStringLiteral("柯澜欧串口调试");
    QTest::newRow("many blocks of Chinese")
        << chinese.toUtf8().repeated(1000) << chinese.repeated(1000) << false;
    // Malformed input: U+FFFD where the bytes are bad, and the same text as the stream decoded
    // in one piece, wherever the blocks happen to end.
    const auto malformed = [](const char *name, const QByteArray &bytes) {
        QTest::newRow(name) << bytes << QString::fromUtf8(bytes) << true;
    };
    malformed("malformed byte", "ok\xFFok");
    malformed("stray continuation byte", "a\x80z");
    malformed("truncated character then ASCII", "\xE4\xB8z");
    malformed("overlong start at the boundary", fill4094 + "\xE0\x80\x80z");
    malformed("surrogate start at the boundary", fill4095 + "\xED\xA0\x80z");
    malformed("beyond U+10FFFF at the boundary", fill4094 + "\xF4\x90\x80\x80z");
    malformed("truncated at the boundary", fill4095 + "\xE4\xB8z");
}

void TestMSCommIo::utf8AcrossBlocks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QVERIFY(pty.write(bytes));
    QTRY_COMPARE(comm.InBufferCount(), int(bytes.size()));

    Reader reader(comm);
    reader.read();
    QTRY_COMPARE(reader.text, text);
    QFETCH(bool, malformed);
    QCOMPARE(reader.text.contains(QChar::ReplacementCharacter), malformed);
    for (const qsizetype size : std::as_const(reader.blockSizes))
        QVERIFY(size <= 4096);
}

void TestMSCommIo::utf8AcrossArrivals()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    Reader reader(comm);

    QVERIFY(pty.write("x\xE4\xB8"));
    QTRY_COMPARE(reader.text, QStringLiteral("x"));
    QCOMPARE(comm.InBufferCount(), 2);
    QVERIFY(pty.write("\xAD\xE6"));
    QTRY_COMPARE(reader.text, QStringLiteral("x中"));
    QVERIFY(pty.write("\x96\x87"));
    QTRY_COMPARE(reader.text, QStringLiteral("x中文"));
    QCOMPARE(comm.InBufferCount(), 0);
}

void TestMSCommIo::byteModeGivesHeldBackBytes()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    Reader reader(comm);

    QVERIFY(pty.write("x\xE4\xB8"));
    QTRY_COMPARE(reader.text, QStringLiteral("x"));
    // The held-back start of a character is announced as soon as bytes can carry it.
    comm.setInputMode(MSComm::comInputModeBinary);
    QTRY_COMPARE(reader.bytes, QByteArray("\xE4\xB8"));
    QVERIFY(pty.write("\xAD"
                      "y"));
    QTRY_COMPARE(reader.bytes, QByteArray("\xE4\xB8\xAD"
                                          "y"));
    QCOMPARE(reader.text, QStringLiteral("x"));

    // And back to text: nothing of the byte-mode data lingers in the decoder.
    comm.setInputMode(MSComm::comInputModeText);
    QVERIFY(pty.write("\xC3\xA9"));
    QTRY_COMPARE(reader.text, QStringLiteral("xé"));
}

void TestMSCommIo::openResetsDecoder()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    Reader reader(comm);
    QVERIFY(pty.write("a\xE4\xB8"));
    QTRY_COMPARE(reader.text, QStringLiteral("a"));

    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.InBufferCount(), 0);
    QVERIFY(pty.write("\xAD"
                      "b"));
    QTRY_COMPARE(reader.text, QStringLiteral("a\uFFFDb"));
}

void TestMSCommIo::closeDiscardsUnread()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QVERIFY(pty.write("stale"));
    QTRY_COMPARE(comm.InBufferCount(), 5);
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.InBufferCount(), 0);
    QCOMPARE(comm.Input().toString(), QString());

    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.Input().toString(), QString());
    QVERIFY(pty.write("fresh"));
    QTRY_COMPARE(comm.InBufferCount(), 5);
    QCOMPARE(comm.Input().toString(), QStringLiteral("fresh"));
}

void TestMSCommIo::output_data()
{
    QTest::addColumn<QVariant>("data");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("ASCII text") << QVariant(QStringLiteral("11:")) << QByteArray("11:");
    QTest::newRow("Chinese text as UTF-8")
        << QVariant(QStringLiteral("技术论坛：http://www.zelqo.com 柯澜欧品牌\r\n"))
        << QStringLiteral("技术论坛：http://www.zelqo.com 柯澜欧品牌\r\n").toUtf8();
    QTest::newRow("bytes as they are")
        << QVariant(QByteArray("\x00\xFF\x10\x0D\x0A", 5)) << QByteArray("\x00\xFF\x10\x0D\x0A", 5);
    const QByteArray large = randomBytes(100000);
    QTest::newRow("more than the line buffers") << QVariant(large) << large;
    QTest::newRow("empty text") << QVariant(QString()) << QByteArray();
}

void TestMSCommIo::output()
{
    QFETCH(QVariant, data);
    QFETCH(QByteArray, wire);
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QCOMPARE(comm.Output(data), int(MSComm::NoError));
    QCOMPARE(comm.Output(QByteArray("|end")), int(MSComm::NoError));
    QCOMPARE(pty.readExactly(wire.size() + 4, 20000), wire + "|end");
}

void TestMSCommIo::outputRefusals()
{
    BoardPort board;
    QVERIFY(board.pty.isValid());
    auto &[pty, comm] = board;
    QCOMPARE(comm.Output(QStringLiteral("abc")), int(MSComm::PortNotOpen));
    QCOMPARE(comm.Output(QByteArray("abc")), int(MSComm::PortNotOpen));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.Output(QVariant(42)), int(MSComm::InvalidPropertyValue));
    QCOMPARE(comm.Output(QVariant()), int(MSComm::InvalidPropertyValue));
    QVERIFY(comm.PortOpen());
    QTest::qWait(50);
    QCOMPARE(pty.readAvailable(), QByteArray());
}

void TestMSCommIo::deviceLossKeepsReceivedBytes()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);
    QSignalSpy lost(&comm, &MSComm::deviceLost);

    const QByteArray sent = randomBytes(10000);
    QVERIFY(pty.write(sent));
    QTRY_COMPARE(comm.InBufferCount(), int(sent.size()));

    // Let the announcements of the arrival pass unheard, so that the reader hears only what the
    // loss announces.
    QTest::qWait(50);
    Reader reader(comm);

    pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!comm.PortOpen(), 1000);
    QCOMPARE(lost.size(), 1);
    QCOMPARE(comm.devicePath(), QString());

    // What came before the loss is still announced and read, block by block.
    QTRY_COMPARE(reader.bytes.size(), sent.size());
    QCOMPARE(reader.bytes, sent);
    QCOMPARE(reader.blockSizes, (QList<qsizetype>{4096, 4096, 1808}));
    QVERIFY(!reader.portOpenAtRead.contains(true));

    // A hung-up tty keeps failing reads; none of that may keep the process busy.
    const double before = processCpuSeconds();
    QTest::qWait(1000);
    const double spent = processCpuSeconds() - before;
    QVERIFY2(spent < 0.2, qPrintable(QStringLiteral("%1 s of CPU while idle").arg(spent)));
    QCOMPARE(lost.size(), 1);
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.Output(QByteArray("x")), int(MSComm::PortNotOpen));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::PortInvalid));
}

// The board comes back and is opened again before the window read what the lost one left: that
// comes first, then the new connection's bytes. Only a close throws it away.
void TestMSCommIo::lostBytesSurviveAReopen()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);
    QVERIFY(pty.write("crash dump"));
    QTRY_COMPARE(comm.InBufferCount(), 10);
    pty.closeMaster();
    QTRY_VERIFY(!comm.PortOpen());

    PseudoTerminal second;
    comm.setPortResolver(ptyResolver({{1, second.slavePath()}}));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QVERIFY(second.write(" / boot"));
    QTRY_COMPARE(comm.InBufferCount(), 17);
    {
        Reader reader(comm);
        reader.read();
        QTRY_COMPARE(reader.bytes, QByteArray("crash dump / boot"));
    }

    QVERIFY(second.write("left"));
    QTRY_COMPARE(comm.InBufferCount(), 4);
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.InBufferCount(), 0);
}

void TestMSCommIo::outputAfterHangUp()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QSignalSpy lost(&comm, &MSComm::deviceLost);

    pty.closeMaster();
    // The loss may or may not be noticed by the time of this write; either way it ends closed.
    const int first = comm.Output(QByteArray("lost in the void"));
    QVERIFY(first == MSComm::NoError || first == MSComm::DeviceLost);
    QTRY_VERIFY_WITH_TIMEOUT(!comm.PortOpen(), 1000);
    QCOMPARE(lost.size(), 1);
    QCOMPARE(comm.Output(QStringLiteral("again")), int(MSComm::PortNotOpen));

    const double before = processCpuSeconds();
    QTest::qWait(1000);
    QVERIFY(processCpuSeconds() - before < 0.2);
    QCOMPARE(lost.size(), 1);
}

void TestMSCommIo::streamIsGathered_data()
{
    QTest::addColumn<int>("writeSize");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<QString>("gathered"); // in most, few or none of the moments looked at
    QTest::addColumn<int>("tickMs");       // at the end of a gathered stream
    QTest::addColumn<bool>("allowed");
    QTest::newRow("115200 baud in 32-byte reads") << 32 << 3 << "most" << TtyLink::GatherMs << true;
    QTest::newRow("a line every 20 ms") << 256 << 20 << "most" << TtyLink::GatherMs << true;
    QTest::newRow("115 kB/s in 512-byte writes")
        << 512 << 4 << "most" << TtyLink::FastGatherMs << true;
    QTest::newRow("too fast to leave for a tick") << 4096 << 3 << "few" << 0 << true;
    QTest::newRow("a line a second is no stream") << 20 << 60 << "none" << 0 << true;
    QTest::newRow("a protocol that answers every block") << 32 << 3 << "none" << 0 << false;
}

// A board streaming small reads is taken on the link's timer instead of at every read; every
// byte comes, in order, across the starts and ends of the stream; when it stops, the next byte
// wakes the link at once again; and a hang-up in the middle of a stream is still a lost device.
void TestMSCommIo::streamIsGathered()
{
    QFETCH(int, writeSize);
    QFETCH(int, intervalMs);
    QFETCH(QString, gathered);
    QFETCH(int, tickMs);
    QFETCH(bool, allowed);
    PseudoTerminal pty;
    TtyLink link(pty.slavePath(), nullptr);
    link.setStreamGathering(allowed);
    QCOMPARE(link.open(), int(MSComm::NoError));
    QByteArray received;
    int reads = 0;
    int lastTickMs = 0;
    QObject::connect(&link, &Link::readyRead, &link, [&] {
        received += link.read(link.bytesAvailable());
        ++reads;
    });
    const QByteArray bytes = randomBytes(writeSize * 100);
    QByteArray sent;
    int moments = 0;
    int gatheringMoments = 0;
    for (int burst = 0; burst < 2; ++burst) {
        for (qsizetype at = 0; at < bytes.size(); at += writeSize) {
            QVERIFY(pty.write(bytes.mid(at, writeSize)));
            sent += bytes.mid(at, writeSize);
            QTest::qWait(intervalMs);
            ++moments;
            gatheringMoments += link.gathering() ? 1 : 0;
            if (link.gathering())
                lastTickMs = link.gatherMs();
        }
        QTRY_COMPARE(received.size(), sent.size());
        QTRY_VERIFY(!link.gathering());
    }
    if (gathered == QLatin1String("most")) {
        QVERIFY2(gatheringMoments > moments / 2, qPrintable(QString::number(gatheringMoments)));
        // Taken a tick at a time, not at every write.
        QVERIFY2(reads < moments * 3 / 4, qPrintable(QStringLiteral("%1 reads").arg(reads)));
        QCOMPARE(lastTickMs, tickMs);
    } else if (gathered == QLatin1String("few")) {
        QVERIFY2(gatheringMoments < moments / 2, qPrintable(QString::number(gatheringMoments)));
    } else {
        QCOMPARE(gatheringMoments, 0);
    }
    QVERIFY(received == sent);

    // After the stream the first byte is not left for a tick: with no timer running, one pass
    // of the event loop once it waits takes it.
    QVERIFY(!link.gathering());
    QVERIFY(pty.write("!"));
    QVERIFY(pty.waitForBacklog(1));
    QCoreApplication::processEvents();
    QCOMPARE(received.size(), sent.size() + 1);

    QSignalSpy failed(&link, &Link::failed);
    for (int i = 0; i < 20; ++i) {
        QVERIFY(pty.write(bytes.left(writeSize)));
        QTest::qWait(intervalMs);
    }
    pty.closeMaster();
    QTRY_VERIFY(!failed.isEmpty());
}

// A gathered stream that jumps to the rate of a fast adapter: the next tick finds more waiting
// than a tick may leave and hands the device back to QSerialPort's watch while the stream goes
// on; every byte comes in order across reads by the timer and by QSerialPort.
void TestMSCommIo::gatheredStreamSpeedsUp()
{
    PseudoTerminal pty;
    TtyLink link(pty.slavePath(), nullptr);
    QCOMPARE(link.open(), int(MSComm::NoError));
    QByteArray received;
    QObject::connect(&link, &Link::readyRead, &link,
                     [&] { received += link.read(link.bytesAvailable()); });
    const QByteArray bytes = randomBytes(256 << 10);
    qsizetype at = 0;
    const auto send = [&](qsizetype n) {
        const bool written = pty.write(bytes.mid(at, n));
        at += n;
        return written;
    };
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 200 && !link.gathering(); ++i) {
            QVERIFY(send(32));
            QTest::qWait(3);
        }
        QVERIFY(link.gathering());
        // The adapter fills the tty between two ticks, as fast as the kernel takes it.
        qsizetype burst = 0;
        while (burst < 2 * TtyLink::FullTickBytes) {
            const ssize_t n = ::write(pty.masterFd(), bytes.constData() + at + burst,
                                      size_t(2 * TtyLink::FullTickBytes - burst));
            if (n <= 0)
                break;
            burst += n;
        }
        at += burst;
        QVERIFY(pty.waitForBacklog(TtyLink::FullTickBytes + 1));
        QTRY_VERIFY(!link.gathering());
        QVERIFY(send(4096));
        QTRY_COMPARE(received.size(), at);
    }
    QVERIFY(received == bytes.first(at));
}

QTEST_GUILESS_MAIN(TestMSCommIo)
// Lending the port mid-stream ends the gathering: no tick finds the device gone while the other
// program has it, and the stream is read again once it is back.
void TestMSCommIo::pauseEndsTheGathering()
{
    PseudoTerminal pty;
    TtyLink link(pty.slavePath(), nullptr);
    QCOMPARE(link.open(), int(MSComm::NoError));
    QByteArray received;
    QObject::connect(&link, &Link::readyRead, &link,
                     [&] { received += link.read(link.bytesAvailable()); });
    QSignalSpy failed(&link, &Link::failed);
    for (int i = 0; i < 200 && !link.gathering(); ++i) {
        QVERIFY(pty.write(QByteArray(32, 'x')));
        QTest::qWait(3);
    }
    QVERIFY(link.gathering());
    QTRY_VERIFY(pty.backlog() == 0 && !received.isEmpty());
    const int other = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(other >= 0);

    QVERIFY(link.pauseReading());
    QVERIFY(!link.gathering());
    const qsizetype before = received.size();
    QVERIFY(pty.write("yours"));
    pollfd readable{other, POLLIN, 0};
    QCOMPARE(::poll(&readable, 1, 5000), 1);
    char got[8] = {};
    QCOMPARE(::read(other, got, sizeof got), ssize_t(5));
    ::close(other);
    QTest::qWait(3 * TtyLink::GatherMs);
    QVERIFY(failed.isEmpty());
    QCOMPARE(received.size(), before);

    link.resumeReading();
    QVERIFY(pty.write("mine"));
    QTRY_VERIFY(received.endsWith("mine"));
    QVERIFY(failed.isEmpty());
}

#include "tst_mscomm_io.moc"
