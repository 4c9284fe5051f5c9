#include "serial/tty_link.h"

#include "serial/mscomm.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isLossError(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
           error == QSerialPort::ResourceError;
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
    m_gatherTimer->setInterval(GatherMs);
    connect(m_gatherTimer, &QTimer::timeout, this, &TtyLink::gatherTick);
}

TtyLink::~TtyLink()
{
    m_port->disconnect(this);
    m_port->close();
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
    return MSComm::NoError;
}

void TtyLink::close()
{
    setGathering(false);
    m_gathered.clear();
    m_gatheredRead = 0;
    m_port->close();
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
    return m_port->isOpen() ? int(m_port->handle()) : -1;
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
    m_windowBytes += bytes.size();
    return bytes;
}

void TtyLink::measureRate()
{
    if (!m_window.isValid()) {
        m_window.start();
        return;
    }
    const qint64 elapsed = m_window.elapsed();
    if (elapsed < RateWindowMs)
        return;
    m_bytesPerTick = m_windowBytes * GatherMs / elapsed;
    m_windowBytes = 0;
    m_window.restart();
}

void TtyLink::onReadyRead()
{
    measureRate();
    const bool stream = m_lastRead.isValid() && m_lastRead.elapsed() < StreamGapMs &&
                        m_bytesPerTick < FastTickBytes;
    m_lastRead.start();
    if (stream)
        setGathering(true);
    emit readyRead();
}

void TtyLink::gatherTick()
{
    const int fd = handle();
    int waiting = 0;
    // A hung-up tty fails the question: the device is gone.
    if (fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0) {
        setGathering(false);
        emit failed();
        return;
    }
    if (waiting <= 0) {
        // Two quiet ticks end the stream: the next byte wakes the program at once again.
        if (++m_quietTicks >= 2)
            setGathering(false);
        return;
    }
    m_quietTicks = 0;
    QByteArray bytes(waiting, Qt::Uninitialized);
    ssize_t n;
    do {
        n = ::read(fd, bytes.data(), size_t(waiting));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        setGathering(false);
        if (n == 0 || errno != EAGAIN)
            emit failed();
        return;
    }
    bytes.truncate(n);
    m_gathered += bytes;
    measureRate();
    if (n >= FastTickBytes || m_bytesPerTick >= FastTickBytes)
        setGathering(false);
    emit readyRead();
}

void TtyLink::setGathering(bool on)
{
    if (on == m_gathering)
        return;
    if (on && !m_portNotifier) {
        for (QSocketNotifier *notifier : m_port->findChildren<QSocketNotifier *>()) {
            if (notifier->type() == QSocketNotifier::Read)
                m_portNotifier = notifier;
        }
        if (!m_portNotifier)
            return;
    }
    m_gathering = on;
    m_quietTicks = 0;
    // QSerialPort watches the device again whenever a read empties its buffer: what it holds
    // moves over first, and it is not read from while the stream lasts.
    if (on)
        m_gathered += m_port->readAll();
    if (m_portNotifier)
        m_portNotifier->setEnabled(!on);
    if (on)
        m_gatherTimer->start();
    else
        m_gatherTimer->stop();
}

// Qt 6.4 does not report a pulled USB adapter as a ResourceError: the hung-up tty makes every
// read fail, QSerialPort raises ReadError in a tight loop and stays open. Any failing read or
// write therefore means the device is gone.
void TtyLink::onError(QSerialPort::SerialPortError error)
{
    if (isLossError(error) && m_port->isOpen())
        emit failed();
}
