#include "support/pty_program.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

PtyProgram::PtyProgram(const QStringList &command, const QStringList &environment, int rows,
                       int columns, QObject *parent)
    : QObject(parent)
{
    // Everything the child needs is made before the fork: after it only async-signal-safe calls.
    std::vector<QByteArray> args;
    for (const QString &arg : command)
        args.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> env{"TERM=xterm", "LANG=C.UTF-8", "PATH=/usr/bin:/bin"};
    for (const QString &entry : environment)
        env.push_back(entry.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
    if (m_pid == 0) {
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (m_pid < 0)
        return;
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyProgram::readMaster);
}

PtyProgram::~PtyProgram()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyProgram::lineIsCanonical() const
{
    termios settings{};
    return m_master >= 0 && ::tcgetattr(m_master, &settings) == 0 &&
           (settings.c_lflag & ICANON) != 0;
}

void PtyProgram::write(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size() && m_master >= 0;) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

void PtyProgram::readMaster()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            const QByteArray bytes(buffer, qsizetype(n));
            m_printed += bytes;
            emit output(bytes);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // The program ended (EIO once the last slave descriptor closed).
        m_notifier->setEnabled(false);
        return;
    }
}
