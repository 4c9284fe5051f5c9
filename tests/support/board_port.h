#pragma once

#include "port/mscomm.h"
#include "support/pseudo_terminal.h"

#include <QMap>

// Port numbers point at the given pseudo-terminals and nowhere else, never at a real port of the
// machine running the tests.
inline MSComm::PortResolver ptyResolver(const QMap<int, QString> &devices)
{
    return
        [devices](int n) { return devices.value(n, QStringLiteral("/nonexistent/tty%1").arg(n)); };
}

// COM1 is a pseudo-terminal playing the board.
struct BoardPort
{
    BoardPort() { comm.setPortResolver(ptyResolver({{1, pty.slavePath()}})); }
    [[nodiscard]] bool open() { return pty.isValid() && comm.setPortOpen(true) == MSComm::NoError; }

    PseudoTerminal pty;
    MSComm comm;
};
