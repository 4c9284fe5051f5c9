#pragma once

#include "port/link.h"
#include "port/telnet.h"

#include <QAbstractSocket>
#include <QString>

#include <functional>
#include <optional>

class QTcpSocket;
class QTimer;

// A serial port on another machine, as a mapping in the settings file names it:
// rfc2217://HOST:PORT is telnet with RFC 2217, so the line settings reach the remote port (what
// ser2net's telnet(rfc2217) accepter speaks); socket://HOST:PORT is raw TCP, bytes only.
namespace netport {

enum class Protocol { Rfc2217, Raw };

struct Address
{
    Protocol protocol = Protocol::Rfc2217;
    QString host; // without the brackets of an IPv6 literal
    quint16 port = 0;
};

// Whether the mapping is meant as a network port, well formed or not.
[[nodiscard]] bool isNetwork(const QString &mapping);
// nullopt when it is no well-formed network address.
[[nodiscard]] std::optional<Address> parse(const QString &mapping);
// "192.168.1.20:2217", "[::1]:2217".
[[nodiscard]] QString hostPort(const Address &address);
// What the port list shows for it: "ser2net 192.168.1.20:2217", "TCP 192.168.1.20:4001".
[[nodiscard]] QString describe(const Address &address);

// Why a network port could not be opened, or went away.
enum class Failure {
    None,
    BadAddress,
    Refused,       // nothing listens on that port
    HostNotFound,  // the name does not resolve
    Unreachable,   // no route to the network or host
    NoAnswer,      // no connection, or no telnet answer, in time
    OptionRefused, // the server will not take RFC 2217 commands
    Closed,        // the server closed the connection
    Protocol,      // the server does not speak telnet
    Other,
};

} // namespace netport

class NetLink : public Link
{
    Q_OBJECT
public:
    // Connecting, name lookup and the telnet answer together take at most this long.
    static constexpr int OpenTimeoutMs = 5000;
    // A serial line is bounded by its baud rate, a socket is not: the socket reads at most this
    // much ahead, and the link holds at most HeldBytes that the component has not taken, so
    // that a peer sending faster than the window takes its data is slowed by TCP itself.
    static constexpr qint64 SocketBufferBytes = 64 * 1024;
    static constexpr qint64 HeldBytes = 256 * 1024;

    // The link takes over the socket, which the platform makes (tests fail lookups with it).
    NetLink(const netport::Address &address, QTcpSocket *socket, QObject *parent);
    ~NetLink() override;

    [[nodiscard]] int open() override;
    [[nodiscard]] bool isOpen() const override { return m_state == State::Open; }
    void close() override;
    [[nodiscard]] RefusedSetting apply(const LineSettings &settings) override;
    [[nodiscard]] qint64 bytesAvailable() const override { return m_in.size() - m_inRead; }
    [[nodiscard]] QByteArray read(qint64 maxBytes) override;
    [[nodiscard]] bool write(const QByteArray &bytes) override;
    [[nodiscard]] qint64 bytesToWrite() const override;
    [[nodiscard]] bool sendControlLines(bool dtr, bool rts) override;
    [[nodiscard]] bool sendBreak(bool on) override;

    [[nodiscard]] netport::Failure failure() const { return m_failure; }
    // The system's words for an Other failure.
    [[nodiscard]] QString failureText() const { return m_failureText; }

private:
    enum class State { Closed, Opening, Open };

    void onConnected();
    void onReceived();
    // Takes what the socket holds, up to the link's bound unless everything must go (the
    // connection is ending): whether the telnet stream stayed sound.
    [[nodiscard]] bool takeFromSocket(bool everything);
    void onSocketError(QAbstractSocket::SocketError error);
    void fail(netport::Failure failure);
    void send(const QByteArray &bytes);

    netport::Address m_address;
    QTcpSocket *m_socket;
    QTimer *m_timeout;
    telnet::Client m_telnet;
    State m_state = State::Closed;
    netport::Failure m_failure = netport::Failure::None;
    QString m_failureText;
    // The line settings the server has, once sent.
    std::optional<LineSettings> m_applied;
    // Received data: read from m_inRead on, compacted once half of it is read.
    QByteArray m_in;
    qsizetype m_inRead = 0;
    // The control lines as last sent: a port opens with both raised.
    bool m_dtr = true;
    bool m_rts = true;
};
