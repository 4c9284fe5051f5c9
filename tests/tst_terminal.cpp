// The terminal end to end against a pseudo-terminal playing the board: line settings, open and
// close, send, receive and display, periodic send and the port scan.
#include "app/frame_pacer.h"
#include "app/quit_on_signals.h"
#include "serial/mscomm.h"
#include "serial/port_list.h"
#include "serial/port_problem.h"
#include "serial/receive_box/find_dialog.h"
#include "serial/receive_box/receive_box.h"
#include "settings/settings_file.h"
#include "support/window_fixture.h"

#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QWheelEvent>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

class TestTerminal : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openAndClose();
    void openFailure_data();
    void openFailure();
    void noPermissionAsOrdinaryUser();
    void portListShowsDevices();
    void portChoiceClosesPort();
    void refusedSettingsClosePort();
    void settingsFollowTheBoxes();
    void typedPortOrBaudIsNoPick_data();
    void typedPortOrBaudIsNoPick();
    void send_data();
    void send();
    void hexRefused_data();
    void hexRefused();
    void sendWhileClosed_data();
    void sendWhileClosed();
    void receive_data();
    void receive();
    void switchModeBetweenBlocks();
    void clearButtons();
    void randomBytesInHex();
    void splitUtf8InText();
    void encodingSplitAtEveryByte_data();
    void encodingSplitAtEveryByte();
    void encodingSend_data();
    void encodingSend();
    void saveReceiveBox();
    void recordRawBytes();
    void recordingFails();
    void encodingStored_data();
    void encodingStored();
    void deviceLoss();
    void periodicSend();
    void periodicSendWaitsForSlowLine();
    void periodicSendStopsWhenClosed();
    void periodicSendZeroPeriod();
    void periodicSendRefusedPeriod_data();
    void periodicSendRefusedPeriod();
    void scan();
    void streamPaintsOncePerFrame();
    void fontZoom_data();
    void fontZoom();
    void readBackWhileStreaming_data();
    void readBackWhileStreaming();
    void memoryReturnedAfterClear();
    void endingSignalClosesPort_data();
    void endingSignalClosesPort();

private:
    QString revText() const { return f->control<ReceiveBox>("RevText")->text(); }
    QString counter(const char *name) const { return f->control<QLabel>(name)->text(); }
    void setSendText(const QString &text) { f->control<MemoBox>("SendText")->setText(text); }
    QStringList useMenu(const char *box, const QStringList &path);
    bool chooseEncoding(const char *box, const QString &name);
    std::unique_ptr<WindowFixture> f;
};

void TestTerminal::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestTerminal::cleanup()
{
    f.reset();
}

void TestTerminal::openAndClose()
{
    QVERIFY(f->openBoard());
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0x0000FFu);
    QVERIFY(f->window->comm().PortOpen());
    f->click("OpenCom");
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(!f->window->comm().PortOpen());
    QVERIFY(f->platform->messages.isEmpty());
}

void TestTerminal::openFailure_data()
{
    QTest::addColumn<bool>("held");
    QTest::newRow("no device") << false;
    QTest::newRow("held by another program") << true;
}

// The specified message, with a second line that names the device and the cause.
void TestTerminal::openFailure()
{
    QFETCH(bool, held);
    PseudoTerminal other;
    MSComm holder;
    if (held) {
        mapPorts(f->iniPath(), {{6, other.slavePath()}});
        holder.setPortResolver([&other](int) { return other.slavePath(); });
        QCOMPARE(holder.setPortOpen(true), 0);
    }
    const QString device = held ? other.slavePath() : QStringLiteral("/nonexistent/tty6");
    f->control<ListBox>("ComPort")->select(5);
    f->click("OpenCom");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text,
             QStringLiteral("无效端口号\n") + (held ? QStringLiteral("设备 %1 正被另一个程序占用。")
                                                    : QStringLiteral("设备 %1 不存在。"))
                                                  .arg(device));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试助手"));
    QCOMPARE(f->platform->messages[0].icon, QMessageBox::Warning);
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
}

// Root may open any device, so the check runs in a child that has given up root for nobody.
void TestTerminal::noPermissionAsOrdinaryUser()
{
    if (::geteuid() != 0)
        QSKIP("needs root to become another user");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                  QFileDevice::ExeOther));
    const QString device = dir.filePath(QStringLiteral("ttyUSB0"));
    QFile file(device);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const bool refused = portproblem::diagnose(device) == portproblem::Cause::NoPermission;
        const QString line = portproblem::explain(device, portproblem::Cause::NoPermission);
        ::_exit(dropped && refused && line.contains(device) &&
                        line.contains(QStringLiteral("sudo usermod -aG dialout $USER"))
                    ? 0
                    : 1);
    }
    int status = -1;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(portproblem::diagnose(device), portproblem::Cause::Busy);
    QCOMPARE(portproblem::diagnose(dir.filePath(QStringLiteral("none"))),
             portproblem::Cause::Missing);
}

// Opening the list tells which numbers have a device behind them, read afresh each time.
void TestTerminal::portListShowsDevices()
{
    QVERIFY(f->showWindow());
    auto *ports = f->control<ListBox>("ComPort");
    const auto detail = [ports](int n) {
        return ports->itemData(n - 1, PortItemDelegate::DetailRole).toString();
    };
    const auto present = [ports](int n) {
        return ports->itemData(n - 1, PortItemDelegate::PresentRole).toBool();
    };
    const QString board = QStringLiteral("pts/") + QFileInfo(f->board.slavePath()).fileName();

    QTest::mouseClick(ports, Qt::LeftButton, {}, QPoint(ports->width() - 6, ports->height() / 2));
    QTRY_VERIFY(ports->view()->isVisible());
    QCOMPARE(detail(WindowFixture::boardPort), board);
    QVERIFY(present(WindowFixture::boardPort));
    QVERIFY(ports->itemData(WindowFixture::boardPort - 1, Qt::ToolTipRole)
                .toString()
                .startsWith(f->board.slavePath()));
    QCOMPARE(detail(7), QString());
    QVERIFY(!present(7));
    QCOMPARE(ports->itemData(6, Qt::ToolTipRole).toString(), QStringLiteral("/nonexistent/tty7"));
    ports->hidePopup();

    // A device that appears while the program runs shows the next time the list opens.
    PseudoTerminal plugged;
    mapPorts(f->iniPath(),
             {{WindowFixture::boardPort, f->board.slavePath()}, {7, plugged.slavePath()}});
    ports->showPopup();
    QTRY_VERIFY(ports->view()->isVisible());
    QVERIFY(present(7));
    QCOMPARE(detail(7), QStringLiteral("pts/") + QFileInfo(plugged.slavePath()).fileName());
    ports->hidePopup();

    for (int n = 1; n <= 48; ++n)
        QCOMPARE(ports->itemText(n - 1), QStringLiteral("COM%1").arg(n));
}

void TestTerminal::portChoiceClosesPort()
{
    QVERIFY(f->openBoard());
    f->control<ListBox>("ComPort")->select(5);
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QVERIFY(!f->window->comm().PortOpen());
    QCOMPARE(f->window->comm().CommPort(), 6);
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "端口", ""), QStringLiteral("COM6"));
}

void TestTerminal::refusedSettingsClosePort()
{
    QVERIFY(f->openBoard());
    // Typing 4 data bits: the open port cannot take them and closes at once, silently.
    f->control<ListBox>("DataBits")->setText(QStringLiteral("4"));
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(!f->window->comm().PortOpen());
    QVERIFY(f->platform->messages.isEmpty());
}

void TestTerminal::settingsFollowTheBoxes()
{
    QVERIFY(f->openBoard());
    // A pick from the stop-bit list raises nothing itself; the 100 ms timer applies it.
    f->control<ListBox>("StopBit")->select(1);
    QTRY_COMPARE(f->window->comm().Settings(), QStringLiteral("9600,N,8,2"));
    QVERIFY(f->window->comm().PortOpen());
    // Parity typed without its Chinese prefix matches nothing: the settings stay.
    f->control<ListBox>("CheckBit")->setText(QStringLiteral("None"));
    f->control<ListBox>("StopBit")->setText(QStringLiteral("1"));
    QTest::qWait(250);
    QCOMPARE(f->window->comm().Settings(), QStringLiteral("9600,N,8,2"));
    // The baud list's pick applies at once and is stored.
    f->control<ListBox>("CheckBit")->setText(QStringLiteral("无None"));
    f->control<ListBox>("BuadRate")->select(2);
    QCOMPARE(f->window->comm().Settings(), QStringLiteral("115200,N,8,1"));
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "波特率", ""), QStringLiteral("115200"));
    const std::optional<termios> line = f->board.lineTermios();
    QVERIFY(line);
    QCOMPARE(cfgetospeed(&*line), speed_t(B115200));
    // A typed baud rate is applied but not stored.
    f->control<ListBox>("BuadRate")->setText(QStringLiteral("57600"));
    QTRY_COMPARE(f->window->comm().Settings(), QStringLiteral("57600,N,8,1"));
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "波特率", ""), QStringLiteral("115200"));
    QVERIFY(f->window->comm().PortOpen());
}

void TestTerminal::typedPortOrBaudIsNoPick_data()
{
    QTest::addColumn<bool>("byReturn");
    QTest::newRow("Return") << true;
    QTest::newRow("focus leaves") << false;
}

// Typed into the window's boxes and ended the way a user ends typing: the texts equal list
// entries, yet no pick happens, nothing is stored, and the lists keep their entries.
void TestTerminal::typedPortOrBaudIsNoPick()
{
    QFETCH(bool, byReturn);

    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    auto *ports = f->control<ListBox>("ComPort");
    auto *bauds = f->control<ListBox>("BuadRate");
    const QByteArray stored = [this] {
        QFile file(f->iniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    const auto typeInto = [&](ListBox *box, const QString &text) {
        box->setFocus();
        QTRY_VERIFY(box->hasFocus());
        box->lineEdit()->selectAll();
        QTest::keyClicks(box, text);
        if (byReturn)
            QTest::keyClick(box, Qt::Key_Return);
        else
            f->control<MemoBox>("SendText")->setFocus();
        QTRY_VERIFY(!byReturn || box->hasFocus());
    };

    typeInto(ports, QStringLiteral("COM7"));
    typeInto(bauds, QStringLiteral("115200"));
    f->control<MemoBox>("SendText")->setFocus();

    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("关闭串口"));
    QVERIFY(f->window->comm().PortOpen());
    QCOMPARE(f->window->comm().CommPort(), WindowFixture::boardPort);
    // The typed rate is in force within a tick of Timer1, as any typed rate is.
    QTRY_COMPARE(f->window->comm().Settings(), QStringLiteral("115200,N,8,1"));
    QFile file(f->iniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), stored);
    QCOMPARE(ports->count(), 48);
    QCOMPARE(bauds->count(), 12);
    QCOMPARE(ports->text(), QStringLiteral("COM7"));
    QCOMPARE(bauds->text(), QStringLiteral("115200"));
}

void TestTerminal::send_data()
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
    QTest::newRow("hex A") << true << "A" << QByteArray("\x0A", 1) << "1";
    QTest::newRow("hex 0") << true << "0" << QByteArray(1, '\0') << "1";
    QTest::newRow("hex with blanks and line break") << true << " 41\r\n" << QByteArray("A") << "5";
}

void TestTerminal::send()
{
    QFETCH(bool, hex);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, count);
    QVERIFY(f->openBoard());
    f->control<QRadioButton>(hex ? "SendHexSel" : "SendChrSel")->setChecked(true);
    setSendText(text);
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(bytes.size()), bytes);
    QTest::qWait(50);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(counter("SendNum"), count);
    QCOMPARE(f->control<MemoBox>("SendText")->text(), text);
    QVERIFY(f->platform->messages.isEmpty());
}

void TestTerminal::hexRefused_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text : {"", "41 42", "100", "-1", "+1", "&H41", "0x41", "11:", "g", "4 1"})
        QTest::newRow(text) << QString::fromLatin1(text);
    QTest::newRow("full-width digits") << QStringLiteral("４１");
}

void TestTerminal::hexRefused()
{
    QFETCH(QString, text);
    QVERIFY(f->openBoard());
    f->control<QRadioButton>("SendHexSel")->setChecked(true);
    setSendText(text);
    f->click("ManSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请输入一个00到FF之间的十六进制数"));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试程序"));
    QCOMPARE(f->platform->messages[0].icon, QMessageBox::Warning);
    QTest::qWait(50);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(counter("SendNum"), QStringLiteral("0"));
}

void TestTerminal::sendWhileClosed_data()
{
    QTest::addColumn<bool>("hex");
    QTest::newRow("characters") << false;
    QTest::newRow("hexadecimal") << true;
}

void TestTerminal::sendWhileClosed()
{
    QFETCH(bool, hex);
    f->control<QRadioButton>(hex ? "SendHexSel" : "SendChrSel")->setChecked(true);
    setSendText(QStringLiteral("41"));
    f->click("ManSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试程序"));
    QCOMPARE(f->platform->messages[0].icon, QMessageBox::NoIcon);
    QCOMPARE(counter("SendNum"), QStringLiteral("0"));
}

void TestTerminal::receive_data()
{
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("count");

    QTest::newRow("OK line") << false << QByteArray("OK\r\n") << "OK\r\n"
                             << "4";
    QTest::newRow("chinese") << false << QByteArray("你好") << "你好"
                             << "2";
    QTest::newRow("malformed byte") << false
                                    << QByteArray("a\xFF"
                                                  "b")
                                    << "a\uFFFDb"
                                    << "3";
    QTest::newRow("beyond U+FFFF counts one") << false << QByteArray("😀𠀀!") << "😀𠀀!"
                                              << "3";
    QTest::newRow("hex") << true << QByteArray("\x00\xFF\x10", 3) << "00 FF 10 "
                         << "3";
    QTest::newRow("hex line end") << true << QByteArray("\r\nA") << "0D 0A 41 "
                                  << "3";
}

void TestTerminal::receive()
{
    QFETCH(bool, hex);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QFETCH(QString, count);
    QVERIFY(f->openBoard());
    f->control<QRadioButton>(hex ? "RevHexSel" : "RevChrSel")->setChecked(true);
    const QString before = revText();
    QVERIFY(f->board.write(bytes));
    QTRY_COMPARE(counter("RevNum"), count);
    // Text already in the box stays; the data follows it directly.
    QCOMPARE(revText(), before + shown);
    auto *rev = f->control<ReceiveBox>("RevText");
    QCOMPARE(rev->selStart(), rev->length());
}

void TestTerminal::switchModeBetweenBlocks()
{
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QVERIFY(f->board.write("AB"));
    QTRY_COMPARE(counter("RevNum"), QStringLiteral("2"));
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    QVERIFY(f->board.write("AB"));
    QTRY_COMPARE(counter("RevNum"), QStringLiteral("4"));
    QCOMPARE(revText(), QStringLiteral("AB41 42 "));
}

void TestTerminal::clearButtons()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("data"));
    QTRY_COMPARE(counter("RevNum"), QStringLiteral("4"));
    setSendText(QStringLiteral("xy"));
    f->click("ManSend");
    QCOMPARE(counter("SendNum"), QStringLiteral("2"));
    f->click("ClearRevText");
    QCOMPARE(revText(), QString());
    QCOMPARE(counter("RevNum"), QStringLiteral("4"));
    f->control<ReceiveBox>("RevText")->setText(QStringLiteral("kept"));
    f->click("ClearCounter");
    QCOMPARE(counter("RevNum"), QStringLiteral("0"));
    QCOMPARE(counter("SendNum"), QStringLiteral("0"));
    QCOMPARE(revText(), QStringLiteral("kept"));
    f->click("ClearSendText");
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QString());
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "发送文本框", "missing"), QString());
}

void TestTerminal::randomBytesInHex()
{
    QVERIFY(f->openBoard());
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    f->click("ClearRevText");
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator rng(20261208);
    for (char &b : bytes)
        b = static_cast<char>(rng.bounded(256));
    QString expected;
    expected.reserve(bytes.size() * 3);
    for (const char b : bytes)
        expected +=
            QStringLiteral("%1 ").arg(static_cast<uchar>(b), 2, 16, QLatin1Char('0')).toUpper();

    // Write in uneven pieces while the event loop runs, as a streaming board would.
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const qsizetype n = std::min<qsizetype>(bytes.size() - sent, 1000 + rng.bounded(9000));
        QVERIFY(f->board.write(bytes.mid(sent, n)));
        sent += n;
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(counter("RevNum"), QString::number(bytes.size()), 120000);
    QCOMPARE(revText().size(), expected.size());
    QVERIFY(revText() == expected);
}

void TestTerminal::splitUtf8InText()
{
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QString expected;
    QRandomGenerator rng(7);
    const QString alphabet = QStringLiteral("ab\r\n柯澜欧€ü😀");
    while (expected.size() < 300000) {
        const QChar c = alphabet.at(rng.bounded(alphabet.size()));
        if (c.isSurrogate())
            expected += QStringLiteral("😀");
        else
            expected += c;
    }
    const QByteArray bytes = expected.toUtf8();
    // Piece lengths that cut through multi-byte characters, including 4096-byte blocks.
    qsizetype sent = 0;
    int i = 0;
    const int pieces[] = {1, 2, 3, 4095, 4097, 5, 8191};
    while (sent < bytes.size()) {
        const qsizetype n = std::min<qsizetype>(bytes.size() - sent, pieces[i++ % 7]);
        QVERIFY(f->board.write(bytes.mid(sent, n)));
        sent += n;
        if (i % 3 == 0)
            QTest::qWait(1);
    }
    // Characters are counted: each 😀 once.
    QTRY_COMPARE_WITH_TIMEOUT(counter("RevNum"), QString::number(expected.toUcs4().size()), 60000);
    QVERIFY(revText() == expected);
}

// Opens the box's context menu with a right click, as a user does, and triggers the entry at
// path (a submenu's title, then its entry). Returns the texts of the menu's entries, empty when
// the entry was not there.
QStringList TestTerminal::useMenu(const char *box, const QStringList &path)
{
    QWidget *target = f->control<QWidget>(box);
    if (auto *area = qobject_cast<QAbstractScrollArea *>(target))
        target = area->viewport();
    QStringList entries;
    bool chosen = false;
    QTimer::singleShot(0, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *entry : menu->actions()) {
            entries << entry->text();
            if (entry->text() != path.value(0))
                continue;
            QAction *choice = path.size() == 1 ? entry : nullptr;
            for (QAction *sub : entry->menu() ? entry->menu()->actions() : QList<QAction *>())
                choice = sub->text() == path.value(1) ? sub : choice;
            if (choice) {
                chosen = true;
                // While the menu, which owns its entries, is still there.
                choice->trigger();
            }
        }
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            target->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(target, &event);
    return chosen ? entries : QStringList();
}

bool TestTerminal::chooseEncoding(const char *box, const QString &name)
{
    if (useMenu(box, {QStringLiteral("文字编码"), name}).isEmpty())
        return false;
    const QString current = f->window->comm().textEncoding() == MSComm::TextEncoding::Gb18030
                                ? QStringLiteral("GBK")
                                : QStringLiteral("UTF-8");
    return current == name;
}

void TestTerminal::encodingSplitAtEveryByte_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    const QString utf8 = QStringLiteral("温度a😀€\r\n");
    QTest::newRow("UTF-8") << "UTF-8" << utf8 << utf8.toUtf8();
    // Two-byte GBK characters, a four-byte GB18030 one (U+20000) and the euro sign.
    QTest::newRow("GBK") << "GBK" << QStringLiteral("温度a𠀀€\r\n")
                         << QByteArray("\xCE\xC2\xB6\xC8\x61\x95\x32\x82\x36\xA2\xE3\r\n");
}

// Every way a character can be cut between two reads of the board's output comes out whole.
void TestTerminal::encodingSplitAtEveryByte()
{
    QFETCH(QString, encoding);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    QVERIFY(f->showWindow());
    QVERIFY(chooseEncoding("RevText", encoding));
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    f->click("ClearCounter");
    QString expected;
    for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
        QVERIFY(f->board.write(bytes.first(cut)));
        QTest::qWait(10);
        QVERIFY(f->board.write(bytes.sliced(cut)));
        expected += text;
        QTRY_COMPARE(revText(), expected);
    }
    QCOMPARE(counter("RevNum"), QString::number(expected.toUcs4().size()));

    // Bytes that are no character show as U+FFFD, and the stream goes on.
    QVERIFY(f->board.write("\xFF" + bytes));
    QTRY_COMPARE(revText(), expected + QChar(0xFFFD) + text);
}

void TestTerminal::encodingSend_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("UTF-8") << "UTF-8" << QByteArray("\xE4\xBD\xA0\xE5\xA5\xBD");
    QTest::newRow("GBK") << "GBK" << QByteArray("\xC4\xE3\xBA\xC3");
}

void TestTerminal::encodingSend()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, bytes);

    QVERIFY(f->showWindow());
    QVERIFY(chooseEncoding("SendText", encoding));
    QVERIFY(f->openBoard());
    setSendText(QStringLiteral("你好"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(bytes.size()), bytes);
    QCOMPARE(counter("SendNum"), QStringLiteral("2"));
    // Hexadecimal mode sends its one byte whatever the encoding.
    f->control<QRadioButton>("SendHexSel")->setChecked(true);
    setSendText(QStringLiteral("C4"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(1), QByteArray("\xC4"));
}

// "保存接收区…": the box's text as UTF-8 in the file the user names, the folder remembered.
void TestTerminal::saveReceiveBox()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("温度=23.5\r\nOK\r\n"));
    QTRY_VERIFY(revText().endsWith(QStringLiteral("温度=23.5\r\nOK\r\n")));
    f->platform->moment = QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7));
    const QString folder = f->dir.filePath(QStringLiteral("captures"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/板子.txt");
    f->platform->saveAnswers = {path};

    QVERIFY(!useMenu("RevText", {QStringLiteral("保存接收区…")}).isEmpty());
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), revText().toUtf8());
    QCOMPARE(f->platform->suggestedPaths.value(0),
             QDir::homePath() + QStringLiteral("/接收区-20261208-090507.txt"));
    QVERIFY(f->platform->messages.isEmpty());

    // "查找…" opens the find bar.
    QVERIFY(!useMenu("RevText", {QStringLiteral("查找…")}).isEmpty());
    auto *bar = f->control<ReceiveBox>("RevText")->findChild<FindDialog *>();
    QVERIFY(bar);
    QTRY_VERIFY(bar->isVisible());
    bar->close();

    // The next dialog starts in the folder used last; a failure names the file and the reason.
    const QString nowhere = f->iniPath() + QStringLiteral("/not-a-folder.txt");
    f->platform->saveAnswers = {nowhere};
    QVERIFY(!useMenu("RevText", {QStringLiteral("保存接收区…")}).isEmpty());
    QCOMPARE(QFileInfo(f->platform->suggestedPaths.value(1)).absolutePath(), folder);
    QCOMPARE(f->platform->messages.size(), 1);
    QVERIFY(f->platform->messages[0].text.contains(nowhere));
    QVERIFY(f->platform->messages[0].text.contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))));
}

// "记录到文件…": every byte from then on, raw, whatever the display mode, across closing and
// reopening the port, until "停止记录".
void TestTerminal::recordRawBytes()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("before"));
    QTRY_COMPARE(counter("RevNum"), QStringLiteral("6"));
    const QString path = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {path};
    QCOMPARE(useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty(), false);
    QVERIFY(f->control<ReceiveBox>("RevText")->toolTip().contains(path));
    f->control<QRadioButton>("RevHexSel")->setChecked(true);

    QByteArray random(5 << 20, Qt::Uninitialized);
    QRandomGenerator rng(11);
    for (char &c : random)
        c = char(rng.bounded(256));
    const qsizetype half = random.size() / 2;
    QVERIFY(f->board.write(random.first(half)));
    QTRY_COMPARE_WITH_TIMEOUT(counter("RevNum"), QString::number(6 + half), 30000);
    f->click("OpenCom");
    f->click("OpenCom");
    QVERIFY(f->board.write(random.sliced(half)));
    QTRY_COMPARE_WITH_TIMEOUT(counter("RevNum"), QString::number(6 + random.size()), 30000);

    const QStringList entries = useMenu("RevText", {QStringLiteral("停止记录")});
    QVERIFY(entries.contains(QStringLiteral("停止记录")));
    QVERIFY(f->control<ReceiveBox>("RevText")->toolTip().isEmpty());
    QVERIFY(f->board.write("after"));
    QTRY_COMPARE(counter("RevNum"), QString::number(11 + random.size()));
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll() == random);
    QVERIFY(useMenu("RevText", {QStringLiteral("记录到文件…")})
                .contains(QStringLiteral("记录到文件…")));
}

// A device that takes no byte: recording stops with a message naming the file and the reason.
void TestTerminal::recordingFails()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    QVERIFY(f->openBoard());
    f->platform->saveAnswers = {QStringLiteral("/dev/full")};
    QVERIFY(!useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());
    QVERIFY(f->board.write("data"));
    QTRY_COMPARE(f->platform->messages.size(), 1);
    QVERIFY(f->platform->messages[0].text.contains(QStringLiteral("/dev/full")));
    QVERIFY(f->platform->messages[0].text.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))));
    QCOMPARE(revText().right(4), QStringLiteral("data"));
    // Recording has stopped: the entry offers to start again.
    QVERIFY(useMenu("RevText", {QStringLiteral("记录到文件…")})
                .contains(QStringLiteral("记录到文件…")));
    QVERIFY(f->control<ReceiveBox>("RevText")->toolTip().isEmpty());
}

void TestTerminal::encodingStored_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("checked");
    QTest::newRow("GBK") << "GBK"
                         << "GBK";
    QTest::newRow("UTF-8") << "UTF-8"
                           << "UTF-8";
    QTest::newRow("missing") << ""
                             << "UTF-8";
    QTest::newRow("other") << "gb2312"
                           << "UTF-8";
}

void TestTerminal::encodingStored()
{
    QFETCH(QString, stored);
    QFETCH(QString, checked);

    const SettingsFile settings(f->iniPath());
    if (!stored.isEmpty())
        settings.write(QStringLiteral("端口设置"), QStringLiteral("文字编码"), stored);
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("\xC4\xE3\r\n"));
    QTRY_VERIFY(revText().endsWith(checked == QStringLiteral("GBK")
                                       ? QStringLiteral("你\r\n")
                                       : QString(2, QChar(0xFFFD)) + QStringLiteral("\r\n")));

    // A choice is stored at once; the other one is picked here from the send box's menu.
    const QString other =
        checked == QStringLiteral("GBK") ? QStringLiteral("UTF-8") : QStringLiteral("GBK");
    QVERIFY(chooseEncoding("SendText", other));
    QCOMPARE(settings.read(QStringLiteral("端口设置"), QStringLiteral("文字编码"), QString()),
             other);
}

void TestTerminal::deviceLoss()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("last words"));
    QTRY_COMPARE(counter("RevNum"), QStringLiteral("10"));
    f->board.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(f->control<QPushButton>("OpenCom")->text(),
                              QStringLiteral("打开串口"), 1000);
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(!f->window->comm().PortOpen());
    QVERIFY(revText().endsWith(QStringLiteral("last words")));
    // A send now finds the port closed.
    f->click("ManSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
}

void TestTerminal::periodicSend()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("40"));
    setSendText(QStringLiteral("ping"));
    f->click("AutoSend");
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QCOMPARE(f->window->autoSendTimer().interval(), 40);
    QCOMPARE(f->board.readExactly(8), QByteArray("pingping"));
    // Editing the box changes what the next tick sends.
    setSendText(QStringLiteral("pong"));
    QByteArray seen;
    QTRY_VERIFY((seen += f->board.readAvailable()).contains("pong"));
    // Editing the period changes nothing until the toggle is pressed again.
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("1000"));
    QCOMPARE(f->window->autoSendTimer().interval(), 40);
    f->click("AutoSend");
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("自动发送"));
    QVERIFY(!f->window->autoSendTimer().isActive());
    QTest::qWait(100);
    (void)f->board.readAvailable();
    QTest::qWait(150);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QVERIFY(f->control<QLabel>("SendNum")->text().toInt() >= 12);
}

// The board reads nothing: 10 kB every 10 ms would queue without end.
void TestTerminal::periodicSendWaitsForSlowLine()
{
    constexpr qint64 limit = 1 << 20;
    const QString text(10000, QLatin1Char('x'));
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("10"));
    setSendText(text);
    f->click("AutoSend");

    const MSComm &comm = f->window->comm();
    QTRY_VERIFY_WITH_TIMEOUT(comm.OutBufferCount() > limit, 10000);
    const QString counted = counter("SendNum");
    QTest::qWait(300);
    QCOMPARE(counter("SendNum"), counted);
    QVERIFY(comm.OutBufferCount() <= limit + text.size());
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));

    // A manual send still queues and counts.
    const qint64 queued = comm.OutBufferCount();
    f->click("ManSend");
    QCOMPARE(comm.OutBufferCount(), queued + text.size());
    QCOMPARE(counter("SendNum").toLongLong(), counted.toLongLong() + text.size());

    // Once the board reads, the ticks send again, every byte in order.
    const qint64 before = counter("SendNum").toLongLong();
    const QByteArray drained = f->board.readExactly(4 << 20, 3000);
    QVERIFY(drained.size() > limit);
    QVERIFY(drained.count('x') == drained.size());
    QTRY_VERIFY(counter("SendNum").toLongLong() > before);
}

void TestTerminal::periodicSendStopsWhenClosed()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("30"));
    f->click("AutoSend");
    f->click("OpenCom");
    QTRY_COMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("自动发送"));
    QVERIFY(!f->window->autoSendTimer().isActive());
    QVERIFY(f->platform->messages.isEmpty());
}

void TestTerminal::periodicSendZeroPeriod()
{
    QVERIFY(f->openBoard());
    f->control<LineBox>("AutoSendCycle")->setText(QStringLiteral("0"));
    f->click("AutoSend");
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QVERIFY(!f->window->autoSendTimer().isActive());
    f->click("OpenCom");
    QTest::qWait(200);
    // Nothing ticks, so the toggle does not switch itself off either.
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QCOMPARE(counter("SendNum"), QStringLiteral("0"));
}

void TestTerminal::periodicSendRefusedPeriod_data()
{
    QTest::addColumn<QString>("period");
    for (const char *p : {"", "abc", "-1", "65536", "65535.5", "1e9", "nan", "10 ms"})
        QTest::newRow(p) << QString::fromLatin1(p);
}

void TestTerminal::periodicSendRefusedPeriod()
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
    QVERIFY(!f->window->autoSendTimer().isActive());
    // The line settings were applied first all the same.
    QCOMPARE(f->window->comm().Settings(), QStringLiteral("19200,N,8,1"));
}

void TestTerminal::scan()
{
    PseudoTerminal third, fourth, twelfth, busy;
    QVERIFY(third.isValid() && fourth.isValid() && twelfth.isValid() && busy.isValid());
    mapPorts(f->iniPath(), {{3, third.slavePath()},
                            {4, fourth.slavePath()},
                            {5, f->board.slavePath()},
                            {7, busy.slavePath()},
                            {12, twelfth.slavePath()}});
    MSComm other;
    other.setPortResolver([&busy](int) { return busy.slavePath(); });
    QCOMPARE(other.setCommPort(7), 0);
    QCOMPARE(other.setPortOpen(true), 0);

    QVERIFY(f->openBoard());
    auto *ports = f->control<ListBox>("ComPort");
    f->click("FindCom");
    QCOMPARE(revText(), QStringLiteral("【柯澜欧】软件支持检测COM48以内端口号，扫描结果：\r\n"
                                       "-> 串口号：COM3\r\n"
                                       "-> 串口号：COM4\r\n"
                                       "-> 串口号：COM5\r\n"
                                       "-> 串口号：COM12\r\n"
                                       "  您计算机上有4个串口，请在COM口列表框选择对应的串口号。"));
    // The port open before the scan ends closed; the list and its selection stay.
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QVERIFY(!f->window->comm().PortOpen());
    QCOMPARE(ports->listIndex(), WindowFixture::boardPort - 1);
    QCOMPARE(ports->count(), 48);
    QCOMPARE(f->window->comm().CommPort(), WindowFixture::boardPort);
    QVERIFY(f->platform->messages.isEmpty());
}

QTEST_MAIN(TestTerminal)
namespace {

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

// A board printing small blocks every few milliseconds: each block is appended and counted at
// once, yet the receive box and the counter are painted at most once a frame for all of them.
void TestTerminal::streamPaintsOncePerFrame()
{
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    auto *rev = f->control<ReceiveBox>("RevText");
    QTest::qWait(100);
    PaintCounter box;
    PaintCounter count;
    rev->viewport()->installEventFilter(&box);
    f->control<QLabel>("RevNum")->installEventFilter(&count);

    QElapsedTimer clock;
    clock.start();
    QString expected;
    for (int i = 0; i < 150; ++i) {
        const QByteArray line = "T=" + QByteArray::number(i) + "\r\n";
        QVERIFY(f->board.write(line));
        expected += QString::fromLatin1(line);
        QTRY_COMPARE(counter("RevNum"), QString::number(expected.size()));
        QCOMPARE(revText(), expected);
        QTest::qWait(2);
    }
    QTest::qWait(3 * FramePacer::FrameMs);
    const qint64 frames = clock.elapsed() / FramePacer::FrameMs + 2;

    QVERIFY2(box.paints <= frames, qPrintable(QStringLiteral("%1 paints").arg(box.paints)));
    QVERIFY2(count.paints <= frames, qPrintable(QStringLiteral("%1 paints").arg(count.paints)));
    QVERIFY(box.paints > 0);
    QVERIFY(count.paints > 0);
    // The box follows the end, its bar too.
    QCOMPARE(rev->selStart(), rev->length());
    QTRY_COMPARE(rev->verticalScrollBar()->value(), rev->verticalScrollBar()->maximum());
    QVERIFY(rev->verticalScrollBar()->maximum() > 0);
}

void TestTerminal::fontZoom_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("change"); // points; 0: back to the designed size

    QTest::newRow("Ctrl+Plus") << "Ctrl+Plus" << 1;
    QTest::newRow("Ctrl+=") << "Ctrl+=" << 1;
    QTest::newRow("Ctrl+Minus") << "Ctrl+Minus" << -1;
    QTest::newRow("Ctrl+wheel up") << "Ctrl+wheel up" << 1;
    QTest::newRow("Ctrl+wheel down") << "Ctrl+wheel down" << -1;
    QTest::newRow("Ctrl+0") << "Ctrl+0" << 0;
}

void TestTerminal::fontZoom()
{
    QFETCH(QString, action);
    QFETCH(int, change);

    QVERIFY(f->showWindow());
    auto *rev = f->control<ReceiveBox>("RevText");
    const int designed = rev->fontPointSize();
    rev->setFocus();
    // Start two points up, so that Ctrl+0 has something to undo.
    QTest::keyClick(rev, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(rev, Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(rev->fontPointSize(), designed + 2);

    if (action == QStringLiteral("Ctrl+Plus"))
        QTest::keyClick(rev, Qt::Key_Plus, Qt::ControlModifier);
    else if (action == QStringLiteral("Ctrl+="))
        QTest::keyClick(rev, Qt::Key_Equal, Qt::ControlModifier);
    else if (action == QStringLiteral("Ctrl+Minus"))
        QTest::keyClick(rev, Qt::Key_Minus, Qt::ControlModifier);
    else if (action == QStringLiteral("Ctrl+0"))
        QTest::keyClick(rev, Qt::Key_0, Qt::ControlModifier);
    else {
        QWheelEvent event(QPointF(20, 20), rev->viewport()->mapToGlobal(QPointF(20, 20)), QPoint(),
                          QPoint(0, change * 120), Qt::NoButton, Qt::ControlModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(rev->viewport(), &event);
    }

    const int expected = change == 0 ? designed : designed + 2 + change;
    QCOMPARE(rev->fontPointSize(), expected);
    QCOMPARE(SettingsFile(f->iniPath()).read("接收区", "字号", ""), QString::number(expected));
    // The next start shows the stored size.
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QCOMPARE(f->control<ReceiveBox>("RevText")->fontPointSize(), expected);
}

void TestTerminal::readBackWhileStreaming_data()
{
    QTest::addColumn<QString>("leave");
    QTest::addColumn<QString>("resume");

    QTest::newRow("Page Up, Ctrl+End") << "Page Up"
                                       << "Ctrl+End";
    QTest::newRow("caret keys, Ctrl+End") << "Up"
                                          << "Ctrl+End";
    QTest::newRow("Shift+Left, Ctrl+End") << "Shift+Left"
                                          << "Ctrl+End";
    QTest::newRow("mouse selection, click at the end") << "drag"
                                                       << "click";
    QTest::newRow("wheel, wheel to the bottom") << "wheel"
                                                << "wheel";
    QTest::newRow("scroll bar, bar to the bottom") << "bar"
                                                   << "bar";
}

// A user reading back or copying while the board prints: data goes on being appended and
// counted, the view, caret and selection stay, and following resumes at the end.
void TestTerminal::readBackWhileStreaming()
{
    QFETCH(QString, leave);
    QFETCH(QString, resume);

    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    f->click("ClearCounter");
    auto *rev = f->control<ReceiveBox>("RevText");
    QWidget *view = rev->viewport();
    QScrollBar *bar = rev->verticalScrollBar();
    qint64 sent = 0;
    const auto stream = [&](qint64 bytes) {
        QByteArray piece;
        while (piece.size() < bytes) {
            piece += "n=" + QByteArray::number(sent + piece.size()) + " T=23.5 H=41%\r\n";
        }
        for (qsizetype at = 0; at < piece.size(); at += 65536)
            f->board.write(piece.mid(at, 65536));
        sent += piece.size();
        QTRY_COMPARE_WITH_TIMEOUT(counter("RevNum"), QString::number(sent), 20000);
    };
    const auto wheel = [&](int steps) {
        for (int i = 0; i < std::abs(steps); ++i) {
            QWheelEvent event(QPointF(20, 20), view->mapToGlobal(QPointF(20, 20)), QPoint(),
                              QPoint(0, steps > 0 ? 120 : -120), Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(view, &event);
        }
    };
    stream(20000);
    rev->setFocus();
    QTRY_VERIFY(rev->hasFocus());
    QCOMPARE(rev->selStart(), rev->length());

    if (leave == QStringLiteral("Page Up")) {
        QTest::keyClick(rev, Qt::Key_PageUp);
    } else if (leave == QStringLiteral("Up")) {
        for (int i = 0; i < 60; ++i)
            QTest::keyClick(rev, Qt::Key_Up);
    } else if (leave == QStringLiteral("Shift+Left")) {
        for (int i = 0; i < 8; ++i)
            QTest::keyClick(rev, Qt::Key_Left, Qt::ShiftModifier);
    } else if (leave == QStringLiteral("drag")) {
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(10, 20));
        QTest::mouseMove(view, QPoint(120, 60));
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(120, 60));
    } else if (leave == QStringLiteral("wheel")) {
        wheel(5);
    } else {
        QTRY_VERIFY(bar->maximum() > 0);
        for (int i = 0; i < 5; ++i)
            QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, 4));
    }
    QTest::qWait(50);
    const qint64 selStart = rev->selStart();
    const qint64 selLength = rev->selLength();
    const QString selected = rev->selectedText();
    const QRect caret = rev->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    QVERIFY(selLength > 0 || selStart < rev->length() || leave == QStringLiteral("wheel") ||
            leave == QStringLiteral("bar"));

    stream(1 << 20);
    QTest::qWait(3 * FramePacer::FrameMs);
    QCOMPARE(rev->selStart(), selStart);
    QCOMPARE(rev->selLength(), selLength);
    QCOMPARE(rev->selectedText(), selected);
    QCOMPARE(rev->inputMethodQuery(Qt::ImCursorRectangle).toRect(), caret);
    QVERIFY(!rev->followsEnd());
    QCOMPARE(bar->value() < bar->maximum(), true);

    if (resume == QStringLiteral("Ctrl+End")) {
        QTest::keyClick(rev, Qt::Key_End, Qt::ControlModifier);
    } else if (resume == QStringLiteral("click")) {
        // A click without a drag clears the selection; Ctrl+End then shows the end.
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(10, 20));
        QTest::keyClick(rev, Qt::Key_End, Qt::ControlModifier);
    } else if (resume == QStringLiteral("wheel")) {
        wheel(-100000 / 3);
    } else {
        // Drags the handle down past the end of the bar.
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Vertical;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = option.sliderValue = bar->value();
        option.pageStep = bar->pageStep();
        option.singleStep = bar->singleStep();
        const QPoint handle =
            bar->style()
                ->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar)
                .center();
        const QPoint below(handle.x(), bar->height() + 50);
        QTest::mousePress(bar, Qt::LeftButton, {}, handle);
        QTest::mouseMove(bar, (handle + below) / 2);
        QTest::mouseMove(bar, below);
        QTest::mouseRelease(bar, Qt::LeftButton, {}, below);
    }
    QTRY_VERIFY(rev->followsEnd());
    stream(1000);
    QCOMPARE(rev->selStart(), rev->length());
    QCOMPARE(rev->selLength(), 0);
    QTRY_COMPARE(bar->value(), bar->maximum());

    // The clear button always goes back to following.
    QTest::keyClick(rev, Qt::Key_PageUp);
    f->click("ClearRevText");
    QVERIFY(rev->followsEnd());
}

namespace {

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

} // namespace

// 100 MB of a board's lines, then "清接收区": the memory goes back to the system.
void TestTerminal::memoryReturnedAfterClear()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer's allocator keeps freed memory in quarantine");
#endif
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QTest::qWait(50);
    const qint64 before = residentBytes();
    QVERIFY(before > 0);

    QByteArray piece;
    for (int line = 0; piece.size() < 65536 - 100; ++line)
        piece += "温度=" + QByteArray::number(20 + line % 10) +
                 ".5 湿度=" + QByteArray::number(40 + line % 30) +
                 "% 计数=" + QByteArray::number(line) + " 0123456789abcdefghijklmnopqrstuvwxyz\r\n";
    const qint64 total = 100 << 20;
    qint64 characters = 0;
    for (qint64 sent = 0; sent < total; sent += piece.size()) {
        QVERIFY(f->board.write(piece));
        characters += QString::fromUtf8(piece).size();
    }
    auto *rev = f->control<ReceiveBox>("RevText");
    QTRY_COMPARE_WITH_TIMEOUT(rev->length(), characters, 60000);
    QVERIFY(residentBytes() > before + (60 << 20));

    f->click("ClearRevText");
    QCOMPARE(rev->length(), 0);
    const qint64 after = residentBytes();
    QVERIFY2(after <= before + (30 << 20),
             qPrintable(QStringLiteral("%1 MB above").arg((after - before) >> 20)));
}

void TestTerminal::endingSignalClosesPort_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// Without the handler the signal ends the test process itself. With it the event loop returns
// normally, and the window, once gone, has released the port and its lock file.
void TestTerminal::endingSignalClosesPort()
{
    QFETCH(int, signal);

    const QuitOnSignals quitOnSignals;
    QVERIFY(f->openBoard());
    // Qt Serial Port names the lock of /dev/pts/N "LCK..pts_N".
    const QString lockFile =
        QStringLiteral("/run/lock/LCK..") +
        f->board.slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    if (QFileInfo(QStringLiteral("/run/lock")).isWritable())
        QVERIFY(QFile::exists(lockFile));

    QTimer::singleShot(10, [signal] { ::raise(signal); });
    QTimer watchdog;
    watchdog.callOnTimeout([] { QCoreApplication::exit(1); });
    watchdog.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
    f->window.reset();

    QVERIFY(f->board.write("still there"));
    QVERIFY(!QFile::exists(lockFile));
}

#include "tst_terminal.moc"
