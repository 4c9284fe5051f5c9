// The window as it comes up: controls and layout, startup with and without a settings file,
// the two tabs and the width toggle, help text and links.
#include "app/controls.h"
#include "app/form1.h"
#include "port/mscomm.h"
#include "support/test_platform.h"
#include "textview/receive_box.h"

#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controlRectangles_data();
    void controlRectangles();
    void captionsAndTexts_data();
    void captionsAndTexts();
    void listContents();
    void firstStart();
    void restoredSettings_data();
    void restoredSettings();
    void lineSettingsNotRestored();
    void tabsAndWidth();
    void tabClickWhileWide();
    void helpText();
    void links();
    void countersShowEveryDigit_data();
    void countersShowEveryDigit();
    void counterHoldsCountsWithinAFrame_data();
    void counterHoldsCountsWithinAFrame();

private:
    Form1 *makeWindow();
    template <typename T = QWidget> T *control(const char *name)
    {
        auto *w = m_window->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    QString iniPath() const { return m_dir->filePath(QStringLiteral("zelqo柯澜欧.ini")); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Form1> m_window;
    TestPlatform *m_platform = nullptr;
};

void TestWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestWindow::cleanup()
{
    m_window.reset();
    m_dir.reset();
}

Form1 *TestWindow::makeWindow()
{
    if (!QFile::exists(iniPath()))
        mapPorts(iniPath(), {});
    m_window = std::make_unique<Form1>(testPlatform(m_platform, iniPath()));
    return m_window.get();
}

void TestWindow::controlRectangles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    const struct
    {
        const char *name;
        int l, t, w, h;
    } rows[] = {
        {"TabStrip", 0, 0, 5415, 375},
        {"Frame1", 240, 480, 5175, 4215},
        {"Frame2", 5880, 360, 3735, 2775},
        {"FramePortSet", 5880, 3240, 2175, 2655},
        {"Frame4", 8160, 3240, 1455, 2655},
        {"FrameCarCtrl", 9840, 360, 3135, 5415},
        {"Picture1", 9840, 480, 3060, 3435},
        {"Text1", 9840, 4080, 3135, 1815},
        {"FindCom", 360, 4800, 1335, 495},
        {"UpdataTime", 1920, 4800, 1335, 495},
        {"ReadMe", 3480, 4800, 1335, 495},
        {"Website", 360, 5520, 2535, 375},
        {"Product", 3120, 5520, 1695, 375},
        {"LabelExpand", 9360, 120, 255, 255},
        {"RevHexSel", 360, 3480, 1695, 255},
        {"RevChrSel", 360, 3840, 1695, 255},
        {"Frame3", 2160, 240, 2895, 3735},
        {"CommandAT", 240, 240, 1095, 375},
        {"Command8", 1560, 240, 1095, 375},
        {"Command11", 1560, 3120, 1095, 375},
        {"Command18", 240, 3120, 1095, 375},
        {"SendText", 120, 240, 3495, 735},
        {"SendHexSel", 360, 1080, 1575, 255},
        {"SendChrSel", 360, 1440, 1695, 255},
        {"ClearSendText", 2040, 1080, 1575, 375},
        {"AutoSend", 240, 1800, 1575, 375},
        {"ManSend", 2040, 1800, 1575, 375},
        {"Label1", 360, 2400, 1215, 255},
        {"AutoSendCycle", 1560, 2370, 855, 270},
        {"Label2", 2520, 2400, 855, 255},
        {"Label3", 120, 360, 495, 255},
        {"ComPort", 840, 360, 1095, 300},
        {"BuadRate", 840, 840, 1095, 300},
        {"CheckBit", 840, 1320, 1095, 300},
        {"DataBits", 840, 1800, 1095, 300},
        {"StopBit", 840, 2280, 1095, 300},
        {"Label7", 120, 2280, 615, 255},
        {"OpenCom", 120, 360, 975, 375},
        {"OnOffLed", 1200, 480, 255, 150},
        {"ClearCounter", 120, 960, 975, 375},
        {"RevNum", 600, 1680, 735, 255},
        {"SendNum", 600, 2160, 735, 255},
        {"Forward", 960, 360, 1215, 615},
        {"ForwardText", 960, 960, 1215, 270},
        {"TurnLeft", 120, 1320, 1215, 615},
        {"Right", 1800, 1320, 1215, 615},
        {"BackwardText", 960, 2880, 1215, 270},
        {"StopCarText", 240, 3960, 1215, 270},
        {"ManAutoText", 240, 4920, 1215, 270},
        {"add", 1800, 3720, 1095, 615},
        {"SpeedNum", 1800, 3120, 1095, 495},
        {"dec", 1800, 4320, 1095, 615},
        {"SpeedText", 1800, 4920, 1095, 270},
        // After startup the general tab has resized the receive box and moved its button
        // (to 2750 twips, which rounds to pixel 183 = 2745 twips).
        {"RevText", 120, 240, 4935, 3135},
        {"ClearRevText", 2745, 3600, 1095, 375},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << QString::fromLatin1(r.name) << QRect(r.l, r.t, r.w, r.h);
}

void TestWindow::controlRectangles()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    makeWindow();
    auto *w = m_window->findChild<QWidget *>(name);
    QVERIFY(w);
    const QRect px(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
    QCOMPARE(w->geometry(), px);
}

void TestWindow::captionsAndTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    const struct
    {
        const char *name;
        const char *text;
    } rows[] = {
        {"Frame1", "接收区"},
        {"Frame2", "发送区"},
        {"FramePortSet", "端口设置"},
        {"Frame4", "打开/关闭串口"},
        {"FrameCarCtrl", "小车控制区"},
        {"Frame3", "蓝牙AT指令"},
        {"FindCom", "扫描串口"},
        {"UpdataTime", "更新时间"},
        {"ReadMe", "使用说明"},
        {"Website", "软件升级-技术论坛（帮助）"},
        {"Product", "柯澜欧 产品列表"},
        {"LabelExpand", ">>"},
        {"ClearRevText", "清接收区"},
        {"RevHexSel", "十六进制显示"},
        {"RevChrSel", "字符格式显示"},
        {"SendHexSel", "十六进制显示"},
        {"ClearSendText", "清发送区"},
        {"AutoSend", "自动发送"},
        {"ManSend", "手动发送"},
        {"Label1", "自动发送周期"},
        {"AutoSendCycle", "1000"},
        {"Label2", "毫秒"},
        {"Label3", "COM口"},
        {"Label4", "波特率"},
        {"CheckBit", "无None"},
        {"DataBits", "8"},
        {"StopBit", "1"},
        {"OpenCom", "打开串口"},
        {"ClearCounter", "清空计数"},
        {"Label8", "接收"},
        {"RevNum", "0"},
        {"SendNum", "0"},
        {"Forward", "前进(W)"},
        {"TurnLeft", "左转(A)"},
        {"Right", "右转(D)"},
        {"Backward", "后退(S)"},
        {"StopCar", "停止(Q)"},
        {"ManAuto", "自动/手动"},
        {"add", "加速+"},
        {"dec", "减速-"},
        {"SpeedNum", "0"},
        {"SpeedText", "SPEED:"},
        {"CommandAT", "AT"},
        {"Command6", "设置主机"},
        {"Command7", "设置从机"},
        {"Command8", "恢复出厂"},
        {"Command9", "查询主从"},
        {"Command10", "查询模式"},
        {"Command11", "查询名称"},
        {"Command12", "查询波特率"},
        {"Command13", "设置模式"},
        {"Command14", "获取地址"},
        {"Command15", "设置波特率"},
        {"Command16", "查询密码"},
        {"Command17", "设置密码"},
        {"Command18", "设置名称"},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << QString::fromLatin1(r.name) << QString::fromUtf8(r.text);
}

void TestWindow::captionsAndTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    makeWindow();
    QWidget *w = m_window->findChild<QWidget *>(name);
    QVERIFY(w);
    QString shown;
    if (auto *box = qobject_cast<QGroupBox *>(w))
        shown = box->title();
    else if (auto *button = qobject_cast<QAbstractButton *>(w))
        shown = button->text();
    else if (auto *label = qobject_cast<QLabel *>(w))
        shown = label->text();
    else if (auto *line = qobject_cast<QLineEdit *>(w))
        shown = line->text();
    else if (auto *list = qobject_cast<QComboBox *>(w))
        shown = list->currentText();
    QCOMPARE(shown, text);
}

void TestWindow::listContents()
{
    makeWindow();
    const auto entries = [this](const char *name) {
        QStringList items;
        auto *list = control<QComboBox>(name);
        for (int i = 0; i < list->count(); ++i)
            items << list->itemText(i);
        return items;
    };
    QStringList ports;
    for (int n = 1; n <= 48; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    QCOMPARE(entries("ComPort"), ports);
    QCOMPARE(
        entries("BuadRate"),
        QString("256000 128000 115200 57600 38400 28800 19200 9600 4800 2400 1200 600").split(' '));
    QCOMPARE(entries("CheckBit"), QStringList({"无None", "奇Odd", "偶Even"}));
    QCOMPARE(entries("DataBits"), QStringList({"4", "5", "6", "7", "8"}));
    QCOMPARE(entries("StopBit"), QStringList({"1", "2"}));
    // Filling a list keeps its text and selects nothing.
    QCOMPARE(control<ListBox>("BuadRate")->listIndex(), -1);
    QCOMPARE(control<ListBox>("BuadRate")->currentText(), QStringLiteral("9600"));
    QCOMPARE(control<ListBox>("CheckBit")->listIndex(), -1);
}

void TestWindow::firstStart()
{
    makeWindow();
    QCOMPARE(m_window->size(), QSize(651, 408));
    QCOMPARE(
        m_window->windowTitle(),
        QStringLiteral("zelqo(柯澜欧)串口调试软件 V2.4 技术论坛 http://www.zelqo.com 绿色软件"));
    const QString sendDefault = QStringLiteral("技术论坛：http://www.zelqo.com 柯澜欧品牌");
    QCOMPARE(control<MemoBox>("SendText")->text(), sendDefault);
    QCOMPARE(control<LineBox>("ForwardText")->text(), QStringLiteral("11:"));
    QCOMPARE(control<LineBox>("ManAutoText")->text(), QStringLiteral("66:"));
    QCOMPARE(control<ListBox>("ComPort")->listIndex(), 0);
    QCOMPARE(control<MSComm>("MSComm1")->CommPort(), 1);
    QCOMPARE(control<MSComm>("MSComm1")->Settings(), QStringLiteral("9600,N,8,1"));
    QVERIFY(!control<MSComm>("MSComm1")->PortOpen());
    QCOMPARE(control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(control<QRadioButton>("RevChrSel")->isChecked());
    QVERIFY(control<QRadioButton>("SendChrSel")->isChecked());
    QCOMPARE(control<MSComm>("MSComm1")->InputMode(), 0);
    QVERIFY(control("Frame3")->isHidden());
    QCOMPARE(control<ReceiveBox>("RevText")->text(),
             QStringLiteral("【柯澜欧】软件支持检测COM48以内端口号，扫描结果：\r\n"
                            "您计算机上没有串口，请检查是否插入串口设备！"));

    // The send text differs from the design text and the port was selected: both are stored.
    // The car codes equal their design texts, so nothing is written for them.
    const SettingsFile file(iniPath());
    QCOMPARE(file.read("发送区", "发送文本框", "missing"), sendDefault);
    QCOMPARE(file.read("端口设置", "端口", "missing"), QStringLiteral("COM1"));
    QCOMPARE(file.read("小车控制区", "前进", "missing"), QStringLiteral("missing"));
    QCOMPARE(file.read("端口设置", "波特率", "missing"), QStringLiteral("missing"));
    QVERIFY(m_platform->messages.isEmpty());
}

void TestWindow::restoredSettings_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("listIndex");
    QTest::addColumn<int>("commPort");
    QTest::addColumn<QString>("settings");

    QTest::newRow("COM37") << "COM37"
                           << "115200" << 36 << 37 << "115200,N,8,1";
    QTest::newRow("COM48") << "COM48"
                           << "600" << 47 << 48 << "600,N,8,1";
    QTest::newRow("baud not in the list") << "COM2"
                                          << "14400" << 1 << 2 << "14400,N,8,1";
    // A name that matches no entry selects nothing; the port number stays where it was.
    QTest::newRow("unknown name") << "COM99"
                                  << "9600" << -1 << 1 << "9600,N,8,1";
    QTest::newRow("lower case") << "com3"
                                << "9600" << -1 << 1 << "9600,N,8,1";
}

void TestWindow::restoredSettings()
{
    QFETCH(QString, port);
    QFETCH(QString, baud);
    QFETCH(int, listIndex);
    QFETCH(int, commPort);
    QFETCH(QString, settings);
    mapPorts(iniPath(), {});
    const SettingsFile file(iniPath());
    file.write("端口设置", "端口", port);
    file.write("端口设置", "波特率", baud);
    file.write("发送区", "发送文本框", "");
    file.write("小车控制区", "后退", "back");
    makeWindow();
    QCOMPARE(control<ListBox>("ComPort")->text(), port);
    QCOMPARE(control<ListBox>("ComPort")->listIndex(), listIndex);
    QCOMPARE(control<MSComm>("MSComm1")->CommPort(), commPort);
    QCOMPARE(control<ListBox>("BuadRate")->text(), baud);
    QCOMPARE(control<MSComm>("MSComm1")->Settings(), settings);
    // An empty stored value is an empty box, not the default.
    QCOMPARE(control<MemoBox>("SendText")->text(), QString());
    QCOMPARE(control<LineBox>("BackwardText")->text(), QStringLiteral("back"));
    QCOMPARE(control<LineBox>("ForwardText")->text(), QStringLiteral("11:"));
    // The scan that runs before the list is filled must not overwrite the stored port.
    QCOMPARE(file.read("端口设置", "端口", "missing"), port);
}

void TestWindow::lineSettingsNotRestored()
{
    makeWindow();
    control<ListBox>("CheckBit")->select(1);
    control<ListBox>("DataBits")->select(3);
    control<ListBox>("StopBit")->select(1);
    control<ListBox>("BuadRate")->select(2);
    QTRY_COMPARE(control<MSComm>("MSComm1")->Settings(), QStringLiteral("115200,O,7,2"));
    m_window.reset();
    makeWindow();
    QCOMPARE(control<MSComm>("MSComm1")->Settings(), QStringLiteral("115200,N,8,1"));
}

void TestWindow::tabsAndWidth()
{
    makeWindow();
    auto *label = control<ClickLabel>("LabelExpand");
    auto *tabs = control<QTabBar>("TabStrip");
    auto *car = control("FrameCarCtrl");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(1), QStringLiteral("蓝牙串口"));
    QCOMPARE(tabs->tabData(1).toString(), QStringLiteral("bluetooth"));

    // general, narrow, ">>" -> wide, "<<", car panel shown, picture and usage text hidden
    emit label->Click();
    QCOMPARE(m_window->width(), 880);
    QCOMPARE(label->text(), QStringLiteral("<<"));
    QVERIFY(!car->isHidden());
    QVERIFY(control("Picture1")->isHidden());
    QVERIFY(control("Text1")->isHidden());

    // Bluetooth tab: wide, label hidden with its caption, car panel hidden, picture and text shown
    tabs->setCurrentIndex(1);
    QCOMPARE(m_window->width(), 880);
    QVERIFY(label->isHidden());
    QCOMPARE(label->text(), QStringLiteral("<<"));
    QVERIFY(car->isHidden());
    QVERIFY(!control("Picture1")->isHidden());
    QVERIFY(!control("Frame3")->isHidden());
    QCOMPARE(control("RevText")->size(), QSize(133, 177));
    QCOMPARE(control("ClearRevText")->pos(), QPoint(32, 200));
    QCOMPARE(control<MemoBox>("Text1")->text().size(), 99);
    QVERIFY(control<MemoBox>("Text1")->text().startsWith(QStringLiteral("  按下“功能按键”")));

    // Back to general: narrow, label shown still reading "<<", car panel stays hidden.
    tabs->setCurrentIndex(0);
    QCOMPARE(m_window->width(), 651);
    QVERIFY(!label->isHidden());
    QCOMPARE(label->text(), QStringLiteral("<<"));
    QVERIFY(car->isHidden());
    QVERIFY(control("Frame3")->isHidden());
    QCOMPARE(control("RevText")->size(), QSize(329, 209));

    // The first click only turns the caption back; the second widens with the car panel.
    emit label->Click();
    QCOMPARE(label->text(), QStringLiteral(">>"));
    QCOMPARE(m_window->width(), 651);
    emit label->Click();
    QCOMPARE(m_window->width(), 880);
    QVERIFY(!car->isHidden());

    // Choosing the Bluetooth tab again replaces whatever was typed into the usage text.
    control<MemoBox>("Text1")->setText(QStringLiteral("typed"));
    tabs->setCurrentIndex(1);
    QCOMPARE(control<MemoBox>("Text1")->text().size(), 99);
}

void TestWindow::tabClickWhileWide()
{
    makeWindow();
    auto *label = control<ClickLabel>("LabelExpand");
    auto *tabs = control<QTabBar>("TabStrip");
    emit label->Click();
    // A click on the general tab that is already selected narrows the window but leaves the
    // caption and the car panel as they were.
    emit tabs->tabBarClicked(0);
    QCOMPARE(m_window->width(), 651);
    QCOMPARE(label->text(), QStringLiteral("<<"));
    QVERIFY(!control("FrameCarCtrl")->isHidden());
}

void TestWindow::helpText()
{
    makeWindow();
    auto *rev = control<ReceiveBox>("RevText");
    rev->appendText(QStringLiteral("earlier data"));
    const QString help = QStringLiteral(
        "技术论坛 www.zelqo.com（单片机爱好者）\r\n"
        "淘宝店铺：http://shop.zelqo.com/\r\n"
        "柯澜欧品牌\r\n"
        "该软件是为串口调试通用软件，部分功能为柯澜欧产品定制，不完全等同于其他串口调试软件，"
        "但基本使用原理和方法相同，欢迎到论坛对此软件提出宝贵意见和建议！购买产品请点击淘宝店铺。");
    control<QPushButton>("ReadMe")->click();
    QCOMPARE(rev->text(), help);
    control<QPushButton>("ReadMe")->click();
    QCOMPARE(rev->text(), help);
    QCOMPARE(rev->selStart(), rev->length());
}

void TestWindow::links()
{
    makeWindow();
    m_platform->openSucceeds = false;
    control<QPushButton>("Product")->click();
    control<QPushButton>("Website")->click();
    // A failure stays silent and the second shop page still opens.
    QCOMPARE(m_platform->urls,
             QList<QUrl>({QUrl("http://shop.zelqo.com/"), QUrl("http://products.zelqo.com/"),
                          QUrl("http://www.zelqo.com")}));
    QVERIFY(m_platform->messages.isEmpty());
}

QTEST_MAIN(TestWindow)
void TestWindow::countersShowEveryDigit_data()
{
    QTest::addColumn<QString>("counter");
    QTest::addColumn<int>("digits");

    for (const char *counter : {"RevNum", "SendNum"}) {
        for (const int digits : {1, 7, 8, 9, 12, 15})
            QTest::addRow("%s, %d digits", counter, digits) << counter << digits;
    }
}

// Ones, because each of them is a stroke of its own: the drawn label must show as many strokes
// as the caption has digits, all inside the label's designed rectangle.
void TestWindow::countersShowEveryDigit()
{
    QFETCH(QString, counter);
    QFETCH(int, digits);

    makeWindow();
    auto *label = control<CounterLabel>(counter.toLatin1().constData());
    label->setText(QString(digits, QLatin1Char('1')));
    QCOMPARE(label->size(), QSize(49, 17));

    const QImage image = label->grab().toImage().convertToFormat(QImage::Format_Grayscale8);
    const int background = qGray(label->palette().color(label->backgroundRole()).rgb());
    int strokes = 0;
    bool inStroke = false;
    for (int x = 0; x < image.width(); ++x) {
        bool ink = false;
        for (int y = 0; y < image.height() && !ink; ++y)
            ink = std::abs(image.pixelColor(x, y).value() - background) > 96;
        if (ink && !inStroke)
            ++strokes;
        inStroke = ink;
    }
    QCOMPARE(strokes, digits);
    QCOMPARE(label->text(), QString(digits, QLatin1Char('1')));
}

void TestWindow::counterHoldsCountsWithinAFrame_data()
{
    QTest::addColumn<QString>("setFirst"); // a caption set from outside before the frame
    QTest::addColumn<QString>("shown");    // after the frame
    QTest::addColumn<double>("addedAfter");
    QTest::addColumn<QString>("shownLast"); // after one more count and the next frame

    QTest::newRow("counts held until the frame") << QString() << "10" << 1.0 << "11";
    QTest::newRow("cleared while a count is held") << "0"
                                                   << "0" << 4.0 << "4";
    QTest::newRow("a fraction held") << QString() << "10" << 0.5 << "10.5";
}

// A count that comes right after the last waits for the frame and asks for it once; the first
// count after a pause and a caption set from outside show at once, and a clear drops what was
// held back.
void TestWindow::counterHoldsCountsWithinAFrame()
{
    QFETCH(QString, setFirst);
    QFETCH(QString, shown);
    QFETCH(double, addedAfter);
    QFETCH(QString, shownLast);

    CounterLabel label;
    label.holdCountsWithin(60000);
    QSignalSpy wanted(&label, &CounterLabel::frameWanted);
    label.add(5);
    QCOMPARE(label.text(), QStringLiteral("5"));
    QCOMPARE(wanted.size(), 0);
    label.add(3);
    label.add(2);
    QCOMPARE(label.text(), QStringLiteral("5"));
    QCOMPARE(wanted.size(), 1);
    if (!setFirst.isNull()) {
        label.setText(setFirst);
        QCOMPARE(label.text(), setFirst);
    }
    label.showHeldCount();
    QCOMPARE(label.text(), shown);

    label.add(addedAfter);
    QCOMPARE(label.text(), shown);
    QCOMPARE(wanted.size(), 2);
    label.showHeldCount();
    QCOMPARE(label.text(), shownLast);
    // Nothing held: a frame writes nothing.
    label.setText(QStringLiteral("7"));
    label.showHeldCount();
    QCOMPARE(label.text(), QStringLiteral("7"));
}

#include "tst_window.moc"
