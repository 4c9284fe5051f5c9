#pragma once

#include "app/controls.h"
#include "app/form1.h"
#include "port/mscomm.h"
#include "support/context_menu.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"
#include "textview/receive_box.h"

#include <QLabel>
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

    [[nodiscard]] MSComm &comm() const { return *control<MSComm>("MSComm1"); }
    [[nodiscard]] QTimer &autoSendTimer() const { return *control<QTimer>("AutoSendTimer"); }

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

    [[nodiscard]] QString revText() const { return control<ReceiveBox>("RevText")->text(); }
    [[nodiscard]] QString counter(const char *name) const { return control<QLabel>(name)->text(); }
    void setSendText(const QString &text) const { control<MemoBox>("SendText")->setText(text); }

    // The box's context menu, used as useContextMenu() does.
    QStringList useMenu(const char *box, const QStringList &path) const
    {
        return useContextMenu(control<QWidget>(box), path);
    }

    // Chooses "UTF-8" or "GBK" from the box's menu; whether the window now uses it.
    bool chooseEncoding(const char *box, const QString &name) const
    {
        if (useMenu(box, {QStringLiteral("文字编码"), name}).isEmpty())
            return false;
        const QString current = comm().textEncoding() == MSComm::TextEncoding::Gb18030
                                    ? QStringLiteral("GBK")
                                    : QStringLiteral("UTF-8");
        return current == name;
    }

    QTemporaryDir dir;
    PseudoTerminal board;
    TestPlatform *platform = nullptr;
    std::unique_ptr<Form1> window;
};
