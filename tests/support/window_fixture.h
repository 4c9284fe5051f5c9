#pragma once

#include "app/controls.h"
#include "app/form1.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// A window whose port COM5 is a pseudo-terminal playing the board; every other number names
// no device.
class WindowFixture
{
public:
    static constexpr int boardPort = 5;

    WindowFixture()
    {
        mapPorts(iniPath(), {{boardPort, board.slavePath()}});
        window = std::make_unique<Form1>(testPlatform(platform, iniPath()));
    }

    [[nodiscard]] bool isValid() const { return dir.isValid() && board.isValid(); }
    [[nodiscard]] QString iniPath() const
    {
        return dir.filePath(QStringLiteral("zelqo柯澜欧.ini"));
    }

    template <typename T = QWidget> T *control(const char *name) const
    {
        auto *w = window->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }

    void click(const char *button) const { control<QPushButton>(button)->click(); }

    // Shows the window, active when keys and focus matter.
    [[nodiscard]] bool showWindow(bool active = false) const
    {
        window->show();
        if (!active)
            return QTest::qWaitForWindowExposed(window.get());
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }

    // Picks the board's port from the list and opens it.
    [[nodiscard]] bool openBoard() const
    {
        control<ListBox>("ComPort")->select(boardPort - 1);
        click("OpenCom");
        return control<QPushButton>("OpenCom")->text() == QStringLiteral("关闭串口");
    }

    QTemporaryDir dir;
    PseudoTerminal board;
    TestPlatform *platform = nullptr;
    std::unique_ptr<Form1> window;
};
