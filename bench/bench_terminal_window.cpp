// The terminal window beside a board. The board is a pseudo-terminal fed from a thread of its
// own; the program's side reads it as the port does and hands each read to the window, or drops
// it where the window is not open. Prints:
// - the process's CPU share (the feeding thread's own time taken off) with a board printing log
//   lines at 115 kB/s (115200 baud), the window closed and open, in pairs of runs taken in turn:
//   the machine's other work moves both figures of a pair alike, so the difference is what counts;
// - at 1.2 MB/s (a native-USB board flooding), the CPU share, the largest backlog of unread bytes
//   and how long after the stream stops the screen shows its last line;
// - the time from a key press in the window to its byte at the board, as median and worst.
// Run under Xvfb (xvfb-run) or QT_QPA_PLATFORM=offscreen.
//   bench_terminal_window [seconds per run, default 6] [pairs, default 3]
#include "app/window_font.h"
#include "paced_feed.h"
#include "support/pseudo_terminal.h"
#include "terminal/terminal_view.h"
#include "terminal/terminal_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qsizetype WriteSize = 512;

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Lines as boards print them: plain sensor values and ESP-IDF's coloured log lines.
QByteArray logText()
{
    QByteArray text;
    for (int n = 0; text.size() < 1 << 20; ++n) {
        if (n % 3 == 0)
            text += "\x1b[0;32mI (" + QByteArray::number(n * 17) + ") wifi: rssi=-" +
                    QByteArray::number(40 + n % 30) + " channel 6\x1b[0m\r\n";
        else
            text += "temp=" + QByteArray::number(20 + (n % 100) / 10.0, 'f', 1) +
                    " hum=" + QByteArray::number(40 + n % 17) +
                    " light=" + QByteArray::number(n % 1024) + " n=" + QByteArray::number(n) +
                    "\r\n";
    }
    return text;
}

// The program's side of the line: reads what the board wrote, as the port does, and hands it
// to the window when there is one.
class Port : public QObject
{
public:
    explicit Port(const QString &device)
    {
        m_fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Port::readAll);
    }
    ~Port() override { ::close(m_fd); }

    void readAll()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                return;
            received += n;
            if (window)
                window->receive(QByteArrayView(buffer, qsizetype(n)));
        }
    }
    void write(const QByteArray &bytes) { feed::writeAll(m_fd, bytes.constData(), bytes.size()); }

    TerminalWindow *window = nullptr;
    std::atomic<qint64> received{0};

private:
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

struct Run
{
    double cpuShare = 0;
    qint64 maxBacklog = 0;
    double lastLineMs = -1; // from the stream's end to the last line painted
};

// Feeds text at bytesPerSecond for seconds and reads it meanwhile on the event loop, as the
// program does (a wake-up for each read, no polling).
Run stream(PseudoTerminal &board, Port &port, const QByteArray &text, double bytesPerSecond,
           double seconds)
{
    std::atomic<bool> ending{false}; // the last line is being written
    std::atomic<bool> done{false};
    std::atomic<qint64> written{0};
    double feederCpu = 0;
    const qint64 receivedBefore = port.received;
    const double before = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    QElapsedTimer wall;
    wall.start();
    QElapsedTimer tail; // from the last line written to its frame
    Run run;
    QEventLoop loop;
    // Each frame after the stream's end looks for its last line, so that a frame painted before
    // the loop below starts is not missed.
    if (port.window) {
        const TerminalView *view = port.window->view();
        QObject::connect(view, &TerminalView::framePainted, &loop, [&, view] {
            if (ending && run.lastLineMs < 0 &&
                view->visibleLines().contains(QStringLiteral("END-OF-STREAM"))) {
                run.lastLineMs = double(tail.nsecsElapsed()) / 1e6;
                loop.quit();
            }
        });
    }
    std::thread feeder([&] {
        const double period = double(WriteSize) / bytesPerSecond;
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        qsizetype at = 0;
        for (qint64 i = 0; i < qint64(seconds / period); ++i) {
            if (at + WriteSize > text.size())
                at = 0;
            feed::writeAll(board.masterFd(), text.constData() + at, WriteSize);
            at += WriteSize;
            written += WriteSize;
            feed::waitNext(next, qint64(period * 1e9));
        }
        tail.start();
        ending = true;
        feed::writeAll(board.masterFd(), "\r\nEND-OF-STREAM\r\n", 17);
        written += 17;
        feederCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        done = true;
    });
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, &loop, [&] {
        run.maxBacklog = std::max(run.maxBacklog, written - (port.received - receivedBefore));
        if (done && (!port.window || run.lastLineMs >= 0 || tail.elapsed() > 10000))
            loop.quit();
    });
    sample.start(10);
    loop.exec();
    feeder.join();
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    run.cpuShare = 100.0 * (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - before - feederCpu) / elapsed;
    return run;
}

// A key pressed in the window until its byte is readable at the board.
std::vector<double> keyLatencies(PseudoTerminal &board, TerminalWindow &window, int presses)
{
    std::vector<double> out;
    for (int i = 0; i < presses; ++i) {
        (void)board.readAvailable();
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(window.view(), Qt::Key_A);
        pollfd p{board.masterFd(), POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1)
            continue;
        out.push_back(double(timer.nsecsElapsed()) / 1e6);
        QTest::qWait(2);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 6.0;
    const int pairs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QByteArray text = logText();
    // The emulation alone: libvterm, the guard and the model, without a window.
    {
        term::Session session;
        QElapsedTimer timer;
        timer.start();
        qint64 fed = 0;
        while (fed < 32 << 20) {
            for (qsizetype at = 0; at + WriteSize <= text.size(); at += WriteSize)
                session.receive(QByteArrayView(text.constData() + at, WriteSize));
            fed += text.size();
            (void)session.screen();
        }
        std::printf("emulation alone           %.1f MB/s\n",
                    double(fed) / 1e6 / (double(timer.nsecsElapsed()) / 1e9));
    }

    PseudoTerminal board;
    Port port(board.slavePath());
    if (!board.isValid())
        return 1;

    TerminalWindow window;
    window.setTerminalFont(windowFont(QApplication::font()));
    window.setPortName(QStringLiteral("COM5"));
    window.setPortOpen(true);
    QObject::connect(&window, &TerminalWindow::sendRequested, &port, &Port::write);
    auto openWindow = [&] {
        window.show();
        window.activateWindow();
        (void)QTest::qWaitForWindowActive(&window);
        port.window = &window;
    };

    // A frame of a full screen of log lines, painted on the spot (which also warms the font's
    // caches for the runs below).
    openWindow();
    {
        window.receive(text.left(8192));
        std::vector<double> frames;
        for (int i = 0; i < 50; ++i) {
            window.receive(text.mid(8192 + i * 200, 200));
            QElapsedTimer frame;
            frame.start();
            window.view()->viewport()->repaint();
            frames.push_back(double(frame.nsecsElapsed()) / 1e6);
        }
        std::sort(frames.begin(), frames.end());
        std::printf("a full frame              %.2f ms (median of %zu)\n",
                    frames[frames.size() / 2], frames.size());
    }

    // Closed and open in turn; every open run starts with the scrollback full, as after a while.
    window.receive(text);
    std::vector<double> points;
    for (int pair = 0; pair < pairs; ++pair) {
        port.window = nullptr;
        window.hide();
        const Run closed = stream(board, port, text, 115200, seconds);
        openWindow();
        const Run open = stream(board, port, text, 115200, seconds);
        points.push_back(open.cpuShare - closed.cpuShare);
        std::printf("115 kB/s, closed / open   %.1f / %.1f %% of a core (%+.1f points), last line "
                    "%.0f ms after the end\n",
                    closed.cpuShare, open.cpuShare, points.back(), open.lastLineMs);
    }
    std::sort(points.begin(), points.end());
    std::printf("115 kB/s, open - closed   %+.1f to %+.1f points, median %+.1f (%zu pairs)\n",
                points.front(), points.back(), points[points.size() / 2], points.size());

    const Run flood = stream(board, port, text, 1.2e6, seconds);
    std::printf("1.2 MB/s, window open     %.1f %% of a core, backlog at most %lld bytes, last "
                "line %.0f ms after the end\n",
                flood.cpuShare, static_cast<long long>(flood.maxBacklog), flood.lastLineMs);

    const std::vector<double> keys = keyLatencies(board, window, 200);
    if (!keys.empty())
        std::printf("key to board              median %.3f ms, worst %.3f ms (%zu presses)\n",
                    keys[keys.size() / 2], keys.back(), keys.size());
    return 0;
}
