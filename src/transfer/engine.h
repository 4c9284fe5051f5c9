#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

// A transfer protocol as a state machine: bytes from the line and the clock go in, bytes for the
// line, log lines and progress come out. It reads no clock and touches no port: whoever drives it
// passes the time (milliseconds on any steady clock) and calls tick() once deadline() has come.
namespace transfer {

struct Progress
{
    QString fileName;
    int fileIndex = 0; // of the file under way
    int fileCount = 0; // 0 while unknown (a batch being received)
    qint64 fileDone = 0;
    qint64 fileSize = -1; // -1 while unknown
    qint64 done = 0;      // of all files so far
    qint64 total = -1;
    int retries = 0;

    [[nodiscard]] bool operator==(const Progress &o) const
    {
        return fileName == o.fileName && fileIndex == o.fileIndex && fileCount == o.fileCount &&
               fileDone == o.fileDone && fileSize == o.fileSize && done == o.done &&
               total == o.total && retries == o.retries;
    }
    [[nodiscard]] bool operator!=(const Progress &o) const { return !(*this == o); }
};

enum class Outcome { Running, Succeeded, Failed };

// How long each side waits. The defaults are the protocols' own; a test may shorten them.
struct Timing
{
    int startMs = 60000;  // sender: for the receiver's first 'C' or NAK
    int answerMs = 10000; // sender: for the answer to a block
    // Sender: for the answer to XMODEM's EOT or YMODEM's closing block, sent three times; a
    // receiver silent through all three (longer than a receiver waits before it asks again)
    // has taken it and gone.
    int lastAnswerMs = 4000;
    int retries = 10;     // sends of one block (or polls between blocks) beyond the first
    int replyDelayMs = 5; // sender: from a request for a file's first block to the block
    int pollMs = 3000;    // receiver: between its 'C' or NAK before the first block
    int polls = 20;       // receiver: how many before it gives up
    int byteGapMs = 2000; // receiver: silence inside a block
    int purgeMs = 1000;   // receiver: silence after a damaged block before its NAK
    // Sender: after a block that went out more than once is acknowledged, answers to its other
    // copies are awaited this long before the next block, so that none is taken for the next
    // block's. About two blocks' time on the line.
    int settleMs = 1500;

    // settleMs for a line of this many bits per second.
    [[nodiscard]] static int settleFor(int baud);
};

class Engine
{
public:
    virtual ~Engine() = default;
    Engine() = default;
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    virtual void start(qint64 now) = 0;
    virtual void receive(QByteArrayView bytes, qint64 now) = 0;
    // Called once now has reached deadline(); earlier calls do nothing.
    virtual void tick(qint64 now) = 0;
    // Ends the transfer from outside with message; tellPeer sends the protocol's abort (the user
    // cancelled), otherwise nothing goes out (the port is gone).
    virtual void stop(const QString &message, bool tellPeer);
    // Whether what the board sends during the transfer is the protocol's (or text for the screen).
    [[nodiscard]] virtual bool ownsReceivedBytes() const { return true; }
    // Whether it writes as fast as it may: its driver then holds it back while the port's queue
    // is full. Protocols that wait for answers never fill it.
    [[nodiscard]] virtual bool streams() const { return false; }

    // When tick() is due; -1 while only bytes can move the transfer on.
    [[nodiscard]] qint64 deadline() const { return m_deadline; }
    [[nodiscard]] QByteArray takeOutput();
    [[nodiscard]] QStringList takeLog();
    [[nodiscard]] Outcome outcome() const { return m_outcome; }
    // Why it failed, or what it did.
    [[nodiscard]] const QString &message() const { return m_message; }
    [[nodiscard]] const Progress &progress() const { return m_progress; }

protected:
    void send(QByteArrayView bytes) { m_output += bytes; }
    void log(const QString &line) { m_log += line; }
    void setDeadline(qint64 at) { m_deadline = at; }
    [[nodiscard]] bool due(qint64 now) const { return m_deadline >= 0 && now >= m_deadline; }
    void succeed(const QString &message);
    void fail(const QString &message);
    // Fails and sends the abort sequence, so that the peer gives up too.
    void abort(const QString &message);
    [[nodiscard]] bool running() const { return m_outcome == Outcome::Running; }

    Progress m_progress;

private:
    QByteArray m_output;
    QStringList m_log;
    qint64 m_deadline = -1;
    Outcome m_outcome = Outcome::Running;
    QString m_message;
};

// Texts shared by every protocol.
[[nodiscard]] QString cancelledText();
[[nodiscard]] QString portLostText();

} // namespace transfer
