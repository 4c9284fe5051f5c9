#include "serial/mscomm.h"

#include "serial/port_map.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/stat.h>

namespace {

// MSComm's buffer size, kept as the largest block one Input gives out.
constexpr qint64 blockSize = 4096;

// How long waiting blocks are handed out one after another before the event loop gets its turn.
constexpr qint64 burstMs = 8;

bool isLossError(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
           error == QSerialPort::ResourceError;
}

// Length of the trailing bytes that begin a valid UTF-8 sequence but stop short of its end; they
// wait for the rest. A malformed ending is not held back: it decodes to U+FFFD at once.
qsizetype incompleteTail(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto lead = static_cast<uchar>(bytes.at(size - back));
        if ((lead & 0xC0) == 0x80)
            continue;
        const int length = lead >= 0xF0 && lead <= 0xF4   ? 4
                           : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xC2 && lead <= 0xDF ? 2
                                                          : 1;
        if (length <= back)
            return 0;
        if (back >= 2) {
            // The second byte is narrower after these leads: no overlong forms, no surrogates,
            // nothing beyond U+10FFFF.
            const auto second = static_cast<uchar>(bytes.at(size - back + 1));
            const bool ok = lead == 0xE0   ? second >= 0xA0
                            : lead == 0xED ? second <= 0x9F
                            : lead == 0xF0 ? second >= 0x90
                            : lead == 0xF4 ? second <= 0x8F
                                           : true;
            if (!ok)
                return 0;
        }
        return back;
    }
    return 0;
}

// Length of the trailing bytes that begin a GB18030 character (two bytes, or four with digits
// second and fourth) but stop short of its end. Lead and trail bytes share a range, so the
// characters are walked from the start, which is always a character boundary here.
qsizetype incompleteGb18030Tail(const QByteArray &bytes)
{
    const auto at = [&bytes](qsizetype i) { return static_cast<uchar>(bytes.at(i)); };
    const auto isDigit = [](uchar b) { return b >= 0x30 && b <= 0x39; };
    const auto isLead = [](uchar b) { return b >= 0x81 && b <= 0xFE; };
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        if (!isLead(at(i))) {
            ++i;
            continue;
        }
        if (i + 1 >= size)
            return size - i;
        if (!isDigit(at(i + 1))) {
            i += 2;
            continue;
        }
        if (i + 2 >= size)
            return size - i;
        if (!isLead(at(i + 2))) {
            i += 2;
            continue;
        }
        if (i + 3 >= size)
            return size - i;
        i += 4;
    }
    return 0;
}

} // namespace

MSComm::MSComm(QObject *parent)
    : QObject(parent), m_port(new QSerialPort(this)), m_notifyTimer(new QTimer(this)),
      m_resolver(&portmap::defaultDevice)
{
    // MSComm's 4096-byte input buffer overruns and drops bytes while the window is busy;
    // QSerialPort's unbounded buffer keeps them all, and Input still hands out 4096 at most.
    // Unbounded also keeps the read notifier always on, which is what notices a hang-up.
    m_port->setReadBufferSize(0);
    // The next block is announced through the event loop, so that clicks and painting get served
    // between blocks.
    m_notifyTimer->setSingleShot(true);
    m_notifyTimer->setInterval(0);
    connect(m_notifyTimer, &QTimer::timeout, this, &MSComm::deliver);
    connect(m_port, &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &MSComm::onPortError);
}

MSComm::~MSComm()
{
    m_port->disconnect(this);
    m_port->close();
}

void MSComm::setPortResolver(PortResolver resolver)
{
    m_resolver = resolver ? std::move(resolver) : PortResolver(&portmap::defaultDevice);
}

int MSComm::CommPort() const
{
    return m_commPort;
}

int MSComm::setCommPort(int n)
{
    if (n < 1)
        return PortInvalid;
    if (m_port->isOpen())
        return PortAlreadyOpen;
    m_commPort = n;
    return NoError;
}

QString MSComm::Settings() const
{
    return m_settingsText;
}

int MSComm::setSettings(const QString &s)
{
    const std::optional<LineSettings> parsed = parseLineSettings(s);
    if (!parsed)
        return InvalidPropertyValue;
    // The window writes the same string ten times a second; only a real change reaches the
    // device, since reconfiguring a UART can glitch the line.
    if (m_port->isOpen() && *parsed != m_inForce) {
        if (!apply(*parsed)) {
            // Put back what was in force, as far as the device takes it back.
            const Refused refused = m_refused;
            (void)apply(m_inForce);
            m_refused = refused;
            return SetCommStateFailed;
        }
        m_inForce = *parsed;
    }
    m_settingsText = s;
    m_settings = *parsed;
    return NoError;
}

bool MSComm::PortOpen() const
{
    return m_port->isOpen();
}

int MSComm::setPortOpen(bool open)
{
    if (!open) {
        if (m_port->isOpen()) {
            closePort();
            clearReceived();
        }
        return NoError;
    }
    if (m_port->isOpen())
        return PortAlreadyOpen;
    return openPort();
}

void MSComm::setTextEncoding(TextEncoding encoding)
{
    m_encoding = encoding;
}

int MSComm::InputMode() const
{
    return m_inputMode;
}

void MSComm::setInputMode(int mode)
{
    if (mode != comInputModeText && mode != comInputModeBinary)
        return;
    m_inputMode = mode;
    // A character held back for text is plain bytes now, and waits to be read.
    notifyIfWaiting();
}

void MSComm::setInputLen(int n)
{
    if (n >= 0)
        m_inputLen = n;
}

QVariant MSComm::Input()
{
    const qint64 limit = m_inputLen > 0 ? std::min<qint64>(m_inputLen, blockSize) : blockSize;
    QVariant result;
    if (m_inputMode == comInputModeBinary) {
        QByteArray bytes = m_heldBack.left(limit);
        m_heldBack.remove(0, bytes.size());
        bytes += takeBytes(limit - bytes.size());
        result = bytes;
    } else {
        // Always take at least one new byte, so that a held-back start can complete even when
        // InputLen is smaller than the character.
        QByteArray bytes = m_heldBack + takeBytes(std::max<qint64>(limit - m_heldBack.size(), 1));
        const bool utf8 = m_encoding == TextEncoding::Utf8;
        const qsizetype incomplete = utf8 ? incompleteTail(bytes) : incompleteGb18030Tail(bytes);
        m_heldBack = bytes.right(incomplete);
        bytes.chop(incomplete);
        if (utf8) {
            result = QString::fromUtf8(bytes);
        } else {
            result = QString(m_gbDecoder.decode(bytes));
        }
    }
    notifyIfWaiting();
    return result;
}

int MSComm::InBufferCount() const
{
    return int(std::min<qint64>(unreadBytes() + m_heldBack.size(), INT_MAX));
}

int MSComm::CommEvent() const
{
    return m_commEvent;
}

int MSComm::Output(const QVariant &data)
{
    if (!m_port->isOpen())
        return PortNotOpen;
    QByteArray bytes;
    if (data.typeId() == QMetaType::QString && m_encoding == TextEncoding::Utf8)
        bytes = data.toString().toUtf8();
    else if (data.typeId() == QMetaType::QString)
        bytes = m_gbEncoder.encode(data.toString());
    else if (data.typeId() == QMetaType::QByteArray)
        bytes = data.toByteArray();
    else
        return InvalidPropertyValue;
    // A port whose reads or writes already fail has lost its device, even though the close that
    // follows the failure has not run yet.
    if (isLossError(m_port->error()) || m_port->write(bytes) != bytes.size()) {
        loseDevice();
        return DeviceLost;
    }
    return NoError;
}

qint64 MSComm::OutBufferCount() const
{
    return m_port->isOpen() ? m_port->bytesToWrite() : 0;
}

QString MSComm::devicePath() const
{
    return m_device;
}

int MSComm::handle() const
{
    return m_port->isOpen() ? int(m_port->handle()) : -1;
}

int MSComm::openPort()
{
    const QString device = m_resolver(m_commPort);
    if (device.isEmpty())
        return PortInvalid;
    // QSerialPort makes, syncs and removes a lock file before it finds a device missing; the
    // start-up scan asks for 48 numbers, most of them without a device.
    struct stat info;
    if (::stat(QFile::encodeName(device).constData(), &info) != 0 && errno == ENOENT)
        return PortInvalid;
    // Each connection starts afresh: nothing left over from a lost one, no half character.
    clearReceived();
    m_port->setPortName(device);
    if (!m_port->open(QIODevice::ReadWrite)) {
        // QSerialPort reports a lock file held by another program, a busy tty and a refused
        // permission all as PermissionError.
        const bool unavailable = m_port->error() == QSerialPort::PermissionError;
        m_port->clearError();
        return unavailable ? DeviceUnavailable : PortInvalid;
    }
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!apply(m_settings)) {
        closePort();
        return SetCommStateFailed;
    }
    m_port->clearError();
    m_inForce = m_settings;
    m_device = device;
    ++m_connection;
    return NoError;
}

void MSComm::closePort()
{
    m_port->close();
    m_port->clearError();
    m_device.clear();
    m_lossPending = false;
}

void MSComm::clearReceived()
{
    m_notifyTimer->stop();
    m_rescued.clear();
    m_rescuedRead = 0;
    m_heldBack.clear();
}

bool MSComm::apply(const LineSettings &settings)
{
    m_refused = Refused::None;
    // QSerialPort has no 4 data bits, though the Windows control took them.
    if (settings.dataBits < 5)
        m_refused = Refused::DataBits;
#ifndef Q_OS_WIN
    // termios knows one or two stop bits; Qt 6.4 quietly turns 1.5 into 1 on Unix.
    else if (settings.stopBits == QSerialPort::OneAndHalfStop)
        m_refused = Refused::StopBits;
#endif
    else if (!m_port->setBaudRate(settings.baud))
        m_refused = Refused::Baud;
    else if (!m_port->setParity(settings.parity))
        m_refused = Refused::Parity;
    else if (!m_port->setDataBits(QSerialPort::DataBits(settings.dataBits)))
        m_refused = Refused::DataBits;
    else if (!m_port->setStopBits(settings.stopBits))
        m_refused = Refused::StopBits;
    if (m_refused != Refused::None)
        m_port->clearError();
    return m_refused == Refused::None;
}

// Qt 6.4 does not report a pulled USB adapter as a ResourceError: the hung-up tty makes every
// read fail, QSerialPort raises ReadError in a tight loop and stays open. Any failing read or
// write therefore means the device is gone.
void MSComm::onPortError(QSerialPort::SerialPortError error)
{
    if (!isLossError(error) || !m_port->isOpen() || m_lossPending)
        return;
    m_lossPending = true;
    // The error is raised from inside QSerialPort's own read notifier, which closing would tear
    // down under it; close on the next pass of the event loop, for this connection only.
    QTimer::singleShot(0, this, [this, connection = m_connection] {
        if (connection == m_connection)
            loseDevice();
    });
}

void MSComm::loseDevice()
{
    if (!m_port->isOpen())
        return;
    // Everything received before the loss stays readable, and is announced like any arrival.
    m_rescued = m_port->readAll();
    m_rescuedRead = 0;
    closePort();
    emit deviceLost();
    notifyIfWaiting();
}

qint64 MSComm::unreadBytes() const
{
    const qint64 rescued = m_rescued.size() - m_rescuedRead;
    return rescued + (m_port->isOpen() ? m_port->bytesAvailable() : 0);
}

QByteArray MSComm::takeBytes(qint64 maxBytes)
{
    QByteArray bytes;
    if (maxBytes <= 0)
        return bytes;
    if (m_rescuedRead < m_rescued.size()) {
        bytes = m_rescued.mid(m_rescuedRead, maxBytes);
        m_rescuedRead += bytes.size();
        if (m_rescuedRead == m_rescued.size()) {
            m_rescued.clear();
            m_rescuedRead = 0;
        }
    }
    if (bytes.size() < maxBytes && m_port->isOpen())
        bytes += m_port->read(maxBytes - bytes.size());
    if (!bytes.isEmpty())
        emit bytesTaken(bytes);
    return bytes;
}

// Announces waiting bytes once. An Input that leaves bytes behind asks again, so a handler that
// reads gets block after block, while one that reads nothing is not called in a loop.
void MSComm::notifyIfWaiting()
{
    if (readable() && !m_notifyTimer->isActive())
        m_notifyTimer->start();
}

// A block that finds nothing waiting before it is handed out at once, without another pass of
// the event loop: at a few hundred small reads a second that pass is much of what an arrival
// costs. Blocks that queue up behind it go through the event loop as before.
void MSComm::onReadyRead()
{
    if (m_delivering || m_notifyTimer->isActive())
        return;
    deliver();
}

// A held-back partial character counts only in byte mode: text mode cannot give it out yet.
bool MSComm::readable() const
{
    return unreadBytes() > 0 || (m_inputMode == comInputModeBinary && !m_heldBack.isEmpty());
}

// Blocks that wait go out one after another for a few milliseconds, then the event loop runs:
// clicks are still served at once, and a fast stream costs the window one repaint per burst
// instead of one per block.
void MSComm::deliver()
{
    const QScopedValueRollback<bool> delivering(m_delivering, true);
    QElapsedTimer burst;
    burst.start();
    while (readable()) {
        m_commEvent = comEvReceive;
        emit OnComm();
        // Input re-arms the timer when bytes remain; a handler that did not read waits for it.
        if (!m_notifyTimer->isActive() || burst.elapsed() >= burstMs)
            return;
        m_notifyTimer->stop();
    }
}
