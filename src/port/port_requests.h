#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QTextStream;

// `zelqo-serial --yield PORT` and `--reclaim PORT`: a script around a flasher asks the running
// program to lend it the port, and to take it back. Each running program listens on a local
// socket of its own, <runtime folder>/zelqo-serial-<pid>, that only the same user may connect
// to; a request is one line, and so is its answer.
namespace portrequest {

enum class Verb { Yield, Reclaim };

struct Request
{
    Verb verb = Verb::Yield;
    // "COM5", or a device's absolute path.
    QString port;
};

enum class Outcome {
    Done,    // lent (or lent already), or taken back
    NotHeld, // this program does not hold (or has not lent) that port
    Failed,
};

struct Answer
{
    Outcome outcome = Outcome::NotHeld;
    // One line for the user of the script.
    QString text;
};

// How long a request waits for all answers.
constexpr int AnswerMs = 1000;

// The user's runtime folder (XDG_RUNTIME_DIR), empty when there is none to use.
[[nodiscard]] QString socketFolder();
[[nodiscard]] QString socketPath(qint64 pid);
// The port as the program compares it: "COM5" for any spelling of a number, else the absolute
// path of a device, from the folder the script runs in.
[[nodiscard]] QString normalPort(const QString &port);
// The number of "COM5" (any case), 0 for what is no port number.
[[nodiscard]] int portNumber(const QString &port);

[[nodiscard]] QByteArray encode(const Request &request);
[[nodiscard]] std::optional<Request> decodeRequest(const QByteArray &line);
[[nodiscard]] QByteArray encode(const Answer &answer);
[[nodiscard]] std::optional<Answer> decodeAnswer(const QByteArray &line);

// Asks every running program and writes what they answered to out, one line each: the exit
// status of the command. A socket whose program is gone, or where nobody listens, is removed.
[[nodiscard]] int ask(const Request &request, QTextStream &out, int timeoutMs = AnswerMs);

} // namespace portrequest

// The running program's end: listens on the process's socket and asks the windows that
// registered whether they hold the port. One per process, whatever the number of windows.
class PortRequestServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<portrequest::Answer(const portrequest::Request &)>;

    // Made on first use, listening until the application ends.
    [[nodiscard]] static PortRequestServer *instance();
    // handler answers while context lives; the first answer other than NotHeld is the reply.
    void addHandler(QObject *context, Handler handler);
    [[nodiscard]] bool isListening() const;

private:
    explicit PortRequestServer(QObject *parent);
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);
    [[nodiscard]] portrequest::Answer answer(const portrequest::Request &request);

    QLocalServer *m_server;
    QList<std::pair<QPointer<QObject>, Handler>> m_handlers;
};
