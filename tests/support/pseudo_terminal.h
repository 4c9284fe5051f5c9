#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <termios.h>

// A pseudo-terminal that plays the board on the far end of a serial port: the program opens
// slavePath() as its port, the test talks through the master side.
//
// The helper keeps a descriptor of the slave side open for its whole life, as the hardware of a
// real adapter stays present while the program has its port closed. Without it every close by
// the program would hang up the line and the master would read EIO until the next open.
// closeMaster() is then the one way the line goes away. Bytes written while the program has the
// port closed are gone by the time it opens, as with a real UART.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    [[nodiscard]] bool isValid() const;
    [[nodiscard]] QString slavePath() const;

    // Writes all of bytes to the master side. While the line is full the Qt event loop runs, so
    // that a reader in this thread can drain it; false on an error or when nothing moves for
    // 30 seconds.
    bool write(const QByteArray &bytes);
    // What waits at the master now, without blocking.
    [[nodiscard]] QByteArray readAvailable();
    // Waits for n bytes, running the Qt event loop meanwhile; returns what came by the timeout,
    // never more than n.
    [[nodiscard]] QByteArray readExactly(qsizetype n, int timeoutMs = 5000);

    // Bytes the board wrote that wait at the program's side, not yet read by anyone: the tty's
    // backlog (-1 once the line is gone).
    [[nodiscard]] int backlog() const;
    // Waits, without running the event loop, until the backlog holds at least n bytes; false
    // after timeoutMs.
    bool waitForBacklog(int n, int timeoutMs = 5000) const;

    // The line's termios as the slave side sees it (on Linux the master's termios calls act on
    // the slave), so a test can tell which settings the program handed to the device.
    [[nodiscard]] std::optional<termios> lineTermios() const;
    bool setLineTermios(const termios &settings);

    // The master side, for a board that writes from a thread of its own (the benchmarks); it is
    // non-blocking.
    [[nodiscard]] int masterFd() const { return m_master; }

    // Hang-up: the device vanishes, as when a USB adapter is pulled.
    void closeMaster();
    // Hangs up every descriptor of the line (TIOCVHANGUP) while the device stays, as a USB
    // adapter whose firmware resets does; false without the right to (it needs CAP_SYS_ADMIN).
    bool hangUp() const;

private:
    [[nodiscard]] QByteArray readUpTo(qsizetype limit);

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
