// Auto-replies against a pseudo-terminal playing the board: U-Boot's countdown answered once
// after its delay, a board that echoes the reply, a byte pattern split between reads, a rule
// whose expression does not compile, and the switch for all rules.
#include "quicksend/reply_table.h"
#include "support/quick_send_fixture.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QRadioButton>

using namespace quicksend;
using namespace quicksendfixture;

namespace {

const QString page = QStringLiteral("板子");

Entry textEntry(const QString &name, const QString &content, Ending ending)
{
    Entry e = entry(name, Format::Text, content);
    e.ending = ending;
    return e;
}

} // namespace

class TestAutoReply : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void ubootCountdown();
    void echoOnTheSameLine();
    void echoOnNewLines();
    void hexPatternSplitBetweenReads();
    void brokenExpression();
    void switchedOff();

private:
    // Writes as the board (ASCII, or bytes in hex display) and waits until the window took it.
    void boardPrints(const QByteArray &bytes);
    // Echoes whatever the program sends for ms, and returns it all.
    QByteArray echoFor(int ms);

    std::unique_ptr<WindowFixture> f;
    qint64 m_printed = 0;
};

void TestAutoReply::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
    m_printed = 0;
}

void TestAutoReply::cleanup()
{
    f.reset();
}

void TestAutoReply::boardPrints(const QByteArray &bytes)
{
    QVERIFY(f->board.write(bytes));
    m_printed += bytes.size();
    // ASCII only: characters and bytes count alike.
    QTRY_COMPARE(f->counter("RevNum").toLongLong(), m_printed);
}

QByteArray TestAutoReply::echoFor(int ms)
{
    QByteArray all;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        const QByteArray got = f->board.readExactly(1 << 16, 10);
        if (!got.isEmpty()) {
            all += got;
            (void)f->board.write(got);
        }
    }
    return all;
}

// U-Boot prints its countdown without a line break and rewrites the digit with backspaces: the
// reply goes once, after its delay, however often the line is rewritten.
void TestAutoReply::ubootCountdown()
{
    restartWith(*f, {{page, {textEntry("停", " ", Ending::None)}}},
                {rule("Hit any key to stop autoboot", page, "停", 300)});
    QVERIFY(f->openBoard());
    QElapsedTimer clock;
    clock.start();
    boardPrints("\r\nU-Boot 2023.01 (Jan 09 2024 - 10:00:00 +0800)\r\n\r\nDRAM:  512 MiB\r\n"
                "Hit any key to stop autoboot:  3 ");
    const QByteArray reply = f->board.readExactly(1, 5000);
    QCOMPARE(reply, QByteArray(" "));
    QVERIFY(clock.elapsed() >= 300);
    boardPrints("\b\b\b 2 ");
    boardPrints("\b\b\b 1 ");
    boardPrints("\b\b\b 0 \r\n=> ");
    QTest::qWait(500);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(f->counter("SendNum"), QStringLiteral("1"));
    QVERIFY(f->platform->messages.isEmpty());
    // The window shows the hit.
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    QCOMPARE(window->replyTable()->table()->item(0, ReplyTable::Hits)->text(), QStringLiteral("1"));
}

// The board echoes the reply on the line that asked for it: it does not ask again.
void TestAutoReply::echoOnTheSameLine()
{
    restartWith(*f, {{page, {textEntry("应答", "ping", Ending::None)}}},
                {rule("ping", page, "应答")});
    QVERIFY(f->openBoard());
    boardPrints("ping");
    QCOMPARE(echoFor(800), QByteArray("ping"));
}

// Echoed with a line break, each echo is a new line: a rule still fires at most once every
// 100 ms however fast the board answers.
void TestAutoReply::echoOnNewLines()
{
    restartWith(*f, {{page, {textEntry("应答", "ping", Ending::CrLf)}}},
                {rule("ping", page, "应答")});
    QVERIFY(f->openBoard());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(f->board.write("ping\r\n"));
    const QByteArray echoed = echoFor(1000);
    const qint64 replies = echoed.count("ping\r\n");
    QVERIFY2(replies >= 1 && replies <= clock.elapsed() / 100 + 1,
             qPrintable(QString::number(replies)));
}

// In hex display the pattern is bytes, found though they arrive in two reads.
void TestAutoReply::hexPatternSplitBetweenReads()
{
    restartWith(*f, {{page, {entry("ACK", Format::Hex, "06")}}}, {rule("55 AA", page, "ACK")});
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    QVERIFY(f->openBoard());
    boardPrints(QByteArray::fromHex("0155"));
    QCOMPARE(f->board.readExactly(1, 200), QByteArray());
    boardPrints(QByteArray::fromHex("AA02"));
    QCOMPARE(f->board.readExactly(1, 5000), QByteArray::fromHex("06"));
    QVERIFY(f->revText().endsWith(QStringLiteral("01 55 AA 02 ")));
}

// A rule whose expression does not compile is marked and stays off; the others work.
void TestAutoReply::brokenExpression()
{
    restartWith(
        *f, {{page, {textEntry("坏", "bad", Ending::None), textEntry("好", "good", Ending::None)}}},
        {rule("a(b", page, "坏", 0, true), rule("^lo+gin:", page, "好", 0, true)});
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    QTableWidget *table = window->replyTable()->table();
    QVERIFY2(
        table->item(0, ReplyTable::Problem)->text().startsWith(QStringLiteral("正则表达式有误")),
        qPrintable(table->item(0, ReplyTable::Problem)->text()));
    QCOMPARE(table->item(1, ReplyTable::Problem)->text(), QStringLiteral("就绪"));
    boardPrints("a(b\r\nlooogin: ");
    QCOMPARE(f->board.readExactly(5, 2000), QByteArray("good"));
    QCOMPARE(table->item(0, ReplyTable::Hits)->text(), QStringLiteral("0"));
    QCOMPARE(table->item(1, ReplyTable::Hits)->text(), QStringLiteral("1"));
}

// "启用自动应答" switches every rule; the choice is kept.
void TestAutoReply::switchedOff()
{
    restartWith(*f, {{page, {textEntry("root", "root", Ending::Lf)}}},
                {rule("login: ", page, "root")});
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    auto *on = part<QCheckBox>(window, "RepliesOn");
    QVERIFY(on->isChecked());
    on->click();
    boardPrints("raspberrypi login: ");
    QCOMPARE(f->board.readExactly(1, 300), QByteArray());
    QVERIFY(!quicksendstore::loadReplies(SettingsFile(f->iniPath())).on);
    on->click();
    boardPrints("\r\nraspberrypi login: ");
    QCOMPARE(f->board.readExactly(6, 2000), QByteArray("root\n"));
}

QTEST_MAIN(TestAutoReply)
#include "tst_autoreply.moc"
