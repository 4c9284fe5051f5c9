#include "support/pty_line.h"

#include "transfer/block_frame.h"

#include <QEventLoop>
#include <QProcessEnvironment>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

PtyPort::PtyPort(int fd, QObject *parent)
    : QObject(parent), m_fd(fd), m_read(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      m_write(new QSocketNotifier(fd, QSocketNotifier::Write, this))
{
    m_clock.start();
    m_write->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, &PtyPort::readable);
    connect(m_write, &QSocketNotifier::activated, this, &PtyPort::flush);
}

bool PtyPort::write(const QByteArray &bytes)
{
    if (m_gone)
        return false;
    m_queue += bytes;
    flush();
    return !m_gone;
}

void PtyPort::flush()
{
    while (!m_queue.isEmpty()) {
        const ssize_t n = ::write(m_fd, m_queue.constData(), size_t(m_queue.size()));
        if (n > 0) {
            written.append({m_clock.nsecsElapsed(), m_queue.left(n)});
            m_queue.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            m_gone = true;
        break;
    }
    m_write->setEnabled(!m_gone && !m_queue.isEmpty());
}

void PtyPort::readable()
{
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n > 0) {
        const QByteArray bytes(buffer, n);
        received += bytes;
        emit bytesReceived(bytes);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The other side is closed for now; the line itself stays.
        m_read->setEnabled(false);
        QTimer::singleShot(20, this, [this] { m_read->setEnabled(true); });
    }
}

FaultyRelay::FaultyRelay(int programSide, int boardSide, LineFaults faults, QObject *parent)
    : QObject(parent), m_faults(faults)
{
    m_program.fd = programSide;
    m_board.fd = boardSide;
    for (Side *side : {&m_program, &m_board}) {
        auto *read = new QSocketNotifier(side->fd, QSocketNotifier::Read, this);
        side->writable = new QSocketNotifier(side->fd, QSocketNotifier::Write, this);
        side->writable->setEnabled(false);
        connect(side->writable, &QSocketNotifier::activated, this, [this, side] { flush(*side); });
        connect(read, &QSocketNotifier::activated, this,
                side == &m_program ? &FaultyRelay::fromProgram : &FaultyRelay::fromBoard);
    }
}

QByteArray FaultyRelay::damage(const char *bytes, qsizetype n)
{
    QByteArray out;
    for (qsizetype i = 0; i < n; ++i) {
        ++m_damageCount;
        if (m_faults.dropEvery && m_damageCount % m_faults.dropEvery == 0) {
            ++dropped;
            continue;
        }
        if (m_faults.flipEvery && m_damageCount % m_faults.flipEvery == 0) {
            ++flipped;
            out += char(bytes[i] ^ 0x5A);
            continue;
        }
        out += bytes[i];
    }
    return out;
}

void FaultyRelay::fromProgram()
{
    char buffer[4096];
    const ssize_t n = ::read(m_program.fd, buffer, sizeof buffer);
    if (n <= 0)
        return;
    queue(m_board, m_faults.damageFromBoard ? QByteArray(buffer, n) : damage(buffer, n));
}

void FaultyRelay::fromBoard()
{
    char buffer[4096];
    const ssize_t n = ::read(m_board.fd, buffer, sizeof buffer);
    if (n <= 0)
        return;
    const QByteArray in = m_faults.damageFromBoard ? damage(buffer, n) : QByteArray(buffer, n);
    QByteArray out;
    for (const char c : in) {
        if (c == transfer::Ack && m_faults.nakBurstEvery &&
            ++m_answers % m_faults.nakBurstEvery == 0) {
            ++bursts;
            out += QByteArray(3, transfer::Nak);
        }
        out += c;
    }
    if (m_faults.delayAnswerMs > 0) {
        // The same delay for every read keeps them in order.
        QTimer::singleShot(m_faults.delayAnswerMs, this, [this, out] { queue(m_program, out); });
        return;
    }
    queue(m_program, out);
}

void FaultyRelay::queue(Side &side, const QByteArray &bytes)
{
    side.pending += bytes;
    flush(side);
}

void FaultyRelay::flush(Side &side)
{
    while (!side.pending.isEmpty()) {
        const ssize_t n = ::write(side.fd, side.pending.constData(), size_t(side.pending.size()));
        if (n > 0)
            side.pending.remove(0, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    side.writable->setEnabled(!side.pending.isEmpty());
}

BoardProgram::BoardProgram(const QString &device, const QString &program,
                           const QStringList &arguments, const QString &workingDirectory)
    : m_process(std::make_unique<QProcess>())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZELQO_LINE"), device);
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(ZELQO_UART_DRAIN));
    m_process->setProcessEnvironment(environment);
    m_process->setWorkingDirectory(workingDirectory);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->start(QStringLiteral("/bin/sh"),
                     QStringList{QStringLiteral("-c"),
                                 QStringLiteral("exec \"$@\" <\"$ZELQO_LINE\" >\"$ZELQO_LINE\""),
                                 QStringLiteral("sh"), program} +
                         arguments);
    m_process->waitForStarted();
}

BoardProgram::~BoardProgram()
{
    if (running()) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool BoardProgram::started() const
{
    return m_process->state() != QProcess::NotRunning || m_process->exitCode() == 0;
}

int BoardProgram::wait(int timeoutMs)
{
    (void)waitUntil([this] { return !running(); }, timeoutMs);
    if (running() || m_process->exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process->exitCode();
}

QString BoardProgram::errors() const
{
    return QString::fromLocal8Bit(m_process->readAllStandardError());
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    look.start(5);
    loop.exec();
    return done();
}
