#pragma once

#include "transfer/disk_files.h"
#include "transfer/engine.h"
#include "transfer/transfer_options.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class QTemporaryDir;

namespace transfer {

class LrzszProcess;

// One transfer over a port it does not own: bytes go out through the write function it is
// given, what the board sends comes in through receive(), and it reports progress, log lines,
// questions about taken file names and its end. It drives a protocol engine with a steady clock
// and a timer, or lrzsz as a process for ZMODEM.
class TransferSession : public QObject
{
    Q_OBJECT
public:
    // Queues bytes on the port; false when the port is gone.
    using Writer = std::function<bool(const QByteArray &bytes)>;
    // Bytes queued on the port and not yet gone out.
    using Backlog = std::function<qint64()>;
    // Where a program lies on the PATH, empty when absent (lrzsz's sz and rz).
    using ProgramFinder = std::function<QString(const QString &name)>;

    // Output is held back while more than this waits in the port's queue.
    static constexpr qint64 BacklogLimit = 8192;

    explicit TransferSession(Writer write, QObject *parent = nullptr);
    ~TransferSession() override;

    void setBacklog(Backlog backlog) { m_backlog = std::move(backlog); }
    // The line's rate in bits per second, when known: a repeated block's answers are awaited
    // as long as two blocks take on it.
    void setLineRate(int baud);
    void setTiming(const Timing &timing) { m_timing = timing; }
    void setProgramFinder(ProgramFinder finder) { m_findProgram = std::move(finder); }

    // Starts a transfer; false when it could not start (finished() has told why).
    bool start(const Request &request);
    [[nodiscard]] bool running() const { return m_running; }
    // While running: whether what the board sends belongs to the transfer, not to the screen
    // (paced text only watches it for the prompt).
    [[nodiscard]] bool ownsReceivedBytes() const;

    [[nodiscard]] static QString lrzszMissingText(const QString &program);

public slots:
    void receive(const QByteArray &bytes);
    // The user stops: the board is told where the protocol can tell it.
    void cancel();
    // The port went away: nothing more can be sent.
    void portLost();
    void answerExisting(int id, transfer::ExistingFile what);

signals:
    void progressed(const transfer::Progress &progress);
    void logged(const QString &line);
    // A received file's name is taken in the folder: answerExisting(id, ...) says what to do.
    void existingFile(int id, const QString &name);
    void finished(bool ok, const QString &message);

private:
    [[nodiscard]] qint64 now() const { return m_clock.elapsed(); }
    [[nodiscard]] bool startEngine(const Request &request);
    [[nodiscard]] bool startLrzsz(const Request &request);
    [[nodiscard]] bool write(const QByteArray &bytes);
    // Writes what the engine's step at stepTime produced and waits for its next deadline.
    void pump(qint64 stepTime);
    void onTimer();
    void engineDone();
    void stopWith(const QString &message, bool tellBoard);
    void end(bool ok, const QString &message);
    void finishWhenSettled();
    void lrzszOutput(const QByteArray &bytes);
    void lrzszFileStarted(const QString &name);
    void lrzszProgress(qint64 done, qint64 total);
    void lrzszFinished(bool ok, const QString &lastLine);
    void adoptReceived(bool all);
    void watchBacklog();

    Writer m_write;
    Backlog m_backlog;
    ProgramFinder m_findProgram;
    Timing m_timing;
    QElapsedTimer m_clock;
    QTimer m_timer;
    QTimer m_backlogTimer;
    bool m_running = false;
    bool m_portGone = false;
    std::unique_ptr<FileSource> m_source;
    std::unique_ptr<DiskSink> m_sink;
    std::unique_ptr<Engine> m_engine;
    // ZMODEM through lrzsz.
    QPointer<LrzszProcess> m_lrzsz;
    std::unique_ptr<QTemporaryDir> m_lrzszFolder;
    QStringList m_lrzszFiles; // begun, in order
    Progress m_progress;
    bool m_ok = false;
    QString m_message;
    bool m_settling = false;
};

} // namespace transfer

Q_DECLARE_METATYPE(transfer::Progress)
