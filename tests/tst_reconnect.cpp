// Following a board through unplugs and resets: which device is the lost one, reopening it
// through a link moved between pseudo-terminals or a re-entered mapping, the retry while it
// refuses, what ends the wait; the control lines; and the true cause of a failed open.
#include "port/device_identity.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/window_fixture.h"

#include <QLineEdit>
#include <QProcess>
#include <QSysInfo>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using identity::PortRecord;
Q_DECLARE_METATYPE(PortRecord)

namespace {

PortRecord port(const char *path, quint16 vendor, quint16 product, const char *serial,
                const char *location)
{
    return {QString::fromLatin1(path),    true, vendor, product, QString::fromLatin1(serial),
            QString::fromLatin1(location)};
}

const QString waitingMark = QStringLiteral("— 等待 COM5");

// A program holding a device the way QSerialPort honours: a live process named in the lock file,
// which is named after the path opened.
class LockHolder
{
public:
    explicit LockHolder(const QString &path)
    {
        m_sleep.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        if (!m_sleep.waitForStarted())
            return;
        QString name = path.startsWith(QStringLiteral("/dev/")) ? path.mid(5) : path;
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        m_path = QStringLiteral("/var/lock/LCK..") + name;
        const QByteArray content = QByteArray::number(m_sleep.processId()) + "\nsleep\n" +
                                   QSysInfo::machineHostName().toUtf8() + '\n' +
                                   QSysInfo::machineUniqueId() + '\n' + QSysInfo::bootUniqueId() +
                                   '\n';
        m_ready = writeBytes(m_path, content);
    }
    ~LockHolder()
    {
        release();
        m_sleep.kill();
        m_sleep.waitForFinished();
    }
    void release() const { QFile::remove(m_path); }
    [[nodiscard]] bool isReady() const { return m_ready; }
    [[nodiscard]] qint64 pid() const { return m_sleep.processId(); }

private:
    QProcess m_sleep;
    QString m_path;
    bool m_ready = false;
};

// A device node in /dev for a pseudo-terminal, as a USB adapter's or a UART's node is there: the
// pseudo-terminal's node bound over a file of that name (a node made with mknod would not open:
// a pseudo-terminal opens only through its own file system). Needs root.
class DeviceNode
{
public:
    DeviceNode()
        : m_path(QStringLiteral("/dev/ttyZelqoTest%1").arg(QCoreApplication::applicationPid()))
    {}
    ~DeviceNode() { remove(); }
    DeviceNode(const DeviceNode &) = delete;
    DeviceNode &operator=(const DeviceNode &) = delete;
    [[nodiscard]] QString path() const { return m_path; }
    bool bind(const PseudoTerminal &pty)
    {
        remove();
        QFile mountPoint(m_path);
        if (!mountPoint.open(QIODevice::WriteOnly))
            return false;
        mountPoint.close();
        m_bound = ::mount(QFile::encodeName(pty.slavePath()).constData(),
                          QFile::encodeName(m_path).constData(), nullptr, MS_BIND, nullptr) == 0;
        if (!m_bound)
            QFile::remove(m_path);
        return m_bound;
    }
    void remove()
    {
        if (m_bound)
            (void)::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
        m_bound = false;
        QFile::remove(m_path);
    }

private:
    QString m_path;
    bool m_bound = false;
};

// Points path at target, atomically: a new link renamed over the old one.
bool moveLink(const QString &path, const QString &target)
{
    const QString temporary = path + QStringLiteral(".new");
    QFile::remove(temporary);
    return QFile::link(target, temporary) && std::rename(QFile::encodeName(temporary).constData(),
                                                         QFile::encodeName(path).constData()) == 0;
}

} // namespace

class TestReconnect : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void matcher_data();
    void matcher();
    void linkRules();
    void movedLinkReopens();
    void reenteredMappingReopens();
    void refusedOpenIsRetried();
    void hangUpAtEveryOpenBacksOff();
    void portListReadUntilUdevIsDone();
    void waitEnds_data();
    void waitEnds();
    void controlLines();
    void openFailureCause_data();
    void openFailureCause();

private:
    // The window with COM5 mapped to a link to `first`, opened, and recording to `log`.
    bool openThroughLink(PseudoTerminal &first, const QString &log);
    [[nodiscard]] QString link() const { return f->dir.filePath(QStringLiteral("board")); }
    [[nodiscard]] bool isOpen() const
    {
        return f->control<QPushButton>("OpenCom")->text() == QStringLiteral("关闭串口");
    }

    std::unique_ptr<WindowFixture> f;
};

void TestReconnect::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestReconnect::cleanup()
{
    f.reset();
}

void TestReconnect::matcher_data()
{
    QTest::addColumn<PortRecord>("lost");
    QTest::addColumn<QList<PortRecord>>("present");
    QTest::addColumn<QString>("expected");

    const PortRecord ch340 = port("/dev/ttyUSB0", 0x1a86, 0x7523, "", "1-1.2:1.0");
    QTest::newRow("CH340 without serial back as ttyUSB1 on the same USB port")
        << ch340 << QList<PortRecord>{port("/dev/ttyUSB1", 0x1a86, 0x7523, "", "1-1.2:1.0")}
        << "/dev/ttyUSB1";
    QTest::newRow("two identical CH340s: the other one stays in its port")
        << ch340 << QList<PortRecord>{port("/dev/ttyUSB1", 0x1a86, 0x7523, "", "1-1.3:1.0")} << "";
    QTest::newRow("two identical CH340s: both back")
        << ch340
        << QList<PortRecord>{port("/dev/ttyUSB0", 0x1a86, 0x7523, "", "1-1.3:1.0"),
                             port("/dev/ttyUSB1", 0x1a86, 0x7523, "", "1-1.2:1.0")}
        << "/dev/ttyUSB1";
    QTest::newRow("kernel name alone, another port")
        << ch340 << QList<PortRecord>{port("/dev/ttyUSB0", 0x1a86, 0x7523, "", "1-1.5:1.0")} << "";
    QTest::newRow("bootloader with another product id")
        << port("/dev/ttyACM0", 0x2341, 0x0043, "8573", "1-2:1.0")
        << QList<PortRecord>{port("/dev/ttyACM0", 0x2341, 0x0036, "8573", "1-2:1.0")} << "";
    QTest::newRow("FTDI with a serial number moved to another hub port")
        << port("/dev/ttyUSB0", 0x0403, 0x6001, "A50285BI", "1-1.2:1.0")
        << QList<PortRecord>{port("/dev/ttyUSB0", 0x0403, 0x6001, "FT9XQ2", "1-1.2:1.0"),
                             port("/dev/ttyUSB3", 0x0403, 0x6001, "A50285BI", "1-1.4:1.0")}
        << "/dev/ttyUSB3";
    QTest::newRow("two with one serial number (cloned chips)")
        << port("/dev/ttyUSB0", 0x0403, 0x6001, "A50285BI", "1-1.2:1.0")
        << QList<PortRecord>{port("/dev/ttyUSB1", 0x0403, 0x6001, "A50285BI", "1-1.3:1.0"),
                             port("/dev/ttyUSB2", 0x0403, 0x6001, "A50285BI", "1-1.4:1.0")}
        << "";
    QTest::newRow("an unrelated device in the same USB port")
        << ch340 << QList<PortRecord>{port("/dev/ttyUSB0", 0x10c4, 0xea60, "0001", "1-1.2:1.0")}
        << "";
}

// The lost device is known again by what the system lists, never by its kernel name alone.
void TestReconnect::matcher()
{
    QFETCH(PortRecord, lost);
    QFETCH(QList<PortRecord>, present);
    QFETCH(QString, expected);
    identity::DeviceIdentity id;
    id.mapping = QStringLiteral("/nonexistent/ttyUSB0");
    id.resolved = lost.path;
    id.record = lost;
    const std::optional<QString> found =
        identity::returnedDevice(id, QStringLiteral("/nonexistent/ttyUSB0"), &present);
    QCOMPARE(found.value_or(QString()), expected);
}

// A link to a pseudo-terminal is the board again when it names another one or was made anew;
// the same link to the same number is a terminal window that took the number.
void TestReconnect::linkRules()
{
    PseudoTerminal other;
    QVERIFY(other.isValid());
    QVERIFY(QFile::link(f->board.slavePath(), link()));
    const identity::DeviceIdentity opened = identity::identify(link(), {});
    QCOMPARE(opened.resolved, f->board.slavePath());
    QVERIFY(opened.linkInode != 0);

    QVERIFY(!identity::returnedDevice(opened, link(), nullptr));
    QVERIFY(moveLink(link(), other.slavePath()));
    QCOMPARE(identity::returnedDevice(opened, link(), nullptr).value_or(QString()), link());
    QVERIFY(moveLink(link(), f->board.slavePath()));
    QCOMPARE(identity::returnedDevice(opened, link(), nullptr).value_or(QString()), link());
    // A mapping straight to a pseudo-terminal: another one is the board, the same one is not.
    const identity::DeviceIdentity direct = identity::identify(f->board.slavePath(), {});
    QVERIFY(!identity::returnedDevice(direct, f->board.slavePath(), nullptr));
    QCOMPARE(identity::returnedDevice(direct, other.slavePath(), nullptr).value_or(QString()),
             other.slavePath());
    QVERIFY(!identity::returnedDevice(direct, QStringLiteral("/dev/pts/999999"), nullptr));
}

bool TestReconnect::openThroughLink(PseudoTerminal &first, const QString &log)
{
    if (!QFile::link(first.slavePath(), link()))
        return false;
    mapPorts(f->iniPath(), {{WindowFixture::boardPort, link()}});
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    if (!f->openBoard())
        return false;
    f->click("ClearRevText");
    f->platform->saveAnswers = {log};
    return !f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty();
}

// The board resets and comes back on another pseudo-terminal, its link moved there: the port
// reopens by itself, and the text and the log hold the bytes of both, exactly.
void TestReconnect::movedLinkReopens()
{
    auto first = std::make_unique<PseudoTerminal>();
    const QString log = f->dir.filePath(QStringLiteral("board.log"));
    QVERIFY(openThroughLink(*first, log));
    QVERIFY(first->write("boot 1\r\n"));
    QTRY_COMPARE(f->revText(), QStringLiteral("boot 1\r\n"));
    // Periodic send was on: a tick while the port is away turns it off, the return on again.
    f->setSendText(QStringLiteral("ping"));
    f->control<QLineEdit>("AutoSendCycle")->setText(QStringLiteral("100"));
    f->click("AutoSend");
    QCOMPARE(first->readExactly(4), QByteArray("ping"));

    first->closeMaster();
    QTRY_VERIFY(!isOpen());
    QVERIFY(f->window->windowTitle().endsWith(
        QStringLiteral(" — 等待 COM5 (%1) 重新连接").arg(link())));
    QCOMPARE(f->control<QPushButton>("OpenCom")->text(), QStringLiteral("打开串口"));

    QTRY_COMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("自动发送"));
    PseudoTerminal second;
    QVERIFY(moveLink(link(), second.slavePath()));
    QTRY_VERIFY(isOpen());
    QVERIFY(!f->window->windowTitle().contains(waitingMark));
    QCOMPARE(f->control<QPushButton>("AutoSend")->text(), QStringLiteral("关闭自动发送"));
    QCOMPARE(second.readExactly(4), QByteArray("ping"));
    f->click("AutoSend");
    QVERIFY(second.write("boot 2\r\n"));
    QTRY_COMPARE(f->revText(), QStringLiteral("boot 1\r\nboot 2\r\n"));
    (void)second.readAvailable();
    f->setSendText(QStringLiteral("AT"));
    f->click("ManSend");
    QCOMPARE(second.readExactly(2), QByteArray("AT"));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), QByteArray("boot 1\r\nboot 2\r\n"));
}

// The simulated board re-enters its number with a new pseudo-terminal: no folder tells, the look
// every 250 ms at the settings file does.
void TestReconnect::reenteredMappingReopens()
{
    QVERIFY(f->openBoard());
    PseudoTerminal second;
    f->board.closeMaster();
    QTRY_VERIFY(f->window->windowTitle().contains(waitingMark));
    QTest::qWait(300);
    QVERIFY(!isOpen());
    mapPorts(f->iniPath(), {{WindowFixture::boardPort, second.slavePath()}});
    QTRY_VERIFY(isOpen());
    QCOMPARE(f->comm().devicePath(), second.slavePath());
    QVERIFY(second.write("back"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("back")));
}

// A device that is back but refuses to open (udev not done with its permissions, a program
// probing it) is tried again until it opens; after 10 s the title says why it waits.
void TestReconnect::refusedOpenIsRetried()
{
    auto first = std::make_unique<PseudoTerminal>();
    QVERIFY(openThroughLink(*first, f->dir.filePath(QStringLiteral("log"))));
    first->closeMaster();
    QTRY_VERIFY(!isOpen());

    PseudoTerminal second;
    const LockHolder holder(link());
    if (!holder.isReady())
        QSKIP("cannot write a lock file under /var/lock");
    f->platform->openErrorCalls = 0;
    QVERIFY(moveLink(link(), second.slavePath()));
    QTest::qWait(400);
    QVERIFY(!isOpen());
    QVERIFY(f->window->windowTitle().endsWith(QStringLiteral("重新连接")));
    // Each failed try was explained without opening the device once more.
    QCOMPARE(f->platform->openErrorCalls, 0);
    // Let go of: the next try opens.
    holder.release();
    QTRY_VERIFY(isOpen());

    // Held by a program that does not let go: named in the title once 10 s have passed.
    second.closeMaster();
    QTRY_VERIFY(!isOpen());
    PseudoTerminal third;
    const LockHolder keeper(link());
    QVERIFY(moveLink(link(), third.slavePath()));
    QTRY_VERIFY_WITH_TIMEOUT(
        f->window->windowTitle().contains(QStringLiteral("sleep（进程 %1）").arg(keeper.pid())),
        15000);
    QVERIFY(!isOpen());
}

// A line that hangs up as soon as it is opened while its device stays (a Bluetooth link, a UART
// known by its name): each reopen raises DTR and RTS, so the attempts come after pauses that keep
// doubling instead of four times a second; once the line stays up, the port is open again within
// the last pause.
void TestReconnect::hangUpAtEveryOpenBacksOff()
{
    DeviceNode node;
    PseudoTerminal board;
    if (!node.bind(board))
        QSKIP("binding a device node in /dev needs root");
    PortRecord uart;
    uart.path = node.path();
    mapPorts(f->iniPath(), {{WindowFixture::boardPort, node.path()}});
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    f->platform->portLists = {{uart}};
    QVERIFY(f->openBoard());
    if (!board.hangUp())
        QSKIP("hanging up a line needs CAP_SYS_ADMIN");
    QTRY_VERIFY(!isOpen());
    f->platform->controlLines.clear();
    QTimer hangUps;
    QObject::connect(&hangUps, &QTimer::timeout, &hangUps, [&] { (void)board.hangUp(); });
    hangUps.start(10);
    QTest::qWait(8000);
    hangUps.stop();
    // Every open sets the lines once.
    const qsizetype opens = f->platform->controlLines.size();
    QVERIFY2(opens >= 3 && opens <= 9, qPrintable(QString::number(opens)));
    QVERIFY(f->window->windowTitle().contains(waitingMark));
    QTRY_VERIFY_WITH_TIMEOUT(isOpen(), 10000);
    QVERIFY(board.write("up"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("up")));
}

// An adapter back under a new node whose USB identity udev writes a moment after the node
// appeared: the port list is read again at every look for a while after the folder changed,
// and the adapter is known and reopened once it carries its ids.
void TestReconnect::portListReadUntilUdevIsDone()
{
    DeviceNode node;
    auto first = std::make_unique<PseudoTerminal>();
    if (!node.bind(*first))
        QSKIP("binding a device node in /dev needs root");
    PortRecord withIds = port("", 0x1a86, 0x7523, "", "1-1.2:1.0");
    withIds.path = node.path();
    PortRecord bare;
    bare.path = node.path();
    mapPorts(f->iniPath(), {{WindowFixture::boardPort, node.path()}});
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    f->platform->portLists = {{withIds}};
    QVERIFY(f->openBoard());

    first->closeMaster();
    QTRY_VERIFY(f->window->windowTitle().contains(waitingMark));
    node.remove();
    QTest::qWait(300);
    f->platform->portLists = {{bare}, {bare}, {withIds}};
    PseudoTerminal second;
    QVERIFY(node.bind(second));
    QTRY_VERIFY_WITH_TIMEOUT(isOpen(), 5000);
    QVERIFY(second.write("back"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("back")));
}

void TestReconnect::waitEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("unticked") << "untick";
    QTest::newRow("another number picked") << "pick";
    QTest::newRow("open pressed") << "open";
}

// The user's own step ends the wait; the board coming back then opens nothing.
void TestReconnect::waitEnds()
{
    QFETCH(QString, how);
    auto first = std::make_unique<PseudoTerminal>();
    QVERIFY(openThroughLink(*first, f->dir.filePath(QStringLiteral("log"))));
    first->closeMaster();
    QTRY_VERIFY(f->window->windowTitle().contains(waitingMark));
    if (how == QLatin1String("untick")) {
        QVERIFY(!f->useMenu("RevText", {QStringLiteral("断开后自动重连")}).isEmpty());
        QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "自动重连", "?"), QStringLiteral("0"));
    } else if (how == QLatin1String("pick")) {
        f->control<ListBox>("ComPort")->select(6);
    } else {
        f->click("OpenCom");
        QCOMPARE(f->platform->messages.size(), 1);
    }
    QVERIFY(!f->window->windowTitle().contains(waitingMark));
    PseudoTerminal second;
    QVERIFY(moveLink(link(), second.slavePath()));
    QTest::qWait(600);
    QVERIFY(!isOpen());
}

// DTR and RTS are set together after every open and from the menu; the reset pulse holds DTR
// off and RTS on, then puts back the stored states. A pseudo-terminal has no such lines.
void TestReconnect::controlLines()
{
    QVERIFY(f->openBoard());
    // Both on, as the open left them: the lines are set once, to that.
    QCOMPARE(f->platform->controlLines, (QList<std::pair<bool, bool>>{{true, true}}));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("控制线"), QStringLiteral("DTR")}).isEmpty());
    QCOMPARE(f->platform->controlLines.last(), std::make_pair(false, true));
    QCOMPARE(SettingsFile(f->iniPath()).read("端口设置", "DTR", "?"), QStringLiteral("0"));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("控制线"), QStringLiteral("RTS")}).isEmpty());
    QCOMPARE(f->platform->controlLines.last(), std::make_pair(false, false));

    // The pulse, then the stored states, which differ from it.
    f->platform->controlLines.clear();
    QVERIFY(
        !f->useMenu("RevText", {QStringLiteral("控制线"), QStringLiteral("复位板子")}).isEmpty());
    QTRY_COMPARE(f->platform->controlLines.size(), 2);
    QCOMPARE(f->platform->controlLines,
             (QList<std::pair<bool, bool>>{{false, true}, {false, false}}));

    // The next window applies the stored states right after its open.
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(f->openBoard());
    QCOMPARE(f->platform->controlLines, (QList<std::pair<bool, bool>>{{false, false}}));

    // The real system: a pseudo-terminal answers that it has no modem lines.
    f->platform->realControlLines = true;
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("控制线"), QStringLiteral("RTS")}).isEmpty());
    QCOMPARE(f->platform->messages.size(), 1);
    QVERIFY(f->platform->messages[0].text.startsWith(
        QStringLiteral("设备 %1 不能设置 DTR/RTS 控制线：").arg(f->board.slavePath())));
    QVERIFY(isOpen());
}

void TestReconnect::openFailureCause_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("4 data bits") << "4 data bits";
    QTest::newRow("held by another program") << "held";
    QTest::newRow("no permission") << "no permission";
}

// "无效端口号" with the real cause on its second line.
void TestReconnect::openFailureCause()
{
    QFETCH(QString, what);
    const QString device = f->board.slavePath();
    std::unique_ptr<LockHolder> holder;
    QString cause;
    if (what == QLatin1String("4 data bits")) {
        auto *dataBits = f->control<ListBox>("DataBits");
        dataBits->setFocus();
        dataBits->lineEdit()->selectAll();
        QTest::keyClicks(dataBits, QStringLiteral("4"));
        cause = QStringLiteral("此设备不支持 4 位数据位。");
    } else {
        holder = std::make_unique<LockHolder>(device);
        if (!holder->isReady())
            QSKIP("cannot write a lock file under /var/lock");
        if (what == QLatin1String("held")) {
            cause = QStringLiteral("设备 %1 正被 sleep（进程 %2）占用。")
                        .arg(device)
                        .arg(holder->pid());
        } else {
            f->platform->openErrors[device] = EACCES;
            cause = QStringLiteral("没有打开设备 %1 的权限：").arg(device);
        }
    }
    f->control<ListBox>("ComPort")->select(WindowFixture::boardPort - 1);
    f->click("OpenCom");
    QCOMPARE(f->platform->messages.size(), 1);
    QVERIFY2(f->platform->messages[0].text.startsWith(QStringLiteral("无效端口号\n") + cause),
             qPrintable(f->platform->messages[0].text));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("串口调试助手"));
    QVERIFY(!isOpen());
}

QTEST_MAIN(TestReconnect)
#include "tst_reconnect.moc"
