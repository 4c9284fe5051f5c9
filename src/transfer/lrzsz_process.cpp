#include "transfer/lrzsz_process.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace transfer {

LrzszProcess::LrzszProcess(QObject *parent) : QObject(parent)
{
    connect(&m_process, &QProcess::readyReadStandardError, this, &LrzszProcess::readErrors);
    connect(&m_process, &QProcess::finished, this, &LrzszProcess::onFinished);
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            m_error = m_process.errorString();
    });
}

LrzszProcess::~LrzszProcess()
{
    kill();
    closePipe();
}

bool LrzszProcess::start(const QString &program, const QStringList &arguments,
                         const QString &workingDirectory)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
    ::fcntl(m_readFd, F_SETFL, ::fcntl(m_readFd, F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LrzszProcess::readOutput);

    m_process.setStandardOutputFile(QProcess::nullDevice());
    const int writeFd = m_writeFd;
    // In the child, between fork and exec: the pipe becomes its standard output (dup2 leaves
    // the copy open across exec).
    m_process.setChildProcessModifier([writeFd] { ::dup2(writeFd, STDOUT_FILENO); });
    m_process.setWorkingDirectory(workingDirectory);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted()) {
        m_error = m_process.errorString();
        closePipe();
        return false;
    }
    // Only the child writes: its end closing is the end of the output.
    ::close(m_writeFd);
    m_writeFd = -1;
    return true;
}

void LrzszProcess::write(const QByteArray &bytes)
{
    if (running())
        m_process.write(bytes);
}

void LrzszProcess::pause(bool paused)
{
    m_paused = paused;
    if (m_notifier)
        m_notifier->setEnabled(!paused);
}

void LrzszProcess::kill()
{
    m_killed = true;
    if (m_notifier)
        m_notifier->setEnabled(false);
    if (running()) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

void LrzszProcess::readOutput()
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(m_readFd, buffer, sizeof buffer);
        if (n > 0) {
            emit output(QByteArray(buffer, n));
            if (m_paused || m_killed)
                return;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && m_notifier)
            m_notifier->setEnabled(false);
        return;
    }
}

void LrzszProcess::readErrors()
{
    const LrzszReport::Update update = m_report.feed(m_process.readAllStandardError());
    for (const QString &name : update.files)
        emit fileStarted(name);
    if (update.bytes)
        emit progress(update.bytes->first, update.bytes->second);
    for (const QString &line : update.lines)
        emit message(line);
}

void LrzszProcess::onFinished(int exitCode, QProcess::ExitStatus status)
{
    readErrors();
    if (m_killed)
        return;
    // Its last bytes (ZFIN, "OO") may still wait in the pipe.
    m_paused = false;
    readOutput();
    closePipe();
    emit finished(status == QProcess::NormalExit && exitCode == 0, m_report.lastLine());
}

void LrzszProcess::closePipe()
{
    delete m_notifier;
    m_notifier = nullptr;
    for (int *fd : {&m_readFd, &m_writeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

} // namespace transfer
