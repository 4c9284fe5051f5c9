// Fills a shown receive box to 50 MB with 4096-byte blocks, as the receive handler does, and
// prints the cost of a block at 1 MB and at 50 MB, the sustained rate and the memory a
// character costs. Every block is painted before the next one is appended.
//
//   bench_receive_box            runs every form, each in a process of its own
//   bench_receive_box FORM       runs one form: hex, text80 or text4000

#include "serial/receive_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTextStream>

#include <algorithm>
#include <numeric>
#include <vector>

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

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
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

int runForm(const QString &form)
{
    const int lineLength = form == QLatin1String("text80")     ? 80
                           : form == QLatin1String("text4000") ? 4000
                                                               : 0;
    QTextStream out(stdout);

    ReceiveBox box;
    // The window's font.
    QFont font = box.font();
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
    box.setFont(font);
    box.resize(329, 209);
    // The window moves the caret to the end on every change, which scrolls to the last line.
    QObject::connect(&box, &ReceiveBox::Change, &box, [&box] { box.setSelStart(box.length()); });
    box.show();
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();

    Source source(lineLength);
    const qint64 before = residentBytes();
    QElapsedTimer total;
    QElapsedTimer block;
    std::vector<qint64> at1;
    std::vector<qint64> at50;
    qint64 busy = 0;
    qint64 appending = 0;
    qint64 blockChars = 0;
    total.start();
    while (box.length() < Target) {
        const QString &piece = source.next();
        blockChars = piece.size();
        const qint64 at = box.length();
        block.start();
        box.appendText(piece);
        appending += block.nsecsElapsed();
        QCoreApplication::processEvents();
        const qint64 ns = block.nsecsElapsed();
        busy += ns;
        if (at >= MB && at1.size() < Sample)
            at1.push_back(ns);
        if (at >= Target - qint64(Sample) * blockChars)
            at50.push_back(ns);
    }
    const qint64 elapsed = total.nsecsElapsed();
    const qint64 after = residentBytes();
    const qint64 chars = box.length();

    const double per1 = median(at1) / 1e3;
    const double per50 = median(at50) / 1e3;
    out << form << " (" << blockChars << " characters a block, "
        << (box.verticalScrollBar()->maximum() + box.verticalScrollBar()->pageStep())
        << " lines at 50 MB)\n";
    out << QStringLiteral("  block at 1 MB   %1 us median, %2 us mean\n")
               .arg(per1, 0, 'f', 1)
               .arg(mean(at1) / 1e3, 0, 'f', 1);
    out << QStringLiteral("  block at 50 MB  %1 us median, %2 us mean (median %3 x the cost at "
                          "1 MB)\n")
               .arg(per50, 0, 'f', 1)
               .arg(mean(at50) / 1e3, 0, 'f', 1)
               .arg(per50 / per1, 0, 'f', 2);
    out << QStringLiteral("  sustained       %1 MB/s of text\n")
               .arg(double(chars) / MB / (double(elapsed) / 1e9), 0, 'f', 1);
    out << QStringLiteral("  of which         %1 % appending and scrolling, %2 % painting\n")
               .arg(100.0 * double(appending) / double(busy), 0, 'f', 0)
               .arg(100.0 * double(busy - appending) / double(busy), 0, 'f', 0);
    out << QStringLiteral("  memory          %1 bytes a character (%2 MB resident for %3 MB)\n")
               .arg(double(after - before) / double(chars), 0, 'f', 2)
               .arg(double(after - before) / MB, 0, 'f', 1)
               .arg(double(chars) / MB, 0, 'f', 1);

    // The window narrows and widens the box on every tab switch.
    QElapsedTimer rewrap;
    rewrap.start();
    box.resize(133, 177);
    QCoreApplication::processEvents();
    const qint64 narrow = rewrap.nsecsElapsed();
    rewrap.start();
    box.resize(329, 209);
    QCoreApplication::processEvents();
    const qint64 wide = rewrap.nsecsElapsed();
    rewrap.start();
    box.resize(133, 177);
    QCoreApplication::processEvents();
    const qint64 narrowAgain = rewrap.nsecsElapsed();
    out << QStringLiteral("  rewrap at 50 MB %1 ms to a new width, %2 ms back, %3 ms to the "
                          "narrow width again\n")
               .arg(double(narrow) / 1e6, 0, 'f', 1)
               .arg(double(wide) / 1e6, 0, 'f', 1)
               .arg(double(narrowAgain) / 1e6, 0, 'f', 1);
    out.flush();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        QApplication app(argc, argv);
        return runForm(QString::fromLocal8Bit(argv[1]));
    }
    QCoreApplication app(argc, argv);
    QTextStream(stdout) << "platform: " << qEnvironmentVariable("QT_QPA_PLATFORM", "default")
                        << "\n";
    for (const char *form : {"hex", "text80", "text4000"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(form)});
        child.waitForFinished(-1);
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            return 1;
    }
    return 0;
}
