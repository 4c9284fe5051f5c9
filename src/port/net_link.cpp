#include "port/net_link.h"

#include "port/mscomm.h"

#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace netport {

namespace {

const QString rfc2217Scheme = QStringLiteral("rfc2217");
const QString rawScheme = QStringLiteral("socket");

} // namespace

bool isNetwork(const QString &mapping)
{
    return mapping.startsWith(rfc2217Scheme + QStringLiteral("://"), Qt::CaseInsensitive) ||
           mapping.startsWith(rawScheme + QStringLiteral("://"), Qt::CaseInsensitive);
}

std::optional<Address> parse(const QString &mapping)
{
    if (!isNetwork(mapping))
        return std::nullopt;
    const QUrl url(mapping.trimmed(), QUrl::StrictMode);
    const bool plain = url.isValid() && url.userInfo().isEmpty() && !url.hasQuery() &&
                       !url.hasFragment() && (url.path().isEmpty() || url.path() == "/");
    if (!plain || url.host().isEmpty() || url.port() < 1)
        return std::nullopt;
    Address address;
    address.protocol = url.scheme() == rawScheme ? Protocol::Raw : Protocol::Rfc2217;
    address.host = url.host();
    address.port = quint16(url.port());
    return address;
}

QString hostPort(const Address &address)
{
    const QString host = address.host.contains(QLatin1Char(':'))
                             ? QStringLiteral("[%1]").arg(address.host)
                             : address.host;
    return host + QLatin1Char(':') + QString::number(address.port);
}

QString describe(const Address &address)
{
    return (address.protocol == Protocol::Rfc2217 ? QStringLiteral("ser2net ")
                                                  : QStringLiteral("TCP ")) +
           hostPort(address);
}

} // namespace netport

namespace {

using netport::Failure;

uchar parityValue(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::OddParity:
        return telnet::ParityOdd;
    case QSerialPort::EvenParity:
        return telnet::ParityEven;
    case QSerialPort::MarkParity:
        return telnet::ParityMark;
    case QSerialPort::SpaceParity:
        return telnet::ParitySpace;
    default:
        return telnet::ParityNone;
    }
}

uchar stopValue(QSerialPort::StopBits stopBits)
{
    return stopBits == QSerialPort::TwoStop          ? telnet::StopTwo
           : stopBits == QSerialPort::OneAndHalfStop ? telnet::StopOneAndHalf
                                                     : telnet::StopOne;
}

QByteArray byteCommand(telnet::ComPortCommand command, uchar value)
{
    return telnet::comPortCommand(command, QByteArray(1, char(value)));
}

Failure failureOf(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return Failure::Refused;
    case QAbstractSocket::HostNotFoundError:
        return Failure::HostNotFound;
    case QAbstractSocket::NetworkError:
        return Failure::Unreachable;
    case QAbstractSocket::SocketTimeoutError:
        return Failure::NoAnswer;
    case QAbstractSocket::RemoteHostClosedError:
        return Failure::Closed;
    default:
        return Failure::Other;
    }
}

} // namespace

NetLink::NetLink(const netport::Address &address, QTcpSocket *socket, QObject *parent)
    : Link(parent), m_address(address), m_socket(socket), m_timeout(new QTimer(this))
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(SocketBufferBytes);
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] { fail(Failure::NoAnswer); });
    connect(m_socket, &QTcpSocket::connected, this, &NetLink::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &NetLink::onReceived);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &NetLink::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this,
            [this] { onSocketError(QAbstractSocket::RemoteHostClosedError); });
}

NetLink::~NetLink()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

int NetLink::open()
{
    m_state = State::Opening;
    m_failure = Failure::None;
    m_timeout->start(OpenTimeoutMs);
    m_socket->connectToHost(m_address.host, m_address.port);
    return MSComm::NoError;
}

void NetLink::close()
{
    m_state = State::Closed;
    m_timeout->stop();
    // What Output queued goes out as far as the socket takes it now, as a tty drains on close.
    m_socket->flush();
    m_socket->abort();
    m_in.clear();
    m_inRead = 0;
}

RefusedSetting NetLink::apply(const LineSettings &settings)
{
    if (m_address.protocol == netport::Protocol::Raw || m_state != State::Open)
        return RefusedSetting::None;
    // Only what changed goes to the server: each command makes it reprogram the remote UART.
    const std::optional<LineSettings> before = m_applied;
    QByteArray commands;
    if (!before || before->baud != settings.baud)
        commands += telnet::setBaudRate(quint32(settings.baud));
    if (!before || before->dataBits != settings.dataBits)
        commands += byteCommand(telnet::ComPortCommand::SetDataSize, uchar(settings.dataBits));
    if (!before || before->parity != settings.parity)
        commands += byteCommand(telnet::ComPortCommand::SetParity, parityValue(settings.parity));
    if (!before || before->stopBits != settings.stopBits)
        commands += byteCommand(telnet::ComPortCommand::SetStopSize, stopValue(settings.stopBits));
    send(commands);
    m_applied = settings;
    return RefusedSetting::None;
}

QByteArray NetLink::read(qint64 maxBytes)
{
    QByteArray bytes = m_in.mid(m_inRead, maxBytes);
    m_inRead += bytes.size();
    if (m_inRead == m_in.size()) {
        m_in.clear();
        m_inRead = 0;
    } else if (m_inRead > 65536 && m_inRead > m_in.size() / 2) {
        m_in.remove(0, m_inRead);
        m_inRead = 0;
    }
    // What the socket held back while the link was full follows; the socket reads on once
    // emptied, so no further readyRead would come for it.
    if (m_state == State::Open && bytesAvailable() < HeldBytes / 2 &&
        m_socket->bytesAvailable() > 0 && !takeFromSocket(false))
        fail(Failure::Protocol);
    return bytes;
}

bool NetLink::write(const QByteArray &bytes)
{
    if (m_state != State::Open || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    const QByteArray wire =
        m_address.protocol == netport::Protocol::Rfc2217 ? telnet::escape(bytes) : bytes;
    return m_socket->write(wire) == wire.size();
}

qint64 NetLink::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}

bool NetLink::sendBreak(bool on)
{
    if (m_address.protocol != netport::Protocol::Rfc2217 || m_state != State::Open)
        return false;
    send(byteCommand(telnet::ComPortCommand::SetControl,
                     on ? telnet::ControlBreakOn : telnet::ControlBreakOff));
    return true;
}

// RFC 2217 sets one line per command. Of the two orders the one is taken that never passes
// through DTR off with RTS on, which holds an ESP32 in reset, unless that is where it ends.
bool NetLink::sendControlLines(bool dtr, bool rts)
{
    if (m_address.protocol != netport::Protocol::Rfc2217 || m_state != State::Open)
        return false;
    const QByteArray dtrCommand = byteCommand(telnet::ComPortCommand::SetControl,
                                              dtr ? telnet::ControlDtrOn : telnet::ControlDtrOff);
    const QByteArray rtsCommand = byteCommand(telnet::ComPortCommand::SetControl,
                                              rts ? telnet::ControlRtsOn : telnet::ControlRtsOff);
    const bool rtsFirst = m_dtr || !rts;
    QByteArray commands;
    if (rtsFirst && rts != m_rts)
        commands += rtsCommand;
    if (dtr != m_dtr)
        commands += dtrCommand;
    if (!rtsFirst && rts != m_rts)
        commands += rtsCommand;
    send(commands);
    m_dtr = dtr;
    m_rts = rts;
    return true;
}

void NetLink::onConnected()
{
    if (m_state != State::Opening)
        return;
    // Small writes (a key, a command) go out at once instead of waiting for more to gather.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_address.protocol == netport::Protocol::Raw) {
        m_timeout->stop();
        m_state = State::Open;
        emit opened(MSComm::NoError);
        return;
    }
    send(m_telnet.greeting());
    if (m_socket->bytesAvailable() > 0)
        onReceived();
}

bool NetLink::takeFromSocket(bool everything)
{
    const qint64 room = everything ? m_socket->bytesAvailable() : HeldBytes - bytesAvailable();
    if (room <= 0)
        return true;
    const QByteArray received = m_socket->read(room);
    if (m_address.protocol == netport::Protocol::Rfc2217) {
        QByteArray replies;
        m_in += m_telnet.decode(received, &replies);
        send(replies);
    } else {
        m_in += received;
    }
    return !m_telnet.broken();
}

void NetLink::onReceived()
{
    if (m_state == State::Closed)
        return;
    const qint64 before = bytesAvailable();
    if (!takeFromSocket(false)) {
        fail(Failure::Protocol);
        return;
    }
    if (m_state == State::Opening) {
        if (m_telnet.comPortRefused()) {
            fail(Failure::OptionRefused);
            return;
        }
        if (!m_telnet.comPortAccepted())
            return;
        m_timeout->stop();
        m_state = State::Open;
        m_socket->write(byteCommand(telnet::ComPortCommand::SetControl, telnet::ControlNoFlow));
        emit opened(MSComm::NoError);
        // What the board said while the connection was being set up waits to be read.
        if (m_state == State::Open && bytesAvailable() > 0)
            emit readyRead();
        return;
    }
    if (bytesAvailable() > before)
        emit readyRead();
}

void NetLink::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_state == State::Closed)
        return;
    // A closing server's last bytes are data like any other, all of them.
    if (m_state == State::Open && m_socket->bytesAvailable() > 0) {
        const qint64 before = bytesAvailable();
        if (!takeFromSocket(true)) {
            fail(Failure::Protocol);
            return;
        }
        if (bytesAvailable() > before)
            emit readyRead();
    }
    fail(failureOf(error));
    if (m_failure == Failure::Other)
        m_failureText = m_socket->errorString();
}

void NetLink::fail(Failure failure)
{
    if (m_state == State::Closed)
        return;
    const bool wasOpen = m_state == State::Open;
    m_failure = failure;
    m_timeout->stop();
    // Received data stays readable until the component closes the link.
    m_state = State::Closed;
    m_socket->abort();
    if (wasOpen)
        emit failed();
    else
        emit opened(MSComm::DeviceUnavailable);
}

void NetLink::send(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        m_socket->write(bytes);
}
