// Transfers that go wrong, with lrzsz and a model of ST's IAP receiver as the board: a line that
// damages, drops and holds back bytes and bursts NAK; the user cancelling; a port that goes
// away; names that point outside the folder or are taken; lrzsz missing.
#include "support/transfer_line.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace transfer;

Q_DECLARE_METATYPE(LineFaults)

namespace {

Request sendRequest(Protocol protocol, const QStringList &files)
{
    Request request;
    request.protocol = protocol;
    request.files = files;
    return request;
}

Request receiveRequest(Protocol protocol, const QString &folder)
{
    Request request;
    request.direction = Direction::Receive;
    request.protocol = protocol;
    request.folder = folder;
    return request;
}

QStringList everything(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

} // namespace

class TestTransferFaults : public QObject
{
    Q_OBJECT

private slots:
    void noisyLine_data();
    void noisyLine();
    void cancelled_data();
    void cancelled();
    void portLost_data();
    void portLost();
    void onlyWholeKilobytes_data();
    void onlyWholeKilobytes();
    void pathInHeader_data();
    void pathInHeader();
    void nameTaken_data();
    void nameTaken();
    void lrzszMissing();
};

void TestTransferFaults::noisyLine_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<LineFaults>("faults");
    QTest::addColumn<bool>("retries");
    LineFaults flip;
    flip.flipEvery = 5001;
    LineFaults drop;
    drop.dropEvery = 6007;
    LineFaults slow;
    slow.delayAnswerMs = 300;
    LineFaults bursts;
    bursts.nakBurstEvery = 10;
    bursts.delayAnswerMs = 2;
    QTest::newRow("to rb, bytes flipped") << true << flip << true;
    QTest::newRow("to rb, bytes dropped") << true << drop << true;
    QTest::newRow("to rb, answers held back") << true << slow << false;
    QTest::newRow("to rb, NAK bursts") << true << bursts << true;
    flip.damageFromBoard = drop.damageFromBoard = true;
    QTest::newRow("from sb -k, bytes flipped") << false << flip << true;
    QTest::newRow("from sb -k, bytes dropped") << false << drop << true;
}

// The file arrives whole and right, the damage costing retries.
void TestTransferFaults::noisyLine()
{
    QFETCH(bool, sending);
    QFETCH(LineFaults, faults);
    QFETCH(bool, retries);
    QTemporaryDir from;
    QTemporaryDir to;
    TransferLine line(&faults);
    QVERIFY(line.isValid());
    const QStringList files = makeFiles(from.path(), {20000, 3000});
    BoardProgram board(line.boardDevice(), sending ? QStringLiteral("rb") : QStringLiteral("sb"),
                       sending ? QStringList() : QStringList{"-k", "f20000.bin", "f3000.bin"},
                       sending ? to.path() : from.path());
    const bool done = line.run(sending ? sendRequest(Protocol::Ymodem, files)
                                       : receiveRequest(Protocol::Ymodem, to.path()));
    QVERIFY2(done, transcript(line, board));
    QVERIFY2(board.wait() == 0, transcript(line, board));
    for (const QString &path : files)
        QCOMPARE(readFile(to.filePath(QFileInfo(path).fileName())), readFile(path));
    QCOMPARE(everything(to.path()).size(), files.size());
    QVERIFY(line.relay->flipped + line.relay->dropped + line.relay->bursts > 0 ||
            faults.delayAnswerMs > 0);
    if (retries)
        QVERIFY2(line.progress.retries > 0, transcript(line, board));
}

void TestTransferFaults::cancelled_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<Protocol>("protocol");
    QTest::newRow("sending YMODEM to rb") << true << Protocol::Ymodem;
    QTest::newRow("sending ZMODEM to rz") << true << Protocol::Zmodem;
    QTest::newRow("receiving YMODEM from sb") << false << Protocol::Ymodem;
    QTest::newRow("receiving ZMODEM from sz") << false << Protocol::Zmodem;
}

// Cancelling midway tells the board's program, which gives up with a failure; nothing of a
// half-received file is kept.
void TestTransferFaults::cancelled()
{
    QFETCH(bool, sending);
    QFETCH(Protocol, protocol);
    QTemporaryDir from;
    QTemporaryDir to;
    // Held back so that the transfer takes a while.
    LineFaults slow;
    slow.delayAnswerMs = 20;
    TransferLine line(&slow);
    QVERIFY(line.isValid());
    const QStringList files = makeFiles(from.path(), {bigSize()});
    const bool z = protocol == Protocol::Zmodem;
    QString program = sending ? (z ? "rz" : "rb") : (z ? "sz" : "sb");
    BoardProgram board(line.boardDevice(), program,
                       sending ? QStringList() : QStringList{QFileInfo(files.first()).fileName()},
                       sending ? to.path() : from.path());
    line.session->start(sending ? sendRequest(protocol, files)
                                : receiveRequest(protocol, to.path()));
    QTRY_VERIFY_WITH_TIMEOUT(line.progress.done > 20000 || line.ended, 60000);
    QVERIFY2(!line.ended, transcript(line, board));
    line.session->cancel();
    QVERIFY(line.waitForEnd());
    QCOMPARE(line.message, QStringLiteral("已取消"));
    QVERIFY(!line.ok);
    const int exit = board.wait(60000);
    // sz streams: it may have put the whole file on the line before the cancel reaches it, and
    // then says it got the cancel but ends with success.
    const bool toldOfCancel =
        exit != 0 || (program == QStringLiteral("sz") && board.errors().contains("Got ZCAN"));
    QVERIFY2(exit != -1 && toldOfCancel, qPrintable(QString::number(exit) + board.errors()));
    if (!sending)
        QCOMPARE(everything(to.path()), QStringList());
}

void TestTransferFaults::portLost_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<bool>("writeFails");
    QTest::newRow("sending, the port refuses a write") << true << true;
    QTest::newRow("sending, the port goes away") << true << false;
    QTest::newRow("receiving, the port goes away") << false << false;
}

// The port lost midway: the transfer stops with the message at once and writes nothing more;
// a half-received file is not kept.
void TestTransferFaults::portLost()
{
    QFETCH(bool, sending);
    QFETCH(bool, writeFails);
    QTemporaryDir from;
    QTemporaryDir to;
    LineFaults slow;
    slow.delayAnswerMs = 20;
    TransferLine line(&slow);
    const QStringList files = makeFiles(from.path(), {bigSize()});
    BoardProgram board(line.boardDevice(), sending ? QStringLiteral("rb") : QStringLiteral("sb"),
                       sending ? QStringList()
                               : QStringList{"-k", QFileInfo(files.first()).fileName()},
                       sending ? to.path() : from.path());
    line.session->start(sending ? sendRequest(Protocol::Ymodem, files)
                                : receiveRequest(Protocol::Ymodem, to.path()));
    QTRY_VERIFY_WITH_TIMEOUT(line.progress.done > 20000 || line.ended, 60000);
    QVERIFY2(!line.ended, transcript(line, board));
    if (writeFails)
        line.unplugged = true;
    else
        line.session->portLost();
    QVERIFY(line.waitForEnd(30000));
    QCOMPARE(line.message, QStringLiteral("串口已断开，传输中止"));
    QVERIFY(!line.session->running());
    const qsizetype written = line.port->written.size();
    QTest::qWait(300);
    QCOMPARE(line.port->written.size(), written);
    if (!sending)
        QCOMPARE(everything(to.path()), QStringList());
}

void TestTransferFaults::onlyWholeKilobytes_data()
{
    QTest::addColumn<bool>("only1K");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("1 byte") << true << 1 << true;
    QTest::newRow("1000 bytes") << true << 1000 << true;
    QTest::newRow("2500 bytes") << true << 2500 << true;
    // The tail of 452 bytes goes as four 128-byte blocks, which the receiver refuses.
    QTest::newRow("2500 bytes, 128-byte tail") << false << 2500 << false;
}

// A receiver that counts every data block as 1 KB, as ST's IAP does, takes the default
// YMODEM: every data block 1024 bytes, the last padded, the header's size cutting it.
void TestTransferFaults::onlyWholeKilobytes()
{
    QFETCH(bool, only1K);
    QFETCH(int, size);
    QFETCH(bool, accepted);
    QTemporaryDir from;
    QTemporaryDir to;
    TransferLine line;
    const QStringList files = makeFiles(from.path(), {size});
    BoardProgram board(line.boardDevice(), python(),
                       {supportScript("iap_receiver.py"), line.boardDevice(), to.path()},
                       to.path());
    Request request = sendRequest(Protocol::Ymodem, files);
    request.only1K = only1K;
    const bool done = line.run(request);
    QCOMPARE(done, accepted);
    QCOMPARE(board.wait(), accepted ? 0 : 2);
    if (accepted)
        QCOMPARE(readFile(to.filePath(QFileInfo(files.first()).fileName())),
                 readFile(files.first()));
    else
        QCOMPARE(line.message, QStringLiteral("接收方取消了传输"));
}

void TestTransferFaults::pathInHeader_data()
{
    QTest::addColumn<bool>("absolute");
    QTest::newRow("../../x") << false;
    QTest::newRow("/…/x") << true;
}

// sb -f sends the path as given; only its last part names the file, inside the folder.
void TestTransferFaults::pathInHeader()
{
    QFETCH(bool, absolute);
    QTemporaryDir from;
    QTemporaryDir to;
    QVERIFY(QDir(from.path()).mkpath(QStringLiteral("a/b")));
    QVERIFY(writeFile(from.filePath(QStringLiteral("x")), "the file x\n"));
    TransferLine line;
    const QString path = absolute ? from.filePath(QStringLiteral("x")) : QStringLiteral("../../x");
    BoardProgram board(line.boardDevice(), QStringLiteral("sb"), {"-f", path},
                       from.filePath(QStringLiteral("a/b")));
    const QStringList before = everything(QFileInfo(to.path()).path());
    const bool done = line.run(receiveRequest(Protocol::Ymodem, to.path()));
    QVERIFY2(done, transcript(line, board));
    QCOMPARE(board.wait(), 0);
    QCOMPARE(everything(to.path()), QStringList{QStringLiteral("x")});
    QCOMPARE(readFile(to.filePath(QStringLiteral("x"))), QByteArray("the file x\n"));
    QCOMPARE(everything(QFileInfo(to.path()).path()), before);
}

void TestTransferFaults::nameTaken_data()
{
    QTest::addColumn<ExistingFile>("answer");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("overwrite") << ExistingFile::Overwrite << QStringList{"f3000.bin"} << true;
    QTest::newRow("keep both") << ExistingFile::KeepBoth
                               << QStringList{"f3000 (1).bin", "f3000.bin"} << false;
    QTest::newRow("discard") << ExistingFile::Discard << QStringList{"f3000.bin"} << false;
}

// A received file whose name is taken: the question comes as the name is known, the transfer
// goes on meanwhile, and the end waits for the answer; the old file is replaced only when the
// user says so.
void TestTransferFaults::nameTaken()
{
    QFETCH(ExistingFile, answer);
    QFETCH(QStringList, files);
    QFETCH(bool, replaced);
    QTemporaryDir from;
    QTemporaryDir to;
    const QStringList sent = makeFiles(from.path(), {3000});
    QVERIFY(writeFile(to.filePath(QStringLiteral("f3000.bin")), "old"));
    TransferLine line;
    QSignalSpy asked(line.session.get(), &TransferSession::existingFile);
    BoardProgram board(line.boardDevice(), QStringLiteral("sb"), {"f3000.bin"}, from.path());
    line.session->start(receiveRequest(Protocol::Ymodem, to.path()));
    QTRY_COMPARE_WITH_TIMEOUT(asked.size(), 1, 30000);
    QCOMPARE(asked.first().at(1).toString(), QStringLiteral("f3000.bin"));
    QCOMPARE(board.wait(), 0);
    // The transfer is over; the session waits for the answer.
    QTest::qWait(200);
    QVERIFY(!line.ended);
    QVERIFY(line.session->running());
    line.session->answerExisting(asked.first().at(0).toInt(), answer);
    QVERIFY(line.waitForEnd(5000));
    QVERIFY(line.ok);
    QCOMPARE(everything(to.path()), files);
    QCOMPARE(readFile(to.filePath(QStringLiteral("f3000.bin"))),
             replaced ? readFile(sent.first()) : QByteArray("old"));
    if (answer == ExistingFile::KeepBoth)
        QCOMPARE(readFile(to.filePath(QStringLiteral("f3000 (1).bin"))), readFile(sent.first()));
}

void TestTransferFaults::lrzszMissing()
{
    TransferLine line;
    line.session->setProgramFinder([](const QString &) { return QString(); });
    QTemporaryDir from;
    QVERIFY(!line.run(sendRequest(Protocol::Zmodem, makeFiles(from.path(), {10}))));
    QCOMPARE(line.message,
             QStringLiteral("没有找到 sz：请安装 lrzsz 软件包（sudo apt install lrzsz）"));
}

QTEST_GUILESS_MAIN(TestTransferFaults)
#include "tst_transfer_faults.moc"
