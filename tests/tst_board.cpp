// The simulated board end to end: the real zelqo-board program on one side, the window on the
// other, each panel used as a user would.
#include "app/controls.h"
#include "app/form1.h"
#include "panels/time_sync.h"
#include "quicksend/checksum.h"
#include "quicksend/payload.h"
#include "settings/settings_file.h"
#include "support/context_menu.h"
#include "support/test_platform.h"
#include "textview/receive_box.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

class TestBoard : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void entryPutBack_data();
    void entryPutBack();
    void bluetoothPanelAt38400();
    void noAnswerAtAnotherSpeed();
    void timeSyncEcho();
    void carCodes();
    void modbusSlave_data();
    void modbusSlave();
    void entryRemovedWhenItWasAbsent();
    void unplugAndBack();

private:
    [[nodiscard]] QString iniPath() const
    {
        return m_dir->filePath(QStringLiteral("zelqo柯澜欧.ini"));
    }
    [[nodiscard]] QByteArray iniBytes() const
    {
        QFile file(iniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Starts the board and, unless told otherwise, opens its port in a window; false when
    // either fails.
    bool startBoard(bool withWindow = true, const QStringList &args = {});
    template <typename T = QWidget> T *control(const char *name) const
    {
        auto *w = m_window->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    [[nodiscard]] QString revText() const { return control<ReceiveBox>("RevText")->text(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_board;
    std::unique_ptr<Form1> m_window;
    TestPlatform *m_platform = nullptr;
    QString m_device;
};

void TestBoard::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // Every number names no device, so that the machine's own ports stay out of the tests.
    mapPorts(iniPath(), {});
}

void TestBoard::cleanup()
{
    m_window.reset();
    if (m_board) {
        m_board->terminate();
        m_board->waitForFinished(5000);
    }
    m_board.reset();
    m_dir.reset();
}

bool TestBoard::startBoard(bool withWindow, const QStringList &args)
{
    m_board = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->path());
    m_board->setProcessEnvironment(env);
    m_board->start(QStringLiteral(ZELQO_BOARD_PATH), args);
    if (!m_board->waitForStarted(5000))
        return false;
    QByteArray said;
    while (!said.contains('\n') && m_board->waitForReadyRead(5000))
        said += m_board->readAllStandardOutput();
    // "COM48 -> /dev/pts/N"
    m_device = QString::fromLocal8Bit(said.left(said.indexOf('\n')).split(' ').value(2));
    if (!m_device.startsWith(QStringLiteral("/dev/")))
        return false;
    if (!withWindow)
        return true;
    m_window = std::make_unique<Form1>(testPlatform(m_platform, iniPath()));
    control<ListBox>("ComPort")->select(47);
    control<QPushButton>("OpenCom")->click();
    return control<QPushButton>("OpenCom")->text() == QStringLiteral("关闭串口");
}

void TestBoard::entryPutBack_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("SIGTERM") << "SIGTERM";
    QTest::newRow("Ctrl+C") << "SIGINT";
    QTest::newRow("end of input") << "end of input";
}

// The board enters its line in the settings file, keeping every other byte, and puts back what
// the entry held when it ends.
void TestBoard::entryPutBack()
{
    QFETCH(QString, ending);
    const QByteArray before = iniBytes();
    QVERIFY(startBoard(false));
    QCOMPARE(SettingsFile(iniPath()).read(QStringLiteral("端口映射"), QStringLiteral("COM48"),
                                          QString()),
             m_device);
    QByteArray expected = before;
    expected.replace("COM48=/nonexistent/tty48", "COM48=" + m_device.toLocal8Bit());
    QCOMPARE(iniBytes(), expected);

    if (ending == QStringLiteral("end of input"))
        m_board->closeWriteChannel();
    else
        ::kill(pid_t(m_board->processId()), ending == QStringLiteral("SIGTERM") ? SIGTERM : SIGINT);
    QVERIFY(m_board->waitForFinished(5000));
    QCOMPARE(m_board->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_board->exitCode(), 0);
    QCOMPARE(iniBytes(), before);
}

// The module answers at 38400 baud, which every AT button switches to; set commands change what
// the queries answer.
void TestBoard::bluetoothPanelAt38400()
{
    QVERIFY(startBoard());
    // What arrives after the click, and only that, is the answer.
    const auto press = [this](const char *button, const QString &answer) {
        const qint64 before = control<ReceiveBox>("RevText")->length();
        control<QPushButton>(button)->click();
        QTRY_COMPARE(revText().mid(before), answer);
    };
    press("CommandAT", QStringLiteral("OK\r\n"));
    QCOMPARE(control<ListBox>("BuadRate")->text(), QStringLiteral("38400"));
    press("Command9", QStringLiteral("+ROLE:0\r\nOK\r\n"));
    press("Command6", QStringLiteral("OK\r\n"));
    press("Command9", QStringLiteral("+ROLE:1\r\nOK\r\n"));
    press("Command11", QStringLiteral("+NAME:HC-05\r\nOK\r\n"));
    press("Command18", QStringLiteral("OK\r\n"));
    press("Command11", QStringLiteral("+NAME:zelqo\r\nOK\r\n"));
    press("Command12", QStringLiteral("+UART:9600,0,0\r\nOK\r\n"));
    press("Command14", QStringLiteral("+ADDR:98d3:31:f5a2b1\r\nOK\r\n"));
    press("Command8", QStringLiteral("OK\r\n"));
    press("Command9", QStringLiteral("+ROLE:0\r\nOK\r\n"));
}

// At any other speed the module hears noise and says nothing.
void TestBoard::noAnswerAtAnotherSpeed()
{
    QVERIFY(startBoard());
    QCOMPARE(control<ListBox>("BuadRate")->text(), QStringLiteral("9600"));
    control<MemoBox>("SendText")->setText(QStringLiteral("AT\r\n"));
    control<QPushButton>("ManSend")->click();
    QTest::qWait(500);
    QVERIFY(!revText().endsWith(QStringLiteral("OK\r\n")));
    // The same line at 38400 is answered.
    control<ListBox>("BuadRate")->setText(QStringLiteral("38400"));
    control<QPushButton>("ManSend")->click();
    QTRY_VERIFY(revText().endsWith(QStringLiteral("OK\r\n")));
}

void TestBoard::timeSyncEcho()
{
    QVERIFY(startBoard());
    m_platform->moment = QDateTime(QDate(2026, 12, 8), QTime(14, 30, 5));
    control<QPushButton>("UpdataTime")->click();
    const QString digits = timesync::timeString(m_platform->moment);
    QCOMPARE(digits.size(), 16);
    QTRY_VERIFY(revText().endsWith(digits + QStringLiteral("\r\n")));
}

void TestBoard::carCodes()
{
    QVERIFY(startBoard());
    control<QPushButton>("Forward")->click();
    QTRY_VERIFY(revText().endsWith(QStringLiteral("car 11: 前进 forward\r\n")));
    control<QPushButton>("StopCar")->click();
    QTRY_VERIFY(revText().endsWith(QStringLiteral("car 00: 停止 stop\r\n")));
    control<QPushButton>("add")->click();
    QTRY_VERIFY(revText().endsWith(QStringLiteral("car speed 速度 1\r\n")));
    // Anything else comes back as it went.
    control<MemoBox>("SendText")->setText(QStringLiteral("hello 你好"));
    control<QPushButton>("ManSend")->click();
    QTRY_VERIFY(revText().endsWith(QStringLiteral("hello 你好")));
}

void TestBoard::modbusSlave_data()
{
    QTest::addColumn<QString>("request"); // without its CRC
    QTest::addColumn<QString>("checksum");
    QTest::addColumn<QString>("answer"); // hex, without its CRC; empty: the request echoed
    QTest::newRow("read holding registers") << "01 03 00 0A 00 02"
                                            << "CRC-16/MODBUS"
                                            << "01 03 04 01 0A 01 0B";
    QTest::newRow("read input register") << "01 04 00 00 00 01"
                                         << "CRC-16/MODBUS"
                                         << "01 04 02 01 00";
    QTest::newRow("write a register") << "01 06 00 10 00 01"
                                      << "CRC-16/MODBUS"
                                      << "";
    QTest::newRow("unknown function") << "01 2B 0E 01 00"
                                      << "CRC-16/MODBUS"
                                      << "01 AB 01";
    QTest::newRow("no CRC: echoed") << "01 03 00 0A 00 02 00 00"
                                    << "无"
                                    << "";
}

// Frames typed on the quick-send frame line with their CRC, answered as a Modbus slave does.
void TestBoard::modbusSlave()
{
    QFETCH(QString, request);
    QFETCH(QString, checksum);
    QFETCH(QString, answer);
    QVERIFY(startBoard());
    control<QRadioButton>("RevHexSel")->setChecked(true);
    QVERIFY(
        !useContextMenu(control<ReceiveBox>("RevText"), {QStringLiteral("快捷发送…")}).isEmpty());
    auto *frame = m_window->findChild<QLineEdit *>(QStringLiteral("FrameLine"));
    QVERIFY(frame);
    frame->setText(request);
    m_window->findChild<QComboBox *>(QStringLiteral("FrameChecksum"))->setCurrentText(checksum);
    const auto withCrc = [&checksum](const QString &hex) {
        QByteArray bytes = quicksend::parseHex(hex).bytes;
        if (checksum == QStringLiteral("无"))
            return bytes;
        const quint32 crc = quicksend::checksumValue(quicksend::Algorithm::Crc16Modbus, {}, bytes);
        return bytes + char(crc & 0xFF) + char(crc >> 8);
    };
    const qint64 before = control<ReceiveBox>("RevText")->length();
    QTest::keyClick(frame, Qt::Key_Return);
    const QByteArray expected = withCrc(answer.isEmpty() ? request : answer);
    QTRY_COMPARE(revText().mid(before), quicksend::hexBytes(expected) + QLatin1Char(' '));
}

// A key the board added goes again when it ends, instead of staying behind empty.
void TestBoard::entryRemovedWhenItWasAbsent()
{
    SettingsFile(iniPath()).remove(QStringLiteral("端口映射"), QStringLiteral("COM48"));
    const QByteArray before = iniBytes();
    QVERIFY(!before.contains("COM48="));
    QVERIFY(startBoard(false));
    QVERIFY(iniBytes().contains("COM48=" + m_device.toLocal8Bit()));
    m_board->terminate();
    QVERIFY(m_board->waitForFinished(5000));
    QCOMPARE(iniBytes(), before);
}

// Enter unplugs the board: the window loses the port, and reopens it by itself when the board
// is back on a new pseudo-terminal.
void TestBoard::unplugAndBack()
{
    QVERIFY(startBoard(true, {QStringLiteral("--down"), QStringLiteral("1")}));
    const QString first = m_device;
    m_board->write("\n");
    QTRY_COMPARE(control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));
    QVERIFY(m_window->windowTitle().contains(QStringLiteral("等待 COM48")));
    QTRY_COMPARE_WITH_TIMEOUT(control<QPushButton>("OpenCom")->text(), QStringLiteral("关闭串口"),
                              5000);
    const QString second =
        SettingsFile(iniPath()).read(QStringLiteral("端口映射"), QStringLiteral("COM48"), {});
    QVERIFY(second.startsWith(QStringLiteral("/dev/pts/")));
    QVERIFY(second != first);
    control<MemoBox>("SendText")->setText(QStringLiteral("back again"));
    control<QPushButton>("ManSend")->click();
    QTRY_VERIFY(revText().endsWith(QStringLiteral("back again")));
}

QTEST_MAIN(TestBoard)
#include "tst_board.moc"
