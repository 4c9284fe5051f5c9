#include "support/transfer_line.h"

#include "support/byte_patterns.h"
#include "transfer/block_frame.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

TransferLine::TransferLine(const LineFaults *faults)
{
    if (faults) {
        board = std::make_unique<PseudoTerminal>();
        m_relayFd = ::open(QFile::encodeName(program.slavePath()).constData(),
                           O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        relay = std::make_unique<FaultyRelay>(m_relayFd, board->masterFd(), *faults);
    }
    port = std::make_unique<PtyPort>(program.masterFd());
    session = std::make_unique<transfer::TransferSession>(
        [this](const QByteArray &bytes) { return !unplugged && port->write(bytes); });
    session->setBacklog([this] { return port->backlog(); });
    // A pseudo-terminal is a fast line: answers to a repeated block come at once.
    session->setLineRate(115200);
    QObject::connect(port.get(), &PtyPort::bytesReceived, session.get(),
                     &transfer::TransferSession::receive);
    QObject::connect(session.get(), &transfer::TransferSession::logged, session.get(),
                     [this](const QString &line) { log.append(line); });
    QObject::connect(session.get(), &transfer::TransferSession::progressed, session.get(),
                     [this](const transfer::Progress &p) { progress = p; });
    QObject::connect(session.get(), &transfer::TransferSession::finished, session.get(),
                     [this](bool success, const QString &text) {
                         ended = true;
                         ok = success;
                         message = text;
                     });
}

TransferLine::~TransferLine()
{
    session.reset();
    relay.reset();
    if (m_relayFd >= 0)
        ::close(m_relayFd);
}

QString TransferLine::boardDevice() const
{
    return board ? board->slavePath() : program.slavePath();
}

bool TransferLine::isValid() const
{
    return program.isValid() && (!board || (board->isValid() && m_relayFd >= 0));
}

bool TransferLine::run(const transfer::Request &request, int timeoutMs)
{
    ended = false;
    session->start(request);
    return waitForEnd(timeoutMs) && ok;
}

bool TransferLine::waitForEnd(int timeoutMs)
{
    return waitUntil([this] { return ended; }, timeoutMs);
}

QList<int> edgeSizes()
{
    return {0, 1, 127, 128, 1023, 1024, 1025};
}

int bigSize()
{
#if defined(__SANITIZE_ADDRESS__)
    return 256 * 1024;
#else
    return 1024 * 1024;
#endif
}

QString supportScript(const char *name)
{
    return QStringLiteral(ZELQO_TESTS_DIR "/support/") + QLatin1String(name);
}

QString python()
{
    // Debian's own, which has python3-xmodem, whatever else is first on the PATH.
    return QStringLiteral("/usr/bin/python3");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray withoutPadding(QByteArray data)
{
    while (data.endsWith(transfer::Sub))
        data.chop(1);
    return data;
}

QStringList makeFiles(const QString &folder, const QList<int> &sizes)
{
    QStringList paths;
    for (const int size : sizes) {
        const QString path = QDir(folder).filePath(QStringLiteral("f%1.bin").arg(size));
        writeFile(path, pseudoRandomBytes(size, quint32(size)));
        paths.append(path);
    }
    return paths;
}

QByteArray transcript(const TransferLine &line, const BoardProgram &board)
{
    return (line.message + QLatin1Char('\n') + line.log.join(QLatin1Char('\n')) +
            QStringLiteral("\nboard: ") + board.errors())
        .toUtf8();
}
