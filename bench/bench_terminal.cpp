// Streams data from a pseudo-terminal into the shown window, as a board would, and prints what
// a received block costs with little and with much in the receive box, the sustained rate, and
// the memory the box takes per character. Run under Xvfb or QT_QPA_PLATFORM=offscreen.
#include "app/controls.h"
#include "app/form1.h"
#include "bench_platform.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

double threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double residentBytes()
{
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

// Feeds the master side from its own thread as fast as the line takes it.
class Board
{
public:
    ~Board() { wait(); }
    [[nodiscard]] bool isValid() const { return m_pty.isValid(); }
    [[nodiscard]] QString path() const { return m_pty.slavePath(); }

    void stream(QByteArray data)
    {
        wait();
        m_thread = std::thread([master = m_pty.masterFd(), data = std::move(data)] {
            qsizetype off = 0;
            while (off < data.size()) {
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                const ssize_t n = ::write(master, data.constData() + off,
                                          std::min<qsizetype>(data.size() - off, 65536));
                if (n > 0)
                    off += n;
            }
        });
    }
    void wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    PseudoTerminal m_pty;
    std::thread m_thread;
};

struct Pattern
{
    const char *name;
    bool hex;
    int lineLength; // 0: no line break ever
};

QByteArray makeData(const Pattern &p, qsizetype bytes, qsizetype &column)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes; ++i) {
        if (p.hex) {
            data[i] = char(i * 131 + 7);
            continue;
        }
        if (p.lineLength && ++column >= p.lineLength) {
            data[i] = '\n';
            column = 0;
        } else {
            data[i] = char('!' + (i % 90));
        }
    }
    return data;
}

const Pattern patterns[] = {{"hex, one line", true, 0},
                            {"text, break every 80", false, 80},
                            {"text, break every 4000", false, 4000},
                            {"text, no break", false, 0}};
constexpr qsizetype block = 4096;
constexpr qsizetype probeBlocks = 64;

} // namespace

// Each pattern runs in a process of its own, so that memory freed by one cannot hide what
// the next one takes.
int runAll(const QString &self, const QStringList &args)
{
    std::printf("%-24s %12s %12s %7s %10s %10s\n", "pattern", "us/block@1M", "us/block@50M",
                "ratio", "MB/s text", "B/char");
    std::fflush(stdout);
    for (int i = 0; i < int(std::size(patterns)); ++i) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(self, QStringList{QStringLiteral("--pattern"), QString::number(i)} + args);
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            return 1;
    }
    return 0;
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) != QLatin1String("--pattern"))
        return runAll(app.applicationFilePath(), args);
    const Pattern &p = patterns[args.value(1).toInt()];
    const qint64 target = args.size() > 2 ? args.value(2).toLongLong() << 20 : 50LL << 20;

    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    Board board;
    if (!board.isValid())
        return 1;
    mapPorts(ini, {{5, board.path()}});
    Form1 window(std::make_unique<BenchPlatform>(ini));
    window.show();
    auto *rev = window.findChild<ReceiveBox *>(QStringLiteral("RevText"));
    auto *counter = window.findChild<QLabel *>(QStringLiteral("RevNum"));
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    window.findChild<QRadioButton *>(QLatin1String(p.hex ? "RevHexSel" : "RevChrSel"))
        ->setChecked(true);
    window.findChild<QPushButton *>(QStringLiteral("ClearRevText"))->click();
    window.findChild<QPushButton *>(QStringLiteral("ClearCounter"))->click();
    QCoreApplication::processEvents();

    const double memBefore = residentBytes();
    const int charsPerByte = p.hex ? 3 : 1;
    qsizetype column = 0;
    qint64 sent = 0;
    // Streams bytes through the line and returns the window thread's CPU time for them: the
    // writer's and the kernel's share of the machine do not count against the window.
    const auto pump = [&](qsizetype bytes) {
        board.stream(makeData(p, bytes, column));
        sent += bytes;
        const double cpu = threadCpuNs();
        while (counter->text().toLongLong() < sent)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        board.wait();
        return threadCpuNs() - cpu;
    };
    const auto probe = [&] {
        std::vector<double> rounds;
        for (int r = 0; r < 7; ++r)
            rounds.push_back(pump(probeBlocks * block) / probeBlocks / 1e3);
        return median(rounds);
    };
    pump((1 << 20) / charsPerByte);
    const double small = probe();
    QElapsedTimer fillTime;
    fillTime.start();
    const qint64 fillFrom = rev->length();
    pump((target - rev->length()) / charsPerByte);
    const double rate = double(rev->length() - fillFrom) / (fillTime.nsecsElapsed() / 1e9) / 1e6;
    const double large = probe();
    const double perChar = (residentBytes() - memBefore) / double(rev->length());
    std::printf("%-24s %12.1f %12.1f %7.2f %10.1f %10.2f\n", p.name, small, large, large / small,
                rate, perChar);
    return 0;
}
