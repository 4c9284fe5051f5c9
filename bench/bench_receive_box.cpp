// Fills a shown receive box to 50 MB with 4096-byte blocks, as the receive handler does, and
// prints the cost of a block at 1 MB and at 50 MB, the sustained rate and the memory a
// character costs. Every block is painted before the next one is appended.
//
//   bench_receive_box              runs every form and way, each in a process of its own
//   bench_receive_box FORM [WAY]   runs one form: hex, text80 or text4000; one way: plain
//                                  (text without times), times (the times of lines and bursts
//                                  kept, as the window does) or gutter (kept and shown)
//   bench_receive_box colours      a 10 MB coloured ESP-IDF log, its sequences rendered against
//                                  shown as they came, and 20 highlight rules drawn

#include "settings/atomic_file.h"
#include "textview/receive_box.h"

#include "esp_idf_log.h"
#include "resident.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <numeric>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

constexpr qint64 MB = 1024 * 1024;
constexpr qint64 Target = 50 * MB;
constexpr int BlockBytes = 4096;
constexpr size_t Sample = 256; // blocks for each figure

// The median, since other programs on the machine now and then take the processor away.
double median(std::vector<qint64> ns)
{
    std::sort(ns.begin(), ns.end());
    return double(ns[ns.size() / 2]);
}

double mean(const std::vector<qint64> &ns)
{
    return double(std::accumulate(ns.begin(), ns.end(), qint64(0))) / double(ns.size());
}

// Blocks as the receive handler appends them: hexadecimal "XX " per byte and no line break
// ever, or text with a CR LF closing every `lineLength` characters. A pool of blocks made in
// advance keeps their making out of the figures.
class Source
{
public:
    explicit Source(int lineLength)
    {
        QRandomGenerator random(42);
        int column = 0;
        for (int b = 0; b < PoolSize; ++b) {
            QString block;
            if (lineLength == 0) {
                static const char digits[] = "0123456789ABCDEF";
                for (int i = 0; i < BlockBytes; ++i) {
                    const quint32 byte = random.bounded(256);
                    block += QLatin1Char(digits[byte >> 4]);
                    block += QLatin1Char(digits[byte & 15]);
                    block += QLatin1Char(' ');
                }
            } else {
                while (block.size() < BlockBytes) {
                    ++column;
                    if (column == lineLength - 1) {
                        block += QLatin1Char('\r');
                    } else if (column == lineLength) {
                        block += QLatin1Char('\n');
                        column = 0;
                    } else {
                        block += QLatin1Char(char('a' + random.bounded(26)));
                    }
                }
            }
            m_pool.append(block);
        }
    }

    const QString &next() { return m_pool[m_next++ % PoolSize]; }

private:
    // 125 blocks hold a whole number of 80- and of 4000-character lines, so the pool repeats
    // without a seam.
    static constexpr int PoolSize = 125;
    QList<QString> m_pool;
    int m_next = 0;
};

// A receive box as the window has it: its size and font, and the caret moved to the end on
// every change, which scrolls to the last line.
enum class Way { Plain, Times, Gutter };

class ShownBox
{
public:
    ShownBox(int lineLength, QPoint at, Way way) : m_source(lineLength), m_way(way)
    {
        m_box.setTimestampsShown(way == Way::Gutter);
        m_box.setStamping(lineLength == 0 ? ReceiveBox::Stamping::Bursts
                                          : ReceiveBox::Stamping::Lines);
        QFont font = m_box.font();
        font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                          QStringLiteral("WenQuanYi Micro Hei"),
                          QStringLiteral("Noto Sans CJK SC")});
        font.setPointSize(9);
        m_box.setFont(font);
        m_box.setGeometry(QRect(at, QSize(329, 209)));
        QObject::connect(&m_box, &ReceiveBox::Change, &m_box,
                         [this] { m_box.setSelStart(m_box.length()); });
        m_box.show();
        for (int i = 0; i < 50; ++i)
            QCoreApplication::processEvents();
    }

    // Appends one block and paints it; returns the nanoseconds it took and adds those spent
    // in appendText to `appending`.
    qint64 block(qint64 *appending = nullptr)
    {
        const QString &piece = m_source.next();
        QElapsedTimer timer;
        timer.start();
        if (m_way == Way::Plain) {
            m_box.appendText(piece);
        } else {
            // A board streaming steadily, with a pause before every eighth block.
            m_clock += ++m_blocks % 8 == 0 ? 150 : 5;
            m_box.appendReceived(piece, m_clock);
        }
        if (appending)
            *appending += timer.nsecsElapsed();
        QCoreApplication::processEvents();
        return timer.nsecsElapsed();
    }

    ReceiveBox &box() { return m_box; }

    // A full repaint of what the box shows, as after a scroll: milliseconds, the median of 51.
    double frameMs()
    {
        std::vector<qint64> ns;
        for (int i = 0; i < 51; ++i) {
            QElapsedTimer timer;
            timer.start();
            m_box.viewport()->repaint();
            ns.push_back(timer.nsecsElapsed());
        }
        return median(ns) / 1e6;
    }

private:
    ReceiveBox m_box;
    Source m_source;
    Way m_way;
    qint64 m_clock = 1'700'000'000'000;
    int m_blocks = 0;
};

int runForm(const QString &form, const QString &wayName)
{
    const Way way = wayName == QLatin1String("times")    ? Way::Times
                    : wayName == QLatin1String("gutter") ? Way::Gutter
                                                         : Way::Plain;
    const int lineLength = form == QLatin1String("text80")     ? 80
                           : form == QLatin1String("text4000") ? 4000
                                                               : 0;
    QTextStream out(stdout);

    ShownBox small(lineLength, QPoint(0, 0), way);
    while (small.box().length() < MB)
        small.block();

    ShownBox large(lineLength, QPoint(340, 0), way);
    const qint64 before = residentBytes();
    QElapsedTimer total;
    qint64 busy = 0;
    qint64 appending = 0;
    total.start();
    while (large.box().length() < Target)
        busy += large.block(&appending);
    const qint64 elapsed = total.nsecsElapsed();
    const qint64 after = residentBytes();
    const qint64 chars = large.box().length();

    // Blocks into the 1 MB box and the 50 MB box in turn, so that whatever else the machine
    // does weighs on both alike.
    std::vector<qint64> at1;
    std::vector<qint64> at50;
    for (size_t i = 0; i < Sample; ++i) {
        at1.push_back(small.block());
        at50.push_back(large.block());
    }

    const double per1 = median(at1) / 1e3;
    const double per50 = median(at50) / 1e3;
    out << form << " " << (wayName.isEmpty() ? QStringLiteral("plain") : wayName) << " ("
        << (lineLength == 0 ? 3 * BlockBytes : BlockBytes) << " characters a block)\n";
    out << QStringLiteral("  block at 1 MB   %1 us median, %2 us mean\n")
               .arg(per1, 0, 'f', 1)
               .arg(mean(at1) / 1e3, 0, 'f', 1);
    out << QStringLiteral("  block at 50 MB  %1 us median, %2 us mean (median %3 x the cost at "
                          "1 MB)\n")
               .arg(per50, 0, 'f', 1)
               .arg(mean(at50) / 1e3, 0, 'f', 1)
               .arg(per50 / per1, 0, 'f', 2);
    out << QStringLiteral("  sustained       %1 MB/s of text from empty to 50 MB\n")
               .arg(double(chars) / MB / (double(elapsed) / 1e9), 0, 'f', 1);
    out << QStringLiteral("  of which        %1 % appending and scrolling, %2 % painting\n")
               .arg(100.0 * double(appending) / double(busy), 0, 'f', 0)
               .arg(100.0 * double(busy - appending) / double(busy), 0, 'f', 0);
    out << QStringLiteral("  memory          %1 bytes a character (%2 MB resident for %3 MB)\n")
               .arg(double(after - before) / double(chars), 0, 'f', 2)
               .arg(double(after - before) / MB, 0, 'f', 1)
               .arg(double(chars) / MB, 0, 'f', 1);

    out << QStringLiteral("  frame           %1 ms for a full repaint at 50 MB\n")
               .arg(large.frameMs(), 0, 'f', 3);

    // The window narrows and widens the box on every tab switch.
    ReceiveBox &box = large.box();
    const auto resizeTime = [&box](QSize size) {
        QElapsedTimer timer;
        timer.start();
        box.resize(size);
        QCoreApplication::processEvents();
        return double(timer.nsecsElapsed()) / 1e6;
    };
    const double narrow = resizeTime(QSize(133, 177));
    const double wide = resizeTime(QSize(329, 209));
    const double narrowAgain = resizeTime(QSize(133, 177));
    out << QStringLiteral("  rewrap at 50 MB %1 ms to a new width, %2 ms back, %3 ms to the "
                          "narrow width again\n")
               .arg(narrow, 0, 'f', 1)
               .arg(wide, 0, 'f', 1)
               .arg(narrowAgain, 0, 'f', 1);

    // What a user waits for with a long capture: finding a text that is not there (the whole box
    // read once) and "保存接收区…" (the text, UTF-8, written and synced).
    QElapsedTimer timer;
    timer.start();
    const qint64 found = box.find(QStringLiteral("not in the box"), 0, true, Qt::CaseInsensitive);
    const double findMs = double(timer.nsecsElapsed()) / 1e6;
    QTemporaryDir dir;
    QString reason;
    timer.restart();
    const bool saved =
        atomicfile::save(dir.filePath(QStringLiteral("capture.txt")), box.text().toUtf8(), &reason);
    const double saveMs = double(timer.nsecsElapsed()) / 1e6;
    out << QStringLiteral("  find over 50 MB %1 ms (%2), save of 50 MB %3 ms (%4)\n")
               .arg(findMs, 0, 'f', 1)
               .arg(found < 0 ? QStringLiteral("none, as planted") : QStringLiteral("FOUND?"))
               .arg(saveMs, 0, 'f', 1)
               .arg(saved ? QStringLiteral("written") : reason);

    // What a screen reader asks as it follows the stream: the last line, a word and a
    // character's place, each answered without copying the box.
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&box)->textInterface();
    constexpr int Queries = 1000;
    const int last = text->characterCount() - 1;
    int start = 0;
    int end = 0;
    qsizetype answered = 0;
    timer.restart();
    for (int i = 0; i < Queries; ++i) {
        answered +=
            text->textAtOffset(last - i * 97, QAccessible::LineBoundary, &start, &end).size();
        answered +=
            text->textAtOffset(last / 2 + i, QAccessible::WordBoundary, &start, &end).size();
        answered += text->characterRect(last - i).width();
    }
    out << QStringLiteral("  screen reader at 50 MB: a line, a word and a place %1 us (%2 chars)\n")
               .arg(double(timer.nsecsElapsed()) / 1e3 / Queries, 0, 'f', 1)
               .arg(answered);
    out.flush();
    return 0;
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A receive box as the window has it (see ShownBox), fed whole blocks of a stream.
struct WindowBox
{
    explicit WindowBox(ReceiveBox::ControlSequences mode)
    {
        box.setControlSequences(mode);
        QFont font = box.font();
        font.setFamilies(
            {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
        font.setPointSize(9);
        box.setFont(font);
        box.setGeometry(QRect(0, 0, 329, 209));
        QObject::connect(&box, &ReceiveBox::Change, &box, [this] {
            if (box.followsEnd())
                box.setSelStart(box.length());
        });
        box.show();
        for (int i = 0; i < 50; ++i)
            QCoreApplication::processEvents();
    }
    ReceiveBox box;
};

// The same 10 MB of a coloured log along the path of the window's received blocks, sequences
// rendered and shown as they came; what the colours cost in memory; and 20 highlight rules,
// in a full repaint and as a share of a core beside a 1.2 MB/s stream of 80-character lines.
int runColours()
{
    QTextStream out(stdout);
    const QString log = espIdfLog(10 * MB, true);
    QList<QString> blocks;
    for (qsizetype at = 0; at < log.size(); at += BlockBytes)
        blocks << log.mid(at, BlockBytes);
    // Block by block into both boxes in turn, so that whatever else the machine does weighs
    // on both alike.
    WindowBox shown(ReceiveBox::ControlSequences::Shown);
    WindowBox rendered(ReceiveBox::ControlSequences::Rendered);
    std::vector<qint64> ns[2];
    qint64 total[2] = {};
    for (const QString &block : std::as_const(blocks)) {
        for (WindowBox *w : {&shown, &rendered}) {
            QElapsedTimer timer;
            timer.start();
            w->box.appendReceivedText(block, 1000);
            QCoreApplication::processEvents();
            const qint64 spent = timer.nsecsElapsed();
            ns[w == &rendered].push_back(spent);
            total[w == &rendered] += spent;
        }
    }
    out << QStringLiteral("coloured ESP-IDF log, 10 MB in 4096-character blocks, appended and "
                          "painted\n");
    for (const int r : {0, 1})
        out << QStringLiteral("  %1 %2 us median, %3 us mean; %4 MB/s\n")
                   .arg(r ? QStringLiteral("rendered (解析)     ")
                          : QStringLiteral("as it came (原样显示)"))
                   .arg(median(ns[r]) / 1e3, 0, 'f', 1)
                   .arg(mean(ns[r]) / 1e3, 0, 'f', 1)
                   .arg(double(log.size()) / MB / (double(total[r]) / 1e9), 0, 'f', 1);
    out << QStringLiteral("  rendered/shown  %1 x the cost of a block (median)\n")
               .arg(median(ns[1]) / median(ns[0]), 0, 'f', 2);
    AnsiParser parser;
    QElapsedTimer parsing;
    parsing.start();
    qsizetype parsed = 0;
    for (const QString &block : std::as_const(blocks))
        parsed += parser.feed(block).text.size();
    out << QStringLiteral("  parser alone    %1 MB/s (%2 us a block)\n")
               .arg(double(log.size()) / MB / (double(parsing.nsecsElapsed()) / 1e9), 0, 'f', 1)
               .arg(double(parsing.nsecsElapsed()) / 1e3 / double(blocks.size()), 0, 'f', 1);
    const ReceiveBox &box = rendered.box;
    out << QStringLiteral("  colours         %1 bytes a character (%2 runs, %3 kB for %4 MB of "
                          "text)\n")
               .arg(double(box.colourRuns().memoryBytes()) / double(box.length()), 0, 'f', 4)
               .arg(box.colourRuns().count())
               .arg(double(box.colourRuns().memoryBytes()) / 1024, 0, 'f', 1)
               .arg(double(box.length()) / MB, 0, 'f', 1);

    // 20 rules of the presets, drawn on a full screen of the 10 MB box, scrolled anywhere.
    HighlightRules rules;
    for (const highlightpresets::Preset &preset : highlightpresets::all())
        rules.rules += preset.rules;
    rules.rules = rules.rules.mid(0, 20);
    WindowBox &drawn = rendered;
    QRandomGenerator random(9);
    double frame[2] = {};
    for (const bool withRules : {false, true}) {
        drawn.box.setHighlightRules(withRules ? rules : HighlightRules());
        std::vector<qint64> ns;
        for (int i = 0; i < 101; ++i) {
            drawn.box.setSelStart(random.bounded(int(drawn.box.length())));
            QElapsedTimer timer;
            timer.start();
            drawn.box.viewport()->repaint();
            ns.push_back(timer.nsecsElapsed());
        }
        frame[withRules] = median(ns) / 1e6;
    }
    out << QStringLiteral("20 highlight rules\n  full repaint    %1 ms with them, %2 ms without\n")
               .arg(frame[1], 0, 'f', 3)
               .arg(frame[0], 0, 'f', 3);
    HighlightMatcher matcher;
    matcher.setRules(rules);
    const QStringList sample = drawn.box.text().left(2 * MB).split(QStringLiteral("\r\n"));
    qsizetype marked = 0;
    QElapsedTimer timer;
    timer.start();
    for (const QString &line : sample)
        marked += matcher.match(line).spans.size() + (matcher.match(line).lineRule >= 0);
    out << QStringLiteral("  one line        %1 us for the 20 rules (%2 marks in %3 lines)\n")
               .arg(double(timer.nsecsElapsed()) / 2e3 / double(sample.size()), 0, 'f', 2)
               .arg(marked)
               .arg(sample.size());

    // 1.2 MB/s of 80-character lines for 5 seconds of the stream, drawn 30 times a second as
    // the window paints: the processor time the rules add. Rounds with and without alternate,
    // and the least of each counts, as other programs take the processor now and then.
    const QString lines = espIdfLog(6 * MB, false);
    double cpu[2] = {1e9, 1e9};
    for (int round = 0; round < 6; ++round) {
        const bool withRules = round % 2;
        WindowBox streamed(ReceiveBox::ControlSequences::Shown);
        streamed.box.setHighlightRules(withRules ? rules : HighlightRules());
        const double before = threadCpuSeconds();
        constexpr int Seconds = 5;
        constexpr int BlocksPerSecond = 1'200'000 / BlockBytes;
        for (int b = 0; b < Seconds * BlocksPerSecond; ++b) {
            streamed.box.appendReceivedText(lines.mid(qsizetype(b) * BlockBytes, BlockBytes),
                                            1000 + b);
            if (b % (BlocksPerSecond / 30) == 0)
                streamed.box.viewport()->repaint();
        }
        cpu[withRules] = qMin(cpu[withRules], (threadCpuSeconds() - before) / Seconds);
    }
    out << QStringLiteral("  at 1.2 MB/s     %1 % of a core with them, %2 % without: %3 % for "
                          "the rules\n")
               .arg(100 * cpu[1], 0, 'f', 2)
               .arg(100 * cpu[0], 0, 'f', 2)
               .arg(100 * (cpu[1] - cpu[0]), 0, 'f', 2);
    out.flush();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        QApplication app(argc, argv);
        if (QString::fromLocal8Bit(argv[1]) == QLatin1String("colours"))
            return runColours();
        return runForm(QString::fromLocal8Bit(argv[1]),
                       argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString());
    }
    QCoreApplication app(argc, argv);
    QTextStream(stdout) << "platform: " << qEnvironmentVariable("QT_QPA_PLATFORM", "default")
                        << "\n";
    for (const char *form : {"hex", "text80", "text4000"}) {
        for (const char *way : {"plain", "times", "gutter"}) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QString::fromLatin1(form), QString::fromLatin1(way)});
            child.waitForFinished(-1);
            if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
                return 1;
        }
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("colours")});
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}
