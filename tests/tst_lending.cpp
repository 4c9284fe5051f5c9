// Lending the port to another program: telling from the device node who else opens it, pausing
// the reading while another program has it, and closing for it without undoing its line; the
// window's "让出端口" and "自动让出", with programs that hold on, pass by or die holding a lock.
#include "port/open_watch.h"
#include "port/port_problem.h"
#include "settings/settings_file.h"
#include "support/board_port.h"
#include "support/ini_bytes.h"
#include "support/lending_fixture.h"

#include <QMap>
#include <QSignalSpy>
#include <QTest>

#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int openDevice(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// What fd reads within timeoutMs, for another program's descriptor.
QByteArray readFor(int fd, qsizetype n, int timeoutMs = 5000)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    while (got.size() < n && !deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buffer[256];
        const ssize_t r = ::read(fd, buffer, sizeof buffer);
        if (r > 0)
            got.append(buffer, r);
    }
    return got;
}

bool exclusive(int fd)
{
    int on = 0;
    return ::ioctl(fd, TIOCGEXCL, &on) == 0 && on != 0;
}

bool setSpeed(int fd, speed_t speed)
{
    termios line{};
    if (::tcgetattr(fd, &line) != 0)
        return false;
    ::cfmakeraw(&line);
    ::cfsetspeed(&line, speed);
    return ::tcsetattr(fd, TCSANOW, &line) == 0;
}

} // namespace

class TestLending : public QObject
{
    Q_OBJECT

private slots:
    void openWatchCounts_data();
    void openWatchCounts();
    void openWatchSeesTheNodeGo();
    void pauseLeavesBytesToTheOther();
    void lendKeepsTheLine_data();
    void lendKeepsTheLine();
    void flockNamesTheHolder();
    void lendFromTheMenu();
    void autoYieldLetsAProbePass();
    void openEndsTheLoan();
    void borrowerDiesHoldingALock();
};

void TestLending::openWatchCounts_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("others");
    QTest::addColumn<bool>("seen");

    // "+a" another program opens a, "-a" closes it; "own" is the program's descriptor, opened
    // before the watch began; "-own" announces its close first.
    QTest::newRow("a probe opens and closes")
        << QStringList{"+a", "-a"} << QList<int>{1, 0} << true;
    QTest::newRow("two programs") << QStringList{"+a", "+b", "-a", "-b"} << QList<int>{1, 2, 1, 0}
                                  << true;
    QTest::newRow("the program's own close") << QStringList{"-own"} << QList<int>{0} << false;
    QTest::newRow("own close amid another's")
        << QStringList{"+a", "-own", "-a"} << QList<int>{1, 1, 0} << true;
    QTest::newRow("opened before the watch began")
        << QStringList{"-early"} << QList<int>{0} << true;
}

// Every step's events are read before the next, as the event loop does.
void TestLending::openWatchCounts()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, others);
    QFETCH(bool, seen);
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    QMap<QString, int> fds{{"own", openDevice(pty.slavePath())},
                           {"early", openDevice(pty.slavePath())}};
    OpenWatch watch;
    QVERIFY(watch.start(pty.slavePath()));
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const QString name = steps[i].mid(1);
        if (steps[i].startsWith(QLatin1Char('+'))) {
            fds[name] = openDevice(pty.slavePath());
            QVERIFY(fds[name] >= 0);
        } else {
            if (name == QLatin1String("own"))
                watch.expectOwnClose();
            QCOMPARE(::close(fds.take(name)), 0);
        }
        watch.readEvents();
        QCOMPARE(watch.others(), others[i]);
    }
    QCOMPARE(watch.seenOthers(), seen);
    for (const int fd : std::as_const(fds))
        ::close(fd);
}

// A board unplugged while another program holds it: the node goes at once, the watch says so
// once that program let go. (PseudoTerminal keeps a descriptor of its own; this line has none.)
void TestLending::openWatchSeesTheNodeGo()
{
    int master = -1;
    int slave = -1;
    char name[PATH_MAX] = {};
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const int other = openDevice(QString::fromLocal8Bit(name));
    ::close(slave);
    QVERIFY(other >= 0);
    OpenWatch watch;
    QVERIFY(watch.start(QString::fromLocal8Bit(name)));
    QSignalSpy gone(&watch, &OpenWatch::gone);
    ::close(master);
    QVERIFY(!QFile::exists(QString::fromLocal8Bit(name)));
    watch.readEvents();
    QCOMPARE(gone.size(), 0);
    ::close(other);
    QTRY_COMPARE(gone.size(), 1);
    QVERIFY(!watch.isWatching());
}

// While reading is paused, what the board sends is the other program's; a resume takes the line
// back as it was, with settings changed meanwhile.
void TestLending::pauseLeavesBytesToTheOther()
{
    BoardPort board;
    auto &[pty, comm] = board;
    comm.setShared(true);
    QVERIFY(board.open());
    comm.setInputMode(MSComm::comInputModeBinary);
    QVERIFY(pty.write("mine"));
    QTRY_COMPARE(comm.InBufferCount(), 4);

    const int other = openDevice(pty.slavePath());
    QVERIFY2(other >= 0, "a shared port opens for another program");
    QVERIFY(comm.pauseReading());
    QVERIFY(comm.readingPaused());
    QVERIFY(setSpeed(other, B115200));
    QVERIFY(pty.write("yours"));
    QCOMPARE(readFor(other, 5), QByteArray("yours"));
    QCOMPARE(comm.setSettings(QStringLiteral("19200,N,8,1")), int(MSComm::NoError));
    QCOMPARE(lineSpeed(pty), speed_t(B115200));
    ::close(other);

    comm.resumeReading();
    QVERIFY(!comm.readingPaused());
    QCOMPARE(lineSpeed(pty), speed_t(B19200));
    QVERIFY(pty.write("again"));
    QTRY_COMPARE(comm.InBufferCount(), 9);
    QCOMPARE(comm.Input().toByteArray(), QByteArray("mineagain"));
}

void TestLending::lendKeepsTheLine_data()
{
    QTest::addColumn<bool>("shared");
    QTest::newRow("exclusive") << false;
    QTest::newRow("shared") << true;
}

// The other program set its line; the program's close leaves it, and nobody is shut out of the
// device afterwards. What was received before stays readable.
void TestLending::lendKeepsTheLine()
{
    QFETCH(bool, shared);
    BoardPort board;
    auto &[pty, comm] = board;
    comm.setShared(shared);
    QVERIFY(board.open());
    comm.setInputMode(MSComm::comInputModeBinary);
    QCOMPARE(lineSpeed(pty), speed_t(B9600));
    QCOMPARE(exclusive(comm.handle()), !shared);
    QVERIFY(pty.write("before"));
    QTRY_COMPARE(comm.InBufferCount(), 6);

    // Root opens an exclusive tty all the same.
    const int other = openDevice(pty.slavePath());
    QVERIFY(other >= 0);
    QVERIFY(setSpeed(other, B115200));
    QCOMPARE(comm.lend(), int(MSComm::NoError));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(lineSpeed(pty), speed_t(B115200));
    QVERIFY(!exclusive(other));
    QCOMPARE(comm.Input().toByteArray(), QByteArray("before"));
    QVERIFY(pty.write("after"));
    QCOMPARE(readFor(other, 5), QByteArray("after"));
    ::close(other);
    QCOMPARE(comm.lend(), int(MSComm::PortNotOpen));
}

// Another user's descriptors are hidden from a program that is not root; its flock is not.
void TestLending::flockNamesTheHolder()
{
    PseudoTerminal pty;
    QVERIFY(Borrower::openToEveryone(pty.slavePath()));
    QCOMPARE(portproblem::flockHolder(pty.slavePath()).pid, 0);
    Borrower borrower;
    borrower.startOpener(pty.slavePath(),
                         {QStringLiteral("115200"), QStringLiteral("--exclusive")});
    QTRY_VERIFY(borrower.output().contains(QStringLiteral("open")));
    const portproblem::Problem holder = portproblem::flockHolder(pty.slavePath());
    QCOMPARE(holder.pid, borrower.pid());
    QCOMPARE(holder.holder, QStringLiteral("python3"));
    borrower.release();
    QTRY_VERIFY(borrower.finished());
    QCOMPARE(portproblem::flockHolder(pty.slavePath()).pid, 0);
}

// "让出端口": the window keeps its text and counters and waits; a program that takes the port
// and holds on is named and keeps the wait; once it lets go the port is open again at the
// window's settings, and the log holds the board's lines only.
void TestLending::lendFromTheMenu()
{
    WindowFixture f;
    const QString log = f.dir.filePath(QStringLiteral("board.log"));
    QVERIFY(openRecording(f, log));
    QVERIFY(!f.useMenu("RevText", {QStringLiteral("让出端口")}).isEmpty());
    QVERIFY(!isOpen(f));
    QVERIFY2(title(f).endsWith(QStringLiteral(" — 已让出 COM5")), qPrintable(title(f)));
    QVERIFY(f.control<ReceiveBox>("RevText")->toolTip().contains(QStringLiteral("COM5 已让出")));
    QCOMPARE(f.revText(), QStringLiteral("before\r\n"));
    QTRY_COMPARE(f.counter("RevNum"), QStringLiteral("8"));
    // Nothing to lend while the port is closed.
    const QStringList entries = f.useMenu("RevText", {QStringLiteral("让出端口")});
    QVERIFY(entries.isEmpty());

    Borrower borrower;
    borrower.startOpener(f.board.slavePath(), {QStringLiteral("115200")});
    QTRY_VERIFY(borrower.output().contains(QStringLiteral("open")));
    const QString named = QStringLiteral("已让给 python3（进程 %1）").arg(borrower.pid());
    QTRY_VERIFY2(title(f).contains(QStringLiteral(" — 已让出 COM5：") + named),
                 qPrintable(title(f)));
    QVERIFY(f.control<ReceiveBox>("RevText")->toolTip().contains(QStringLiteral("python3")));
    QVERIFY(!isOpen(f));
    QCOMPARE(lineSpeed(f.board), speed_t(B115200));

    borrower.release();
    QTRY_VERIFY(borrower.finished());
    QTRY_VERIFY(isOpen(f));
    QVERIFY(!title(f).contains(QStringLiteral("已让")));
    QVERIFY(!f.control<ReceiveBox>("RevText")->toolTip().contains(QStringLiteral("已让出")));
    QCOMPARE(lineSpeed(f.board), speed_t(B9600));
    QVERIFY(f.board.write("after\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("before\r\nafter\r\n"));
    QVERIFY(!f.useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), QByteArray("before\r\nafter\r\n"));
    // Where it was lent and taken back: marks in the time gutter, never in the text.
    auto *box = f.control<ReceiveBox>("RevText");
    // Both at the end of "before": one mark, as nothing came between.
    QCOMPARE(box->gutterMarks().positions(), (std::vector<qint64>{8}));
    QVERIFY(!box->text().contains(QChar(0xFFFD)));
    box->setTimestampsShown(true);
    box->resize(400, 200);
    const QImage shot = box->grab().toImage();
    const QColor mark = box->palette().color(QPalette::Active, QPalette::Link);
    int marked = 0;
    for (int x = 0; x < shot.width(); ++x) {
        for (int y = 0; y < shot.height(); ++y)
            marked += shot.pixelColor(x, y) == mark ? 1 : 0;
    }
    QVERIFY2(marked >= 10, qPrintable(QString::number(marked)));
}

// "自动让出" with a program that opens the device and is gone at once (a probe, stty -F): the port
// stays open with its line, and what the board sent meanwhile is shown. The entry is kept.
void TestLending::autoYieldLetsAProbePass()
{
    WindowFixture f;
    QVERIFY(!f.useMenu("RevText", {QStringLiteral("自动让出")}).isEmpty());
    QCOMPARE(SettingsFile(f.iniPath()).read("端口设置", "自动让出", "?"), QStringLiteral("1"));
    QVERIFY(openRecording(f, f.dir.filePath(QStringLiteral("board.log"))));
    // Open and closed before the window's event loop runs again.
    const int probe = openDevice(f.board.slavePath());
    QVERIFY(probe >= 0);
    QVERIFY(f.board.write("during\r\n"));
    ::close(probe);
    QVERIFY(f.board.write("after\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("before\r\nduring\r\nafter\r\n"));
    QVERIFY(isOpen(f));
    QVERIFY(!title(f).contains(QStringLiteral("已让")));
    QCOMPARE(lineSpeed(f.board), speed_t(B9600));
    f.window = std::make_unique<Form1>(testPlatform(f.platform, f.iniPath()));
    QVERIFY(f.comm().shared());
}

// "打开串口" ends the wait early.
void TestLending::openEndsTheLoan()
{
    WindowFixture f;
    QVERIFY(openRecording(f, f.dir.filePath(QStringLiteral("board.log"))));
    QVERIFY(!f.useMenu("RevText", {QStringLiteral("让出端口")}).isEmpty());
    QVERIFY(title(f).contains(QStringLiteral("已让出")));
    f.click("OpenCom");
    QVERIFY(isOpen(f));
    QVERIFY(!title(f).contains(QStringLiteral("已让出")));
    QCOMPARE(f.platform->messages.size(), 0);
    QVERIFY(f.board.write("after\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("before\r\nafter\r\n"));
}

// A flasher killed while it held the port and a UUCP lock file: its process is gone, so the lock
// file does not keep the port from coming back.
void TestLending::borrowerDiesHoldingALock()
{
    WindowFixture f;
    QVERIFY(openRecording(f, f.dir.filePath(QStringLiteral("board.log"))));
    QVERIFY(!f.useMenu("RevText", {QStringLiteral("让出端口")}).isEmpty());
    const QString lock = QStringLiteral("/var/lock/LCK..") +
                         f.board.slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    Borrower borrower;
    borrower.startOpener(f.board.slavePath(),
                         {QStringLiteral("9600"), QStringLiteral("--crash-holding"), lock});
    QTRY_VERIFY(borrower.finished());
    QCOMPARE(borrower.process.exitStatus(), QProcess::CrashExit);
    QVERIFY(QFile::exists(lock));
    QTRY_VERIFY(isOpen(f));
    QVERIFY(f.board.write("after\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("before\r\nafter\r\n"));
    // The stale file was taken over, and goes with the program's close.
    f.click("OpenCom");
    QVERIFY(!QFile::exists(lock));
}

QTEST_MAIN(TestLending)
#include "tst_lending.moc"
