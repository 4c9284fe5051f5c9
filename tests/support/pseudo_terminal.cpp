#include "support/pseudo_terminal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int stallLimitMs = 30000;

// Runs pending events, then waits up to a few milliseconds for the master to become ready.
void serviceEventsAndWait(int fd, short events)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    pollfd p{fd, events, 0};
    (void)::poll(&p, 1, 5);
}

} // namespace

PseudoTerminal::PseudoTerminal()
{
    char name[PATH_MAX] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    // Raw on both ends: no echo back to the board, no line editing, no CR/LF translation.
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
}

int PseudoTerminal::backlog() const
{
    int waiting = 0;
    return m_slave >= 0 && ::ioctl(m_slave, FIONREAD, &waiting) == 0 ? waiting : -1;
}

bool PseudoTerminal::waitForBacklog(int n, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (backlog() < n) {
        if (backlog() < 0 || deadline.hasExpired())
            return false;
        ::usleep(200);
    }
    return true;
}

bool PseudoTerminal::hangUp() const
{
    const int fd = ::open(m_slavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool done = ::ioctl(fd, TIOCVHANGUP, 0) == 0;
    ::close(fd);
    return done;
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool PseudoTerminal::isValid() const
{
    return m_master >= 0 && !m_slavePath.isEmpty();
}

QString PseudoTerminal::slavePath() const
{
    return m_slavePath;
}

bool PseudoTerminal::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    qsizetype done = 0;
    QDeadlineTimer stall(stallLimitMs);
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            stall.setRemainingTime(stallLimitMs);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        if (stall.hasExpired())
            return false;
        serviceEventsAndWait(m_master, POLLOUT);
    }
    return true;
}

QByteArray PseudoTerminal::readAvailable()
{
    return readUpTo(std::numeric_limits<qsizetype>::max());
}

QByteArray PseudoTerminal::readUpTo(qsizetype limit)
{
    QByteArray result;
    char buffer[4096];
    while (m_master >= 0 && result.size() < limit) {
        const auto want =
            size_t(std::min<qsizetype>(qsizetype(sizeof buffer), limit - result.size()));
        const ssize_t n = ::read(m_master, buffer, want);
        if (n > 0)
            result.append(buffer, n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return result;
}

QByteArray PseudoTerminal::readExactly(qsizetype n, int timeoutMs)
{
    QByteArray result;
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        result += readUpTo(n - result.size());
        if (result.size() >= n || deadline.hasExpired() || m_master < 0)
            return result;
        serviceEventsAndWait(m_master, POLLIN);
    }
}

std::optional<termios> PseudoTerminal::lineTermios() const
{
    termios settings{};
    if (m_master < 0 || ::tcgetattr(m_master, &settings) != 0)
        return std::nullopt;
    return settings;
}

bool PseudoTerminal::setLineTermios(const termios &settings)
{
    return m_master >= 0 && ::tcsetattr(m_master, TCSANOW, &settings) == 0;
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
