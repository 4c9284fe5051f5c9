// The serial component on pseudo-terminals: line settings, port numbers, opening and closing,
// and settings that reach the device or are refused.
#include "port/line_settings.h"
#include "port/port_map.h"
#include "support/board_port.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

namespace {

speed_t lineSpeed(const PseudoTerminal &pty)
{
    const std::optional<termios> t = pty.lineTermios();
    return t ? ::cfgetospeed(&*t) : speed_t(0);
}

tcflag_t lineFlags(const PseudoTerminal &pty)
{
    const std::optional<termios> t = pty.lineTermios();
    return t ? t->c_cflag : 0;
}

} // namespace

class TestMSComm : public QObject
{
    Q_OBJECT

private slots:
    void parseLineSettings_data();
    void parseLineSettings();
    void defaultDevice_data();
    void defaultDevice();
    void openAndClose();
    void openFailsWithoutDevice_data();
    void openFailsWithoutDevice();
    void busyPortIsRefused();
    void commPortRules();
    void unparsableSettingsKeepPrevious_data();
    void unparsableSettingsKeepPrevious();
    void settingsReachDevice();
    void settingsDeviceCannotTake_data();
    void settingsDeviceCannotTake();
    void unchangedSettingsNotReapplied();
    void deviceRefusalRestoresSettings();
};

void TestMSComm::parseLineSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");

    const auto good = [](const char *name, const char *text, int baud, QSerialPort::Parity p,
                         int data, QSerialPort::StopBits stop) {
        QTest::newRow(name) << QString::fromLatin1(text) << true << baud << int(p) << data
                            << int(stop);
    };
    good("initial", "9600,N,8,1", 9600, QSerialPort::NoParity, 8, QSerialPort::OneStop);
    good("odd seven two", "115200,O,7,2", 115200, QSerialPort::OddParity, 7, QSerialPort::TwoStop);
    good("even", "600,E,8,1", 600, QSerialPort::EvenParity, 8, QSerialPort::OneStop);
    good("mark", "38400,M,5,1.5", 38400, QSerialPort::MarkParity, 5, QSerialPort::OneAndHalfStop);
    good("space", "256000,S,6,1", 256000, QSerialPort::SpaceParity, 6, QSerialPort::OneStop);
    good("lower-case parity", "9600,e,8,1", 9600, QSerialPort::EvenParity, 8, QSerialPort::OneStop);
    good("four data bits", "9600,N,4,1", 9600, QSerialPort::NoParity, 4, QSerialPort::OneStop);
    good("odd baud", "12345,N,8,1", 12345, QSerialPort::NoParity, 8, QSerialPort::OneStop);
    good("largest baud", "2147483647,N,8,1", 2147483647, QSerialPort::NoParity, 8,
         QSerialPort::OneStop);

    const auto bad = [](const char *name, const QString &text) {
        QTest::newRow(name) << text << false << 0 << 0 << 0 << 0;
    };
    bad("empty", QString());
    bad("three fields", QStringLiteral("9600,N,8"));
    bad("five fields", QStringLiteral("9600,N,8,1,1"));
    bad("trailing comma", QStringLiteral("9600,N,8,1,"));
    bad("zero baud", QStringLiteral("0,N,8,1"));
    bad("negative baud", QStringLiteral("-9600,N,8,1"));
    bad("plus sign", QStringLiteral("+9600,N,8,1"));
    bad("baud overflow", QStringLiteral("2147483648,N,8,1"));
    bad("fractional baud", QStringLiteral("9600.5,N,8,1"));
    bad("empty baud", QStringLiteral(",N,8,1"));
    bad("blank before baud", QStringLiteral(" 9600,N,8,1"));
    bad("blank after comma", QStringLiteral("9600, N,8,1"));
    bad("unknown parity", QStringLiteral("9600,X,8,1"));
    bad("parity word", QStringLiteral("9600,None,8,1"));
    bad("chinese parity", QStringLiteral("9600,无None,8,1"));
    bad("three data bits", QStringLiteral("9600,N,3,1"));
    bad("nine data bits", QStringLiteral("9600,N,9,1"));
    bad("data bits 08", QStringLiteral("9600,N,08,1"));
    bad("stop bits 3", QStringLiteral("9600,N,8,3"));
    bad("stop bits 1.0", QStringLiteral("9600,N,8,1.0"));
    bad("stop bits 0", QStringLiteral("9600,N,8,0"));
    bad("full-width digits", QStringLiteral("９６００,N,8,1"));
}

void TestMSComm::parseLineSettings()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const std::optional<LineSettings> parsed = ::parseLineSettings(text);
    QCOMPARE(parsed.has_value(), valid);
    if (!valid)
        return;
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    QCOMPARE(parsed->baud, baud);
    QCOMPARE(int(parsed->parity), parity);
    QCOMPARE(parsed->dataBits, dataBits);
    QCOMPARE(int(parsed->stopBits), stopBits);
}

void TestMSComm::defaultDevice_data()
{
    QTest::addColumn<int>("commPort");
    QTest::addColumn<QString>("device");
    QTest::newRow("below") << 0 << QString();
    QTest::newRow("negative") << -1 << QString();
    QTest::newRow("above") << 49 << QString();
#ifdef Q_OS_WIN
    QTest::newRow("COM1") << 1 << QStringLiteral("COM1");
    QTest::newRow("COM48") << 48 << QStringLiteral("COM48");
#else
    QTest::newRow("COM1") << 1 << QStringLiteral("/dev/ttyS0");
    QTest::newRow("COM4") << 4 << QStringLiteral("/dev/ttyS3");
    QTest::newRow("COM5") << 5 << QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("COM20") << 20 << QStringLiteral("/dev/ttyUSB15");
    QTest::newRow("COM21") << 21 << QStringLiteral("/dev/ttyACM0");
    QTest::newRow("COM36") << 36 << QStringLiteral("/dev/ttyACM15");
    QTest::newRow("COM37") << 37 << QStringLiteral("/dev/ttyAMA0");
    QTest::newRow("COM40") << 40 << QStringLiteral("/dev/ttyAMA3");
    QTest::newRow("COM41") << 41 << QStringLiteral("/dev/rfcomm0");
    QTest::newRow("COM48") << 48 << QStringLiteral("/dev/rfcomm7");
#endif
}

void TestMSComm::defaultDevice()
{
    QFETCH(int, commPort);
    QFETCH(QString, device);
    QCOMPARE(portmap::defaultDevice(commPort), device);
}

void TestMSComm::openAndClose()
{
    BoardPort board;
    QVERIFY(board.pty.isValid());
    auto &[pty, comm] = board;
    QCOMPARE(comm.CommPort(), 1);
    QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.devicePath(), QString());

    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.devicePath(), pty.slavePath());
    QCOMPARE(comm.setPortOpen(true), int(MSComm::PortAlreadyOpen));
    QVERIFY(comm.PortOpen());

    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.devicePath(), QString());
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));

    // Closed and opened again, the line works both ways.
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.Output(QByteArray("ping")), int(MSComm::NoError));
    QCOMPARE(pty.readExactly(4), QByteArray("ping"));
}

void TestMSComm::openFailsWithoutDevice_data()
{
    QTest::addColumn<QString>("device");
    QTest::newRow("missing device") << QStringLiteral("/nonexistent/ttyUSB0");
    QTest::newRow("no device for the number") << QString();
    QTest::newRow("not a tty") << QStringLiteral("regular file");
}

void TestMSComm::openFailsWithoutDevice()
{
    QFETCH(QString, device);
    QTemporaryFile file;
    if (device == QLatin1String("regular file")) {
        QVERIFY(file.open());
        device = file.fileName();
    }
    MSComm comm;
    int asked = 0;
    comm.setPortResolver([&](int n) {
        ++asked;
        return n == 7 ? device : QStringLiteral("/nonexistent/other");
    });
    QCOMPARE(comm.setCommPort(7), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::PortInvalid));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.devicePath(), QString());
    // The resolver is asked at each open, so a changed port map counts at once.
    QCOMPARE(comm.setPortOpen(true), int(MSComm::PortInvalid));
    QCOMPARE(asked, 2);
}

// QSerialPort locks each device with a lock file (LCK..pts_N in /var/lock); TIOCEXCL does not
// stop root, but the lock does, so a second opener is refused even then.
void TestMSComm::busyPortIsRefused()
{
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    MSComm first;
    MSComm second;
    first.setPortResolver(ptyResolver({{1, pty.slavePath()}}));
    second.setPortResolver(ptyResolver({{1, pty.slavePath()}}));
    QCOMPARE(first.setPortOpen(true), int(MSComm::NoError));

    QCOMPARE(second.setPortOpen(true), int(MSComm::DeviceUnavailable));
    QVERIFY(!second.PortOpen());

    QVERIFY(first.PortOpen());
    QCOMPARE(first.Output(QByteArray("still mine")), int(MSComm::NoError));
    QCOMPARE(pty.readExactly(10), QByteArray("still mine"));

    QCOMPARE(first.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(second.setPortOpen(true), int(MSComm::NoError));
    QVERIFY(second.PortOpen());
}

void TestMSComm::commPortRules()
{
    PseudoTerminal one;
    PseudoTerminal two;
    QVERIFY(one.isValid() && two.isValid());
    MSComm comm;
    comm.setPortResolver(ptyResolver({{1, one.slavePath()}, {2, two.slavePath()}}));

    QCOMPARE(comm.setCommPort(0), int(MSComm::PortInvalid));
    QCOMPARE(comm.setCommPort(-5), int(MSComm::PortInvalid));
    QCOMPARE(comm.CommPort(), 1);

    QCOMPARE(comm.setCommPort(2), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.devicePath(), two.slavePath());

    QCOMPARE(comm.setCommPort(1), int(MSComm::PortAlreadyOpen));
    QCOMPARE(comm.setCommPort(2), int(MSComm::PortAlreadyOpen));
    QCOMPARE(comm.CommPort(), 2);
    QCOMPARE(comm.devicePath(), two.slavePath());

    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.setCommPort(1), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.devicePath(), one.slavePath());
}

void TestMSComm::unparsableSettingsKeepPrevious_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("closed") << false;
    QTest::newRow("open") << true;
}

void TestMSComm::unparsableSettingsKeepPrevious()
{
    QFETCH(bool, open);
    BoardPort board;
    QVERIFY(board.pty.isValid());
    auto &[pty, comm] = board;
    QCOMPARE(comm.setSettings(QStringLiteral("19200,N,8,2")), int(MSComm::NoError));
    if (open)
        QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));

    for (const QString &text : {QStringLiteral("9600,无None,8,1"), QStringLiteral("abc"),
                                QStringLiteral("9600,N,9,1"), QString()}) {
        const int error = comm.setSettings(text);
        QCOMPARE(error, int(MSComm::InvalidPropertyValue));
        QVERIFY(error != MSComm::SetCommStateFailed);
        QCOMPARE(comm.Settings(), QStringLiteral("19200,N,8,2"));
        QCOMPARE(comm.PortOpen(), open);
    }
    if (!open)
        QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(lineSpeed(pty), speed_t(B19200));
    QCOMPARE(lineFlags(pty) & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8 | CSTOPB));
}

// Speed and stop bits: what a pseudo-terminal takes on every kernel (some refuse parity and
// data bits other than 8, see deviceRefusalRestoresSettings).
void TestMSComm::settingsReachDevice()
{
    BoardPort board;
    QVERIFY(board.pty.isValid());
    auto &[pty, comm] = board;

    // Written while closed: used by the open.
    QCOMPARE(comm.setSettings(QStringLiteral("57600,N,8,2")), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(lineSpeed(pty), speed_t(B57600));
    QCOMPARE(lineFlags(pty) & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8 | CSTOPB));

    // Written while open: at once.
    QCOMPARE(comm.setSettings(QStringLiteral("4800,N,8,1")), int(MSComm::NoError));
    QCOMPARE(comm.Settings(), QStringLiteral("4800,N,8,1"));
    QCOMPARE(lineSpeed(pty), speed_t(B4800));
    QCOMPARE(lineFlags(pty) & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
}

void TestMSComm::settingsDeviceCannotTake_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("four data bits") << QStringLiteral("9600,N,4,1");
#ifndef Q_OS_WIN
    QTest::newRow("one and a half stop bits") << QStringLiteral("9600,N,8,1.5");
#endif
}

void TestMSComm::settingsDeviceCannotTake()
{
    QFETCH(QString, settings);
    BoardPort board;
    QVERIFY(board.pty.isValid());
    auto &[pty, comm] = board;
    QCOMPARE(comm.setSettings(QStringLiteral("2400,N,8,2")), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));

    // While open: 8015, the port stays open on the settings in force, and the string stays.
    QCOMPARE(comm.setSettings(settings), int(MSComm::SetCommStateFailed));
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.Settings(), QStringLiteral("2400,N,8,2"));
    QCOMPARE(lineSpeed(pty), speed_t(B2400));
    QCOMPARE(lineFlags(pty) & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8 | CSTOPB));
    QCOMPARE(comm.Output(QByteArray("ok")), int(MSComm::NoError));
    QCOMPARE(pty.readExactly(2), QByteArray("ok"));

    // While closed the string is taken, and the open fails on it.
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.setSettings(settings), int(MSComm::NoError));
    QCOMPARE(comm.Settings(), settings);
    QVERIFY(comm.setPortOpen(true) != MSComm::NoError);
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.devicePath(), QString());

    // The failed open left nothing locked behind.
    QCOMPARE(comm.setSettings(QStringLiteral("9600,N,8,1")), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
}

// The test changes the line's speed behind the component's back. A component that handed the
// same settings to the device again would put the speed back; one that leaves unchanged
// settings alone keeps the test's speed until the settings really change.
void TestMSComm::unchangedSettingsNotReapplied()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QCOMPARE(lineSpeed(pty), speed_t(B9600));

    std::optional<termios> t = pty.lineTermios();
    QVERIFY(t);
    QCOMPARE(::cfsetospeed(&*t, B1200), 0);
    QCOMPARE(::cfsetispeed(&*t, B1200), 0);
    QVERIFY(pty.setLineTermios(*t));
    QCOMPARE(lineSpeed(pty), speed_t(B1200));

    for (int tick = 0; tick < 10; ++tick) {
        QCOMPARE(comm.setSettings(QStringLiteral("9600,N,8,1")), int(MSComm::NoError));
        QTest::qWait(10);
    }
    QCOMPARE(lineSpeed(pty), speed_t(B1200));
    // The same settings spelt another way are the same settings.
    QCOMPARE(comm.setSettings(QStringLiteral("9600,n,8,1")), int(MSComm::NoError));
    QCOMPARE(comm.Settings(), QStringLiteral("9600,n,8,1"));
    QCOMPARE(lineSpeed(pty), speed_t(B1200));

    QCOMPARE(comm.setSettings(QStringLiteral("9600,N,8,2")), int(MSComm::NoError));
    QCOMPARE(lineFlags(pty) & CSTOPB, tcflag_t(CSTOPB));
    QCOMPARE(comm.setSettings(QStringLiteral("19200,N,8,2")), int(MSComm::NoError));
    QCOMPARE(lineSpeed(pty), speed_t(B19200));
}

// Some kernels' pseudo-terminals refuse even parity (tcsetattr fails with EINVAL), as a UART
// refuses what its hardware lacks. The speed is handed over before the parity, so the refusal
// comes half-way and the speed already set must be put back.
void TestMSComm::deviceRefusalRestoresSettings()
{
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    std::optional<termios> probe = pty.lineTermios();
    QVERIFY(probe);
    const termios plain = *probe;
    probe->c_cflag |= PARENB;
    const bool takesParity = pty.setLineTermios(*probe) && (lineFlags(pty) & PARENB);
    QVERIFY(pty.setLineTermios(plain));
    if (takesParity)
        QSKIP("this kernel's pseudo-terminals take parity: no device refusal to provoke");

    MSComm comm;
    comm.setPortResolver(ptyResolver({{1, pty.slavePath()}}));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.setSettings(QStringLiteral("19200,E,8,1")), int(MSComm::SetCommStateFailed));
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(lineSpeed(pty), speed_t(B9600));
    QCOMPARE(lineFlags(pty) & PARENB, tcflag_t(0));
    // The component still knows what is in force: a later real change is handed over.
    QCOMPARE(comm.setSettings(QStringLiteral("19200,N,8,1")), int(MSComm::NoError));
    QCOMPARE(lineSpeed(pty), speed_t(B19200));

    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.setSettings(QStringLiteral("9600,E,8,1")), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::SetCommStateFailed));
    QVERIFY(!comm.PortOpen());
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
