#include "support/network_servers.h"

#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool listensOnLoopback(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // "0100007F:1F90" is 127.0.0.1:8080; state 0A is LISTEN.
    const QByteArray local =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields.at(1) == local && fields.at(3) == "0A")
            return true;
    }
    return false;
}

Ser2net::Ser2net(const QString &device, Mode mode, bool kickOldUser)
    : m_device(device), m_mode(mode), m_kickOldUser(kickOldUser), m_port(freeLoopbackPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

Ser2net::~Ser2net()
{
    kill();
}

bool Ser2net::installed()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty() ||
           QFile::exists(QStringLiteral("/usr/sbin/ser2net"));
}

bool Ser2net::start()
{
    if (!m_dir.isValid() || m_port == 0)
        return false;
    const QString accepter =
        m_mode == Mode::Rfc2217 ? QStringLiteral("telnet(rfc2217),tcp") : QStringLiteral("tcp");
    const QString yaml = QStringLiteral("%YAML 1.1\n---\n"
                                        "connection: &board\n"
                                        "  accepter: %1,127.0.0.1,%2\n"
                                        "  connector: serialdev,%3,9600n81,local\n"
                                        "  options:\n"
                                        "    kickolduser: %4\n")
                             .arg(accepter)
                             .arg(m_port)
                             .arg(m_device)
                             .arg(m_kickOldUser ? QStringLiteral("true") : QStringLiteral("false"));
    QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly) || config.write(yaml.toUtf8()) < 0)
        return false;
    config.close();
    const QString program = QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty()
                                ? QStringLiteral("/usr/sbin/ser2net")
                                : QStringLiteral("ser2net");
    // -u: no UUCP lock files, so that the tests need no lock folder of their own.
    m_process.start(program, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-u"),
                              QStringLiteral("-P"), m_dir.filePath(QStringLiteral("pid")),
                              QStringLiteral("-c"), config.fileName()});
    if (!m_process.waitForStarted())
        return false;
    return QTest::qWaitFor([this] { return listensOnLoopback(m_port); }, 10000);
}

void Ser2net::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}

QString Ser2net::address() const
{
    return (m_mode == Mode::Rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("socket")) +
           QStringLiteral("://127.0.0.1:%1").arg(m_port);
}

namespace {

enum : uchar { Iac = 255, Se = 240, Sb = 250, Will = 251, Wont = 252, Do = 253, Dont = 254 };

QByteArray verb(uchar v, uchar option)
{
    return QByteArray() + char(Iac) + char(v) + char(option);
}

} // namespace

RecordingServer::RecordingServer(Answer answer, const QHostAddress &on)
    : m_answer(answer), m_host(on.protocol() == QAbstractSocket::IPv6Protocol
                                   ? QStringLiteral("[%1]").arg(on.toString())
                                   : on.toString())
{
    connect(&m_server, &QTcpServer::newConnection, this, &RecordingServer::onConnection);
    m_server.listen(on, 0);
}

QString RecordingServer::address() const
{
    return QStringLiteral("rfc2217://%1:%2").arg(m_host).arg(port());
}

bool RecordingServer::sendRaw(const QByteArray &bytes)
{
    if (!m_client)
        return false;
    m_client->write(bytes);
    return m_client->flush() || m_client->bytesToWrite() == 0;
}

void RecordingServer::drop()
{
    if (m_client)
        m_client->disconnectFromHost();
}

void RecordingServer::onConnection()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        ++connections;
        m_client = client;
        connect(client, &QTcpSocket::readyRead, this, &RecordingServer::onReadable);
    }
}

// Parses whole commands from what has come so far; an incomplete one waits for the rest.
void RecordingServer::onReadable()
{
    if (m_answer == Answer::Silent)
        return;
    m_pending += m_client->readAll();
    const auto at = [this](qsizetype i) { return uchar(m_pending.at(i)); };
    qsizetype i = 0;
    while (i < m_pending.size()) {
        if (at(i) != Iac) {
            data += m_pending.at(i++);
            continue;
        }
        if (i + 1 >= m_pending.size())
            break;
        const uchar command = at(i + 1);
        if (command == Iac) {
            data += char(Iac);
            i += 2;
        } else if (command >= Will) {
            if (i + 2 >= m_pending.size())
                break;
            const uchar option = at(i + 2);
            static const char *names[] = {"WILL", "WONT", "DO", "DONT"};
            verbs << QByteArray(names[command - Will]) + ' ' + QByteArray::number(option);
            if (command == Will && option == 44)
                m_client->write(verb(m_answer == Answer::Accept ? Do : Dont, 44));
            i += 3;
        } else if (command == Sb) {
            QByteArray body;
            qsizetype j = i + 2;
            bool complete = false;
            while (j < m_pending.size()) {
                if (at(j) == Iac && j + 1 < m_pending.size() && at(j + 1) == Se) {
                    complete = true;
                    break;
                }
                if (at(j) == Iac && j + 1 < m_pending.size() && at(j + 1) == Iac)
                    ++j;
                else if (at(j) == Iac)
                    break;
                body += m_pending.at(j++);
            }
            if (!complete)
                break;
            if (body.size() >= 2 && uchar(body.at(0)) == 44)
                commands.append({uchar(body.at(1)), body.mid(2)});
            i = j + 2;
        } else {
            i += 2;
        }
    }
    m_pending.remove(0, i);
}

void FailingSocket::connectToHost(const QString &, quint16, OpenMode, NetworkLayerProtocol)
{
    setSocketState(QAbstractSocket::HostLookupState);
    QTimer::singleShot(20, this, [this] {
        setSocketState(QAbstractSocket::UnconnectedState);
        setSocketError(m_error);
        setErrorString(QStringLiteral("failed by the test"));
        emit errorOccurred(m_error);
    });
}

FloodingServer::FloodingServer()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(m_listener, 1) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
        pollfd waiting{m_listener, POLLIN, 0};
        while (!m_stop && ::poll(&waiting, 1, 50) <= 0) {
        }
        const int client = m_stop ? -1 : ::accept(m_listener, nullptr, nullptr);
        if (client < 0)
            return;
        QByteArray block(64 * 1024, Qt::Uninitialized);
        qint64 next = 0;
        while (!m_stop) {
            for (char &c : block)
                c = char(next++ % 251);
            for (qsizetype done = 0; done < block.size() && !m_stop;) {
                pollfd writable{client, POLLOUT, 0};
                if (::poll(&writable, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::send(client, block.constData() + done,
                                         size_t(block.size() - done), MSG_NOSIGNAL);
                if (n <= 0) {
                    m_stop = true;
                    break;
                }
                done += n;
                m_sent += n;
            }
        }
        ::close(client);
    });
}

FloodingServer::~FloodingServer()
{
    stop();
    if (m_listener >= 0)
        ::close(m_listener);
}

void FloodingServer::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

QString FloodingServer::address() const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_port);
}

bool FloodingServer::isPattern(const QByteArray &bytes, qint64 offset)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (uchar(bytes.at(i)) != uchar((offset + i) % 251))
            return false;
    }
    return true;
}

ClosingServer::ClosingServer(QByteArray line) : m_line(std::move(line))
{
    (void)m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            ++connections;
            client->write(m_line);
            client->disconnectFromHost();
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    });
}

QString ClosingServer::address() const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_server.serverPort());
}
