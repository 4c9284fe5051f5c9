#pragma once

#include "transfer/zmodem.h"

#include <QObject>
#include <QProcess>
#include <QStringList>

class QSocketNotifier;

namespace transfer {

// One run of lrzsz's sz or rz. What it sends for the board comes out of output(); what the board
// sends goes in with write(); its reports on standard error become signals, never data. Its
// standard output is a pipe of our own rather than QProcess's, so that pause() leaves the bytes
// in the pipe and lrzsz waits, instead of the whole file piling up in memory ahead of a slow
// port.
class LrzszProcess : public QObject
{
    Q_OBJECT
public:
    explicit LrzszProcess(QObject *parent = nullptr);
    ~LrzszProcess() override;

    // False with errorString() when it could not start.
    [[nodiscard]] bool start(const QString &program, const QStringList &arguments,
                             const QString &workingDirectory);
    [[nodiscard]] QString errorString() const { return m_error; }
    void write(const QByteArray &bytes);
    // Stops or resumes taking its output.
    void pause(bool paused);
    // Ends it at once; nothing more comes out.
    void kill();
    [[nodiscard]] bool running() const { return m_process.state() != QProcess::NotRunning; }

signals:
    void output(const QByteArray &bytes);
    void progress(qint64 done, qint64 total);
    void fileStarted(const QString &name);
    void message(const QString &line);
    // After its last output. ok: it said the transfer completed.
    void finished(bool ok, const QString &lastLine);

private:
    void readOutput();
    void readErrors();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void closePipe();

    QProcess m_process;
    LrzszReport m_report;
    int m_readFd = -1;
    int m_writeFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    bool m_paused = false;
    bool m_killed = false;
    QString m_error;
};

} // namespace transfer
