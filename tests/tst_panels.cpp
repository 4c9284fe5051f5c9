// The device panels against a pseudo-terminal playing the board: car remote and its keys, the
// Bluetooth AT buttons at 38400 baud, and the time sync from a fixed clock.
#include "panels/time_sync.h"
#include "port/mscomm.h"
#include "settings/settings_file.h"
#include "support/window_fixture.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QKeyEvent>
#include <QRadioButton>
#include <QTabBar>

class TestPanels : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void carButtons_data();
    void carButtons();
    void editedCodeSurvivesRestart();
    void speedSteps();
    void speedBounds();
    void carKeys_data();
    void carKeys();
    void carKeyInFocusedTextBox();
    void carKeysAfterTabSwitch();
    void carKeyAutoRepeat();
    void carInHexMode();
    void bluetoothButtons_data();
    void bluetoothButtons();
    void bluetoothWhileClosed();
    void timeString_data();
    void timeString();
    void timeSync();
    void timeSyncWhileClosed();

private:
    void pressKey(QWidget *target, int key, Qt::KeyboardModifiers modifiers, const QString &text,
                  bool autoRepeat = false);
    // The board's port open, the window shown and widened: the car keys act.
    [[nodiscard]] bool wideWithBoard();
    std::unique_ptr<WindowFixture> f;
};

void TestPanels::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestPanels::cleanup()
{
    f.reset();
}

void TestPanels::pressKey(QWidget *target, int key, Qt::KeyboardModifiers modifiers,
                          const QString &text, bool autoRepeat)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text, autoRepeat);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text, autoRepeat);
    QApplication::sendEvent(target, &release);
}

bool TestPanels::wideWithBoard()
{
    if (!f->openBoard() || !f->showWindow())
        return false;
    emit f->control<ClickLabel>("LabelExpand")->Click();
    return true;
}

void TestPanels::carButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("Forward") << "Forward" << QByteArray("11:");
    QTest::newRow("Backward") << "Backward" << QByteArray("44:");
    QTest::newRow("TurnLeft") << "TurnLeft" << QByteArray("22:");
    QTest::newRow("Right") << "Right" << QByteArray("33:");
    QTest::newRow("StopCar") << "StopCar" << QByteArray("00:");
    QTest::newRow("ManAuto") << "ManAuto" << QByteArray("66:");
}

void TestPanels::carButtons()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, code);
    QVERIFY(f->openBoard());
    f->click(button.toLatin1().constData());
    QCOMPARE(f->board.readExactly(code.size()), code);
    QTest::qWait(30);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QString::fromLatin1(code));
    QCOMPARE(f->control<QLabel>("SendNum")->text(), QStringLiteral("3"));
    // The last code sent is what the send box shows at the next start.
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "发送文本框", ""),
             QString::fromLatin1(code));
}

void TestPanels::editedCodeSurvivesRestart()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("RightText")->setText(QStringLiteral(" R9 "));
    f->click("Right");
    QCOMPARE(f->board.readExactly(4), QByteArray(" R9 "));
    f->control<LineBox>("StopCarText")->setText(QString());
    f->click("StopCar");
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QString());
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    // Blanks around a stored value are not part of it.
    QCOMPARE(f->control<LineBox>("RightText")->text(), QStringLiteral("R9"));
    QCOMPARE(f->control<LineBox>("StopCarText")->text(), QString());
    QCOMPARE(f->control<LineBox>("ForwardText")->text(), QStringLiteral("11:"));
    QCOMPARE(f->control<LineBox>("SpeedText")->text(), QStringLiteral("SPEED:"));
}

void TestPanels::speedSteps()
{
    QVERIFY(f->openBoard());
    for (int i = 0; i < 3; ++i)
        f->click("add");
    QCOMPARE(f->board.readExactly(21), QByteArray("SPEED:1SPEED:2SPEED:3"));
    QCOMPARE(f->control<QLabel>("SpeedNum")->text(), QStringLiteral("3"));
    f->control<LineBox>("SpeedText")->setText(QString());
    f->click("dec");
    QCOMPARE(f->board.readExactly(1), QByteArray("2"));
    const QFont font = f->control<QLabel>("SpeedNum")->font();
    QVERIFY(font.bold());
    QCOMPARE(font.pointSizeF(), 21.75);
    QCOMPARE(font.families().value(0), QStringLiteral("微软雅黑"));
}

void TestPanels::speedBounds()
{
    QVERIFY(f->openBoard());
    f->click("dec");
    QCOMPARE(f->board.readExactly(7), QByteArray("SPEED:0"));
    QCOMPARE(f->control<QLabel>("SpeedNum")->text(), QStringLiteral("0"));
    for (int i = 0; i < 102; ++i)
        f->click("add");
    QCOMPARE(f->control<QLabel>("SpeedNum")->text(), QStringLiteral("100"));
    const QByteArray all = f->board.readExactly(102 * 6 + 9 * 1 + 90 * 2 + 3 * 3);
    QVERIFY(all.endsWith("SPEED:99SPEED:100SPEED:100SPEED:100"));
    // With the port closed a click still moves the value before the warning.
    f->click("OpenCom");
    f->click("dec");
    QCOMPARE(f->control<QLabel>("SpeedNum")->text(), QStringLiteral("99"));
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
}

void TestPanels::carKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("W") << int(Qt::Key_W) << 0 << QByteArray("11:");
    QTest::newRow("S") << int(Qt::Key_S) << 0 << QByteArray("44:");
    QTest::newRow("A") << int(Qt::Key_A) << 0 << QByteArray("22:");
    QTest::newRow("D") << int(Qt::Key_D) << 0 << QByteArray("33:");
    QTest::newRow("Q") << int(Qt::Key_Q) << 0 << QByteArray("00:");
    QTest::newRow("Shift+W") << int(Qt::Key_W) << int(Qt::ShiftModifier) << QByteArray("11:");
    QTest::newRow("Ctrl+S") << int(Qt::Key_S) << int(Qt::ControlModifier) << QByteArray("44:");
    QTest::newRow("Alt+Q") << int(Qt::Key_Q) << int(Qt::AltModifier) << QByteArray("00:");
    QTest::newRow("E does nothing") << int(Qt::Key_E) << 0 << QByteArray();
}

void TestPanels::carKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QByteArray, code);
    QVERIFY(f->openBoard());
    QVERIFY(f->showWindow());
    auto *button = f->control<QPushButton>("ManSend");
    button->setFocus();
    // Narrow window: the keys are not car keys.
    pressKey(button, key, Qt::KeyboardModifiers(modifiers), QString());
    QTest::qWait(30);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    emit f->control<ClickLabel>("LabelExpand")->Click();
    pressKey(button, key, Qt::KeyboardModifiers(modifiers), QString());
    QTest::qWait(30);
    QCOMPARE(f->board.readExactly(code.size(), 1000), code);
}

void TestPanels::carKeyInFocusedTextBox()
{
    QVERIFY(wideWithBoard());
    auto *code = f->control<LineBox>("ManAutoText");
    code->setFocus();
    code->setText(QString());
    QCOMPARE(QApplication::focusWidget(), code);
    // The key acts first, then reaches the focused box as typing.
    pressKey(code, Qt::Key_W, Qt::NoModifier, QStringLiteral("w"));
    QCOMPARE(f->board.readExactly(3), QByteArray("11:"));
    QCOMPARE(code->text(), QStringLiteral("w"));
    QCOMPARE(SettingsFile(f->iniPath()).read("小车控制区", "自动/手动", ""), QStringLiteral("w"));
}

void TestPanels::carKeysAfterTabSwitch()
{
    QVERIFY(wideWithBoard());
    f->control<QTabBar>("TabStrip")->setCurrentIndex(1);
    QVERIFY(f->control("FrameCarCtrl")->isHidden());
    auto *focus = f->control<QPushButton>("CommandAT");
    focus->setFocus();
    pressKey(focus, Qt::Key_W, Qt::NoModifier, QStringLiteral("w"));
    QCOMPARE(f->board.readExactly(3), QByteArray("11:"));
    f->control<QTabBar>("TabStrip")->setCurrentIndex(0);
    f->control<QPushButton>("ManSend")->setFocus();
    pressKey(f->control<QPushButton>("ManSend"), Qt::Key_D, Qt::NoModifier, QStringLiteral("d"));
    QCOMPARE(f->board.readExactly(3), QByteArray("33:"));
}

void TestPanels::carKeyAutoRepeat()
{
    QVERIFY(wideWithBoard());
    auto *button = f->control<QPushButton>("ManSend");
    button->setFocus();
    for (int i = 0; i < 4; ++i)
        pressKey(button, Qt::Key_S, Qt::NoModifier, QStringLiteral("s"), i > 0);
    QCOMPARE(f->board.readExactly(12), QByteArray("44:44:44:44:"));
    QCOMPARE(f->control<QLabel>("SendNum")->text(), QStringLiteral("12"));
}

void TestPanels::carInHexMode()
{
    QVERIFY(f->openBoard());
    f->control<QRadioButton>("SendHexSel")->setChecked(true);
    f->click("Forward");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请输入一个00到FF之间的十六进制数"));
    QTest::qWait(30);
    QCOMPARE(f->board.readAvailable(), QByteArray());
}

void TestPanels::bluetoothButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("explanation");
    const struct
    {
        const char *button, *command, *explanation;
    } rows[] = {
        {"CommandAT", "AT", "测试指令，返回OK表明模块基本通信正常"},
        {"Command6", "AT+ROLE=1",
         "设置主机指令，正确返回OK，重新上电后变为主机，此时可以搜索从机自动并连接。"},
        {"Command7", "AT+ROLE=0",
         "设置从机模式，正确返回OK，重新上电变为从机，此时仅能被其他设备搜索。比如安卓手机，蓝牙主"
         "机，蓝牙适配器等"},
        {"Command8", "AT+ORGL",
         "恢复出厂设置，正确返回OK：\r\n设置次数过多导致不能确定蓝牙工作状态时恢复出厂设置，然后重"
         "新设置需要的参数。"},
        {"Command9", "AT+ROLE?",
         "查询蓝牙角色，正确返回OK，格式如下：\r\n返回值=0  从机\r\n返回值=1  主机\r\n返回值=2  "
         "回环角色"},
        {"Command10", "AT+CMODE?",
         "查询连接模式，正确返回OK，格式如下：\r\n返回值=0 指定模式\r\n返回值=1 "
         "任意模式\r\n返回值=2 回环角色"},
        {"Command11", "AT+NAME?",
         "查询蓝牙名称，正确返回OK，格式如下：\r\n返回蓝牙名称\r\n该指令特殊，需要一直按住按键点击"
         "此按钮才有效"},
        {"Command12", "AT+UART?",
         "查询波特率参数，正确返回OK，格式如下：\r\n参数1：波特率\r\n参数2：停止位\r\n参数3：校验"
         "位"},
        {"Command13", "AT+CMODE=1",
         "设置模式指令，正确返回OK，设置连接模式：\r\n0--指定蓝牙地址连接模式\r\n1--"
         "任意蓝牙地址连接模式\r\n此按钮设置任意模式。"},
        {"Command14", "AT+ADDR?",
         "查询蓝牙地址，正确返回OK，和蓝牙地址数值：\r\n此地址是唯一固定值。"},
        {"Command15", "AT+UART=9600,0,0",
         "设置波特率指令，正确返回OK，格式如下：\r\nAT+UART=<参数1>,<参数2>,<参数3>\r\n"
         "参数1--波特率 范围4800~115200\r\n参数2--停止位 0-1位 1-2位\r\n参数3--校验位 0-None 1-Odd "
         "2-Even\r\n"
         "此按钮设置9600,0,0 如需更改仅改动对应数字部分，其他勿动，然后点击<手动发送>。"},
        {"Command16", "AT+PSWD?", "查询蓝配对密码，正确返回OK，格式如下：\r\n返回4位数字"},
        {"Command17", "AT+PSWD=5827",
         "设置配对密码，正确返回OK，格式如下：\r\n默认5827，一般无需更改\r\n如需更改仅需要改动数字"
         "部分，然后点击<手动发送>"},
        {"Command18", "AT+NAME=zelqo",
         "设置蓝牙名称，正确返回OK，格式如下：\r\n默认zelqo\r\n如需更改仅需要改动名字部分，然后点击"
         "<手动发送>"},
    };
    for (const auto &r : rows)
        QTest::newRow(r.button) << QString::fromLatin1(r.button) << QByteArray(r.command)
                                << QString::fromUtf8(r.explanation);
}

void TestPanels::bluetoothButtons()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, command);
    QFETCH(QString, explanation);
    QVERIFY(f->openBoard());
    f->control<QTabBar>("TabStrip")->setCurrentIndex(1);
    auto *baud = f->control<ListBox>("BuadRate");
    for (int click = 1; click <= 2; ++click) {
        f->click(button.toLatin1().constData());
        QCOMPARE(f->board.readExactly(command.size() + 2), command + "\r\n");
        const std::optional<termios> line = f->board.lineTermios();
        QVERIFY(line);
        QCOMPARE(cfgetospeed(&*line), speed_t(B38400));
        QCOMPARE(f->control<MemoBox>("Text1")->text(), explanation);
        QCOMPARE(f->control<MemoBox>("SendText")->text(), QString::fromLatin1(command + "\r\n"));
        // Every click appends one more "38400" entry; the rate is not a pick, so not stored.
        QCOMPARE(baud->count(), 12 + click);
        QCOMPARE(baud->itemText(baud->count() - 1), QStringLiteral("38400"));
        QCOMPARE(baud->text(), QStringLiteral("38400"));
        QCOMPARE(f->control<QLabel>("SendNum")->text(),
                 QString::number(click * (command.size() + 2)));
    }
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "波特率", "none"), QStringLiteral("none"));
    // An edited command goes out at the rate then in the baud box.
    f->control<MemoBox>("SendText")->setText(QStringLiteral("AT+NAME=car\r\n"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(13), QByteArray("AT+NAME=car\r\n"));
}

void TestPanels::bluetoothWhileClosed()
{
    f->click("Command15");
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QStringLiteral("AT+UART=9600,0,0\r\n"));
    QVERIFY(f->control<MemoBox>("Text1")->text().startsWith(QStringLiteral("设置波特率指令")));
    QCOMPARE(f->control<ListBox>("BuadRate")->text(), QStringLiteral("38400"));
    QCOMPARE(f->comm().Settings(), QStringLiteral("38400,N,8,1"));
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
}

void TestPanels::timeString_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("firstLine");
    QTest::newRow("Thursday") << QDateTime(QDate(2024, 3, 7), QTime(14, 5, 9)) << "2024030714050904"
                              << "14时5分9秒  2024年3月7日";
    QTest::newRow("Sunday midnight")
        << QDateTime(QDate(2024, 12, 1), QTime(0, 0, 0)) << "2024120100000007"
        << "0时0分0秒  2024年12月1日";
    QTest::newRow("Monday nine") << QDateTime(QDate(2024, 12, 2), QTime(9, 3, 0))
                                 << "2024120209030001"
                                 << "9时3分0秒  2024年12月2日";
    QTest::newRow("Saturday") << QDateTime(QDate(2024, 12, 7), QTime(23, 59, 59))
                              << "2024120723595906"
                              << "23时59分59秒  2024年12月7日";
}

void TestPanels::timeString()
{
    QFETCH(QDateTime, moment);
    QFETCH(QString, digits);
    QFETCH(QString, firstLine);
    QCOMPARE(timesync::timeString(moment), digits);
    QCOMPARE(timesync::receiveNote(moment),
             firstLine +
                 QStringLiteral(
                     "\r\n时间已经更新，并通过串口发送，并接收返回值，返回值应等于发送区的值，"
                     "如果返回值不正确，请检查下位机程序和波特率是否正确！\r\n"));
}

void TestPanels::timeSync()
{
    QVERIFY(f->openBoard());
    f->platform->moment = QDateTime(QDate(2024, 3, 7), QTime(14, 5, 9));
    f->click("UpdataTime");
    QCOMPARE(f->board.readExactly(16), QByteArray("2024030714050904"));
    QCOMPARE(f->control<QLabel>("SendNum")->text(), QStringLiteral("16"));
    QVERIFY(f->control<ReceiveBox>("RevText")->text().startsWith(
        QStringLiteral("14时5分9秒  2024年3月7日\r\n")));
    // The board's answer lands under the two lines.
    QVERIFY(f->board.write("2024030714050904"));
    QTRY_VERIFY(f->control<ReceiveBox>("RevText")->text().endsWith(
        QStringLiteral("！\r\n2024030714050904")));
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "发送文本框", ""),
             QStringLiteral("2024030714050904"));
}

void TestPanels::timeSyncWhileClosed()
{
    f->platform->moment = QDateTime(QDate(2024, 12, 1), QTime(0, 0, 0));
    f->click("UpdataTime");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QStringLiteral("2024120100000007"));
    QVERIFY(f->control<ReceiveBox>("RevText")->text().startsWith(
        QStringLiteral("0时0分0秒  2024年12月1日\r\n")));
}

QTEST_MAIN(TestPanels)
#include "tst_panels.moc"
