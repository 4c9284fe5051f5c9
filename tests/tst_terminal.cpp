// The terminal end to end against a pseudo-terminal playing the board: the port list, line
// settings, open and close, a lost device, the port scan and ending signals.
#include "app/quit_on_signals.h"
#include "port/mscomm.h"
#include "port/port_problem.h"
#include "serial/port_list.h"
#include "settings/settings_file.h"
#include "support/window_fixture.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
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
    void deviceLoss();
    void scan();
    void endingSignalClosesPort_data();
    void endingSignalClosesPort();

private:
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
    QVERIFY(f->comm().PortOpen());
    f->click("OpenCom");
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(!f->comm().PortOpen());
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
    // The holder here is this very process, named from the lock file its port keeps.
    const QString cause = held ? QStringLiteral("设备 %1 正被 %2（进程 %3）占用。")
                                     .arg(device, QCoreApplication::applicationName())
                                     .arg(QCoreApplication::applicationPid())
                               : QStringLiteral("设备 %1 不存在。").arg(device);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("无效端口号\n") + cause);
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
    QVERIFY(!f->comm().PortOpen());
    QCOMPARE(f->comm().CommPort(), 6);
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "端口", ""), QStringLiteral("COM6"));
}

void TestTerminal::refusedSettingsClosePort()
{
    QVERIFY(f->openBoard());
    // Typing 4 data bits: the open port cannot take them and closes at once, silently.
    f->control<ListBox>("DataBits")->setText(QStringLiteral("4"));
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(!f->comm().PortOpen());
    QVERIFY(f->platform->messages.isEmpty());
}

void TestTerminal::settingsFollowTheBoxes()
{
    QVERIFY(f->openBoard());
    // A pick from the stop-bit list raises nothing itself; the 100 ms timer applies it.
    f->control<ListBox>("StopBit")->select(1);
    QTRY_COMPARE(f->comm().Settings(), QStringLiteral("9600,N,8,2"));
    QVERIFY(f->comm().PortOpen());
    // Parity typed without its Chinese prefix matches nothing: the settings stay.
    f->control<ListBox>("CheckBit")->setText(QStringLiteral("None"));
    f->control<ListBox>("StopBit")->setText(QStringLiteral("1"));
    QTest::qWait(250);
    QCOMPARE(f->comm().Settings(), QStringLiteral("9600,N,8,2"));
    // The baud list's pick applies at once and is stored.
    f->control<ListBox>("CheckBit")->setText(QStringLiteral("无None"));
    f->control<ListBox>("BuadRate")->select(2);
    QCOMPARE(f->comm().Settings(), QStringLiteral("115200,N,8,1"));
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "波特率", ""), QStringLiteral("115200"));
    const std::optional<termios> line = f->board.lineTermios();
    QVERIFY(line);
    QCOMPARE(cfgetospeed(&*line), speed_t(B115200));
    // A typed baud rate is applied but not stored.
    f->control<ListBox>("BuadRate")->setText(QStringLiteral("57600"));
    QTRY_COMPARE(f->comm().Settings(), QStringLiteral("57600,N,8,1"));
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "波特率", ""), QStringLiteral("115200"));
    QVERIFY(f->comm().PortOpen());
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
    QVERIFY(f->comm().PortOpen());
    QCOMPARE(f->comm().CommPort(), WindowFixture::boardPort);
    // The typed rate is in force within a tick of Timer1, as any typed rate is.
    QTRY_COMPARE(f->comm().Settings(), QStringLiteral("115200,N,8,1"));
    QFile file(f->iniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), stored);
    QCOMPARE(ports->count(), 48);
    QCOMPARE(bauds->count(), 12);
    QCOMPARE(ports->text(), QStringLiteral("COM7"));
    QCOMPARE(bauds->text(), QStringLiteral("115200"));
}

void TestTerminal::deviceLoss()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("last words"));
    QTRY_COMPARE(f->counter("RevNum"), QStringLiteral("10"));
    f->board.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(f->control<QPushButton>("OpenCom")->text(),
                              QStringLiteral("打开串口"), 1000);
    QCOMPARE(f->control<Lamp>("OnOffLed")->fillColor(), 0xFFFFC0u);
    QVERIFY(!f->comm().PortOpen());
    QVERIFY(f->revText().endsWith(QStringLiteral("last words")));
    // A send now finds the port closed.
    f->click("ManSend");
    QCOMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("请打开串口"));
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
    QCOMPARE(f->revText(),
             QStringLiteral("【柯澜欧】软件支持检测COM48以内端口号，扫描结果：\r\n"
                            "-> 串口号：COM3\r\n"
                            "-> 串口号：COM4\r\n"
                            "-> 串口号：COM5\r\n"
                            "-> 串口号：COM12\r\n"
                            "  您计算机上有4个串口，请在COM口列表框选择对应的串口号。"));
    // The port open before the scan ends closed; the list and its selection stay.
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QVERIFY(!f->comm().PortOpen());
    QCOMPARE(ports->listIndex(), WindowFixture::boardPort - 1);
    QCOMPARE(ports->count(), 48);
    QCOMPARE(f->comm().CommPort(), WindowFixture::boardPort);
    QVERIFY(f->platform->messages.isEmpty());
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

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
