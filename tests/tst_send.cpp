// Sending: the rules for the hexadecimal byte and the period, then sending once and
// periodically to a pseudo-terminal playing the board.
#include "send/send_rules.h"
#include "serial/mscomm.h"
#include "support/window_fixture.h"

#include <QRadioButton>

#include <unistd.h>

class TestSend : public QObject
{
    Q_OBJECT

private slots:
    void hexByte_data();
    void hexByte();
    void period_data();
    void period();
    void init();
    void cleanup();
    void send_data();
    void send();
    void hexRefused_data();
    void hexRefused();
    void sendWhileClosed_data();
    void sendWhileClosed();
    void encodingSend_data();
    void encodingSend();
    void periodicSend();
    void periodicSendWaitsForSlowLine();
    void periodicSendStopsWhenClosed();
    void periodicSendZeroPeriod();
    void periodicSendRefusedPeriod_data();
    void periodicSendRefusedPeriod();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestSend::hexByte_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -1: refused
    QTest::newRow("ff") << "ff" << 0xFF;
    QTest::newRow("FF") << "FF" << 0xFF;
    QTest::newRow("0041") << "0041" << 0x41;
    QTest::newRow("A") << "A" << 0x0A;
    QTest::newRow("leading zeros") << "000000ff" << 0xFF;
    QTest::newRow("blanks around") << " \t41\r\n" << 0x41;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blanks only") << "  \r\n" << -1;
    QTest::newRow("100") << "100" << -1;
    QTest::newRow("two numbers") << "41 42" << -1;
    QTest::newRow("sign") << "-1" << -1;
    QTest::newRow("prefix") << "0x41" << -1;
    QTest::newRow("VB prefix") << "&H41" << -1;
    QTest::newRow("car code") << "11:" << -1;
    QTest::newRow("huge") << "FFFFFFFFFFFFFFFFFFFF41" << -1;
    QTest::newRow("plus sign") << "+1" << -1;
    QTest::newRow("not a digit") << "g" << -1;
    QTest::newRow("blank inside") << "4 1" << -1;
    QTest::newRow("full-width digits") << "４１" << -1;
}

void TestSend::hexByte()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    const std::optional<quint8> byte = send::parseHexByte(text);
    QCOMPARE(byte ? int(*byte) : -1, value);
}

void TestSend::period_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -1: refused
    QTest::newRow("1000") << "1000" << 1000;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("65535") << "65535" << 65535;
    QTest::newRow("half to even down") << "2.5" << 2;
    QTest::newRow("half to even up") << "3.5" << 4;
    QTest::newRow("65535.4") << "65535.4" << 65535;
    QTest::newRow("-0.4") << "-0.4" << 0;
    QTest::newRow("blanks") << " 50 " << 50;
    QTest::newRow("65535.5") << "65535.5" << -1;
    QTest::newRow("65536") << "65536" << -1;
    QTest::newRow("-1") << "-1" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("text") << "abc" << -1;
    QTest::newRow("inf") << "inf" << -1;
    QTest::newRow("nan") << "nan" << -1;
    QTest::newRow("exponent") << "1e9" << -1;
    QTest::newRow("unit") << "10 ms" << -1;
}

void TestSend::period()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    const std::optional<int> period = send::parsePeriod(text);
    QCOMPARE(period ? *period : -1, value);
}

void TestSend::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestSend::cleanup()
{
    f.reset();
}

void TestSend::send_data()
{
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("count");

    QTest::newRow("abc") << false << "abc" << QByteArray("abc") << "3";
    QTest::newRow("two lines") << false << "a\r\nb" << QByteArray("a\r\nb") << "4";
    QTest::newRow("empty") << false << "" << QByteArray() << "0";
    QTest::newRow("chinese counts characters") << false << "柯澜欧" << QByteArray("柯澜欧") << "3";
    QTest::newRow("car code") << false << "11:" << QByteArray("11:") << "3";
    QTest::newRow("beyond U+FFFF counts one") << false << "a😀𠀀" << QByteArray("a😀𠀀") << "3";
    QTest::newRow("hex ff") << true << "ff" << QByteArray("\xFF", 1) << "2";
    QTest::newRow("hex 0041") << true << "0041" << QByteArray("A") << "4";
    QTest::newRow("hex 0") << true << "0" << QByteArray(1, '\0') << "1";
    QTest::newRow("hex with blanks and line break") << true << " 41\r\n" << QByteArray("A") << "5";
}

void TestSend::send()
{
    QFETCH(bool, hex);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, count);
    QVERIFY(f->openBoard());
    f->control<QRadioButton>(hex ? "SendHexSel" : "SendChrSel")->setChecked(true);
    f->setSendText(text);
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(bytes.size()), bytes);
    QTest::qWait(50);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(f->counter("SendNum"), count);
    QCOMPARE(f->control<MemoBox>("SendText")->text(), text);
    QVERIFY(f->platform->messages.isEmpty());
}

// Which texts are refused is hexByte's table; here, what the window does with one.
void TestSend::hexRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("two numbers") << QStringLiteral("41 42");
}

void TestSend::hexRefused()
{
    QFETCH(QString, text);
    QVERIFY(f->openBoard());
    f->control<QRadioButton>("SendHexSel")->setChecked(true);
    f->setSendText(text);
    f->click("ManSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请输入一个00到FF之间的十六进制数"));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试程序"));
    QCOMPARE(f->platform->messages[0].icon, QMessageBox::Warning);
    QTest::qWait(50);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(f->counter("SendNum"), QStringLiteral("0"));
}

void TestSend::sendWhileClosed_data()
{
    QTest::addColumn<bool>("hex");
    QTest::newRow("characters") << false;
    QTest::newRow("hexadecimal") << true;
}

void TestSend::sendWhileClosed()
{
    QFETCH(bool, hex);
    f->control<QRadioButton>(hex ? "SendHexSel" : "SendChrSel")->setChecked(true);
    f->setSendText(QStringLiteral("41"));
    f->click("ManSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试程序"));
    QCOMPARE(f->platform->messages[0].icon, QMessageBox::NoIcon);
    QCOMPARE(f->counter("SendNum"), QStringLiteral("0"));
}

void TestSend::encodingSend_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("UTF-8") << "UTF-8" << QByteArray("\xE4\xBD\xA0\xE5\xA5\xBD");
    QTest::newRow("GBK") << "GBK" << QByteArray("\xC4\xE3\xBA\xC3");
}

void TestSend::encodingSend()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, bytes);

    QVERIFY(f->showWindow());
    QVERIFY(f->chooseEncoding("SendText", encoding));
    QVERIFY(f->openBoard());
    f->setSendText(QStringLiteral("你好"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(bytes.size()), bytes);
    QCOMPARE(f->counter("SendNum"), QStringLiteral("2"));
    // Hexadecimal mode sends its one byte whatever the encoding.
    f->control<QRadioButton>("SendHexSel")->setChecked(true);
    f->setSendText(QStringLiteral("C4"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(1), QByteArray("\xC4"));
}

void TestSend::periodicSend()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("40"));
    f->setSendText(QStringLiteral("ping"));
    f->click("AutoSend");
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QCOMPARE(f->autoSendTimer().interval(), 40);
    QCOMPARE(f->board.readExactly(8), QByteArray("pingping"));
    // Editing the box changes what the next tick sends.
    f->setSendText(QStringLiteral("pong"));
    QByteArray seen;
    QTRY_VERIFY((seen += f->board.readAvailable()).contains("pong"));
    // Editing the period changes nothing until the toggle is pressed again.
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("1000"));
    QCOMPARE(f->autoSendTimer().interval(), 40);
    f->click("AutoSend");
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("自动发送"));
    QVERIFY(!f->autoSendTimer().isActive());
    QTest::qWait(100);
    (void)f->board.readAvailable();
    QTest::qWait(150);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QVERIFY(f->control<QLabel>("SendNum")->text().toInt() >= 12);
}

// The board reads nothing: 10 kB every 10 ms would queue without end.
void TestSend::periodicSendWaitsForSlowLine()
{
    constexpr qint64 limit = 1 << 20;
    const QString text(10000, QLatin1Char('x'));
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("10"));
    f->setSendText(text);
    f->click("AutoSend");

    const MSComm &comm = f->comm();
    QTRY_VERIFY_WITH_TIMEOUT(comm.OutBufferCount() > limit, 10000);
    const QString counted = f->counter("SendNum");
    QTest::qWait(300);
    QCOMPARE(f->counter("SendNum"), counted);
    QVERIFY(comm.OutBufferCount() <= limit + text.size());
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));

    // A manual send still queues and counts.
    const qint64 queued = comm.OutBufferCount();
    f->click("ManSend");
    QCOMPARE(comm.OutBufferCount(), queued + text.size());
    QCOMPARE(f->counter("SendNum").toLongLong(), counted.toLongLong() + text.size());

    // Once the board reads, the ticks send again, every byte in order.
    const qint64 before = f->counter("SendNum").toLongLong();
    const QByteArray drained = f->board.readExactly(4 << 20, 3000);
    QVERIFY(drained.size() > limit);
    QVERIFY(drained.count('x') == drained.size());
    QTRY_VERIFY(f->counter("SendNum").toLongLong() > before);
}

void TestSend::periodicSendStopsWhenClosed()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("30"));
    f->click("AutoSend");
    f->click("OpenCom");
    QTRY_COMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("自动发送"));
    QVERIFY(!f->autoSendTimer().isActive());
    QVERIFY(f->platform->messages.isEmpty());
}

void TestSend::periodicSendZeroPeriod()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("0"));
    f->click("AutoSend");
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QVERIFY(!f->autoSendTimer().isActive());
    f->click("OpenCom");
    QTest::qWait(200);
    // Nothing ticks, so the toggle does not switch itself off either.
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QCOMPARE(f->counter("SendNum"), QStringLiteral("0"));
}

// Which periods are refused is period's table; here, what the window does with one.
void TestSend::periodicSendRefusedPeriod_data()
{
    QTest::addColumn<QString>("period");
    QTest::newRow("empty") << QString();
    QTest::newRow("65536") << QStringLiteral("65536");
}

void TestSend::periodicSendRefusedPeriod()
{
    QFETCH(QString, period);
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(period);
    f->control<ListBox>("BuadRate")->setText(QStringLiteral("19200"));
    f->click("AutoSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("自动发送周期应为0到65535之间的毫秒数"));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试程序"));
    QCOMPARE(f->platform->messages[0].icon, QMessageBox::Warning);
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("自动发送"));
    QVERIFY(!f->autoSendTimer().isActive());
    // The line settings were applied first all the same.
    QCOMPARE(f->comm().Settings(), QStringLiteral("19200,N,8,1"));
}

QTEST_MAIN(TestSend)
#include "tst_send.moc"
