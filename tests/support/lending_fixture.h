#pragma once

#include "support/borrower.h"
#include "support/window_fixture.h"

#include <termios.h>

// The window with its board's port open to everyone, its box cleared, recording to log, and
// "before\r\n" from the board shown: where a port is lent from.
[[nodiscard]] inline bool openRecording(WindowFixture &f, const QString &log)
{
    if (!f.isValid() || !Borrower::openToEveryone(f.board.slavePath()) || !f.openBoard())
        return false;
    f.click("ClearRevText");
    f.platform->saveAnswers = {log};
    if (f.useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty() ||
        !f.board.write("before\r\n"))
        return false;
    return QTest::qWaitFor([&f] { return f.revText() == QStringLiteral("before\r\n"); });
}

[[nodiscard]] inline bool isOpen(const WindowFixture &f)
{
    return f.control<QPushButton>("OpenCom")->text() == QStringLiteral("关闭串口");
}

[[nodiscard]] inline QString title(const WindowFixture &f)
{
    return f.window->windowTitle();
}

// The line's output speed as the board's side sees it.
[[nodiscard]] inline speed_t lineSpeed(const PseudoTerminal &pty)
{
    const std::optional<termios> line = pty.lineTermios();
    return line ? ::cfgetospeed(&*line) : B0;
}
