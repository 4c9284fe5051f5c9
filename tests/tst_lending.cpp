// Lending the port to another program: telling from the device node who else opens it, pausing
// the reading while another program has it, and closing for it without undoing its line.
#include "serial/open_watch.h"
#include "support/board_port.h"

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

speed_t lineSpeed(const PseudoTerminal &pty)
{
    const std::optional<termios> line = pty.lineTermios();
    return line ? ::cfgetospeed(&*line) : B0;
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

QTEST_MAIN(TestLending)
#include "tst_lending.moc"
