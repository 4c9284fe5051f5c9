#include "serial/line_settings.h"
#include "serial/mscomm.h"
#include "serial/port_map.h"
#include "support/pseudo_terminal.h"

#include <QMap>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <sys/resource.h>

namespace {

// Port numbers point at the given pseudo-terminals and nowhere else, never at a real port of the
// machine running the tests.
MSComm::PortResolver ptyResolver(const QMap<int, QString> &devices)
{
    return
        [devices](int n) { return devices.value(n, QStringLiteral("/nonexistent/tty%1").arg(n)); };
}

QByteArray randomBytes(qsizetype n)
{
    QByteArray bytes(n, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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

// Reads block after block through OnComm, as the window does. A reader that joins while bytes
// already wait starts with read(), as the announcement of those bytes went unheard.
struct Reader
{
    explicit Reader(MSComm &port) : comm(port)
    {
        QObject::connect(&comm, &MSComm::OnComm, &context, [this] {
            if (comm.CommEvent() == MSComm::comEvReceive)
                read();
        });
    }
    void read()
    {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        portOpenAtRead.append(comm.PortOpen());
        const int waiting = comm.InBufferCount();
        comm.setInputLen(0);
        const QVariant block = comm.Input();
        // Bytes given out, whatever their text: a held-back partial character stays counted.
        blockSizes.append(waiting - comm.InBufferCount());
        if (comm.InputMode() == MSComm::comInputModeBinary)
            bytes += block.toByteArray();
        else
            text += block.toString();
        --depth;
    }

    MSComm &comm;
    QObject context;
    QByteArray bytes;
    QString text;
    QList<qsizetype> blockSizes;
    QList<bool> portOpenAtRead;
    int depth = 0;
    int maxDepth = 0;
};

// COM1 is a pseudo-terminal playing the board.
struct BoardPort
{
    BoardPort() { comm.setPortResolver(ptyResolver({{1, pty.slavePath()}})); }
    [[nodiscard]] bool open() { return pty.isValid() && comm.setPortOpen(true) == MSComm::NoError; }

    PseudoTerminal pty;
    MSComm comm;
};

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

    void inputComesInBlocks();
    void inputLenLimitsBlock();
    void readerThatReadsNothingIsNotPolled();
    void utf8AcrossBlocks_data();
    void utf8AcrossBlocks();
    void utf8AcrossArrivals();
    void byteModeGivesHeldBackBytes();
    void openResetsDecoder();
    void closeDiscardsUnread();

    void output_data();
    void output();
    void outputRefusals();

    void deviceLossKeepsReceivedBytes();
    void outputAfterHangUp();
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

void TestMSComm::inputComesInBlocks()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);

    // Everything arrives before anyone reads: far more than one block waits at once.
    const QByteArray sent = randomBytes(10000);
    QVERIFY(pty.write(sent));
    QTRY_COMPARE(comm.InBufferCount(), 10000);

    Reader reader(comm);
    reader.read();
    QCOMPARE(reader.bytes.size(), 4096);
    QTRY_COMPARE(reader.bytes.size(), sent.size());
    QCOMPARE(reader.bytes, sent);
    QCOMPARE(reader.blockSizes, (QList<qsizetype>{4096, 4096, 1808}));
    // Each block came in an event of its own, not from inside the previous one.
    QCOMPARE(reader.maxDepth, 1);
    QCOMPARE(comm.InBufferCount(), 0);

    // A stream larger than any buffer of the line comes through whole, in order.
    const QByteArray stream = randomBytes(300000);
    QVERIFY(pty.write(stream));
    QTRY_COMPARE(reader.bytes.size(), sent.size() + stream.size());
    QCOMPARE(reader.bytes.mid(sent.size()), stream);
    for (const qsizetype size : std::as_const(reader.blockSizes))
        QVERIFY(size > 0 && size <= 4096);
}

void TestMSComm::inputLenLimitsBlock()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);
    QVERIFY(pty.write("abcdefgh"));
    QTRY_COMPARE(comm.InBufferCount(), 8);

    comm.setInputLen(3);
    QCOMPARE(comm.Input().toByteArray(), QByteArray("abc"));
    QCOMPARE(comm.InBufferCount(), 5);
    comm.setInputLen(0);
    QCOMPARE(comm.Input().toByteArray(), QByteArray("defgh"));
    QCOMPARE(comm.Input().toByteArray(), QByteArray());
}

void TestMSComm::readerThatReadsNothingIsNotPolled()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QSignalSpy events(&comm, &MSComm::OnComm);
    QVERIFY(pty.write("x"));
    QVERIFY(events.wait(5000));
    QTest::qWait(200);
    const auto seen = events.size();
    QVERIFY(seen <= 2);
    QCOMPARE(comm.InBufferCount(), 1);

    // New bytes are announced again; reading then takes all of them.
    QVERIFY(pty.write("yz"));
    QTRY_VERIFY(events.size() > seen);
    QCOMPARE(comm.Input().toString(), QStringLiteral("xyz"));
}

void TestMSComm::utf8AcrossBlocks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("malformed");
    const QByteArray fill4095(4095, 'a');
    const QByteArray fill4094(4094, 'a');
    const QString text4095 = QString::fromLatin1(fill4095);
    const QString text4094 = QString::fromLatin1(fill4094);
    QTest::newRow("3-byte character over the boundary")
        << fill4095 + "\xE4\xB8\xAD" + "b" << text4095 + QStringLiteral("中b") << false;
    QTest::newRow("2-byte character over the boundary")
        << fill4095 + "\xC3\xA9" << text4095 + QStringLiteral("é") << false;
    QTest::newRow("4-byte character, two bytes each side")
        << fill4094 + "\xF0\x9F\x98\x80" + "!" << text4094 + QStringLiteral("\U0001F600!") << false;
    const QString chinese = QStringLiteral("柯澜欧串口调试");
    QTest::newRow("many blocks of Chinese")
        << chinese.toUtf8().repeated(1000) << chinese.repeated(1000) << false;
    // Malformed input: U+FFFD where the bytes are bad, and the same text as the stream decoded
    // in one piece, wherever the blocks happen to end.
    const auto malformed = [](const char *name, const QByteArray &bytes) {
        QTest::newRow(name) << bytes << QString::fromUtf8(bytes) << true;
    };
    malformed("malformed byte", "ok\xFFok");
    malformed("stray continuation byte", "a\x80z");
    malformed("truncated character then ASCII", "\xE4\xB8z");
    malformed("overlong start at the boundary", fill4094 + "\xE0\x80\x80z");
    malformed("surrogate start at the boundary", fill4095 + "\xED\xA0\x80z");
    malformed("beyond U+10FFFF at the boundary", fill4094 + "\xF4\x90\x80\x80z");
    malformed("truncated at the boundary", fill4095 + "\xE4\xB8z");
}

void TestMSComm::utf8AcrossBlocks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QVERIFY(pty.write(bytes));
    QTRY_COMPARE(comm.InBufferCount(), int(bytes.size()));

    Reader reader(comm);
    reader.read();
    QTRY_COMPARE(reader.text, text);
    QFETCH(bool, malformed);
    QCOMPARE(reader.text.contains(QChar::ReplacementCharacter), malformed);
    for (const qsizetype size : std::as_const(reader.blockSizes))
        QVERIFY(size <= 4096);
}

void TestMSComm::utf8AcrossArrivals()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    Reader reader(comm);

    QVERIFY(pty.write("x\xE4\xB8"));
    QTRY_COMPARE(reader.text, QStringLiteral("x"));
    QCOMPARE(comm.InBufferCount(), 2);
    QVERIFY(pty.write("\xAD\xE6"));
    QTRY_COMPARE(reader.text, QStringLiteral("x中"));
    QVERIFY(pty.write("\x96\x87"));
    QTRY_COMPARE(reader.text, QStringLiteral("x中文"));
    QCOMPARE(comm.InBufferCount(), 0);
}

void TestMSComm::byteModeGivesHeldBackBytes()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    Reader reader(comm);

    QVERIFY(pty.write("x\xE4\xB8"));
    QTRY_COMPARE(reader.text, QStringLiteral("x"));
    // The held-back start of a character is announced as soon as bytes can carry it.
    comm.setInputMode(MSComm::comInputModeBinary);
    QTRY_COMPARE(reader.bytes, QByteArray("\xE4\xB8"));
    QVERIFY(pty.write("\xAD"
                      "y"));
    QTRY_COMPARE(reader.bytes, QByteArray("\xE4\xB8\xAD"
                                          "y"));
    QCOMPARE(reader.text, QStringLiteral("x"));

    // And back to text: nothing of the byte-mode data lingers in the decoder.
    comm.setInputMode(MSComm::comInputModeText);
    QVERIFY(pty.write("\xC3\xA9"));
    QTRY_COMPARE(reader.text, QStringLiteral("xé"));
}

void TestMSComm::openResetsDecoder()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    Reader reader(comm);
    QVERIFY(pty.write("a\xE4\xB8"));
    QTRY_COMPARE(reader.text, QStringLiteral("a"));

    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.InBufferCount(), 0);
    QVERIFY(pty.write("\xAD"
                      "b"));
    QTRY_COMPARE(reader.text, QStringLiteral("a\uFFFDb"));
}

void TestMSComm::closeDiscardsUnread()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QVERIFY(pty.write("stale"));
    QTRY_COMPARE(comm.InBufferCount(), 5);
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.InBufferCount(), 0);
    QCOMPARE(comm.Input().toString(), QString());

    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.Input().toString(), QString());
    QVERIFY(pty.write("fresh"));
    QTRY_COMPARE(comm.InBufferCount(), 5);
    QCOMPARE(comm.Input().toString(), QStringLiteral("fresh"));
}

void TestMSComm::output_data()
{
    QTest::addColumn<QVariant>("data");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("ASCII text") << QVariant(QStringLiteral("11:")) << QByteArray("11:");
    QTest::newRow("Chinese text as UTF-8")
        << QVariant(QStringLiteral("技术论坛：http://www.zelqo.com 柯澜欧品牌\r\n"))
        << QStringLiteral("技术论坛：http://www.zelqo.com 柯澜欧品牌\r\n").toUtf8();
    QTest::newRow("bytes as they are")
        << QVariant(QByteArray("\x00\xFF\x10\x0D\x0A", 5)) << QByteArray("\x00\xFF\x10\x0D\x0A", 5);
    const QByteArray large = randomBytes(100000);
    QTest::newRow("more than the line buffers") << QVariant(large) << large;
    QTest::newRow("empty text") << QVariant(QString()) << QByteArray();
}

void TestMSComm::output()
{
    QFETCH(QVariant, data);
    QFETCH(QByteArray, wire);
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QCOMPARE(comm.Output(data), int(MSComm::NoError));
    QCOMPARE(comm.Output(QByteArray("|end")), int(MSComm::NoError));
    QCOMPARE(pty.readExactly(wire.size() + 4, 20000), wire + "|end");
}

void TestMSComm::outputRefusals()
{
    BoardPort board;
    QVERIFY(board.pty.isValid());
    auto &[pty, comm] = board;
    QCOMPARE(comm.Output(QStringLiteral("abc")), int(MSComm::PortNotOpen));
    QCOMPARE(comm.Output(QByteArray("abc")), int(MSComm::PortNotOpen));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QCOMPARE(comm.Output(QVariant(42)), int(MSComm::InvalidPropertyValue));
    QCOMPARE(comm.Output(QVariant()), int(MSComm::InvalidPropertyValue));
    QVERIFY(comm.PortOpen());
    QTest::qWait(50);
    QCOMPARE(pty.readAvailable(), QByteArray());
}

void TestMSComm::deviceLossKeepsReceivedBytes()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    comm.setInputMode(MSComm::comInputModeBinary);
    QSignalSpy lost(&comm, &MSComm::deviceLost);

    const QByteArray sent = randomBytes(10000);
    QVERIFY(pty.write(sent));
    QTRY_COMPARE(comm.InBufferCount(), int(sent.size()));

    // Let the announcements of the arrival pass unheard, so that the reader hears only what the
    // loss announces.
    QTest::qWait(50);
    Reader reader(comm);

    pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!comm.PortOpen(), 1000);
    QCOMPARE(lost.size(), 1);
    QCOMPARE(comm.devicePath(), QString());

    // What came before the loss is still announced and read, block by block.
    QTRY_COMPARE(reader.bytes.size(), sent.size());
    QCOMPARE(reader.bytes, sent);
    QCOMPARE(reader.blockSizes, (QList<qsizetype>{4096, 4096, 1808}));
    QVERIFY(!reader.portOpenAtRead.contains(true));

    // A hung-up tty keeps failing reads; none of that may keep the process busy.
    const double before = processCpuSeconds();
    QTest::qWait(1000);
    const double spent = processCpuSeconds() - before;
    QVERIFY2(spent < 0.2, qPrintable(QStringLiteral("%1 s of CPU while idle").arg(spent)));
    QCOMPARE(lost.size(), 1);
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(comm.Output(QByteArray("x")), int(MSComm::PortNotOpen));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::PortInvalid));
}

void TestMSComm::outputAfterHangUp()
{
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    QSignalSpy lost(&comm, &MSComm::deviceLost);

    pty.closeMaster();
    // The loss may or may not be noticed by the time of this write; either way it ends closed.
    const int first = comm.Output(QByteArray("lost in the void"));
    QVERIFY(first == MSComm::NoError || first == MSComm::DeviceLost);
    QTRY_VERIFY_WITH_TIMEOUT(!comm.PortOpen(), 1000);
    QCOMPARE(lost.size(), 1);
    QCOMPARE(comm.Output(QStringLiteral("again")), int(MSComm::PortNotOpen));

    const double before = processCpuSeconds();
    QTest::qWait(1000);
    QVERIFY(processCpuSeconds() - before < 0.2);
    QCOMPARE(lost.size(), 1);
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
