#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>

#include <atomic>
#include <termios.h>
#include <thread>

// The board's bootloader on the master side of a pseudo-terminal, answering a flasher from a
// thread of its own: the STK500 of an Arduino (avrdude -c arduino), the USART bootloader of an
// STM32 (stm32flash), and "hello\n" with "hi\n" for a plain opener. Replies wait until the gate
// opens, so a test decides that the program has stepped aside first; requests that came meanwhile
// are answered then.
class BootloaderPeer
{
public:
    // master: the pseudo-terminal's master side, non-blocking; it stays the caller's.
    explicit BootloaderPeer(int master);
    ~BootloaderPeer();
    BootloaderPeer(const BootloaderPeer &) = delete;
    BootloaderPeer &operator=(const BootloaderPeer &) = delete;

    void openGate() { m_gate = true; }
    // Stops answering; everything recorded stays.
    void stop();

    // Every reply sent, in order.
    [[nodiscard]] QByteArray replies() const;
    // The line's output speed as each request was answered.
    [[nodiscard]] QList<speed_t> speeds() const;
    [[nodiscard]] int answered() const;

private:
    void run();
    // The reply to the request at the start of pending, and how many bytes the request took: 0
    // while it is not whole yet.
    [[nodiscard]] std::pair<QByteArray, qsizetype> answer(const QByteArray &pending) const;

    int m_master;
    std::atomic<bool> m_gate{false};
    std::atomic<bool> m_stop{false};
    mutable QMutex m_lock;
    QByteArray m_replies;
    QList<speed_t> m_speeds;
    std::thread m_thread;
};
