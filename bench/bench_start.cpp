// From start to a shown window: each start is a fresh process with a fresh settings folder, as
// a user's first start; the program's own code paths (the start-up scan of 48 ports, the
// settings file, the fonts) run as they do. Prints the median of the starts and where the time
// went in the median start. Run under Xvfb (xvfb-run) or QT_QPA_PLATFORM=offscreen.
//   bench_start [starts, default 7]
#include "app/form1.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double seconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// One start, in this process: prints the time of each step in milliseconds.
int start(int argc, char **argv)
{
    const double begin = seconds();
    QApplication app(argc, argv);
    const double appReady = seconds();
    Form1 window;
    const double built = seconds();
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    const double shown = seconds();
    // The moment itself too (the clock is the machine's), so that tearing down is not counted.
    std::printf("%.2f %.2f %.2f %.6f\n", (appReady - begin) * 1e3, (built - appReady) * 1e3,
                (shown - built) * 1e3, shown);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--start")
        return start(argc, argv);
    QCoreApplication app(argc, argv);
    const int starts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    struct Start
    {
        double total, application, window, show;
    };
    std::vector<Start> runs;
    for (int i = 0; i < starts; ++i) {
        QTemporaryDir config;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        QProcess child;
        child.setProcessEnvironment(env);
        const double before = seconds();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--start")});
        if (!child.waitForFinished(30000) || child.exitCode() != 0)
            return 1;
        const QList<QByteArray> parts = child.readAllStandardOutput().trimmed().split(' ');
        if (parts.size() != 4)
            return 1;
        const double total = (parts[3].toDouble() - before) * 1e3;
        runs.push_back({total, parts[0].toDouble(), parts[1].toDouble(), parts[2].toDouble()});
    }
    std::sort(runs.begin(), runs.end(),
              [](const Start &a, const Start &b) { return a.total < b.total; });
    const Start &median = runs[runs.size() / 2];
    std::printf("start to shown window  %.1f ms median of %d (fastest %.1f, slowest %.1f)\n",
                median.total, starts, runs.front().total, runs.back().total);
    std::printf("  of the median start  %.1f ms application, %.1f ms window and start-up "
                "steps, %.1f ms showing\n",
                median.application, median.window, median.show);
    return 0;
}
