// Feeds the shown window through a pseudo-terminal at the rates real boards send, in the write
// sizes a USB adapter hands to the tty layer, and prints the window process's CPU share for
// each, and how often the kernel woke it: what keeping the program open beside a printing board
// costs, and the largest backlog the board left in the tty's 4 KB buffer. The feeding thread's own
// CPU time and wake-ups are taken off. Run under Xvfb
// (xvfb-run) or QT_QPA_PLATFORM=offscreen. The last three rows stream 80-character lines at
// 1.2 MB/s with the auto-reply rules off, then with 20 rules on, then with 20 highlight rules in
// the box, in the same run.
//   bench_stream [seconds per rate, default 8] [only these rows, counted from 0: "4" or "6,7"]
#include "app/controls.h"
#include "app/form1.h"
#include "bench_platform.h"
#include "paced_feed.h"
#include "quicksend/auto_reply.h"
#include "send/quick_send_store.h"
#include "settings/settings_file.h"
#include "support/context_menu.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"
#include "textview/highlight_rules.h"
#include "textview/receive_box.h"
#include "twenty_rules.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

struct Times
{
    double user = 0;
    double system = 0;
    long wakeups = 0; // voluntary context switches: the times the kernel woke the process
};

Times usage(int who)
{
    rusage r{};
    getrusage(who, &r);
    return {double(r.ru_utime.tv_sec) + double(r.ru_utime.tv_usec) / 1e6,
            double(r.ru_stime.tv_sec) + double(r.ru_stime.tv_usec) / 1e6, r.ru_nvcsw};
}

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Rate
{
    const char *name;
    qint64 bytesPerSecond; // 0: nothing arrives
    qsizetype writeSize;
    // From half time on, when set: a stream that speeds up, as when a board switches its UART to
    // 2 Mbaud and a USB adapter hands over a 64-byte packet at a time.
    qint64 laterBytesPerSecond = 0;
    qsizetype laterWriteSize = 0;
    bool longLines = false;  // 80-character lines instead of the short sensor lines
    bool rules = false;      // the 20 auto-reply rules on
    bool highlights = false; // 20 highlight rules in the receive box
};

const Rate rates[] = {
    {"idle, port open", 0, 0},
    {"11.5 kB/s in 32-byte writes", 11520, 32},
    {"11.5 kB/s in 256-byte writes", 11520, 256},
    {"115 kB/s in 512-byte writes", 115200, 512},
    {"1.2 MB/s in 4096-byte writes", 1200000, 4096},
    {"11.5 kB/s, then 200 kB/s in 64", 11520, 32, 200000, 64},
    {"1.2 MB/s, 80-char lines", 1200000, 4096, 0, 0, true, false},
    {"1.2 MB/s, 80-char lines, 20 rules", 1200000, 4096, 0, 0, true, true},
    {"1.2 MB/s, 80-char, 20 highlights", 1200000, 4096, 0, 0, true, false, true},
};

// The same twenty patterns as highlight rules, two of which colour every streamed line.
HighlightRules twentyHighlights()
{
    HighlightRules highlights;
    for (const quicksend::Rule &rule : twentyRules()) {
        HighlightRule h;
        h.pattern = rule.pattern;
        h.regex = rule.regex;
        h.colour = 0xc00000;
        highlights.rules << h;
    }
    highlights.rules[0].pattern = QStringLiteral("sensor:");
    highlights.rules[1].pattern = QStringLiteral("T=2\\d");
    highlights.rules[1].regex = true;
    return highlights;
}

// Lines of exactly 80 characters, CR LF included.
QByteArray longLines(qsizetype bytes)
{
    QByteArray text;
    for (int n = 0; text.size() < bytes; ++n) {
        QByteArray line = "I (" + QByteArray::number(100000 + n) +
                          ") sensor: T=" + QByteArray::number(20 + n % 7) + "." +
                          QByteArray::number(n % 10) + " H=" + QByteArray::number(40 + n % 13) +
                          "% P=101" + QByteArray::number(n % 1000) + " n=" + QByteArray::number(n) +
                          " ";
        line = line.leftJustified(78, '.') + "\r\n";
        text += line;
    }
    return text;
}

// Lines as a sensor board prints them, endlessly.
QByteArray sensorText(qsizetype bytes)
{
    QByteArray text;
    for (int n = 0; text.size() < bytes; ++n)
        text += "T=" + QByteArray::number(20 + n % 7) + "." + QByteArray::number(n % 10) +
                " H=" + QByteArray::number(40 + n % 13) + "% n=" + QByteArray::number(n) + "\r\n";
    return text;
}

// The board: writes writeSize bytes at a steady pace from its own thread.
class Feeder
{
public:
    Feeder(const PseudoTerminal &board, const Rate &rate, double seconds)
    {
        if (rate.bytesPerSecond == 0)
            return;
        m_thread = std::thread([=, &board] {
            const QByteArray text = rate.longLines ? longLines(4096 * 64) : sensorText(4096 * 64);
            const bool jumps = rate.laterBytesPerSecond > 0;
            timespec next{};
            clock_gettime(CLOCK_MONOTONIC, &next);
            qsizetype at = 0;
            for (int phase = 0; phase < (jumps ? 2 : 1); ++phase) {
                const qsizetype size = phase ? rate.laterWriteSize : rate.writeSize;
                const double period =
                    double(size) / double(phase ? rate.laterBytesPerSecond : rate.bytesPerSecond);
                const qint64 writes = qint64((jumps ? seconds / 2 : seconds) / period);
                for (qint64 i = 0; i < writes; ++i) {
                    if (at + size > text.size())
                        at = 0;
                    feed::writeAll(board.masterFd(), text.constData() + at, size, &m_stop);
                    at += size;
                    m_sent += size;
                    // What waits for the program right after a write: the tty's backlog.
                    m_backlog = std::max(m_backlog.load(), board.backlog());
                    feed::waitNext(next, qint64(period * 1e9));
                }
            }
            m_cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            m_times = usage(RUSAGE_THREAD);
            m_done = true;
        });
    }
    ~Feeder() { join(); }
    [[nodiscard]] bool done() const { return m_done || !m_thread.joinable(); }
    void join()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    [[nodiscard]] qint64 sent() const { return m_sent; }
    [[nodiscard]] int largestBacklog() const { return m_backlog; }
    [[nodiscard]] double cpu() const { return m_cpu; }
    [[nodiscard]] Times times() const { return m_times; }

private:
    std::thread m_thread;
    std::atomic<qint64> m_sent{0};
    std::atomic<int> m_backlog{0};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_stop{false};
    double m_cpu = 0;
    Times m_times;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 8.0;
    QList<int> only;
    for (const QByteArray &row : QByteArray(argc > 2 ? argv[2] : "").split(','))
        if (!row.isEmpty())
            only << row.toInt();

    PseudoTerminal board;
    if (!board.isValid())
        return 1;
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    mapPorts(ini, {{5, board.slavePath()}});
    quicksend::Entry reply;
    reply.name = QStringLiteral("reply");
    reply.content = QStringLiteral("x");
    quicksendstore::storeBook(SettingsFile(ini), {{{QStringLiteral("P"), {reply}}}, QString()});
    quicksendstore::storeReplies(SettingsFile(ini), {false, twentyRules()});
    Form1 window(std::make_unique<BenchPlatform>(ini));
    window.show();
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    auto *counter = window.findChild<QLabel *>(QStringLiteral("RevNum"));
    auto *box = window.findChild<ReceiveBox *>(QStringLiteral("RevText"));
    // The quick-send window stays open for every row; its switch turns the rules on.
    useContextMenu(window.findChild<QWidget *>(QStringLiteral("RevText")),
                   {QStringLiteral("快捷发送…")});
    auto *rulesOn = window.findChild<QCheckBox *>(QStringLiteral("RepliesOn"));
    if (!rulesOn)
        return 1;

    // Runs the event loop until done() or the time is up.
    const auto runFor = [](int ms, const std::function<bool()> &done) {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(ms);
        QTimer poll;
        if (done) {
            QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
                if (done())
                    loop.quit();
            });
            poll.start(20);
        }
        loop.exec();
    };

    std::printf("%-32s %10s %10s %10s %10s %10s %10s %10s\n", "feed", "CPU", "user", "kernel",
                "wakeups/s", "backlog", "received", "took");
    for (int row = 0; row < int(std::size(rates)); ++row) {
        if (!only.isEmpty() && !only.contains(row))
            continue;
        const Rate &rate = rates[row];
        if (rulesOn->isChecked() != rate.rules)
            rulesOn->click();
        box->setHighlightRules(rate.highlights ? twentyHighlights() : HighlightRules());
        window.findChild<QPushButton *>(QStringLiteral("ClearRevText"))->click();
        window.findChild<QPushButton *>(QStringLiteral("ClearCounter"))->click();
        // Let the window settle after the clear before measuring.
        runFor(500, {});

        const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const Times timesBefore = usage(RUSAGE_SELF);
        QElapsedTimer wall;
        wall.start();
        Feeder feeder(board, rate, seconds);
        // A window that cannot keep up makes the board wait, and the run longer.
        runFor(int(seconds * 1000), {});
        if (!feeder.done())
            runFor(int(seconds * 4000), [&] { return feeder.done(); });
        feeder.join();
        const double elapsed = double(wall.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - feeder.cpu();
        const Times timesAfter = usage(RUSAGE_SELF);
        const double user = timesAfter.user - timesBefore.user - feeder.times().user;
        const double system = timesAfter.system - timesBefore.system - feeder.times().system;
        const long wakeups = timesAfter.wakeups - timesBefore.wakeups - feeder.times().wakeups;
        // What is still on its way arrives and is counted, outside the measured time.
        runFor(5000, [&] { return counter->text().toLongLong() >= feeder.sent(); });
        const bool whole = counter->text().toLongLong() == feeder.sent();
        std::printf("%-32s %9.1f%% %9.1f%% %9.1f%% %10.0f %10d %10s %9.1fs\n", rate.name,
                    100.0 * cpu / elapsed, 100.0 * user / elapsed, 100.0 * system / elapsed,
                    double(wakeups) / elapsed, feeder.largestBacklog(),
                    whole ? "all" : "BYTES LOST", elapsed);
        std::fflush(stdout);
    }
    return 0;
}
