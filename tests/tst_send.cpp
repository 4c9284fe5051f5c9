// Sending: the rules for the hexadecimal byte and the period, then sending once and
// periodically to a pseudo-terminal playing the board.
#include "port/mscomm.h"
#include "send/send_history.h"
#include "send/send_rules.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/window_fixture.h"

#include <QMenu>
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
    void lineEnding_data();
    void lineEnding();
    void historyKeysAndRestart();
    void historyMenuCapAndClear();
    void historyNotRecorded();

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

void TestSend::lineEnding_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QByteArray>("ending");
    QTest::newRow("无") << "无" << QByteArray();
    QTest::newRow("CR") << "CR" << QByteArray("\r");
    QTest::newRow("LF") << "LF" << QByteArray("\n");
    QTest::newRow("CR+LF") << "CR+LF" << QByteArray("\r\n");
}

// The ending goes after every text sent from the send box, by hand and periodically, and is
// counted; hex sends and the panels' codes go out as they are.
void TestSend::lineEnding()
{
    QFETCH(QString, choice);
    QFETCH(QByteArray, ending);
    QVERIFY(f->openBoard());
    QVERIFY(f->useMenu("SendText", {QStringLiteral("发送行尾"), choice})
                .contains(QStringLiteral("发送行尾")));
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "行尾", "missing"), choice);
    QCOMPARE(f->control<QPushButton>("ManSend")->toolTip(), QStringLiteral("发送行尾：") + choice);

    f->setSendText(QStringLiteral("你好\r\nAT"));
    f->click("ManSend");
    const QByteArray line = QByteArray("你好\r\nAT") + ending;
    QCOMPARE(f->board.readExactly(line.size() + 1, 300), line);
    QCOMPARE(f->counter("SendNum"), QString::number(6 + ending.size()));

    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("20"));
    f->click("AutoSend");
    QCOMPARE(f->board.readExactly(2 * line.size()), line + line);
    f->click("AutoSend");
    QTest::qWait(50);
    (void)f->board.readAvailable();

    f->click("Forward");
    QCOMPARE(f->board.readExactly(4, 300), QByteArray("11:"));
    f->control<QRadioButton>("SendHexSel")->setChecked(true);
    f->setSendText(QStringLiteral("41"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(2, 300), QByteArray("A"));

    // The next window sends with the stored choice.
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(f->openBoard());
    f->setSendText(QStringLiteral("x"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(2 + ending.size(), 300), "x" + ending);
}

// Ctrl+Up and Ctrl+Down walk through what was sent by hand, as a shell does; the history
// outlives the window, multi-line and Chinese texts whole.
void TestSend::historyKeysAndRestart()
{
    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    auto *box = f->control<MemoBox>("SendText");
    const QStringList sent = {"AT", "你好\r\n世界", "你好\r\n世界", "AT+NAME=\"car\""};
    for (const QString &text : sent) {
        f->setSendText(text);
        f->click("ManSend");
    }
    (void)f->board.readExactly(64, 300);
    box->setFocus();
    box->setText(QStringLiteral("half typed"));
    const auto step = [&](bool older) {
        QTest::keyClick(box, older ? Qt::Key_Up : Qt::Key_Down, Qt::ControlModifier);
        return box->text();
    };
    QCOMPARE(step(true), QStringLiteral("AT+NAME=\"car\""));
    QCOMPARE(step(true), QStringLiteral("你好\r\n世界"));
    QCOMPARE(step(true), QStringLiteral("AT"));
    QCOMPARE(step(true), QStringLiteral("AT"));
    QCOMPARE(step(false), QStringLiteral("你好\r\n世界"));
    // What the walk shows is the send box's text, stored as any edit is.
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "发送文本框", "missing"),
             QStringLiteral("你好\r\n世界"));
    QCOMPARE(step(false), QStringLiteral("AT+NAME=\"car\""));
    QCOMPARE(step(false), QStringLiteral("half typed"));
    QCOMPARE(step(false), QStringLiteral("half typed"));
    // Plain Up still moves the caret in the box.
    QTest::keyClick(box, Qt::Key_Up);
    QCOMPARE(box->text(), QStringLiteral("half typed"));

    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    box = f->control<MemoBox>("SendText");
    QVERIFY(f->showWindow(true));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Up, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("AT+NAME=\"car\""));
    QTest::keyClick(box, Qt::Key_Up, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("你好\r\n世界"));
}

// "最近发送" lists the newest twenty, shortened, with the whole text in the tooltip; at most fifty
// are kept; "清除历史" leaves no trace in the settings file.
void TestSend::historyMenuCapAndClear()
{
    QVERIFY(f->openBoard());
    const QString longText = QString(120, QLatin1Char('x')) + QStringLiteral("&end");
    for (int i = 0; i < 55; ++i) {
        f->setSendText(i == 54 ? longText : QStringLiteral("cmd %1").arg(i));
        f->click("ManSend");
    }
    (void)f->board.readExactly(1 << 12, 300);
    const auto stored = SettingsFile(f->iniPath()).readSection(QStringLiteral("发送历史"));
    QCOMPARE(stored.size(), SendHistory::MaxEntries);
    QCOMPARE(stored.first(), std::make_pair(QStringLiteral("1"), longText));
    QCOMPARE(stored.last().second, QStringLiteral("cmd 5"));

    QStringList captions;
    QString tooltip;
    QTimer::singleShot(0, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        for (QAction *entry : menu ? menu->actions() : QList<QAction *>()) {
            if (entry->text() != QStringLiteral("最近发送"))
                continue;
            for (QAction *sub : entry->menu()->actions())
                captions << sub->text();
            tooltip = entry->menu()->actions().first()->toolTip();
            entry->menu()->actions().at(1)->trigger();
        }
        if (menu)
            menu->close();
    });
    QWidget *viewport = f->control<MemoBox>("SendText")->viewport();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            viewport->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(viewport, &event);
    // Twenty entries, a separator, "记录发送历史" and "清除历史".
    QCOMPARE(captions.size(), 23);
    QVERIFY(captions.first().endsWith(QStringLiteral("…")));
    QCOMPARE(tooltip, longText);
    QCOMPARE(captions.at(1), QStringLiteral("cmd 53"));
    QCOMPARE(captions.at(19), QStringLiteral("cmd 35"));
    QCOMPARE(captions.mid(21), QStringList({"记录发送历史", "清除历史"}));
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QStringLiteral("cmd 53"));

    QVERIFY(!f->useMenu("SendText", {QStringLiteral("最近发送"), QStringLiteral("清除历史")})
                 .isEmpty());
    QVERIFY(!readBytes(f->iniPath()).contains("发送历史"));
    QVERIFY(!readBytes(f->iniPath()).contains("cmd 52"));
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    auto *box = f->control<MemoBox>("SendText");
    box->setText(QStringLiteral("x"));
    QTest::keyClick(box, Qt::Key_Up, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("x"));
}

// With "记录发送历史" off nothing is recorded; periodic and panel sends never are.
void TestSend::historyNotRecorded()
{
    QVERIFY(f->openBoard());
    f->setSendText(QStringLiteral("tick"));
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("20"));
    f->click("AutoSend");
    QVERIFY(!f->board.readExactly(8).isEmpty());
    f->click("AutoSend");
    f->click("Forward");
    QVERIFY(SettingsFile(f->iniPath()).readSection(QStringLiteral("发送历史")).isEmpty());

    QVERIFY(!f->useMenu("SendText", {QStringLiteral("最近发送"), QStringLiteral("记录发送历史")})
                 .isEmpty());
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "记录历史", "missing"), QStringLiteral("0"));
    f->setSendText(QStringLiteral("wifi password"));
    f->click("ManSend");
    QVERIFY(SettingsFile(f->iniPath()).readSection(QStringLiteral("发送历史")).isEmpty());
    auto *box = f->control<MemoBox>("SendText");
    box->setText(QStringLiteral("typed"));
    QTest::keyClick(box, Qt::Key_Up, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("typed"));
}

QTEST_MAIN(TestSend)
#include "tst_send.moc"
