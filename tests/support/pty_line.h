#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

#include <functional>
#include <memory>

class QSocketNotifier;

// The program's end of a serial line in the transfer tests: a pseudo-terminal's master side,
// read and written through the event loop as the serial component does, each write stamped
// with its time.
class PtyPort : public QObject
{
    Q_OBJECT
public:
    explicit PtyPort(int fd, QObject *parent = nullptr);

    // Queues bytes; false once the line is gone.
    bool write(const QByteArray &bytes);
    [[nodiscard]] qint64 backlog() const { return m_queue.size(); }

    struct Write
    {
        qint64 ns; // since the port was made
        QByteArray bytes;
    };
    // Every write that reached the line, in order.
    QList<Write> written;
    QByteArray received;

signals:
    void bytesReceived(const QByteArray &bytes);

private:
    void readable();
    void flush();

    int m_fd;
    QSocketNotifier *m_read;
    QSocketNotifier *m_write;
    QByteArray m_queue;
    QElapsedTimer m_clock;
    bool m_gone = false;
};

// What a relay does to the bytes between the program and the board: every Nth byte one way
// flipped or dropped, what the board sends held back, a burst of NAK before every Nth ACK of
// the board.
struct LineFaults
{
    int flipEvery = 0;
    int dropEvery = 0;
    int delayAnswerMs = 0;
    int nakBurstEvery = 0;
    // The flips and drops hit what the board sends instead of what the program sends.
    bool damageFromBoard = false;
};

// Copies bytes between two descriptors (the program's pseudo-terminal and the board's), doing
// the faults on the way.
class FaultyRelay : public QObject
{
    Q_OBJECT
public:
    FaultyRelay(int programSide, int boardSide, LineFaults faults, QObject *parent = nullptr);
    int flipped = 0;
    int dropped = 0;
    int bursts = 0;

private:
    struct Side
    {
        int fd = -1;
        QByteArray pending;
        QSocketNotifier *writable = nullptr;
    };

    void fromProgram();
    void fromBoard();
    [[nodiscard]] QByteArray damage(const char *bytes, qsizetype n);
    void queue(Side &side, const QByteArray &bytes);
    void flush(Side &side);

    Side m_program;
    Side m_board;
    LineFaults m_faults;
    qint64 m_damageCount = 0;
    qint64 m_answers = 0;
};

// Runs the event loop until done() holds or the time is up, looking every few milliseconds;
// unlike QTest::qWait it never sleeps with events pending, so a transfer runs at full speed.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// A program playing the board on the slave side of a pseudo-terminal: its standard input and
// output are the device, its standard error is kept.
class BoardProgram
{
public:
    BoardProgram(const QString &device, const QString &program, const QStringList &arguments,
                 const QString &workingDirectory);
    ~BoardProgram();
    [[nodiscard]] bool started() const;
    // Waits for its end; its exit code, -1 when it did not end or crashed.
    [[nodiscard]] int wait(int timeoutMs = 120000);
    [[nodiscard]] QString errors() const;
    [[nodiscard]] bool running() const { return m_process->state() != QProcess::NotRunning; }

private:
    std::unique_ptr<QProcess> m_process;
};
