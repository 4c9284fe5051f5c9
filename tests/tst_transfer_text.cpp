// A text file sent as a person types it: line endings converted, a pause after each character
// and each line, each line only after the board's prompt; against a model clock, then against
// a board that reads a program after its prompt.
#include "support/memory_files.h"
#include "support/transfer_line.h"
#include "transfer/paced_text.h"

#include <QTemporaryDir>
#include <QTest>

using namespace transfer;

namespace {

// Runs the engine on a model clock, the board answering each line's end with answer; returns
// each write with its time.
QList<std::pair<qint64, QByteArray>> paced(const QByteArray &text, PacedText::Options options,
                                           const QByteArray &answer = {})
{
    MemorySource source({{QStringLiteral("t.txt"), text}});
    PacedText engine(options, &source);
    QList<std::pair<qint64, QByteArray>> writes;
    qint64 now = 0;
    engine.start(now);
    for (int steps = 0; engine.outcome() == Outcome::Running && steps < 100000; ++steps) {
        now = qMax(now, engine.deadline());
        engine.tick(now);
        const QByteArray out = engine.takeOutput();
        if (out.isEmpty())
            continue;
        writes.append({now, out});
        if (!answer.isEmpty() && (out.endsWith('\r') || out.endsWith('\n'))) {
            now += 5;
            engine.receive(answer, now);
        }
    }
    return writes;
}

} // namespace

class TestTransferText : public QObject
{
    Q_OBJECT

private slots:
    void lineEndings_data();
    void lineEndings();
    void prompt_data();
    void prompt();
    void pauses_data();
    void pauses();
    void promptNeverComes();
    void promptGatedBoard();
};

void TestTransferText::lineEndings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<LineEnding>("ending");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray mixed("a\r\nb\nc\rd");
    QTest::newRow("to CR") << mixed << LineEnding::Cr << QByteArray("a\rb\rc\rd\r");
    QTest::newRow("to LF") << mixed << LineEnding::Lf << QByteArray("a\nb\nc\nd\n");
    QTest::newRow("to CR+LF") << mixed << LineEnding::CrLf << QByteArray("a\r\nb\r\nc\r\nd\r\n");
    QTest::newRow("as is") << mixed << LineEnding::AsIs << mixed;
    QTest::newRow("empty lines kept")
        << QByteArray("\n\r\n\r") << LineEnding::Cr << QByteArray("\r\r\r");
    QTest::newRow("ends with an ending")
        << QByteArray("x\r\n") << LineEnding::Lf << QByteArray("x\n");
    QTest::newRow("empty file") << QByteArray() << LineEnding::CrLf << QByteArray();
    QTest::newRow("UTF-8 and GBK untouched")
        << QByteArray("温度\n\xC4\xE3\xBA\xC3") << LineEnding::Cr
        << QByteArray("温度\r\xC4\xE3\xBA\xC3\r");
}

// However the file is cut into pieces, a CR LF split between two stays one ending.
void TestTransferText::lineEndings()
{
    QFETCH(QByteArray, text);
    QFETCH(LineEnding, ending);
    QFETCH(QByteArray, expected);
    for (qsizetype cut = 0; cut <= text.size(); ++cut) {
        LineEndingConverter converter(ending);
        QByteArray out = converter.convert(QByteArrayView(text).first(cut));
        out += converter.convert(QByteArrayView(text).sliced(cut));
        out += converter.finish();
        QCOMPARE(out, expected);
    }
}

void TestTransferText::prompt_data()
{
    QTest::addColumn<QByteArray>("seen");
    QTest::addColumn<QByteArray>("prompt");
    QTest::addColumn<bool>("matches");
    QTest::newRow("BASIC") << QByteArray("10 PRINT 1\r\n> ") << QByteArray("> ") << true;
    QTest::newRow("AT, line break after")
        << QByteArray("AT\r\r\nOK\r\n") << QByteArray("OK") << true;
    QTest::newRow("echo holding the prompt's text")
        << QByteArray("x = a > b\r\n") << QByteArray(">") << false;
    QTest::newRow("not yet") << QByteArray("10 PRINT 1\r\n") << QByteArray("> ") << false;
    QTest::newRow("Forth ok") << QByteArray(": sq dup * ;  ok\r\n") << QByteArray("ok") << true;
}

// A prompt is the last thing a board prints before it reads.
void TestTransferText::prompt()
{
    QFETCH(QByteArray, seen);
    QFETCH(QByteArray, prompt);
    QFETCH(bool, matches);
    QCOMPARE(PacedText::endsWithPrompt(seen, prompt), matches);
}

void TestTransferText::pauses_data()
{
    QTest::addColumn<int>("charMs");
    QTest::addColumn<int>("lineMs");
    QTest::addColumn<QByteArray>("prompt");
    QTest::newRow("characters") << 3 << 0 << QByteArray();
    QTest::newRow("lines") << 0 << 50 << QByteArray();
    QTest::newRow("both") << 2 << 30 << QByteArray();
    QTest::newRow("prompt") << 0 << 0 << QByteArray(">");
    QTest::newRow("prompt and pauses") << 1 << 20 << QByteArray(">");
}

// Every character waits its pause after the one before, every line its pause after the line
// before, and with a prompt every line after the prompt that followed the line before.
void TestTransferText::pauses()
{
    QFETCH(int, charMs);
    QFETCH(int, lineMs);
    QFETCH(QByteArray, prompt);
    const QByteArray text("10 A=1\n20 PRINT A\n30 END\n");
    const auto writes = paced(text, {charMs, lineMs, LineEnding::Cr, prompt, 10000, false},
                              prompt.isEmpty() ? QByteArray() : QByteArray("\r\n>"));
    QByteArray all;
    for (const auto &w : writes)
        all += w.second;
    QCOMPARE(all, QByteArray("10 A=1\r20 PRINT A\r30 END\r"));
    for (qsizetype i = 1; i < writes.size(); ++i) {
        const QByteArray &before = writes[i - 1].second;
        const qint64 gap = writes[i].first - writes[i - 1].first;
        QVERIFY(gap >= charMs);
        if (before.endsWith('\r'))
            QVERIFY2(gap >= lineMs + charMs, qPrintable(QString::number(gap)));
        // Without pauses or prompt the text goes in pieces; with them, never more than a line.
        if (charMs > 0)
            QCOMPARE(writes[i].second.size(), 1);
        else if (lineMs > 0 || !prompt.isEmpty())
            QVERIFY(writes[i].second.count('\r') <= 1);
    }
}

void TestTransferText::promptNeverComes()
{
    MemorySource source({{QStringLiteral("t.txt"), QByteArray("a\nb\n")}});
    PacedText engine({0, 0, LineEnding::Cr, ">", 10000, false}, &source);
    engine.start(0);
    engine.tick(0);
    QCOMPARE(engine.takeOutput(), QByteArray("a\r"));
    engine.receive("a\r\n", 100); // the echo, then nothing
    engine.tick(9999);
    QCOMPARE(engine.outcome(), Outcome::Running);
    engine.tick(engine.deadline());
    QCOMPARE(engine.message(), QStringLiteral("第 1 行之后没有等到提示符"));
    QCOMPARE(engine.takeOutput(), QByteArray());
}

// A board that reads a line only after its prompt: every line arrives, none early, and the
// pauses between the writes are at least those asked for.
void TestTransferText::promptGatedBoard()
{
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("prog.bas"));
    QVERIFY(writeFile(file, "10 PRINT \"HI\"\r\n20 GOTO 10\nRUN"));
    const QString out = folder.filePath(QStringLiteral("read.txt"));
    TransferLine line;
    BoardProgram board(line.boardDevice(), python(),
                       {supportScript("prompt_echo.py"), line.boardDevice(), "> ", "3", out},
                       folder.path());
    // The first prompt is on the screen before the user starts.
    QTRY_VERIFY_WITH_TIMEOUT(line.port->received.endsWith("> "), 20000);
    Request request;
    request.protocol = Protocol::Text;
    request.files = {file};
    request.text = {4, 30, LineEnding::Cr, "> ", 10000, false};
    const bool done = line.run(request);
    QVERIFY2(done, transcript(line, board));
    QVERIFY2(board.wait() == 0, "a line came before its prompt");
    QCOMPARE(readFile(out), QByteArray("10 PRINT \"HI\"\n20 GOTO 10\nRUN"));
    const auto &writes = line.port->written;
    QCOMPARE(writes.size(), 29); // one character a write
    for (qsizetype i = 1; i < writes.size(); ++i) {
        const qint64 gapNs = writes[i].ns - writes[i - 1].ns;
        QVERIFY2(gapNs >= 4'000'000, qPrintable(QString::number(gapNs)));
        if (writes[i - 1].bytes == "\r")
            QVERIFY2(gapNs >= 30'000'000, qPrintable(QString::number(gapNs)));
    }
}

QTEST_GUILESS_MAIN(TestTransferText)
#include "tst_transfer_text.moc"
