// A board on another machine, played on this one: a pseudo-terminal behind a real ser2net on
// 127.0.0.1, read by the serial component as the window reads it. Prints, for the bare
// pseudo-terminal, telnet with RFC 2217 and raw TCP: the throughput of a board writing as fast as
// it can (checked byte for byte), the program's CPU time per MB and ser2net's, the blocks the
// component handed out per MB, and the program's CPU share at 115200 baud's 11.5 kB/s in 32-byte
// writes. Last, a peer on 127.0.0.1 flooding a raw TCP port as fast as loopback carries it, read
// by the window with its receive box kept to 16 MB: what the program holds meanwhile (its
// resident memory, and the bytes waiting in the link).
//   bench_network [megabytes, default 16] [seconds at 115200 baud, default 8] [flood seconds, 12]
#include "app/controls.h"
#include "app/form1.h"
#include "app/settings_keys.h"
#include "bench_platform.h"
#include "paced_feed.h"
#include "port/mscomm.h"
#include "resident.h"
#include "support/board_port.h"
#include "support/byte_patterns.h"
#include "support/network_servers.h"
#include "support/test_platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace {

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// utime + stime of another process, from /proc.
double processCpu(qint64 pid)
{
    if (pid <= 0)
        return 0;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return fields.size() > 12 ? (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks : 0;
}

// The board: writes `bytes` in pieces of `writeSize`, at `bytesPerSecond` or as fast as the line
// takes them (0), from a thread of its own.
class Feeder
{
public:
    Feeder(int master, const QByteArray &bytes, qsizetype writeSize, qint64 bytesPerSecond)
    {
        m_thread = std::thread([=] {
            timespec next{};
            clock_gettime(CLOCK_MONOTONIC, &next);
            const auto step =
                bytesPerSecond > 0 ? qint64(1e9 * double(writeSize) / double(bytesPerSecond)) : 0;
            for (qsizetype at = 0; at < bytes.size() && !m_stop; at += writeSize) {
                feed::writeAll(master, bytes.constData() + at,
                               std::min(writeSize, bytes.size() - at), &m_stop);
                if (step > 0)
                    feed::waitNext(next, step);
            }
            m_cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        });
    }
    ~Feeder() { join(); }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    [[nodiscard]] double cpu() const { return m_cpu; }
    void stop() { m_stop = true; }

private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    double m_cpu = 0;
};

struct Result
{
    bool exact = false;
    double seconds = 0;
    double programCpu = 0;
    double serverCpu = 0;
    qint64 events = 0;
};

// Feeds `bytes` through the open port and reads them back as the window does.
Result run(BoardPort &board, qint64 serverPid, const QByteArray &bytes, qsizetype writeSize,
           qint64 bytesPerSecond)
{
    QByteArray received;
    qint64 events = 0;
    received.reserve(bytes.size());
    QObject context;
    QObject::connect(&board.comm, &MSComm::OnComm, &context, [&] {
        board.comm.setInputLen(0);
        received += board.comm.Input().toByteArray();
        ++events;
    });
    const double serverBefore = processCpu(serverPid);
    const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    QElapsedTimer wall;
    wall.start();
    Feeder feeder(board.pty.masterFd(), bytes, writeSize, bytesPerSecond);
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (received.size() >= bytes.size() || wall.elapsed() > 120000)
            loop.quit();
    });
    check.start(5);
    loop.exec();
    feeder.stop();
    feeder.join();
    Result result;
    result.events = events;
    result.seconds = double(wall.nsecsElapsed()) / 1e9;
    result.programCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - feeder.cpu();
    result.serverCpu = processCpu(serverPid) - serverBefore;
    result.exact = received == bytes;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    // The flood at the end is read by the window itself.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qsizetype megabytes = argc > 1 ? std::atoi(argv[1]) : 16;
    const double rateSeconds = argc > 2 ? std::atof(argv[2]) : 8.0;
    if (!Ser2net::installed()) {
        std::fprintf(stderr, "ser2net is not installed (tools/deps.sh installs it)\n");
        return 1;
    }
    const QByteArray bulk = pseudoRandomBytes(megabytes << 20);
    const QByteArray atBaud = pseudoRandomBytes(qsizetype(11520 * rateSeconds));

    std::printf("%-18s %8s %10s %14s %10s %6s %14s\n", "path", "MB/s", "CPU ms/MB", "ser2net ms/MB",
                "blocks/MB", "exact", "CPU at 115200");
    const struct
    {
        const char *name;
        bool network;
        Ser2net::Mode mode;
    } paths[] = {
        {"pseudo-terminal", false, Ser2net::Mode::Raw},
        {"ser2net raw TCP", true, Ser2net::Mode::Raw},
        {"ser2net rfc2217", true, Ser2net::Mode::Rfc2217},
    };
    for (const auto &path : paths) {
        BoardPort board;
        std::unique_ptr<Ser2net> server;
        if (path.network) {
            server = std::make_unique<Ser2net>(board.pty.slavePath(), path.mode);
            if (!server->start())
                return 1;
            board.comm.setPortResolver(ptyResolver({{1, server->address()}}));
        }
        board.comm.setInputMode(MSComm::comInputModeBinary);
        (void)board.comm.setSettings(QStringLiteral("115200,N,8,1"));
        if (!board.open())
            return 1;
        const qint64 pid = server ? server->pid() : 0;
        const Result fast = run(board, pid, bulk, 4096, 0);
        const Result steady = run(board, pid, atBaud, 32, 11520);
        const double mb = double(bulk.size()) / double(1 << 20);
        std::printf("%-18s %8.1f %10.1f %14.1f %10.0f %6s %13.1f%%\n", path.name, mb / fast.seconds,
                    1000.0 * fast.programCpu / mb, 1000.0 * fast.serverCpu / mb,
                    double(fast.events) / mb, fast.exact && steady.exact ? "yes" : "NO",
                    100.0 * steady.programCpu / steady.seconds);
        std::fflush(stdout);
    }

    // The window, its receive box kept to 16 MB, reading a COM number mapped to the peer.
    const double floodSeconds = argc > 3 ? std::atof(argv[3]) : 12.0;
    FloodingServer flood;
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    mapPorts(ini, {{5, flood.address()}});
    settingkeys::maxKeptMB.write(SettingsFile(ini), QStringLiteral("16"));
    const qint64 residentBefore = residentBytes();
    Form1 window(std::make_unique<BenchPlatform>(ini));
    window.show();
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    auto *comm = window.findChild<MSComm *>(QStringLiteral("MSComm1"));
    if (!flood.isListening() || !comm->PortOpen())
        return 1;
    qint64 largestWaiting = 0;
    qint64 largestResident = 0;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, &window, [&] {
        largestWaiting = std::max<qint64>(largestWaiting, comm->InBufferCount());
        largestResident = std::max(largestResident, residentBytes());
    });
    sample.start(50);
    QEventLoop loop;
    QTimer::singleShot(int(floodSeconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 read = window.findChild<QLabel *>(QStringLiteral("RevNum"))->text().toLongLong();
    flood.stop();
    std::printf("\n%-26s %10s %10s %16s %16s\n", "flood for 12 s", "sent MB", "shown MB",
                "largest waiting", "resident growth");
    std::printf("%-26s %10.1f %10.1f %13.0f KB %13.1f MB\n", "window, 最大保留MB=16",
                double(flood.sent()) / (1 << 20), double(read) / (1 << 20),
                double(largestWaiting) / 1024,
                double(largestResident - residentBefore) / (1 << 20));
    return 0;
}
