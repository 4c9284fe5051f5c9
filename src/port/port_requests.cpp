#include "port/port_requests.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <memory>
#include <vector>

namespace portrequest {

namespace {

const QString socketPrefix = QStringLiteral("zelqo-serial-");
// Longer is not a request: a path has at most PATH_MAX bytes.
constexpr qint64 MaxLineBytes = 8192;

const QList<std::pair<Verb, QByteArray>> verbs = {{Verb::Yield, "yield"},
                                                  {Verb::Reclaim, "reclaim"}};
const QList<std::pair<Outcome, QByteArray>> outcomes = {
    {Outcome::Done, "done"}, {Outcome::NotHeld, "not-held"}, {Outcome::Failed, "failed"}};

// A word, a blank and the rest of the line, which is text.
std::optional<std::pair<QByteArray, QString>> split(const QByteArray &line)
{
    QByteArray bytes = line;
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    const qsizetype blank = bytes.indexOf(' ');
    if (blank <= 0 || bytes.contains('\n'))
        return std::nullopt;
    return std::make_pair(bytes.left(blank), QString::fromUtf8(bytes.mid(blank + 1)));
}

QByteArray oneLine(const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.remove(QLatin1Char('\r'));
    return line.toUtf8();
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

QString socketFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString socketPath(qint64 pid)
{
    const QString folder = socketFolder();
    return folder.isEmpty() ? QString()
                            : QDir(folder).filePath(socketPrefix + QString::number(pid));
}

int portNumber(const QString &port)
{
    static const QRegularExpression number(QStringLiteral("^COM([1-9][0-9]{0,3})$"),
                                           QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = number.match(port.trimmed());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString normalPort(const QString &port)
{
    if (const int n = portNumber(port))
        return QStringLiteral("COM%1").arg(n);
    return QFileInfo(port).absoluteFilePath();
}

QByteArray encode(const Request &request)
{
    for (const auto &[verb, word] : verbs) {
        if (verb == request.verb)
            return word + ' ' + oneLine(request.port) + '\n';
    }
    return {};
}

std::optional<Request> decodeRequest(const QByteArray &line)
{
    const auto parts = split(line);
    if (!parts || parts->second.isEmpty())
        return std::nullopt;
    for (const auto &[verb, word] : verbs) {
        if (word == parts->first)
            return Request{verb, parts->second};
    }
    return std::nullopt;
}

QByteArray encode(const Answer &answer)
{
    for (const auto &[outcome, word] : outcomes) {
        if (outcome == answer.outcome)
            return word + ' ' + oneLine(answer.text) + '\n';
    }
    return {};
}

std::optional<Answer> decodeAnswer(const QByteArray &line)
{
    const auto parts = split(line);
    if (!parts)
        return std::nullopt;
    for (const auto &[outcome, word] : outcomes) {
        if (word == parts->first)
            return Answer{outcome, parts->second};
    }
    return std::nullopt;
}

int ask(const Request &request, QTextStream &out, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const QDir folder(socketFolder());
    const QStringList sockets =
        socketFolder().isEmpty()
            ? QStringList()
            : folder.entryList({socketPrefix + QLatin1Char('*')}, QDir::System | QDir::Files);
    // Every program is asked before any answer is awaited, so a slow one delays no other.
    std::vector<std::pair<qint64, std::unique_ptr<QLocalSocket>>> asked;
    QList<qint64> silent;
    for (const QString &name : sockets) {
        bool isNumber = false;
        const qint64 pid = name.mid(socketPrefix.size()).toLongLong(&isNumber);
        if (!isNumber || pid <= 0 || pid == QCoreApplication::applicationPid())
            continue;
        const QString path = folder.filePath(name);
        // Left behind by a program that ended without closing it.
        if (!processAlive(pid)) {
            QFile::remove(path);
            continue;
        }
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(path);
        if (!socket->waitForConnected(int(deadline.remainingTime()))) {
            const QLocalSocket::LocalSocketError error = socket->error();
            if (error == QLocalSocket::ConnectionRefusedError ||
                error == QLocalSocket::ServerNotFoundError)
                QFile::remove(path);
            else
                silent << pid;
            continue;
        }
        socket->write(encode(request));
        socket->flush();
        asked.emplace_back(pid, std::move(socket));
    }
    QList<Answer> answers;
    for (auto &[pid, socket] : asked) {
        while (!socket->canReadLine() && !deadline.hasExpired() &&
               socket->waitForReadyRead(int(deadline.remainingTime()))) {
        }
        const std::optional<Answer> answer =
            socket->canReadLine() ? decodeAnswer(socket->readLine(MaxLineBytes)) : std::nullopt;
        if (answer)
            answers << *answer;
        else
            silent << pid;
    }

    const auto report = [&out, &answers](Outcome which) {
        bool any = false;
        for (const Answer &answer : std::as_const(answers)) {
            if (answer.outcome == which) {
                out << answer.text << Qt::endl;
                any = true;
            }
        }
        return any;
    };
    if (report(Outcome::Done))
        return 0;
    if (report(Outcome::Failed))
        return 1;
    for (const qint64 pid : std::as_const(silent))
        out << QStringLiteral("zelqo-serial（进程 %1）没有在 %2 毫秒内应答。")
                   .arg(pid)
                   .arg(timeoutMs)
            << Qt::endl;
    if (!silent.isEmpty())
        return 1;
    if (request.verb == Verb::Yield)
        out << QStringLiteral("没有运行中的 zelqo-serial 占用 %1，无需让出。").arg(request.port);
    else
        out << QStringLiteral("没有运行中的 zelqo-serial 让出了 %1，无需收回。").arg(request.port);
    out << Qt::endl;
    return 0;
}

} // namespace portrequest

using namespace portrequest;

PortRequestServer *PortRequestServer::instance()
{
    static QPointer<PortRequestServer> server;
    if (!server)
        server = new PortRequestServer(QCoreApplication::instance());
    return server;
}

PortRequestServer::PortRequestServer(QObject *parent)
    : QObject(parent), m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // The name carries this process's number: a socket of that name was left by a process that
    // had the number before.
    const QString path = socketPath(QCoreApplication::applicationPid());
    if (path.isEmpty())
        return;
    QLocalServer::removeServer(path);
    if (m_server->listen(path))
        connect(m_server, &QLocalServer::newConnection, this, &PortRequestServer::onNewConnection);
}

void PortRequestServer::addHandler(QObject *context, Handler handler)
{
    m_handlers.append({context, std::move(handler)});
}

bool PortRequestServer::isListening() const
{
    return m_server->isListening();
}

void PortRequestServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    }
}

void PortRequestServer::onReadyRead(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > MaxLineBytes)
            socket->abort();
        return;
    }
    const std::optional<Request> request = decodeRequest(socket->readLine(MaxLineBytes));
    const Answer reply =
        request ? answer(*request) : Answer{Outcome::Failed, QStringLiteral("请求无法识别。")};
    socket->write(encode(reply));
    // Closes once the answer is written.
    socket->disconnectFromServer();
}

Answer PortRequestServer::answer(const Request &request)
{
    for (qsizetype i = 0; i < m_handlers.size();) {
        if (!m_handlers[i].first) {
            m_handlers.removeAt(i);
            continue;
        }
        // A handler may add or remove others; the pair is copied first.
        const Handler handler = m_handlers[i].second;
        const Answer answer = handler(request);
        if (answer.outcome != Outcome::NotHeld)
            return answer;
        ++i;
    }
    return {Outcome::NotHeld, QStringLiteral("不占用此端口。")};
}
