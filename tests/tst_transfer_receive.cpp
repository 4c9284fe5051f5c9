// Files from the programs Debian ships for the job, over a pseudo-terminal: lrzsz's sb, sx and
// sz and python3-xmodem send, the program receives into a folder, byte for byte, with the
// names and sizes YMODEM and ZMODEM carry (XMODEM's 1A padding stripped on request).
#include "support/transfer_line.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace transfer;

class TestTransferReceive : public QObject
{
    Q_OBJECT

private slots:
    void receiveFrom_data();
    void receiveFrom();
};

void TestTransferReceive::receiveFrom_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<Peer>("peer");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<bool>("strip");
    const QList<int> all = edgeSizes() << bigSize();
    // sb and sx without -k send 128-byte blocks, which lrzsz paces slowly on a
    // pseudo-terminal: the big file goes with -k.
    QTest::newRow("sb, YMODEM batch")
        << Protocol::Ymodem << Peer{QStringLiteral("sb"), {}} << edgeSizes() << false;
    QTest::newRow("sb -k, YMODEM-1K batch")
        << Protocol::Ymodem << Peer{QStringLiteral("sb"), {"-k"}} << all << false;
    QTest::newRow("sz, ZMODEM batch")
        << Protocol::Zmodem << Peer{QStringLiteral("sz"), {}} << all << false;
    for (const int size : {1, 128, 1025, 5000}) {
        QTest::addRow("sx, XMODEM, %d bytes", size)
            << Protocol::Xmodem << Peer{QStringLiteral("sx"), {"FILE"}} << QList<int>{size}
            << false;
        QTest::addRow("sx -k, XMODEM-1K, 1A stripped, %d bytes", size)
            << Protocol::Xmodem << Peer{QStringLiteral("sx"), {"-k", "FILE"}} << QList<int>{size}
            << true;
    }
    QTest::newRow("sx -k, XMODEM-1K, big")
        << Protocol::Xmodem << Peer{QStringLiteral("sx"), {"-k", "FILE"}} << QList<int>{bigSize()}
        << false;
    QTest::newRow("python3-xmodem, XMODEM-1K")
        << Protocol::Xmodem
        << Peer{python(), {supportScript("xmodem_peer.py"), "send", "xmodem1k", "DEVICE", "FILE"}}
        << QList<int>{70000} << false;
}

void TestTransferReceive::receiveFrom()
{
    QFETCH(Protocol, protocol);
    QFETCH(Peer, peer);
    QFETCH(QList<int>, sizes);
    QFETCH(bool, strip);
    QTemporaryDir from;
    QTemporaryDir to;
    TransferLine line;
    QVERIFY(line.isValid());
    const QStringList files = makeFiles(from.path(), sizes);
    const bool named = protocol != Protocol::Xmodem;
    QStringList arguments = peer.arguments;
    if (named) {
        for (const QString &path : files)
            arguments.append(QFileInfo(path).fileName());
    }
    arguments.replaceInStrings(QStringLiteral("FILE"), QFileInfo(files.first()).fileName());
    arguments.replaceInStrings(QStringLiteral("DEVICE"), line.boardDevice());
    BoardProgram board(line.boardDevice(), peer.program, arguments, from.path());
    Request request;
    request.direction = Direction::Receive;
    request.protocol = protocol;
    request.folder = to.path();
    request.xmodemName = QStringLiteral("received.bin");
    request.stripPadding = strip;
    const bool done = line.run(request);
    QVERIFY2(done, transcript(line, board));
    QVERIFY2(board.wait() == 0, transcript(line, board));
    // Nothing else is left in the folder: no temporary file, no lrzsz folder.
    const QStringList left =
        QDir(to.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (named) {
        for (const QString &path : files)
            QCOMPARE(readFile(to.filePath(QFileInfo(path).fileName())), readFile(path));
        QCOMPARE(left.size(), files.size());
        return;
    }
    QCOMPARE(left, QStringList{QStringLiteral("received.bin")});
    const QByteArray original = readFile(files.first());
    const QByteArray got = readFile(to.filePath(QStringLiteral("received.bin")));
    if (strip) {
        QCOMPARE(got, withoutPadding(original));
    } else {
        QCOMPARE(got.left(original.size()), original);
        QCOMPARE(withoutPadding(got.mid(original.size())), QByteArray());
    }
}

QTEST_GUILESS_MAIN(TestTransferReceive)
#include "tst_transfer_receive.moc"
