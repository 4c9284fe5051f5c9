// A week's worth of a chatty board, compressed: streams gigabytes through the shown window at
// full speed from a pseudo-terminal, with the receive box limited, once as text lines and once
// in hex display. Prints the resident memory before, at the limit and at the end, and the cost of
// a megabyte in the first and the last tenth of the run.
//   bench_soak [megabytes to stream, default 4096] [limit in MB, default 256] [text|hex]
#include "app/controls.h"
#include "app/form1.h"
#include "bench_platform.h"
#include "settings/settings_file.h"
#include "support/byte_patterns.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"
#include "textview/receive_box.h"

#include "resident.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 MB = 1024 * 1024;

QByteArray lines()
{
    QByteArray text;
    for (int n = 0; text.size() < MB; ++n)
        text += "T=" + QByteArray::number(20 + n % 7) + "." + QByteArray::number(n % 10) +
                " H=" + QByteArray::number(40 + n % 13) + "% n=" + QByteArray::number(n) +
                " a line of a board left printing over the weekend\r\n";
    return text;
}

QByteArray randomBytes()
{
    return pseudoRandomBytes(MB);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const qint64 total = (argc > 1 ? std::atoll(argv[1]) : 4096) * MB;
    const qint64 limit = argc > 2 ? std::atoll(argv[2]) : 256;

    const QString only = argc > 3 ? QString::fromLatin1(argv[3]) : QString();
    // Each form in a process of its own, so that each starts from the same idle memory.
    if (only.isEmpty()) {
        for (const char *form : {"text", "hex"}) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(
                QCoreApplication::applicationFilePath(),
                {QString::number(total / MB), QString::number(limit), QString::fromLatin1(form)});
            child.waitForFinished(-1);
            if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
                return 1;
        }
        return 0;
    }
    for (const bool hex : {false, true}) {
        if (only != (hex ? QLatin1String("hex") : QLatin1String("text")))
            continue;
        PseudoTerminal board;
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("bench.ini"));
        mapPorts(ini, {{5, board.slavePath()}});
        SettingsFile(ini).write(QStringLiteral("接收区"), QStringLiteral("最大保留MB"),
                                QString::number(limit));
        auto window = std::make_unique<Form1>(std::make_unique<BenchPlatform>(ini));
        window->show();
        (void)QTest::qWaitForWindowExposed(window.get());
        window->findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
        window->findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
        window
            ->findChild<QRadioButton *>(hex ? QStringLiteral("RevHexSel")
                                            : QStringLiteral("RevChrSel"))
            ->setChecked(true);
        window->findChild<QPushButton *>(QStringLiteral("ClearRevText"))->click();
        auto *counter = window->findChild<QLabel *>(QStringLiteral("RevNum"));
        auto *box = window->findChild<ReceiveBox *>(QStringLiteral("RevText"));
        QTest::qWait(300);
        const qint64 idle = residentBytes();

        const QByteArray chunk = hex ? randomBytes() : lines();
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            for (qint64 sent = 0; sent < total && !stop;) {
                for (qsizetype done = 0; done < chunk.size() && !stop;) {
                    pollfd p{board.masterFd(), POLLOUT, 0};
                    if (::poll(&p, 1, 100) <= 0)
                        continue;
                    const ssize_t n = ::write(board.masterFd(), chunk.constData() + done,
                                              size_t(chunk.size() - done));
                    if (n > 0)
                        done += n;
                }
                sent += chunk.size();
            }
        });
        // Seconds for each received megabyte, and the resident memory as the run goes.
        std::vector<double> perMB;
        qint64 peakAfterLimit = 0;
        qint64 atLimit = 0;
        qint64 lastCount = 0;
        QElapsedTimer clock;
        clock.start();
        while (lastCount < total) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            const qint64 count = counter->text().toLongLong();
            if (count >= lastCount + MB) {
                const double each =
                    double(clock.nsecsElapsed()) / 1e9 / double(count - lastCount) * MB;
                for (; lastCount + MB <= count; lastCount += MB)
                    perMB.push_back(each);
                lastCount = count;
                clock.restart();
            }
            if (box->droppedBytes() > 0) {
                const qint64 rss = residentBytes();
                atLimit = atLimit ? atLimit : rss;
                peakAfterLimit = std::max(peakAfterLimit, rss);
            }
        }
        stop = true;
        feeder.join();
        const auto tenth = [&](bool last) {
            const size_t n = perMB.size() / 10;
            std::vector<double> part(last ? perMB.end() - qsizetype(n) : perMB.begin(),
                                     last ? perMB.end() : perMB.begin() + qsizetype(n));
            std::sort(part.begin(), part.end());
            return part[part.size() / 2] * 1e3;
        };
        std::printf("%s, %lld MB through a %lld MB limit\n", hex ? "hex display" : "text lines",
                    static_cast<long long>(total / MB), static_cast<long long>(limit));
        std::printf("  resident        %.0f MB idle, %.0f MB when the limit was reached, %.0f MB "
                    "at most after (bound: %.0f MB)\n",
                    double(idle) / MB, double(atLimit) / MB, double(peakAfterLimit) / MB,
                    1.3 * double(limit) + double(idle) / MB);
        std::printf("  a megabyte      %.2f ms in the first tenth, %.2f ms in the last (median)\n",
                    tenth(false), tenth(true));
        std::printf("  kept            %.0f MB of text, %.0f MB dropped\n",
                    double(box->length()) / MB, double(box->droppedBytes()) / MB);
        std::fflush(stdout);
    }
    return 0;
}
