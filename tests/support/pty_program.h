#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <sys/types.h>

class QSocketNotifier;

// A program on the far side of a pseudo-terminal, as a board's shell or REPL on its console:
// a session leader with the pseudo-terminal as its controlling terminal, so that Ctrl+C reaches
// it as an interrupt and its line editing is in charge. What it prints comes out of output();
// everything it printed is kept for comparing with another emulator.
class PtyProgram : public QObject
{
    Q_OBJECT
public:
    // Starts program with arguments and extra environment ("NAME=value") on a terminal of the
    // given size; TERM is xterm and HOME an empty folder of the caller's.
    PtyProgram(const QStringList &command, const QStringList &environment, int rows, int columns,
               QObject *parent = nullptr);
    ~PtyProgram() override;

    [[nodiscard]] bool isRunning() const { return m_pid > 0; }
    [[nodiscard]] pid_t pid() const { return m_pid; }
    // Whether the terminal is in canonical (line) mode: line editors turn it off while they
    // read a line and back on while the command runs.
    [[nodiscard]] bool lineIsCanonical() const;
    void write(const QByteArray &bytes);
    [[nodiscard]] const QByteArray &printed() const { return m_printed; }

signals:
    void output(const QByteArray &bytes);

private:
    void readMaster();

    int m_master = -1;
    pid_t m_pid = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_printed;
};
