// What quick-send costs and how exactly it keeps time:
//  - the auto-reply matcher alone over 80-character lines, with 14 literal rules, 6 expressions
//    and all 20, as a share of a core at 1.2 MB/s (bench_stream measures the whole window);
//  - a sequence's gaps at the board: a pseudo-terminal's far end, read by a thread of its own,
//    stamps every byte; each gap runs from the last byte of one entry to the first of the next,
//    against the entry's delay.
// Run under Xvfb (xvfb-run) or QT_QPA_PLATFORM=offscreen.
//   bench_quicksend [rounds, default 10]
#include "app/controls.h"
#include "app/form1.h"
#include "bench_platform.h"
#include "quicksend/auto_reply.h"
#include "quicksend/checksum.h"
#include "quicksend/frame.h"
#include "send/quick_send_store.h"
#include "settings/settings_file.h"
#include "support/context_menu.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"
#include "twenty_rules.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

using namespace quicksend;

namespace {

void matcherCost()
{
    const QList<Rule> rules = twentyRules();
    Entry reply;
    reply.name = QStringLiteral("reply");
    const QList<Page> pages{{QStringLiteral("P"), {reply}}};
    QString text;
    for (int n = 0; text.size() < 4 << 20; ++n)
        text += QStringLiteral("I (%1) sensor: T=%2.%3 H=%4% n=%5 ")
                    .arg(100000 + n)
                    .arg(20 + n % 7)
                    .arg(n % 10)
                    .arg(40 + n % 13)
                    .arg(n)
                    .leftJustified(78, QLatin1Char('.')) +
                QStringLiteral("\r\n");

    std::printf("auto-reply matcher alone, 80-character lines in 4096-character reads\n");
    const struct
    {
        const char *name;
        QList<Rule> rules;
    } sets[] = {
        {"14 literals", rules.mid(0, 14)}, {"6 expressions", rules.mid(14)}, {"20 rules", rules}};
    for (const auto &set : sets) {
        ReplyMatcher matcher;
        matcher.setRules(set.rules, pages, false);
        // Once through first, so that page faults and the expressions' compilation are not
        // counted.
        for (qsizetype at = 0; at + 4096 <= text.size(); at += 4096)
            (void)matcher.feed(QStringView(text).mid(at, 4096), 0);
        matcher.restart();
        QElapsedTimer clock;
        clock.start();
        qsizetype fired = 0;
        for (qsizetype at = 0; at + 4096 <= text.size(); at += 4096)
            fired += matcher.feed(QStringView(text).mid(at, 4096), 1000000 + at).size();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const double megabytes = double(text.size()) / 1e6;
        std::printf("  %-14s %6.2f ms per MB, %5.2f%% of a core at 1.2 MB/s%s\n", set.name,
                    1000 * seconds / megabytes, 100 * seconds / megabytes * 1.2,
                    fired ? " (fired!)" : "");
    }
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The board: reads everything from its own thread and stamps each read.
class Recorder
{
public:
    explicit Recorder(int master)
        : m_thread([this, master] {
              // Stamped the moment the bytes come, however busy the machine: a real-time
              // priority where the system grants one (root), else the ordinary one.
              sched_param priority{};
              priority.sched_priority = 10;
              m_realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
              char buffer[4096];
              while (!m_stop) {
                  pollfd p{master, POLLIN, 0};
                  if (::poll(&p, 1, 20) <= 0)
                      continue;
                  const ssize_t n = ::read(master, buffer, sizeof buffer);
                  const double at = now();
                  if (n <= 0)
                      continue;
                  const std::lock_guard<std::mutex> hold(m_lock);
                  m_bytes.append(buffer, n);
                  m_stamps.resize(m_bytes.size(), at);
              }
          })
    {}
    ~Recorder()
    {
        m_stop = true;
        m_thread.join();
    }
    [[nodiscard]] qsizetype size()
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        return m_bytes.size();
    }
    [[nodiscard]] std::vector<double> stamps()
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        return m_stamps;
    }
    [[nodiscard]] bool realTime() const { return m_realTime; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_realTime{false};
    std::mutex m_lock;
    QByteArray m_bytes;
    std::vector<double> m_stamps;
    std::thread m_thread;
};

int sequenceGaps(int rounds)
{
    PseudoTerminal board;
    QTemporaryDir dir;
    if (!board.isValid() || !dir.isValid())
        return 1;
    const QString ini = dir.filePath(QStringLiteral("bench.ini"));
    mapPorts(ini, {{5, board.slavePath()}});
    const auto step = [](const char *name, Format format, const QString &content, int delayMs) {
        Entry e;
        e.name = QString::fromLatin1(name);
        e.format = format;
        e.content = content;
        e.ending = Ending::None;
        e.delayMs = delayMs;
        e.ticked = true;
        if (format == Format::Hex)
            e.checksum = defaultChecksum(Algorithm::Crc16Modbus);
        return e;
    };
    const QList<Entry> steps = {
        step("read", Format::Hex, QStringLiteral("01 03 00 0A 00 02"), 20),
        step("text", Format::Text, QStringLiteral("AT+CWJAP=\"workshop\",\"secret\"\\r\\n"), 50),
        step("long", Format::Text, QString(200, QLatin1Char('x')), 100),
        step("write", Format::Hex, QStringLiteral("01 06 00 10 00 01"), 200),
    };
    quicksendstore::storeBook(SettingsFile(ini), {{{QStringLiteral("P"), steps}}, QString()});
    QList<qsizetype> sizes;
    for (const Entry &e : steps)
        sizes << buildFrame(e, TextEncoding::Utf8, QString()).bytes.size();

    Form1 window(std::make_unique<BenchPlatform>(ini));
    window.show();
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(4);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    useContextMenu(window.findChild<QWidget *>(QStringLiteral("RevText")),
                   {QStringLiteral("快捷发送…")});
    auto *quick = window.findChild<QWidget *>(QStringLiteral("QuickSendWindow"));
    if (!quick)
        return 1;
    quick->findChild<QComboBox *>(QStringLiteral("SequenceRepeat"))->setCurrentIndex(1);
    quick->findChild<QSpinBox *>(QStringLiteral("SequenceRounds"))->setValue(rounds);
    auto *status = quick->findChild<QLabel *>(QStringLiteral("QuickSendStatus"));

    Recorder recorder(board.masterFd());
    quick->findChild<QPushButton *>(QStringLiteral("SequenceRun"))->click();
    qsizetype total = 0;
    for (const qsizetype size : sizes)
        total += size * rounds;
    QElapsedTimer waited;
    waited.start();
    while ((recorder.size() < total || !status->text().endsWith(QStringLiteral("已完成"))) &&
           waited.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const std::vector<double> stamps = recorder.stamps();
    if (qsizetype(stamps.size()) != total) {
        std::printf("sequence: %zu of %lld bytes arrived\n", stamps.size(), qlonglong(total));
        return 1;
    }

    std::printf("\nsequence gaps at the board over %d rounds (last byte of an entry to the first "
                "of the next; board stamps %s)\n",
                rounds, recorder.realTime() ? "at real-time priority" : "at normal priority");
    std::printf("  %-8s %8s %10s %10s %10s\n", "entry", "delay", "mean gap", "min", "max");
    qsizetype at = 0;
    std::vector<std::vector<double>> gaps(steps.size());
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < steps.size(); ++i) {
            const qsizetype last = at + sizes[i] - 1;
            at += sizes[i];
            if (at < total)
                gaps[size_t(i)].push_back(1000 * (stamps[size_t(at)] - stamps[size_t(last)]));
        }
    }
    double worst = 0;
    for (int i = 0; i < steps.size(); ++i) {
        const std::vector<double> &g = gaps[size_t(i)];
        double sum = 0;
        for (const double x : g)
            sum += x;
        const auto [low, high] = std::minmax_element(g.begin(), g.end());
        std::printf("  %-8s %6d ms %7.2f ms %7.2f ms %7.2f ms\n", qPrintable(steps[i].name),
                    steps[i].delayMs, sum / double(g.size()), *low, *high);
        for (const double x : g)
            worst = std::max(worst, std::abs(x - steps[i].delayMs));
    }
    std::printf("  largest difference from the delay: %.2f ms\n", worst);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    matcherCost();
    return sequenceGaps(argc > 1 ? std::max(2, std::atoi(argv[1])) : 10);
}
