// Files to the programs Debian ships for the job, over a pseudo-terminal: lrzsz's rb, rx and rz
// and python3-xmodem receive what the program sends, byte for byte, with their names and sizes
// (XMODEM followed by 1A up to its block size).
#include "support/transfer_line.h"
#include "transfer/block_frame.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace transfer;

class TestTransferSend : public QObject
{
    Q_OBJECT

private slots:
    void sendTo_data();
    void sendTo();
};

void TestTransferSend::sendTo_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<Peer>("peer");
    QTest::addColumn<QList<int>>("sizes");
    const QString script = supportScript("xmodem_peer.py");
    // lrzsz waits a tenth of a second at the end of each block it reads on a pseudo-terminal:
    // the big file goes to it once, and to python3-xmodem for XMODEM.
    QTest::newRow("rb, YMODEM batch of every size")
        << Protocol::Ymodem << Peer{QStringLiteral("rb"), {}} << (edgeSizes() << bigSize());
    QTest::newRow("rb -y, YMODEM")
        << Protocol::Ymodem << Peer{QStringLiteral("rb"), {"-y"}} << QList<int>{3000};
    QTest::newRow("rz, ZMODEM batch of every size")
        << Protocol::Zmodem << Peer{QStringLiteral("rz"), {}} << (edgeSizes() << bigSize());
    // rb and rx quit as soon as they have ACKed the end and flush the pseudo-terminal on the
    // way out, which often takes that ACK with it: the sender then waits out the receiver's
    // silence before it takes it for the end. The edge sizes go to python3-xmodem, which
    // takes no empty file (it wants a block before EOT).
    for (const int size : {0, 1025}) {
        QTest::addRow("rx -c, XMODEM, %d bytes", size)
            << Protocol::Xmodem << Peer{QStringLiteral("rx"), {"-c", "FILE"}} << QList<int>{size};
        QTest::addRow("rx, XMODEM-1K with the sum, %d bytes", size)
            << Protocol::Xmodem1K << Peer{QStringLiteral("rx"), {"FILE"}} << QList<int>{size};
    }
    for (const int size : edgeSizes().mid(1)) {
        QTest::addRow("python3-xmodem, XMODEM, %d bytes", size)
            << Protocol::Xmodem << Peer{python(), {script, "recv", "xmodem", "DEVICE", "FILE"}}
            << QList<int>{size};
        QTest::addRow("python3-xmodem, XMODEM-1K, %d bytes", size)
            << Protocol::Xmodem1K << Peer{python(), {script, "recv", "xmodem1k", "DEVICE", "FILE"}}
            << QList<int>{size};
    }
    QTest::newRow("python3-xmodem, XMODEM-1K, big")
        << Protocol::Xmodem1K << Peer{python(), {script, "recv", "xmodem1k", "DEVICE", "FILE"}}
        << QList<int>{bigSize()};
}

void TestTransferSend::sendTo()
{
    QFETCH(Protocol, protocol);
    QFETCH(Peer, peer);
    QFETCH(QList<int>, sizes);
    QTemporaryDir from;
    QTemporaryDir to;
    // A real line takes a moment to carry a byte. lrzsz empties its input right after each
    // ACK: on a bare pseudo-terminal the next block can come back before that and be lost.
    LineFaults usbLatency;
    usbLatency.delayAnswerMs = 2;
    TransferLine line(&usbLatency);
    QVERIFY(line.isValid());
    const QStringList files = makeFiles(from.path(), sizes);
    // rx takes no path with a slash: it receives into its working folder.
    QStringList arguments = peer.arguments;
    arguments.replaceInStrings(QStringLiteral("FILE"), QStringLiteral("received.bin"));
    arguments.replaceInStrings(QStringLiteral("DEVICE"), line.boardDevice());
    BoardProgram board(line.boardDevice(), peer.program, arguments, to.path());
    Request request;
    request.protocol = protocol;
    request.files = files;
    const bool done = line.run(request);
    QVERIFY2(done, transcript(line, board));
    QVERIFY2(board.wait() == 0, transcript(line, board));
    QCOMPARE(line.progress.done, line.progress.total);
    if (protocol == Protocol::Ymodem || protocol == Protocol::Zmodem) {
        for (const QString &path : files)
            QCOMPARE(readFile(to.filePath(QFileInfo(path).fileName())), readFile(path));
        return;
    }
    const QByteArray original = readFile(files.first());
    const QByteArray got = readFile(to.filePath(QStringLiteral("received.bin")));
    const qsizetype block = protocol == Protocol::Xmodem ? ShortBlock : LongBlock;
    QCOMPARE(got.size() % ShortBlock, 0);
    QVERIFY(got.size() - original.size() < qMax<qsizetype>(block, 1));
    QCOMPARE(got.left(original.size()), original);
    QCOMPARE(withoutPadding(got.mid(original.size())), QByteArray());
}

QTEST_GUILESS_MAIN(TestTransferSend)
#include "tst_transfer_send.moc"
