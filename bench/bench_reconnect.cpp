// Following a board through resets: a shown window with its port open on a pseudo-terminal
// loses it, waits, and reopens it when the board is back. Prints what waiting costs (the
// process's CPU share over a few seconds of waiting) and how long the port takes to open again
// once the board is back: through a link moved in a watched folder, and through a mapping
// re-entered in the settings file, which only the look every 250 ms sees.
//   bench_reconnect [rounds, default 10]
#include "app/controls.h"
#include "app/form1.h"
#include "bench_platform.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

bool isOpen(const Form1 &window)
{
    return window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->text() ==
           QStringLiteral("关闭串口");
}

bool moveLink(const QString &path, const QString &target)
{
    const QString temporary = path + QStringLiteral(".new");
    QFile::remove(temporary);
    return QFile::link(target, temporary) && std::rename(QFile::encodeName(temporary).constData(),
                                                         QFile::encodeName(path).constData()) == 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("zelqo.ini"));
    const QString link = dir.filePath(QStringLiteral("board"));
    auto board = std::make_unique<PseudoTerminal>();
    if (!QFile::link(board->slavePath(), link))
        return 1;

    for (const bool viaLink : {true, false}) {
        mapPorts(ini, {{5, viaLink ? link : board->slavePath()}});
        Form1 window(std::make_unique<BenchPlatform>(ini));
        window.show();
        (void)QTest::qWaitForWindowExposed(&window);
        window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
        // The window with its port closed and nothing to wait for, to compare the wait with.
        QElapsedTimer idleWall;
        idleWall.start();
        const double idleBefore = cpuSeconds();
        QTest::qWait(3000);
        const double idleShare =
            (cpuSeconds() - idleBefore) / (double(idleWall.nsecsElapsed()) / 1e9);
        auto *open = window.findChild<QPushButton *>(QStringLiteral("OpenCom"));
        open->click();
        std::vector<double> latencies;
        double waitingShare = 0;
        for (int round = 0; round < rounds; ++round) {
            if (!isOpen(window)) {
                std::fprintf(stderr, "the port did not open\n");
                return 1;
            }
            auto next = std::make_unique<PseudoTerminal>();
            board->closeMaster();
            if (!QTest::qWaitFor([&] { return !isOpen(window); }, 5000))
                return 1;
            // Waiting, measured in the first round only: it is the same every time.
            if (round == 0) {
                QElapsedTimer wall;
                wall.start();
                const double before = cpuSeconds();
                QTest::qWait(3000);
                waitingShare = (cpuSeconds() - before) / (double(wall.nsecsElapsed()) / 1e9);
            }
            QElapsedTimer back;
            back.start();
            if (viaLink)
                (void)moveLink(link, next->slavePath());
            else
                mapPorts(ini, {{5, next->slavePath()}});
            if (!QTest::qWaitFor([&] { return isOpen(window); }, 5000)) {
                std::fprintf(stderr, "not reopened\n");
                return 1;
            }
            latencies.push_back(double(back.nsecsElapsed()) / 1e6);
            board = std::move(next);
            // Settle before the next loss, as a real board takes a while to fail again.
            QTest::qWait(50);
        }
        std::printf("%s\n", viaLink ? "link moved in a watched folder"
                                    : "mapping re-entered in the settings file");
        std::printf("  waiting          %.2f %% of a core (closed, not waiting: %.2f %%)\n",
                    100.0 * waitingShare, 100.0 * idleShare);
        std::printf("  reopened after   %.1f ms median, %.1f ms at most (%d rounds)\n",
                    median(latencies), *std::max_element(latencies.begin(), latencies.end()),
                    rounds);
    }
    return 0;
}
