#include "port/tty_link.h"

#include "port/mscomm.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool isLossError(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
           error == QSerialPort::ResourceError;
}

bool sameLine(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

} // namespace

TtyLink::TtyLink(const QString &device, QObject *parent)
    : Link(parent), m_port(new QSerialPort(this)), m_device(device), m_gatherTimer(new QTimer(this))
{
    // MSComm's 4096-byte input buffer overruns and drops bytes while the window is busy;
    // QSerialPort's unbounded buffer keeps them all, and Input still hands out 4096 at most.
    // Unbounded also keeps the read notifier always on, which is what notices a hang-up.
    m_port->setReadBufferSize(0);
    connect(m_port, &QSerialPort::readyRead, this, &TtyLink::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &TtyLink::onError);
    connect(m_gatherTimer, &QTimer::timeout, this, &TtyLink::gatherTick);
}

TtyLink::~TtyLink()
{
    m_port->disconnect(this);
    m_port->close();
    releaseKept();
}

int TtyLink::open()
{
    // QSerialPort makes, syncs and removes a lock file before it finds a device missing; the
    // start-up scan asks for 48 numbers, most of them without a device.
    struct stat info;
    if (::stat(QFile::encodeName(m_device).constData(), &info) != 0 && errno == ENOENT)
        return MSComm::PortInvalid;
    m_port->setPortName(m_device);
    if (!m_port->open(QIODevice::ReadWrite)) {
        // QSerialPort reports a lock file held by another program, a busy tty and a refused
        // permission all as PermissionError.
        const bool unavailable = m_port->error() == QSerialPort::PermissionError;
        m_port->clearError();
        return unavailable ? MSComm::DeviceUnavailable : MSComm::PortInvalid;
    }
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    m_port->clearError();
    if (m_shared)
        setExclusive(handle());
    return MSComm::NoError;
}

void TtyLink::close()
{
    setGathering(false);
    m_gathered.clear();
    m_gatheredRead = 0;
    // While paused, QSerialPort's restore of the termios it found at open (Qt 6.4 has no switch
    // to stop it) and its release of the exclusive hold reach the pipe, not the device; the
    // device's last descriptor is then closed without touching the line.
    m_port->close();
    releaseKept();
    m_port->clearError();
}

RefusedSetting TtyLink::apply(const LineSettings &settings)
{
    // termios knows one or two stop bits; Qt 6.4 quietly turns 1.5 into 1 on Unix.
    bool oneAndHalfRefused = false;
#ifndef Q_OS_WIN
    oneAndHalfRefused = settings.stopBits == QSerialPort::OneAndHalfStop;
#endif
    RefusedSetting refused = RefusedSetting::None;
    if (oneAndHalfRefused)
        refused = RefusedSetting::StopBits;
    else if (!m_port->setBaudRate(settings.baud))
        refused = RefusedSetting::Baud;
    else if (!m_port->setParity(settings.parity))
        refused = RefusedSetting::Parity;
    else if (!m_port->setDataBits(QSerialPort::DataBits(settings.dataBits)))
        refused = RefusedSetting::DataBits;
    else if (!m_port->setStopBits(settings.stopBits))
        refused = RefusedSetting::StopBits;
    if (refused != RefusedSetting::None)
        m_port->clearError();
    return refused;
}

// A port whose reads or writes already fail has lost its device, even though the close that
// follows the failure has not run yet.
bool TtyLink::write(const QByteArray &bytes)
{
    return !isLossError(m_port->error()) && m_port->write(bytes) == bytes.size();
}

int TtyLink::handle() const
{
    return m_port->isOpen() && m_kept < 0 ? int(m_port->handle()) : -1;
}

void TtyLink::setShared(bool shared)
{
    m_shared = shared;
    setExclusive(handle());
}

// TIOCEXCL makes every other open fail with EBUSY, except root's.
void TtyLink::setExclusive(int fd) const
{
    if (fd >= 0)
        (void)::ioctl(fd, m_shared ? TIOCNXCL : TIOCEXCL);
}

// QSerialPort's descriptor is turned into an empty pipe under it: its read notifier never fires,
// so nothing more is taken from the device, and what it already holds stays readable. The
// device's descriptor is kept to come back to.
bool TtyLink::pauseReading()
{
    if (m_kept >= 0)
        return true;
    // A tick would find the device gone.
    setGathering(false);
    const int fd = handle();
    int hole[2];
    if (fd < 0 || ::pipe2(hole, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (kept < 0 || ::dup3(hole[0], fd, O_CLOEXEC) < 0) {
        if (kept >= 0)
            ::close(kept);
        ::close(hole[0]);
        ::close(hole[1]);
        return false;
    }
    ::close(hole[0]);
    m_kept = kept;
    m_holeWriter = hole[1];
    // The line is left alone now: the other program may be setting it.
    m_hasOwnLine = ::tcgetattr(kept, &m_ownLine) == 0;
    return true;
}

void TtyLink::resumeReading()
{
    if (m_kept < 0)
        return;
    const int fd = int(m_port->handle());
    const bool back = ::dup3(m_kept, fd, O_CLOEXEC) >= 0;
    ::close(m_holeWriter);
    ::close(m_kept);
    m_kept = m_holeWriter = -1;
    if (!back) {
        emit failed();
        return;
    }
    // What the other program changed (stty, a terminal probing the port) is put back; an
    // unchanged line is not written again, as reconfiguring a UART can glitch it.
    termios line{};
    if (m_hasOwnLine && (::tcgetattr(fd, &line) != 0 || !sameLine(line, m_ownLine)))
        (void)::tcsetattr(fd, TCSANOW, &m_ownLine);
    setExclusive(fd);
}

void TtyLink::releaseKept()
{
    if (m_kept < 0)
        return;
    // An exclusive hold was the link's own: the program the device is left to must get in.
    if (!m_shared)
        (void)::ioctl(m_kept, TIOCNXCL);
    ::close(m_holeWriter);
    ::close(m_kept);
    m_kept = m_holeWriter = -1;
}

qint64 TtyLink::bytesAvailable() const
{
    return m_port->bytesAvailable() + (m_gathered.size() - m_gatheredRead);
}

// QSerialPort is asked only for what it holds: a read that wants more makes it watch the device
// again.
QByteArray TtyLink::read(qint64 maxBytes)
{
    QByteArray bytes = m_gathered.mid(m_gatheredRead, maxBytes);
    m_gatheredRead += bytes.size();
    if (m_gatheredRead >= m_gathered.size()) {
        m_gathered.clear();
        m_gatheredRead = 0;
    }
    const qint64 held = std::min(maxBytes - bytes.size(), m_port->bytesAvailable());
    if (held > 0)
        bytes += m_port->read(held);
    m_portHeld = m_port->bytesAvailable();
    return bytes;
}

qint64 TtyLink::newlyRead()
{
    const qint64 held = m_port->bytesAvailable();
    const qint64 arrived = std::max<qint64>(0, held - m_portHeld);
    m_portHeld = held;
    return arrived;
}

void TtyLink::countArrived(qint64 bytes)
{
    if (!m_window.isValid()) {
        m_window.start();
        m_windowArrived = 0;
    }
    m_windowArrived += bytes;
    const qint64 elapsed = m_window.elapsed();
    if (elapsed >= RateWindowMs) {
        m_rate = m_windowArrived * 1000 / elapsed;
        m_windowArrived = 0;
        m_window.restart();
    }
}

void TtyLink::onReadyRead()
{
    countArrived(newlyRead());
    // While gathering, QSerialPort reads only if it turned its watch on again by itself; what it
    // read goes out with the next tick.
    if (m_gathering)
        return;
    // Half the rate that ends a gathering starts one, so that a stream near it does not switch
    // back and forth.
    const bool stream = m_gatheringAllowed && m_lastRead.isValid() &&
                        m_lastRead.elapsed() < StreamGapMs &&
                        rateIn(FastGatherMs) < FullTickBytes / 2;
    m_lastRead.start();
    if (stream)
        setGathering(true);
    emit readyRead();
}

qint64 TtyLink::takeWaiting(int waiting)
{
    QByteArray bytes(waiting, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < waiting) {
        const ssize_t n = ::read(handle(), bytes.data() + got, size_t(waiting - got));
        if (n > 0) {
            got += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        return -1;
    }
    bytes.truncate(got);
    // What QSerialPort read came first. Reading it all makes QSerialPort watch the device again.
    if (m_port->bytesAvailable() > 0) {
        m_gathered += m_port->readAll();
        m_portHeld = 0;
        (void)watchPort(false);
    }
    m_gathered += bytes;
    return got;
}

// What waits is read at once by QSerialPort's watch, turned on again.
void TtyLink::setStreamGathering(bool allowed)
{
    m_gatheringAllowed = allowed;
    if (!allowed)
        setGathering(false);
}

int TtyLink::gatherMs() const
{
    return m_gatherTimer->interval();
}

void TtyLink::gatherTick()
{
    const int fd = handle();
    int waiting = 0;
    // A hung-up tty fails the question.
    if (fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0) {
        setGathering(false);
        emit failed();
        return;
    }
    if (waiting > FullTickBytes) {
        // Too fast to leave for a tick: QSerialPort's watch takes what waits at once.
        setGathering(false);
        return;
    }
    const bool held = m_port->bytesAvailable() > 0;
    if (waiting <= 0 && !held) {
        // Two quiet ticks end the stream: the next byte wakes the program at once again.
        if (++m_quietTicks >= 2)
            setGathering(false);
        return;
    }
    m_quietTicks = 0;
    const qint64 taken = takeWaiting(std::max(waiting, 0));
    if (taken < 0) {
        setGathering(false);
        emit failed();
        return;
    }
    countArrived(taken);
    // Between the two rates, so that a stream near one does not switch back and forth.
    if (rateIn(GatherMs) > TickBytes)
        m_gatherTimer->setInterval(FastGatherMs);
    else if (rateIn(GatherMs) < TickBytes / 2)
        m_gatherTimer->setInterval(GatherMs);
    emit readyRead();
}

// A stream's rate is known only after a window: it is gathered at the fast tick until then.
void TtyLink::setGathering(bool on)
{
    if (on == m_gathering || (on && !watchPort(false)))
        return;
    m_gathering = on;
    m_quietTicks = 0;
    if (on) {
        m_gatherTimer->start(FastGatherMs);
        return;
    }
    m_gatherTimer->stop();
    (void)watchPort(true);
}

// Its read notifier is its child.
bool TtyLink::watchPort(bool on)
{
    const auto notifiers = m_port->findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *notifier : notifiers) {
        if (notifier->type() == QSocketNotifier::Read) {
            notifier->setEnabled(on);
            return true;
        }
    }
    return false;
}

// Qt 6.4 does not report a pulled USB adapter as a ResourceError: the hung-up tty makes every
// read fail, QSerialPort raises ReadError in a tight loop and stays open. Any failing read or
// write therefore means the device is gone.
void TtyLink::onError(QSerialPort::SerialPortError error)
{
    if (isLossError(error) && m_port->isOpen())
        emit failed();
}
