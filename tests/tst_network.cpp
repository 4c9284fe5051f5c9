// Ports on another machine: the telnet decoding in every split of a stream, then the serial
// component and the window against a real ser2net in front of a pseudo-terminal, against a
// recording RFC 2217 server of the test's own for what a pseudo-terminal cannot show, and
// against servers that refuse, stay silent or break the protocol.
#include "port/net_link.h"
#include "port/telnet.h"
#include "serial/port_list.h"
#include "support/board_port.h"
#include "support/byte_patterns.h"
#include "support/network_servers.h"
#include "support/window_fixture.h"

#include <QAbstractItemView>
#include <QSignalSpy>
#include <QTest>

#include <termios.h>

namespace {

enum : uchar { Iac = 255, Se = 240, Sb = 250, Will = 251, Wont = 252, Do = 253, Dont = 254 };

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out.append(char(v));
    return out;
}

QByteArray allByteValues()
{
    QByteArray out;
    for (int v = 0; v < 256; ++v)
        out.append(char(v));
    return out;
}

// What ser2net 4.3 says first on a telnet(rfc2217) connection.
const QByteArray ser2netGreeting = bytes(
    {Iac, Will, 3, Iac, Do, 3, Iac, Will, 1, Iac, Dont, 1, Iac, Do, 0, Iac, Will, 0, Iac, Do, 44});

// Reads everything the component announces, in byte mode, as the window reads it.
struct Reader
{
    explicit Reader(MSComm &port) : comm(port)
    {
        comm.setInputMode(MSComm::comInputModeBinary);
        QObject::connect(&comm, &MSComm::OnComm, &context, [this] {
            comm.setInputLen(0);
            received += comm.Input().toByteArray();
        });
    }
    MSComm &comm;
    QObject context;
    QByteArray received;
};

// A board behind a ser2net of its own: COM1 is the server's address.
struct RemoteBoard : BoardPort
{
    explicit RemoteBoard(Ser2net::Mode mode) : server(pty.slavePath(), mode) {}
    [[nodiscard]] bool start()
    {
        comm.setPortResolver(ptyResolver({{1, server.address()}}));
        return server.start();
    }
    Ser2net server;
};

#define SKIP_WITHOUT_SER2NET()                                                                     \
    if (!Ser2net::installed())                                                                     \
    QSKIP("ser2net is not installed (tools/deps.sh installs it)")

speed_t lineSpeed(const PseudoTerminal &pty)
{
    const std::optional<termios> settings = pty.lineTermios();
    return settings ? cfgetospeed(&*settings) : speed_t(0);
}

QByteArray baudValue(quint32 baud)
{
    return bytes(
        {int(baud >> 24) & 0xFF, int(baud >> 16) & 0xFF, int(baud >> 8) & 0xFF, int(baud) & 0xFF});
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT
private slots:
    void decodingInEverySplit_data();
    void decodingInEverySplit();
    void negotiation();
    void brokenTelnet_data();
    void brokenTelnet();
    void addresses_data();
    void addresses();

    void bytesBothWaysThroughSer2net_data();
    void bytesBothWaysThroughSer2net();
    void baudRateReachesTheRemotePort();
    void failedOpens_data();
    void failedOpens();
    void backgroundOpenStops();
    void settingsOnTheWire_data();
    void settingsOnTheWire();
    void brokenServer_data();
    void brokenServer();
    void floodIsHeldBack();

    void windowUsesANetworkPort();
    void windowListsButNeverProbesNetworkPorts();
    void windowTellsWhyAnOpenFailed_data();
    void windowTellsWhyAnOpenFailed();
    void windowReconnectsWhenTheServerIsBack();
    void windowBacksOffFromAServerThatCloses_data();
    void windowBacksOffFromAServerThatCloses();
    void windowClosedWhileConnecting();
    void windowSendsControlLines();
};

void TestNetwork::decodingInEverySplit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("doubled 0xFF") << bytes({'a', Iac, Iac, 'b'}) << bytes({'a', 0xFF, 'b'});
    QTest::newRow("0xFF at both ends")
        << bytes({Iac, Iac, 'x', Iac, Iac}) << bytes({0xFF, 'x', 0xFF});
    QTest::newRow("notification between data")
        << bytes({'a', 'b', Iac, Sb, 44, 107, 0x30, Iac, Se, 'c'}) << QByteArray("abc");
    QTest::newRow("escaped 0xFF in a reply's value")
        << bytes({Iac, Sb, 44, 101, 0, 0, Iac, Iac, Iac, Iac, Iac, Se, 'z'}) << QByteArray("z");
    QTest::newRow("negotiation amid data")
        << bytes({'a', Iac, Will, 1, 'b', Iac, Do, 0, 'c'}) << QByteArray("abc");
    QTest::newRow("NOP, go-ahead and data mark")
        << bytes({'a', Iac, 241, 'b', Iac, 249, Iac, 242, 'c'}) << QByteArray("abc");
    QTest::newRow("every byte value, doubled")
        << telnet::escape(allByteValues()) << allByteValues();
}

// The same stream cut into two reads at every place, and byte by byte, decodes to the same data
// and the same replies.
void TestNetwork::decodingInEverySplit()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, data);
    telnet::Client whole;
    QByteArray wholeReplies;
    QCOMPARE(whole.decode(stream, &wholeReplies), data);
    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        telnet::Client client;
        QByteArray replies;
        QByteArray out = client.decode(stream.left(cut), &replies);
        out += client.decode(stream.mid(cut), &replies);
        QVERIFY2(out == data, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        QCOMPARE(replies, wholeReplies);
    }
    telnet::Client bytewise;
    QByteArray out;
    QByteArray replies;
    for (const char c : stream)
        out += bytewise.decode(QByteArray(1, c), &replies);
    QCOMPARE(out, data);
    QVERIFY(!bytewise.broken());
}

// Agreement is answered only where the state changes, so that client and server never loop;
// echo is refused.
void TestNetwork::negotiation()
{
    telnet::Client client;
    const QByteArray greeting = client.greeting();
    QCOMPARE(greeting, bytes({Iac, Will, 0, Iac, Will, 3, Iac, Will, 44, Iac, Do, 0, Iac, Do, 3}));
    QByteArray replies;
    QVERIFY(client.decode(ser2netGreeting, &replies).isEmpty());
    QCOMPARE(replies, bytes({Iac, Dont, 1}));
    QVERIFY(client.comPortAccepted());
    // Agreement is not repeated; a refusal is, as RFC 1143 has it, and the server takes it
    // without answering.
    replies.clear();
    (void)client.decode(ser2netGreeting, &replies);
    QCOMPARE(replies, bytes({Iac, Dont, 1}));
    replies.clear();
    (void)client.decode(bytes({Iac, Do, 5, Iac, Dont, 44}), &replies);
    QCOMPARE(replies, bytes({Iac, Wont, 5, Iac, Wont, 44}));

    telnet::Client refused;
    (void)refused.greeting();
    replies.clear();
    (void)refused.decode(bytes({Iac, Dont, 44}), &replies);
    QVERIFY(refused.comPortRefused());
    QVERIFY(replies.isEmpty());

    QCOMPARE(telnet::setBaudRate(0x0001C2FF),
             bytes({Iac, Sb, 44, 1, 0x00, 0x01, 0xC2, Iac, Iac, Iac, Se}));
}

void TestNetwork::brokenTelnet_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("endless subnegotiation")
        << QByteArray("ok") + bytes({Iac, Sb, 44, 107}) +
               QByteArray(telnet::Client::MaxSubnegotiation, 'x') + "after"
        << QByteArray("ok");
    QTest::newRow("stray command inside a subnegotiation")
        << QByteArray("ok") + bytes({Iac, Sb, 44, 107, Iac, Will, 'x', 'y'}) << QByteArray("ok");
}

// Nothing the server sends after breaking the protocol is taken for data.
void TestNetwork::brokenTelnet()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, data);
    telnet::Client client;
    QByteArray replies;
    QCOMPARE(client.decode(stream, &replies), data);
    QVERIFY(client.broken());
    QCOMPARE(client.decode("more", &replies), QByteArray());
}

void TestNetwork::addresses_data()
{
    QTest::addColumn<QString>("mapping");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("described");
    QTest::newRow("rfc2217") << "rfc2217://192.168.1.20:2217" << true
                             << "ser2net 192.168.1.20:2217";
    QTest::newRow("raw with a host name")
        << "socket://pi.local:4001" << true << "TCP pi.local:4001";
    QTest::newRow("IPv6 literal") << "rfc2217://[::1]:2217" << true << "ser2net [::1]:2217";
    QTest::newRow("upper-case scheme") << "RFC2217://host:1" << true << "ser2net host:1";
    QTest::newRow("no port") << "rfc2217://host" << false << "";
    QTest::newRow("port out of range") << "rfc2217://host:70000" << false << "";
    QTest::newRow("a path") << "socket://host:1/dev/ttyUSB0" << false << "";
    QTest::newRow("no host") << "socket://:2217" << false << "";
}

void TestNetwork::addresses()
{
    QFETCH(QString, mapping);
    QFETCH(bool, valid);
    QFETCH(QString, described);
    QVERIFY(netport::isNetwork(mapping));
    const std::optional<netport::Address> address = netport::parse(mapping);
    QCOMPARE(address.has_value(), valid);
    if (address)
        QCOMPARE(netport::describe(*address), described);
    QVERIFY(!netport::isNetwork(QStringLiteral("/dev/ttyUSB0")));
}

void TestNetwork::bytesBothWaysThroughSer2net_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("rfc2217") << int(Ser2net::Mode::Rfc2217);
    QTest::newRow("raw") << int(Ser2net::Mode::Raw);
}

// Every byte value, 0xFF at the end of each piece the board writes, and 1 MB each way.
void TestNetwork::bytesBothWaysThroughSer2net()
{
    QFETCH(int, mode);
    SKIP_WITHOUT_SER2NET();
    RemoteBoard board{Ser2net::Mode(mode)};
    QVERIFY(board.start());
    Reader reader(board.comm);
    QCOMPARE(board.comm.setPortOpen(true), int(MSComm::NoError));

    QByteArray toWindow = allByteValues();
    for (int i = 0; i < 64; ++i)
        toWindow += pseudoRandomBytes(1000 + i) + bytes({0xFF});
    toWindow += pseudoRandomBytes(1 << 20);
    for (qsizetype at = 0; at < toWindow.size(); at += 4097)
        QVERIFY(board.pty.write(toWindow.mid(at, 4097)));
    QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), toWindow.size(), 30000);
    QVERIFY(reader.received == toWindow);

    const QByteArray toBoard = allByteValues() + bytes({0xFF, 0xFF}) + pseudoRandomBytes(1 << 20);
    for (qsizetype at = 0; at < toBoard.size(); at += 4096)
        QCOMPARE(board.comm.Output(toBoard.mid(at, 4096)), int(MSComm::NoError));
    const QByteArray arrived = board.pty.readExactly(toBoard.size(), 30000);
    QCOMPARE(arrived.size(), toBoard.size());
    QVERIFY(arrived == toBoard);
}

// Through telnet the speed set in the window reaches the remote tty, at the open and at each
// change; through raw TCP it stays what ser2net was told.
void TestNetwork::baudRateReachesTheRemotePort()
{
    SKIP_WITHOUT_SER2NET();
    RemoteBoard board(Ser2net::Mode::Rfc2217);
    QVERIFY(board.start());
    QCOMPARE(board.comm.setSettings(QStringLiteral("57600,N,8,1")), int(MSComm::NoError));
    QCOMPARE(board.comm.setPortOpen(true), int(MSComm::NoError));
    QTRY_COMPARE(lineSpeed(board.pty), speed_t(B57600));
    QCOMPARE(board.comm.setSettings(QStringLiteral("115200,N,8,1")), int(MSComm::NoError));
    QTRY_COMPARE(lineSpeed(board.pty), speed_t(B115200));
    QCOMPARE(board.comm.setSettings(QStringLiteral("1200,N,8,1")), int(MSComm::NoError));
    QTRY_COMPARE(lineSpeed(board.pty), speed_t(B1200));

    RemoteBoard rawBoard(Ser2net::Mode::Raw);
    QVERIFY(rawBoard.start());
    QCOMPARE(rawBoard.comm.setSettings(QStringLiteral("57600,N,8,1")), int(MSComm::NoError));
    QVERIFY(rawBoard.open());
    QVERIFY(rawBoard.pty.write("sync"));
    Reader reader(rawBoard.comm);
    QTRY_COMPARE(reader.received, QByteArray("sync"));
    QCOMPARE(lineSpeed(rawBoard.pty), speed_t(B9600));
}

void TestNetwork::failedOpens_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("failure");
    QTest::newRow("nothing listening")
        << "closed" << int(MSComm::DeviceUnavailable) << int(netport::Failure::Refused);
    QTest::newRow("silent listener")
        << "silent" << int(MSComm::DeviceUnavailable) << int(netport::Failure::NoAnswer);
    QTest::newRow("option refused")
        << "refuse" << int(MSComm::DeviceUnavailable) << int(netport::Failure::OptionRefused);
    QTest::newRow("unknown host") << "nohost" << int(MSComm::DeviceUnavailable)
                                  << int(netport::Failure::HostNotFound);
    QTest::newRow("unreachable network")
        << "noroute" << int(MSComm::DeviceUnavailable) << int(netport::Failure::Unreachable);
    QTest::newRow("no port in the address")
        << "badaddress" << int(MSComm::PortInvalid) << int(netport::Failure::BadAddress);
}

// Each failure has its own cause, and the event loop runs while the open waits.
void TestNetwork::failedOpens()
{
    QFETCH(QString, how);
    QFETCH(int, error);
    QFETCH(int, failure);
    MSComm comm;
    RecordingServer silent(RecordingServer::Answer::Silent);
    RecordingServer refusing(RecordingServer::Answer::RefuseOption);
    QString address = QStringLiteral("rfc2217://127.0.0.1:%1").arg(freeLoopbackPort());
    if (how == QLatin1String("silent"))
        address = silent.address();
    else if (how == QLatin1String("refuse"))
        address = refusing.address();
    else if (how == QLatin1String("nohost"))
        address = QStringLiteral("rfc2217://no-such-board.invalid:2217");
    else if (how == QLatin1String("badaddress"))
        address = QStringLiteral("rfc2217://127.0.0.1");
    comm.setPortResolver(ptyResolver({{1, address}}));
    if (how == QLatin1String("nohost") || how == QLatin1String("noroute")) {
        const auto socketError = how == QLatin1String("nohost") ? QAbstractSocket::HostNotFoundError
                                                                : QAbstractSocket::NetworkError;
        comm.setSocketFactory([socketError] { return new FailingSocket(socketError); });
    }
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(50);
    QCOMPARE(comm.setPortOpen(true), error);
    QCOMPARE(int(comm.networkFailure()), failure);
    QVERIFY(!comm.PortOpen());
    QVERIFY(!comm.opening());
    if (how == QLatin1String("silent"))
        QVERIFY2(ticks > 10, "the event loop stood still while connecting");
    // Another attempt starts afresh.
    QCOMPARE(comm.setCommPort(2), int(MSComm::NoError));
}

// An attempt in the background holds the port number until it ends, and closing stops it and
// says so.
void TestNetwork::backgroundOpenStops()
{
    RecordingServer silent(RecordingServer::Answer::Silent);
    MSComm comm;
    comm.setPortResolver(ptyResolver({{1, silent.address()}}));
    QSignalSpy finished(&comm, &MSComm::openFinished);
    QCOMPARE(comm.beginOpen(), int(MSComm::NoError));
    QVERIFY(comm.opening());
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.setCommPort(2), int(MSComm::PortAlreadyOpen));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::PortAlreadyOpen));
    QTRY_COMPARE(silent.connections, 1);
    QCOMPARE(comm.setPortOpen(false), int(MSComm::NoError));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), int(MSComm::DeviceUnavailable));
    QVERIFY(!comm.opening());
    QCOMPARE(comm.setCommPort(2), int(MSComm::NoError));
    QTest::qWait(100);
    QCOMPARE(finished.size(), 1);
}

// What a pseudo-terminal cannot show: data size, parity, stop bits and the control lines, each
// sent once per change.
void TestNetwork::settingsOnTheWire_data()
{
    QTest::addColumn<bool>("ipv6");
    QTest::newRow("127.0.0.1") << false;
    QTest::newRow("[::1]") << true;
}

void TestNetwork::settingsOnTheWire()
{
    QFETCH(bool, ipv6);
    RecordingServer server(
        RecordingServer::Answer::Accept,
        QHostAddress(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
    if (ipv6 && !server.isListening())
        QSKIP("this machine has no IPv6 loopback");
    QVERIFY(server.isListening());
    MSComm comm;
    comm.setPortResolver(ptyResolver({{1, server.address()}}));
    QCOMPARE(comm.setSettings(QStringLiteral("9600,E,7,2")), int(MSComm::NoError));
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    const auto commandsAre = [&server](const QList<std::pair<int, QByteArray>> &expected) {
        if (server.commands.size() != expected.size())
            return false;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            if (server.commands.at(i).command != expected.at(i).first ||
                server.commands.at(i).value != expected.at(i).second)
                return false;
        }
        return true;
    };
    QTRY_VERIFY(commandsAre({{5, bytes({telnet::ControlNoFlow})},
                             {1, baudValue(9600)},
                             {2, bytes({7})},
                             {3, bytes({telnet::ParityEven})},
                             {4, bytes({telnet::StopTwo})}}));
    QVERIFY(server.verbs.contains("WILL 44"));
    server.commands.clear();
    for (int i = 0; i < 5; ++i)
        QCOMPARE(comm.setSettings(QStringLiteral("9600,E,7,2")), int(MSComm::NoError));
    QCOMPARE(comm.setSettings(QStringLiteral("115200,E,7,1.5")), int(MSComm::NoError));
    QCOMPARE(comm.setSettings(QStringLiteral("115200,E,7,1.5")), int(MSComm::NoError));
    QTRY_VERIFY(commandsAre({{1, baudValue(115200)}, {4, bytes({telnet::StopOneAndHalf})}}));

    // From both raised to DTR off, RTS on, and on to DTR on, RTS off: never through DTR off with
    // RTS on on the way.
    server.commands.clear();
    QVERIFY(comm.sendControlLines(false, true));
    QVERIFY(comm.sendControlLines(true, false));
    QVERIFY(comm.sendControlLines(true, false));
    QTRY_VERIFY(commandsAre({{5, bytes({telnet::ControlDtrOff})},
                             {5, bytes({telnet::ControlRtsOff})},
                             {5, bytes({telnet::ControlDtrOn})}}));
    QVERIFY(comm.Output(bytes({'a', 0xFF, 'b'})) == MSComm::NoError);
    QTRY_COMPARE(server.data, bytes({'a', 0xFF, 'b'}));
}

void TestNetwork::brokenServer_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("drop");
    QTest::addColumn<int>("failure");
    QTest::newRow("endless subnegotiation")
        << QByteArray("data") + bytes({Iac, Sb, 44, 107}) +
               QByteArray(telnet::Client::MaxSubnegotiation + 10, 'x')
        << false << int(netport::Failure::Protocol);
    QTest::newRow("closed inside a command") << QByteArray("data") + bytes({Iac, Sb, 44, 101, 0, 0})
                                             << true << int(netport::Failure::Closed);
    QTest::newRow("closed after a lone IAC")
        << QByteArray("data") + bytes({Iac}) << true << int(netport::Failure::Closed);
}

// A server that breaks off or talks nonsense is a lost device; only its data is shown, and it
// stays readable. (A real ser2net killed mid-stream is the window's reconnect test.)
void TestNetwork::brokenServer()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, drop);
    QFETCH(int, failure);
    RecordingServer server;
    MSComm comm;
    comm.setPortResolver(ptyResolver({{1, server.address()}}));
    Reader reader(comm);
    QSignalSpy lost(&comm, &MSComm::deviceLost);
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    QVERIFY(server.sendRaw(sent));
    if (drop)
        server.drop();
    QTRY_COMPARE(lost.size(), 1);
    QCOMPARE(int(comm.networkFailure()), failure);
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.Output(QByteArray("x")), int(MSComm::PortNotOpen));
    QTRY_COMPARE(reader.received, QByteArray("data"));
    QTest::qWait(50);
    QCOMPARE(reader.received, QByteArray("data"));
}

// A peer sending faster than anyone reads: the link holds a bounded amount and TCP slows the
// peer; once read, every byte comes in order.
void TestNetwork::floodIsHeldBack()
{
    FloodingServer server;
    QVERIFY(server.isListening());
    MSComm comm;
    comm.setPortResolver(ptyResolver({{1, server.address()}}));
    comm.setInputMode(MSComm::comInputModeBinary);
    QCOMPARE(comm.setPortOpen(true), int(MSComm::NoError));
    constexpr qint64 bound = NetLink::HeldBytes + NetLink::SocketBufferBytes;
    QTRY_VERIFY(comm.InBufferCount() >= NetLink::HeldBytes);
    QTest::qWait(500);
    QVERIFY2(comm.InBufferCount() <= bound, qPrintable(QString::number(comm.InBufferCount())));

    QByteArray chunk;
    qint64 received = 0;
    qint64 largest = 0;
    bool inOrder = true;
    const auto readBlock = [&] {
        largest = std::max<qint64>(largest, comm.InBufferCount());
        comm.setInputLen(0);
        chunk = comm.Input().toByteArray();
        inOrder = inOrder && FloodingServer::isPattern(chunk, received);
        received += chunk.size();
    };
    QObject context;
    QObject::connect(&comm, &MSComm::OnComm, &context, readBlock);
    // The announcement of what waits went unheard: the first read starts the flow.
    readBlock();
    QTRY_VERIFY_WITH_TIMEOUT(received >= 16 << 20, 60000);
    QVERIFY(inOrder);
    QVERIFY2(largest <= bound, qPrintable(QString::number(largest)));
}

namespace {

// A window whose COM5 is a network port, and the board's pseudo-terminal behind ser2net.
struct NetworkWindow
{
    explicit NetworkWindow(const QString &address)
    {
        mapPorts(iniPath(), {{WindowFixture::boardPort, address}});
        window = std::make_unique<Form1>(testPlatform(platform, iniPath()));
    }
    [[nodiscard]] QString iniPath() const { return dir.filePath(QStringLiteral("zelqo.ini")); }
    template <typename T = QWidget> T *control(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    [[nodiscard]] bool isOpen() const
    {
        return control<QPushButton>("OpenCom")->text() == QStringLiteral("关闭串口");
    }
    // Opens COM5 on a receive box cleared of the start-up scan's report.
    void open() const
    {
        control<QPushButton>("ClearRevText")->click();
        control<ListBox>("ComPort")->select(WindowFixture::boardPort - 1);
        control<QPushButton>("OpenCom")->click();
    }

    QTemporaryDir dir;
    TestPlatform *platform = nullptr;
    std::unique_ptr<Form1> window;
};

} // namespace

// Open, receive, send, change the speed and close, as with a local port.
void TestNetwork::windowUsesANetworkPort()
{
    SKIP_WITHOUT_SER2NET();
    PseudoTerminal board;
    Ser2net server(board.slavePath(), Ser2net::Mode::Rfc2217);
    QVERIFY(server.start());
    NetworkWindow f(server.address());
    f.control<ListBox>("BuadRate")->setText(QStringLiteral("115200"));
    f.open();
    QVERIFY(f.isOpen());
    QVERIFY(f.platform->messages.isEmpty());
    QTRY_COMPARE(lineSpeed(board), speed_t(B115200));
    QVERIFY(board.write("hello \xff board\r\n"));
    QTRY_COMPARE(f.control<ReceiveBox>("RevText")->text(),
                 QStringLiteral("hello \uFFFD board\r\n"));
    f.control<MemoBox>("SendText")->setText(QStringLiteral("hi"));
    f.control<QPushButton>("ManSend")->click();
    QCOMPARE(board.readExactly(2), QByteArray("hi"));
    QCOMPARE(f.control<QLabel>("SendNum")->text(), QStringLiteral("2"));
    f.control<ListBox>("BuadRate")->setText(QStringLiteral("19200"));
    QTRY_COMPARE(lineSpeed(board), speed_t(B19200));
    f.control<QPushButton>("OpenCom")->click();
    QVERIFY(!f.isOpen());
}

// The list names the address; the scan neither connects nor reports the network port.
void TestNetwork::windowListsButNeverProbesNetworkPorts()
{
    RecordingServer server;
    NetworkWindow f(server.address());
    QCOMPARE(server.connections, 0);
    auto *list = f.control<ListBox>("ComPort");
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    QTest::mouseClick(list, Qt::LeftButton, {}, QPoint(list->width() - 6, list->height() / 2));
    QTRY_VERIFY(list->view()->isVisible());
    const int entry = WindowFixture::boardPort - 1;
    const QString where = QStringLiteral("127.0.0.1:%1").arg(server.port());
    QCOMPARE(list->itemData(entry, PortItemDelegate::DetailRole).toString(),
             QStringLiteral("ser2net ") + where);
    QVERIFY(list->itemData(entry, PortItemDelegate::PresentRole).toBool());
    QVERIFY(list->itemData(entry, Qt::ToolTipRole).toString().contains(server.address()));
    list->hidePopup();
    f.control<QPushButton>("FindCom")->click();
    QTest::qWait(100);
    QCOMPARE(server.connections, 0);
    QVERIFY(!f.control<ReceiveBox>("RevText")->text().contains(QStringLiteral("COM5")));
}

void TestNetwork::windowTellsWhyAnOpenFailed_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("cause");
    QTest::newRow("refused")
        << "closed"
        << "127.0.0.1:%1 拒绝连接：那里没有 ser2net 或其他程序在监听这个端口。";
    QTest::newRow("unknown host") << "nohost"
                                  << "找不到主机 no-such-board.invalid。";
    QTest::newRow("option refused")
        << "refuse"
        << "127.0.0.1:%1 不接受 RFC 2217 串口设置；只传数据请写作 socket://127.0.0.1:%1。";
}

void TestNetwork::windowTellsWhyAnOpenFailed()
{
    QFETCH(QString, how);
    QFETCH(QString, cause);
    RecordingServer refusing(RecordingServer::Answer::RefuseOption);
    quint16 port = freeLoopbackPort();
    QString address = QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
    if (how == QLatin1String("nohost"))
        address = QStringLiteral("rfc2217://no-such-board.invalid:2217");
    if (how == QLatin1String("refuse")) {
        port = refusing.port();
        address = refusing.address();
    }
    NetworkWindow f(address);
    if (how == QLatin1String("nohost"))
        f.platform->failConnect = QAbstractSocket::HostNotFoundError;
    f.open();
    QVERIFY(!f.isOpen());
    QCOMPARE(f.platform->messages.size(), 1);
    QCOMPARE(f.platform->messages.first().text,
             QStringLiteral("无效端口号\n") +
                 cause.replace(QStringLiteral("%1"), QString::number(port)));
}

// The connection breaks off with the server; the window waits and opens again once it is back.
void TestNetwork::windowReconnectsWhenTheServerIsBack()
{
    SKIP_WITHOUT_SER2NET();
    PseudoTerminal board;
    Ser2net server(board.slavePath(), Ser2net::Mode::Rfc2217);
    QVERIFY(server.start());
    NetworkWindow f(server.address());
    f.open();
    QVERIFY(f.isOpen());
    QVERIFY(board.write("one\r\n"));
    auto *box = f.control<ReceiveBox>("RevText");
    QTRY_COMPARE(box->text(), QStringLiteral("one\r\n"));
    server.kill();
    QTRY_VERIFY(!f.isOpen());
    QTRY_VERIFY(f.window->windowTitle().contains(QStringLiteral("等待 COM5 (") + server.address()));
    // The user can still work the window while it waits: typing, and a send that finds the port
    // closed.
    auto *sendText = f.control<MemoBox>("SendText");
    sendText->setText(QString());
    QTest::keyClicks(sendText, QStringLiteral("typed"));
    QCOMPARE(sendText->text(), QStringLiteral("typed"));
    f.control<QPushButton>("ManSend")->click();
    QCOMPARE(f.platform->messages.size(), 1);
    QCOMPARE(f.platform->messages.takeFirst().text, QStringLiteral("请打开串口"));
    QTest::qWait(600);
    QVERIFY(server.start());
    QTRY_VERIFY_WITH_TIMEOUT(f.isOpen(), 10000);
    QVERIFY(!f.window->windowTitle().contains(QStringLiteral("等待")));
    QVERIFY(board.write("two\r\n"));
    QTRY_COMPARE(box->text(), QStringLiteral("one\r\ntwo\r\n"));
    QVERIFY(f.platform->messages.isEmpty());
}

void TestNetwork::windowBacksOffFromAServerThatCloses_data()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("ser2net whose port another client holds") << "ser2net";
    QTest::newRow("a server that accepts and closes at once") << "closing";
}

// A server that takes the connection and drops it at once, telling why: every attempt adds its
// line to the box and the log, so the attempts come after pauses that keep doubling, and the title
// quotes the line. Once the port is free, the window is back within the last pause.
void TestNetwork::windowBacksOffFromAServerThatCloses()
{
    QFETCH(QString, server);
    PseudoTerminal board;
    std::unique_ptr<Ser2net> ser2net;
    std::unique_ptr<ClosingServer> closing;
    QTcpSocket holder;
    QString address;
    QString line;
    if (server == QLatin1String("ser2net")) {
        SKIP_WITHOUT_SER2NET();
        ser2net = std::make_unique<Ser2net>(board.slavePath(), Ser2net::Mode::Rfc2217, false);
        QVERIFY(ser2net->start());
        holder.connectToHost(QHostAddress::LocalHost, ser2net->port());
        QVERIFY(holder.waitForConnected());
        QVERIFY(QTest::qWaitFor([&] { return holder.waitForReadyRead(100); }, 5000));
        address = ser2net->address();
        line = QStringLiteral("Port already in use");
    } else {
        line = QStringLiteral("Device open failure: No such file or directory");
        closing = std::make_unique<ClosingServer>(line.toLatin1() + "\r\n");
        address = closing->address();
    }
    NetworkWindow f(address);
    f.open();
    QTRY_VERIFY(f.window->windowTitle().contains(QStringLiteral("等待 COM5 (") + address));
    auto *box = f.control<ReceiveBox>("RevText");
    QTest::qWait(8000);
    const qsizetype attempts = box->text().count(line);
    QVERIFY2(attempts >= 3 && attempts <= 9, qPrintable(QString::number(attempts)));
    QVERIFY2(f.window->windowTitle().endsWith(QStringLiteral("“%1”").arg(line)),
             qPrintable(f.window->windowTitle()));
    QVERIFY(f.platform->messages.isEmpty());
    if (!ser2net)
        return;
    holder.abort();
    QTRY_VERIFY_WITH_TIMEOUT(f.isOpen(), 10000);
    QVERIFY(!f.window->windowTitle().contains(QStringLiteral("等待")));
    // ser2net flushes the line as it closes it for the client that left, which it may do after
    // the window's connection is up: the board writes until a line comes through.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return board.write("free\r\n") &&
                   QTest::qWaitFor([&] { return box->text().endsWith(QStringLiteral("free\r\n")); },
                                   1000);
        },
        10000));
}

// The window closed while a user's open waits for a server that does not answer: the attempt
// stops, and no message comes after the window is gone.
void TestNetwork::windowClosedWhileConnecting()
{
    RecordingServer server(RecordingServer::Answer::Silent);
    NetworkWindow f(server.address());
    QTimer::singleShot(200, f.window.get(), [&f] { f.window->close(); });
    f.open();
    QVERIFY(!f.isOpen());
    QVERIFY(!f.control<MSComm>("MSComm1")->opening());
    QTest::qWait(100);
    QVERIFY(f.platform->messages.isEmpty());
}

// "控制线" reaches the remote port as SET-CONTROL, even after the number was mapped elsewhere.
void TestNetwork::windowSendsControlLines()
{
    RecordingServer server;
    NetworkWindow f(server.address());
    f.open();
    QVERIFY(f.isOpen());
    QTRY_VERIFY(!server.commands.isEmpty());
    server.commands.clear();
    // The open connection decides, not the mapping edited meanwhile.
    mapPorts(f.iniPath(), {{WindowFixture::boardPort, QStringLiteral("/dev/ttyS0")}});
    QVERIFY(!useContextMenu(f.control<QWidget>("RevText"),
                            {QStringLiteral("控制线"), QStringLiteral("DTR")})
                 .isEmpty());
    QTRY_COMPARE(server.commands.size(), 1);
    QCOMPARE(server.commands.first().command, 5);
    QCOMPARE(server.commands.first().value, bytes({telnet::ControlDtrOff}));
    QVERIFY(f.platform->messages.isEmpty());
    QVERIFY(f.platform->controlLines.isEmpty());
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
