#pragma once

#include "app/controls.h"
#include "app/form1.h"
#include "serial/mscomm.h"
#include "serial/receive_box/receive_box.h"
#include "support/pseudo_terminal.h"
#include "support/test_platform.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

    // Opens the box's context menu with a right click, as a user does, and triggers the entry at
    // path (a submenu's title, then its entry). Returns the texts of the menu's entries, empty when
    // the entry was not there.
    QStringList useMenu(const char *box, const QStringList &path) const
    {
        QWidget *target = control<QWidget>(box);
        if (auto *area = qobject_cast<QAbstractScrollArea *>(target))
            target = area->viewport();
        QStringList entries;
        bool chosen = false;
        QTimer::singleShot(0, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction *entry : menu->actions()) {
                entries << entry->text();
                if (entry->text() != path.value(0))
                    continue;
                QAction *choice = path.size() == 1 ? entry : nullptr;
                for (QAction *sub : entry->menu() ? entry->menu()->actions() : QList<QAction *>())
                    choice = sub->text() == path.value(1) ? sub : choice;
                if (choice) {
                    chosen = true;
                    // While the menu, which owns its entries, is still there.
                    choice->trigger();
                }
            }
            menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                target->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(target, &event);
        return chosen ? entries : QStringList();
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
