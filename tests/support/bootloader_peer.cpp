#include "support/bootloader_peer.h"

#include <QMutexLocker>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

// STK500 version 1: a command byte, its arguments and Sync_CRC_EOP (0x20); the reply is
// STK_INSYNC (0x14), its data and STK_OK (0x10).
constexpr char InSync = 0x14;
constexpr char Ok = 0x10;
constexpr char Eop = 0x20;

// The STM32 bootloader: 0x7F to start, then a command and its complement; ACK is 0x79.
constexpr char Ack = 0x79;

QByteArray stk(const QByteArray &data = {})
{
    return InSync + data + Ok;
}

} // namespace

BootloaderPeer::BootloaderPeer(int master) : m_master(master), m_thread([this] { run(); }) {}

BootloaderPeer::~BootloaderPeer()
{
    stop();
}

void BootloaderPeer::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

QByteArray BootloaderPeer::replies() const
{
    const QMutexLocker locker(&m_lock);
    return m_replies;
}

QList<speed_t> BootloaderPeer::speeds() const
{
    const QMutexLocker locker(&m_lock);
    return m_speeds;
}

int BootloaderPeer::answered() const
{
    const QMutexLocker locker(&m_lock);
    return int(m_speeds.size());
}

std::pair<QByteArray, qsizetype> BootloaderPeer::answer(const QByteArray &pending) const
{
    const auto length = [&pending](qsizetype n) { return pending.size() >= n ? n : 0; };
    const auto byte = [&pending](qsizetype i) { return static_cast<uchar>(pending.at(i)); };
    switch (byte(0)) {
    case 0x7F:
        return {QByteArray(1, Ack), 1};
    case 0x30: // get sync
    case 0x50: // enter programming mode
    case 0x51: // leave programming mode
        return {stk(), length(2)};
    case 0x41: { // get parameter: hardware 2, firmware 4.4
        const qsizetype n = length(3);
        const char value = n && byte(1) == 0x80 ? 2 : n && byte(1) <= 0x82 ? 4 : 3;
        return {stk(QByteArray(1, value)), n};
    }
    case 0x42: // set device: 20 parameters
        return {stk(), length(22)};
    case 0x45: // set extended device parameters: a size byte counts itself and what follows
        return {stk(), pending.size() >= 2 ? length(2 + byte(1)) : 0};
    case 0x75: // read the signature: an ATmega328P
        return {stk(QByteArray("\x1E\x95\x0F", 3)), length(2)};
    case 0x56: // a universal (SPI) command: fuses and lock bits read as 0
        return {stk(QByteArray(1, 0)), length(6)};
    case 0x00: // Get: bootloader 2.2 and its commands
        return {QByteArray("\x79\x0B\x22\x00\x01\x02\x11\x21\x31\x43\x63\x73\x82\x92\x79", 15),
                length(2)};
    case 0x01: // Get Version and read protection
        return {QByteArray("\x79\x22\x00\x00\x79", 5), length(2)};
    case 0x02: // Get ID: STM32F10x medium density
        return {QByteArray("\x79\x01\x04\x10\x79", 5), length(2)};
    default:
        break;
    }
    const qsizetype line = pending.indexOf('\n');
    if (line >= 0)
        return {pending.left(line) == "hello" ? QByteArray("hi\n") : QByteArray("?\n"), line + 1};
    return {{}, 0};
}

void BootloaderPeer::run()
{
    QByteArray pending;
    while (!m_stop) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            char buffer[512];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0)
                pending.append(buffer, n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
        }
        while (m_gate && !pending.isEmpty()) {
            const auto [reply, taken] = answer(pending);
            if (taken == 0)
                break;
            pending.remove(0, taken);
            termios line{};
            const speed_t speed = ::tcgetattr(m_master, &line) == 0 ? ::cfgetospeed(&line) : B0;
            qsizetype written = 0;
            while (written < reply.size() && !m_stop) {
                const ssize_t n =
                    ::write(m_master, reply.constData() + written, size_t(reply.size() - written));
                if (n > 0)
                    written += n;
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return;
            }
            const QMutexLocker locker(&m_lock);
            m_replies += reply;
            m_speeds << speed;
        }
    }
}
