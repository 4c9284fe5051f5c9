// File transfer over a line paced at 115200 baud: two pseudo-terminals joined by a relay that
// passes 11,520 bytes a second each way, as a UART with 8N1 framing does. Prints, for the
// program's YMODEM-1K and ZMODEM senders and, on the same relay in the same run, lrzsz's own
// sb -k and sz, the throughput as a share of the line rate. The YMODEM receiver is the
// program's own (it answers at once; lrzsz's rb pauses after every block it reads), the ZMODEM
// receiver lrzsz's rz. Each file arrives checked byte for byte.
//   bench_transfer [kilobytes, default 192]
#include "support/byte_patterns.h"
#include "support/pseudo_terminal.h"
#include "support/pty_line.h"
#include "support/transfer_line.h"
#include "transfer/transfer_session.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace transfer;

namespace {

constexpr double LineBytesPerSecond = 115200.0 / 10;

qint64 nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Passes bytes between two pseudo-terminal masters from a thread of its own, each way at the
// line rate: a byte leaves no sooner than the line could have carried the bytes before it.
class PacedRelay
{
public:
    PacedRelay(int a, int b)
    {
        m_thread = std::thread([this, a, b] {
            Way ab{a, b};
            Way ba{b, a};
            while (!m_stop) {
                pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
                (void)::poll(p, 2, 1);
                const qint64 now = nowNs();
                for (Way *w : {&ab, &ba})
                    w->move(now);
            }
        });
    }
    ~PacedRelay()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    struct Way
    {
        int from;
        int to;
        QByteArray queue;
        qint64 lineFreeAt = 0; // when the line has carried everything sent so far

        void move(qint64 now)
        {
            char buffer[4096];
            const ssize_t n = ::read(from, buffer, sizeof buffer);
            if (n <= 0 && queue.isEmpty())
                return;
            // An idle line starts afresh; a busy one keeps its pace however late this wakes.
            if (queue.isEmpty())
                lineFreeAt = qMax(lineFreeAt, now);
            if (n > 0)
                queue.append(buffer, n);
            // What the line has carried by now goes; at most a millisecond's worth ahead.
            const qint64 byteNs = qint64(1e9 / LineBytesPerSecond);
            qsizetype due = 0;
            while (due < queue.size() && lineFreeAt + byteNs <= now + 1000000) {
                lineFreeAt += byteNs;
                ++due;
            }
            if (due == 0)
                return;
            const ssize_t written = ::write(to, queue.constData(), size_t(due));
            if (written > 0)
                queue.remove(0, written);
            if (written < due)
                lineFreeAt -= (due - qMax<ssize_t>(written, 0)) * byteNs;
        }
    };

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

int openRaw(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// One side of the line driven by a session of the program.
struct SessionSide
{
    explicit SessionSide(const QString &device) : fd(openRaw(device)), port(fd)
    {
        session = std::make_unique<TransferSession>(
            [this](const QByteArray &b) { return port.write(b); });
        session->setBacklog([this] { return port.backlog(); });
        session->setLineRate(115200);
        QObject::connect(&port, &PtyPort::bytesReceived, session.get(), &TransferSession::receive);
        QObject::connect(session.get(), &TransferSession::finished, session.get(),
                         [this](bool success, const QString &text) {
                             ended = true;
                             ok = success;
                             message = text;
                         });
    }
    ~SessionSide()
    {
        session.reset();
        ::close(fd);
    }
    int fd;
    PtyPort port;
    std::unique_ptr<TransferSession> session;
    bool ended = false;
    bool ok = false;
    QString message;
};

struct Result
{
    double seconds = 0;
    bool ok = false;
};

void print(const char *name, qint64 bytes, const Result &r)
{
    if (!r.ok) {
        std::printf("  %-40s failed\n", name);
        return;
    }
    const double rate = double(bytes) / r.seconds;
    std::printf("  %-40s %7.2f s  %8.0f B/s  %5.1f %% of the line\n", name, r.seconds, rate,
                100.0 * rate / LineBytesPerSecond);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 kilobytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 192;
    const qint64 size = kilobytes * 1024;
    const int timeoutMs = int(size * 4000 / qint64(LineBytesPerSecond)) + 60000;
    QTemporaryDir from;
    const QString file = from.filePath(QStringLiteral("firmware.bin"));
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(pseudoRandomBytes(size)) != size)
            return 1;
    }
    const QByteArray original = readFile(file);
    PseudoTerminal program;
    PseudoTerminal board;
    PacedRelay relay(program.masterFd(), board.masterFd());
    std::printf("%lld KB over a relay paced at 115200 baud (%.0f B/s each way)\n",
                static_cast<long long>(kilobytes), LineBytesPerSecond);

    // YMODEM-1K into the program's own receiver: the program's sender, then lrzsz's sb -k.
    for (const bool ours : {true, false}) {
        QTemporaryDir to;
        SessionSide receiver(board.slavePath());
        Request receive;
        receive.direction = Direction::Receive;
        receive.protocol = Protocol::Ymodem;
        receive.folder = to.path();
        receiver.session->start(receive);
        QElapsedTimer clock;
        clock.start();
        Result r;
        if (ours) {
            SessionSide sender(program.slavePath());
            Request send;
            send.protocol = Protocol::Ymodem;
            send.files = {file};
            sender.session->start(send);
            r.ok = waitUntil([&] { return sender.ended && receiver.ended; }, timeoutMs) &&
                   sender.ok && receiver.ok;
        } else {
            BoardProgram sb(program.slavePath(), QStringLiteral("sb"), {"-k", file}, from.path());
            r.ok = waitUntil([&] { return receiver.ended; }, timeoutMs) && receiver.ok &&
                   sb.wait(10000) == 0;
        }
        r.seconds = double(clock.nsecsElapsed()) / 1e9;
        r.ok = r.ok && readFile(to.filePath(QStringLiteral("firmware.bin"))) == original;
        print(ours ? "YMODEM-1K, the program's sender" : "YMODEM-1K, lrzsz's sb -k", size, r);
    }

    // ZMODEM into lrzsz's rz: the program's (sz through the port), then sz on the line itself.
    for (const bool ours : {true, false}) {
        QTemporaryDir to;
        BoardProgram rz(board.slavePath(), QStringLiteral("rz"), {}, to.path());
        QElapsedTimer clock;
        clock.start();
        Result r;
        if (ours) {
            SessionSide sender(program.slavePath());
            Request send;
            send.protocol = Protocol::Zmodem;
            send.files = {file};
            sender.session->start(send);
            r.ok = waitUntil([&] { return sender.ended; }, timeoutMs) && sender.ok;
        } else {
            BoardProgram sz(program.slavePath(), QStringLiteral("sz"), {file}, from.path());
            r.ok = sz.wait(timeoutMs) == 0;
        }
        r.ok = r.ok && rz.wait(10000) == 0;
        r.seconds = double(clock.nsecsElapsed()) / 1e9;
        r.ok = r.ok && readFile(to.filePath(QStringLiteral("firmware.bin"))) == original;
        print(ours ? "ZMODEM, the program (lrzsz's sz piped)" : "ZMODEM, lrzsz's sz on the line",
              size, r);
    }
    return 0;
}
