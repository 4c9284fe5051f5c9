// `zelqo-serial --yield` and `--reclaim` from a second process without a display: which running
// program answers, what a script is told, and the sockets left by programs that are gone.
#include "port/port_requests.h"
#include "support/lending_fixture.h"
#include "support/serial_command.h"

#include <QLocalServer>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A socket file nobody listens on, as a program that ended without closing it leaves.
bool leaveSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const bool made =
        fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return made;
}

} // namespace

class TestYieldCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void twoPrograms();
    void goneProgramsSockets();
    void silentProgram();

private:
    QTemporaryDir m_runtime;
};

void TestYieldCommand::initTestCase()
{
    QVERIFY(m_runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation), m_runtime.path());
}

void TestYieldCommand::answers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("lent");

    // The window holds COM5, its board's pseudo-terminal BOARD.
    QTest::newRow("yield") << QStringList{"--yield", "COM5"} << 0
                           << QStringLiteral(
                                  "已让出 COM5 (BOARD)：zelqo-serial（进程 SELF）已关闭它")
                           << true;
    QTest::newRow("yield, the number in lower case, given with =")
        << QStringList{"--yield=com5"} << 0 << QStringLiteral("已让出 COM5 (BOARD)") << true;
    QTest::newRow("yield, by the device's path")
        << QStringList{"--yield", "BOARD"} << 0 << QStringLiteral("已让出 COM5 (BOARD)") << true;
    QTest::newRow("yield, a port nobody holds")
        << QStringList{"--yield", "COM7"} << 0
        << QStringLiteral("没有运行中的 zelqo-serial 占用 COM7，无需让出。") << false;
    QTest::newRow("yield, a path nobody holds")
        << QStringList{"--yield", "/dev/ttyUSB9"} << 0
        << QStringLiteral("没有运行中的 zelqo-serial 占用 /dev/ttyUSB9，无需让出。") << false;
    QTest::newRow("reclaim, nothing lent")
        << QStringList{"--reclaim", "COM5"} << 0
        << QStringLiteral("没有运行中的 zelqo-serial 让出了 COM5，无需收回。") << false;
    QTest::newRow("no port") << QStringList{"--yield"} << 2
                             << QStringLiteral("用法：zelqo-serial --yield COM5") << false;
}

// Each request to the window of this process; a lent port is then asked for again and back.
void TestYieldCommand::answers()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);
    QFETCH(bool, lent);
    WindowFixture f;
    QVERIFY(openRecording(f, f.dir.filePath(QStringLiteral("board.log"))));
    const QString board = f.board.slavePath();
    arguments.replaceInStrings(QStringLiteral("BOARD"), board);
    said.replace(QStringLiteral("BOARD"), board);
    said.replace(QStringLiteral("SELF"), QString::number(QCoreApplication::applicationPid()));
    const SerialCommand command(arguments);
    QVERIFY2(command.gave(status, said), qPrintable(command.output));
    QCOMPARE(isOpen(f), !lent);
    if (!lent)
        return;
    QVERIFY(title(f).contains(QStringLiteral(" — 已让出 COM5")));
    const SerialCommand again({QStringLiteral("--yield"), QStringLiteral("COM5")});
    QVERIFY2(again.gave(0, QStringLiteral("COM5 (%1) 已经让出。").arg(board)),
             qPrintable(again.output));
    const SerialCommand reclaim({QStringLiteral("--reclaim"), QStringLiteral("COM5")});
    QVERIFY2(reclaim.gave(0, QStringLiteral("已收回 COM5 (%1)。").arg(board)),
             qPrintable(reclaim.output));
    QVERIFY(isOpen(f));
    QVERIFY(!title(f).contains(QStringLiteral("已让出")));
    QVERIFY(f.board.write("after\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("before\r\nafter\r\n"));

    // Without any program running: nothing to do.
    const QTemporaryDir empty;
    const SerialCommand alone({QStringLiteral("--yield"), QStringLiteral("COM5")}, empty.path());
    QVERIFY2(alone.gave(0, QStringLiteral("没有运行中的 zelqo-serial 占用 COM5")),
             qPrintable(alone.output));
    QVERIFY(isOpen(f));
}

// Two programs, each with its own port: each answers for its own.
void TestYieldCommand::twoPrograms()
{
    WindowFixture f;
    QVERIFY(openRecording(f, f.dir.filePath(QStringLiteral("board.log"))));
    PseudoTerminal second;
    const QString ini = f.dir.filePath(QStringLiteral("second.ini"));
    mapPorts(ini, {{6, second.slavePath()}});
    QProcess other;
    other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    other.setProcessEnvironment(environment);
    other.start(QStringLiteral(ZELQO_INSTANCE_PATH), {ini, QStringLiteral("6")});
    QVERIFY(QTest::qWaitFor([&other] { return other.canReadLine(); }, 20000));
    QCOMPARE(other.readLine(), QByteArray("open\n"));

    const SerialCommand yieldOther({QStringLiteral("--yield"), QStringLiteral("COM6")});
    QVERIFY2(yieldOther.gave(0, QStringLiteral("已让出 COM6 (%1)：zelqo-serial（进程 %2）")
                                    .arg(second.slavePath())
                                    .arg(other.processId())),
             qPrintable(yieldOther.output));
    QVERIFY(isOpen(f));
    const SerialCommand yieldMine({QStringLiteral("--yield"), QStringLiteral("COM5")});
    QVERIFY2(yieldMine.gave(0, QStringLiteral("已让出 COM5 (%1)").arg(f.board.slavePath())),
             qPrintable(yieldMine.output));
    QVERIFY(!isOpen(f));
    const SerialCommand reclaimOther({QStringLiteral("--reclaim"), QStringLiteral("COM6")});
    QVERIFY2(reclaimOther.gave(0, QStringLiteral("已收回 COM6")), qPrintable(reclaimOther.output));
    QVERIFY(!isOpen(f));
    other.kill();
    other.waitForFinished();
}

// Sockets of programs that ended without closing them: gone with the next request, whether the
// process is gone or its number now belongs to another program that does not listen.
void TestYieldCommand::goneProgramsSockets()
{
    QProcess ended;
    ended.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")});
    QVERIFY(ended.waitForFinished());
    const qint64 endedPid = ended.readAll().trimmed().toLongLong();
    QVERIFY(endedPid > 0);
    QProcess unrelated;
    unrelated.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(unrelated.waitForStarted());
    const QString dead = portrequest::socketPath(endedPid);
    const QString living = portrequest::socketPath(unrelated.processId());
    QVERIFY(leaveSocket(dead));
    QVERIFY(leaveSocket(living));
    const SerialCommand command({QStringLiteral("--yield"), QStringLiteral("COM5")});
    QVERIFY2(command.gave(0, QStringLiteral("没有运行中的 zelqo-serial 占用 COM5")),
             qPrintable(command.output));
    QVERIFY(!QFile::exists(dead));
    QVERIFY(!QFile::exists(living));
    unrelated.kill();
    unrelated.waitForFinished();
}

// A program that takes the request and never answers: the command gives up after a second and
// says so; its socket stays, since the program lives.
void TestYieldCommand::silentProgram()
{
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(holder.waitForStarted());
    QLocalServer silent;
    const QString path = portrequest::socketPath(holder.processId());
    QVERIFY(silent.listen(path));
    const SerialCommand command({QStringLiteral("--yield"), QStringLiteral("COM5")});
    QVERIFY2(command.gave(1, QStringLiteral("zelqo-serial（进程 %1）没有在 1000 毫秒内应答。")
                                 .arg(holder.processId())),
             qPrintable(command.output));
    QVERIFY(QFile::exists(path));
    holder.kill();
    holder.waitForFinished();
}

QTEST_MAIN(TestYieldCommand)
#include "tst_yield_command.moc"
