#pragma once

#include "support/pseudo_terminal.h"
#include "support/pty_line.h"
#include "transfer/transfer_session.h"

#include <QMetaType>
#include <QStringList>

#include <memory>

// A transfer session on the program's end of a pseudo-terminal, the board on the other end;
// with faults, a relay sits between two pseudo-terminals instead.
class TransferLine
{
public:
    explicit TransferLine(const LineFaults *faults = nullptr);
    ~TransferLine();

    // The device the board's program opens.
    [[nodiscard]] QString boardDevice() const;
    [[nodiscard]] bool isValid() const;

    // Starts the request and waits for its end; true when it completed.
    bool run(const transfer::Request &request, int timeoutMs = 120000);
    [[nodiscard]] bool waitForEnd(int timeoutMs = 120000);

    PseudoTerminal program;
    std::unique_ptr<PseudoTerminal> board; // with a relay
    std::unique_ptr<PtyPort> port;
    std::unique_ptr<FaultyRelay> relay;
    std::unique_ptr<transfer::TransferSession> session;
    // When set, the port refuses every write from then on, as a pulled adapter does.
    bool unplugged = false;

    bool ended = false;
    bool ok = false;
    QString message;
    QStringList log;
    transfer::Progress progress;

private:
    int m_relayFd = -1;
};

// A program that plays the board: FILE and DEVICE in its arguments stand for the file and the
// board's device.
struct Peer
{
    QString program;
    QStringList arguments;
};
Q_DECLARE_METATYPE(Peer)

// The sizes every protocol is tried with, and the big one (smaller in the sanitizer build).
QList<int> edgeSizes();
int bigSize();
QString supportScript(const char *name);
QString python();

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);
QByteArray withoutPadding(QByteArray data);
// Pseudo-random files of these sizes in folder, each named by its size.
QStringList makeFiles(const QString &folder, const QList<int> &sizes);
// For a failed check: what the session and the board said.
QByteArray transcript(const TransferLine &line, const BoardProgram &board);
