// Stepping aside for a flasher: with "自动让出" on, how soon after another program opens the
// board's port the shown window has stopped reading it (median of 20 opens, each closed again
// within 60 ms, so the window stays open), and what the watch for such opens costs while nobody
// opens the port: the process's CPU share and wake-ups with the entry off and on, with the port
// idle and with a board printing 11.5 kB/s. The feeding thread's own CPU time is taken off.
// Run under Xvfb (xvfb-run) or QT_QPA_PLATFORM=offscreen.
//   bench_lend [seconds per cost row, default 5] [opens, default 20]
#include "app/controls.h"
#include "app/form1.h"
#include "app/settings_keys.h"
#include "bench_platform.h"
#include "paced_feed.h"
#include "settings/settings_file.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

long wakeups(int who)
{
    rusage r{};
    getrusage(who, &r);
    return r.ru_nvcsw;
}

double nowMs()
{
    return cpuSeconds(CLOCK_MONOTONIC) * 1000;
}

// Runs the event loop as the application does, blocking until something happens (QTest::qWait
// sleeps 10 ms between its passes), for ms or until done().
void runFor(int ms, const std::function<bool()> &done = {})
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    QTimer poll;
    if (done) {
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        poll.start(5);
    }
    loop.exec();
}

// A board printing sensor lines at a steady 11.5 kB/s in 32-byte writes, from its own thread.
class Feeder
{
public:
    Feeder(const PseudoTerminal &board, bool on)
    {
        if (!on)
            return;
        m_thread = std::thread([this, &board] {
            const QByteArray line("T=21.5 H=40% light=730 n=12345\r\n");
            timespec next{};
            clock_gettime(CLOCK_MONOTONIC, &next);
            while (!m_stop) {
                feed::writeAll(board.masterFd(), line.constData(), line.size(), &m_stop);
                feed::waitNext(next, 1000000000LL * line.size() / 11520);
            }
            m_cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            m_wakeups = wakeups(RUSAGE_THREAD);
        });
    }
    ~Feeder() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    double m_cpu = 0;
    long m_wakeups = 0;

private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

struct Window
{
    Window(const QString &ini, bool autoYield)
    {
        settingkeys::autoYield.write(SettingsFile(ini),
                                     autoYield ? QStringLiteral("1") : QStringLiteral("0"));
        form = std::make_unique<Form1>(std::make_unique<BenchPlatform>(ini));
        form->show();
        runFor(300);
        form->findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
        form->findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    }
    [[nodiscard]] bool isOpen() const
    {
        return form->findChild<QPushButton *>(QStringLiteral("OpenCom"))->text() ==
               QStringLiteral("关闭串口");
    }
    std::unique_ptr<Form1> form;
};

// One open by another program, from a thread: a byte every 200 µs from the board meanwhile, and
// the tty's backlog after each. The window has stopped reading at the first write after its last
// read, the last time the backlog fell (the tty hands written bytes to the reading side in
// batches, so a backlog that stays the same is no read). Milliseconds from the open, or -1.
double stepAside(const PseudoTerminal &board)
{
    constexpr double probeMs = 60;
    std::vector<std::pair<double, int>> samples;
    const double opened = nowMs();
    const int fd =
        ::open(board.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    while (nowMs() - opened < probeMs) {
        const double at = nowMs();
        feed::writeAll(board.masterFd(), "x", 1);
        samples.emplace_back(at, board.backlog());
        ::usleep(200);
    }
    ::close(fd);
    std::size_t lastRead = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i].second < samples[i - 1].second)
            lastRead = i;
    }
    if (lastRead + 1 >= samples.size())
        return -1;
    return samples[lastRead + 1].first - opened;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int opens = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    PseudoTerminal board;
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    mapPorts(ini, {{5, board.slavePath()}});

    std::printf("%-34s %10s %12s\n", "nobody else opens the port", "CPU", "wakeups/s");
    for (const bool streaming : {false, true}) {
        for (const bool autoYield : {false, true}) {
            Window window(ini, autoYield);
            if (!window.isOpen())
                return 1;
            runFor(500);
            const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            const long wakeupsBefore = wakeups(RUSAGE_SELF);
            const double wallBefore = nowMs();
            Feeder feeder(board, streaming);
            runFor(int(seconds * 1000));
            feeder.stop();
            const double wall = (nowMs() - wallBefore) / 1000;
            const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - feeder.m_cpu;
            const long woken = wakeups(RUSAGE_SELF) - wakeupsBefore - feeder.m_wakeups;
            std::printf(
                "%-34s %9.2f%% %12.0f\n",
                qPrintable(QStringLiteral("%1, 自动让出 %2")
                               .arg(streaming ? "11.5 kB/s" : "idle", autoYield ? "on" : "off")),
                100 * cpu / wall, double(woken) / wall);
        }
    }

    Window window(ini, true);
    runFor(500);
    std::vector<double> times;
    int steppedAside = 0;
    for (int round = 0; round < opens; ++round) {
        // The window reads again and has taken everything.
        runFor(5000, [&] { return window.isOpen() && board.backlog() == 0; });
        std::atomic<double> took{-1};
        std::atomic<bool> done{false};
        std::thread opener([&] {
            took = stepAside(board);
            done = true;
        });
        runFor(5000, [&] { return done.load(); });
        opener.join();
        if (took >= 0)
            times.push_back(took);
        if (!window.isOpen())
            ++steppedAside;
    }
    std::printf("\nanother program opens the port (%d opens, each closed within 60 ms)\n", opens);
    std::printf("  stopped reading after: median %.1f ms, slowest %.1f ms (%zu measured)\n",
                median(times), times.empty() ? -1 : *std::max_element(times.begin(), times.end()),
                times.size());
    std::printf("  closed its side anyway: %d times\n", steppedAside);
    return 0;
}
