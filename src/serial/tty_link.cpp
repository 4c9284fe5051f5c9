#include "serial/tty_link.h"

#include "serial/mscomm.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace {

bool isLossError(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
           error == QSerialPort::ResourceError;
}

} // namespace

TtyLink::TtyLink(const QString &device, QObject *parent)
    : Link(parent), m_port(new QSerialPort(this)), m_device(device)
{
    // MSComm's 4096-byte input buffer overruns and drops bytes while the window is busy;
    // QSerialPort's unbounded buffer keeps them all, and Input still hands out 4096 at most.
    // Unbounded also keeps the read notifier always on, which is what notices a hang-up.
    m_port->setReadBufferSize(0);
    connect(m_port, &QSerialPort::readyRead, this, &Link::readyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &TtyLink::onError);
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

// Qt 6.4 does not report a pulled USB adapter as a ResourceError: the hung-up tty makes every
// read fail, QSerialPort raises ReadError in a tight loop and stays open. Any failing read or
// write therefore means the device is gone.
void TtyLink::onError(QSerialPort::SerialPortError error)
{
    if (isLossError(error) && m_port->isOpen())
        emit failed();
}
