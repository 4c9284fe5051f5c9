// The plot window beside a native-USB board: 8 series at 1,000 lines a second (about 70 kB/s)
// from a pseudo-terminal in 512-byte writes, a 10 s window 1200 pixels wide. Prints the whole
// program's CPU share with the plot closed and open (the feeding thread's own time taken off),
// the time of a frame of the plot while streaming, a full redraw of 8 x 10,000 samples, and the
// parser's rate. Run under Xvfb (xvfb-run) or QT_QPA_PLATFORM=offscreen.
//   bench_plot [seconds per run, default 8]
#include "app/controls.h"
#include "app/form1.h"
#include "bench_platform.h"
#include "paced_feed.h"
#include "plot/plot_data.h"
#include "plot/plot_view.h"
#include "plot/plot_window.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int LinesPerSecond = 1000;
constexpr qsizetype WriteSize = 512;

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

QByteArray plotLines(int count)
{
    QByteArray text;
    for (int n = 0; n < count; ++n) {
        text += "a:" + QByteArray::number(std::sin(n * 0.01), 'f', 3);
        for (const char *name : {" b:", " c:", " d:", " e:", " f:", " g:", " h:"})
            text += name + QByteArray::number((n * 37 % 1000) / 100.0 - 4.56, 'g', 4);
        text += "\r\n";
    }
    return text;
}

// Writes lines at LinesPerSecond in WriteSize pieces for `seconds`; returns the thread's CPU.
double feedLines(int master, const QByteArray &text, double seconds, std::atomic<bool> &done)
{
    const double bytesPerSecond = double(text.size()) / 10000 * LinesPerSecond;
    const double period = double(WriteSize) / bytesPerSecond;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    qsizetype at = 0;
    for (qint64 i = 0; i < qint64(seconds / period); ++i) {
        if (at + WriteSize > text.size())
            at = 0;
        feed::writeAll(master, text.constData() + at, WriteSize);
        at += WriteSize;
        feed::waitNext(next, qint64(period * 1e9));
    }
    done = true;
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double mean(const std::vector<double> &v)
{
    double sum = 0;
    for (const double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 8.0;
    const QByteArray text = plotLines(10000);

    // The parser alone.
    {
        plot::ParsedLine parsed;
        const QString lines = QString::fromLatin1(text);
        QElapsedTimer timer;
        timer.start();
        qint64 values = 0;
        for (int round = 0; round < 20; ++round) {
            for (QStringView line : QStringView(lines).split(u'\n')) {
                if (plot::parseLine(line, parsed))
                    values += parsed.count;
            }
        }
        std::printf("parser           %.1f million values a second\n",
                    double(values) / (double(timer.nsecsElapsed()) / 1e9) / 1e6);
    }

    PseudoTerminal board;
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    mapPorts(ini, {{5, board.slavePath()}});
    Form1 window(std::make_unique<BenchPlatform>(ini));
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();

    for (const bool withPlot : {false, true}) {
        PlotWindow *plotWindow = nullptr;
        if (withPlot) {
            auto *received = window.findChild<QWidget *>(QStringLiteral("RevText"));
            received->setFocus();
            QTest::keyClick(received, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
            plotWindow = window.findChild<PlotWindow *>(QStringLiteral("PlotWindow"));
            if (!plotWindow)
                return 1;
            plotWindow->resize(1200 + 80, 500);
            (void)QTest::qWaitForWindowExposed(plotWindow);
        }
        window.findChild<QPushButton *>(QStringLiteral("ClearRevText"))->click();
        QTest::qWait(300);
        std::atomic<bool> done{false};
        double feederCpu = 0;
        const double before = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        QElapsedTimer wall;
        wall.start();
        std::thread feeder([&] { feederCpu = feedLines(board.masterFd(), text, seconds, done); });
        std::vector<double> frames;
        QElapsedTimer sample;
        sample.start();
        while (!done) {
            QTest::qWait(20);
            // Now and then a frame painted on the spot, timed.
            if (plotWindow && sample.elapsed() > 250) {
                sample.restart();
                QElapsedTimer frame;
                frame.start();
                plotWindow->view()->repaint();
                frames.push_back(double(frame.nsecsElapsed()) / 1e6);
            }
        }
        feeder.join();
        const double elapsed = double(wall.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - before - feederCpu;
        std::printf("%-16s %.1f %% of a core", withPlot ? "plot open" : "plot closed",
                    100.0 * cpu / elapsed);
        if (plotWindow) {
            std::printf(", a frame %.2f ms on average (%zu timed), %lld lines recorded\n",
                        mean(frames), frames.size(),
                        static_cast<long long>(plotWindow->view()->recorder().rows()));
            // A full redraw after a resize, with 8 x 10,000 samples in the window.
            std::vector<double> full;
            for (int i = 0; i < 20; ++i) {
                plotWindow->resize(1280 + (i % 2), 500);
                QElapsedTimer frame;
                frame.start();
                plotWindow->view()->repaint();
                full.push_back(double(frame.nsecsElapsed()) / 1e6);
            }
            std::printf("full redraw      %.2f ms on average at %d x %d\n", mean(full),
                        plotWindow->view()->width(), plotWindow->view()->height());
        } else {
            std::printf("\n");
        }
    }
    return 0;
}
