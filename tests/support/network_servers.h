#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

// The servers a network port meets, on 127.0.0.1 only.

// A free TCP port on 127.0.0.1 (a listener bound to port 0 and closed again).
[[nodiscard]] quint16 freeLoopbackPort();
// Whether something listens on 127.0.0.1:port, read from /proc/net/tcp: asking by connecting
// would make ser2net open its device.
[[nodiscard]] bool listensOnLoopback(quint16 port);

// A real ser2net in front of a device, started by the test: telnet with RFC 2217, or raw TCP.
class Ser2net
{
public:
    enum class Mode { Rfc2217, Raw };

    // kickOldUser: a second client takes the port over; otherwise ser2net tells it "Port already
    // in use" and closes.
    Ser2net(const QString &device, Mode mode, bool kickOldUser = true);
    ~Ser2net();
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    [[nodiscard]] static bool installed();
    // Starts it and waits until it listens; false when it does not come up.
    bool start();
    // SIGKILL: the connection breaks off as when the board's machine loses power.
    void kill();
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] qint64 pid() const { return m_process.processId(); }
    // rfc2217://127.0.0.1:port or socket://127.0.0.1:port.
    [[nodiscard]] QString address() const;

private:
    QTemporaryDir m_dir;
    QString m_device;
    Mode m_mode;
    bool m_kickOldUser;
    quint16 m_port;
    QProcess m_process;
};

// One RFC 2217 command as the server received it: the command number and its value, unescaped.
struct ComPortCommand
{
    int command;
    QByteArray value;
};

// A telnet server of the test's own that records what the client sends, parsed independently of
// the program's telnet code. It answers the client's WILL COM-PORT-OPTION with DO (or DONT), or
// stays silent.
class RecordingServer : public QObject
{
    Q_OBJECT
public:
    enum class Answer { Accept, RefuseOption, Silent };

    explicit RecordingServer(Answer answer = Answer::Accept,
                             const QHostAddress &on = QHostAddress(QHostAddress::LocalHost));
    [[nodiscard]] bool isListening() const { return m_server.isListening(); }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }
    [[nodiscard]] QString address() const;

    // Sends raw bytes to the connected client, as they stand; false without a client.
    bool sendRaw(const QByteArray &bytes);
    // Closes the client's connection.
    void drop();

    int connections = 0;
    QList<ComPortCommand> commands;
    QByteArray data;         // the client's data, 0xFF undoubled
    QList<QByteArray> verbs; // each negotiation received, "WILL 44", "DO 0", ...

private:
    void onConnection();
    void onReadable();

    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    Answer m_answer;
    QByteArray m_pending;
    QString m_host; // as an address names it
};

// A socket whose connection fails as the test says, without a name server or a route: an
// unknown host, an unreachable network.
class FailingSocket : public QTcpSocket
{
    Q_OBJECT
public:
    explicit FailingSocket(QAbstractSocket::SocketError error) : m_error(error) {}
    void connectToHost(const QString &hostName, quint16 port, OpenMode mode,
                       NetworkLayerProtocol protocol) override;

private:
    QAbstractSocket::SocketError m_error;
};

// A raw TCP peer on 127.0.0.1 that sends a counting pattern (byte n is n % 251) to its one
// client as fast as the connection takes it, from a thread of its own, until stopped.
class FloodingServer
{
public:
    FloodingServer();
    ~FloodingServer();
    FloodingServer(const FloodingServer &) = delete;
    FloodingServer &operator=(const FloodingServer &) = delete;

    [[nodiscard]] bool isListening() const { return m_listener >= 0; }
    // socket://127.0.0.1:port
    [[nodiscard]] QString address() const;
    [[nodiscard]] qint64 sent() const { return m_sent; }
    // Stops sending and closes the connection.
    void stop();
    [[nodiscard]] static bool isPattern(const QByteArray &bytes, qint64 offset);

private:
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_sent{0};
};

// A raw TCP server on 127.0.0.1 that answers each connection with a line and closes it at once,
// as ser2net does when its port is taken or its device is missing.
class ClosingServer : public QObject
{
    Q_OBJECT
public:
    explicit ClosingServer(QByteArray line);
    [[nodiscard]] QString address() const;
    int connections = 0;

private:
    QTcpServer m_server;
    QByteArray m_line;
};
