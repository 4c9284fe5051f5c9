#pragma once

#include <QAbstractScrollArea>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>

// Opens target's context menu with a right click, as a user does, and chooses the entry at path
// (an entry, or a submenu's title and then its entry) with the keyboard. Returns the texts of the
// menu's entries, or nothing when the entry was not there or was disabled.
inline QStringList useContextMenu(QWidget *target, const QStringList &path)
{
    if (auto *area = qobject_cast<QAbstractScrollArea *>(target))
        target = area->viewport();
    QStringList entries;
    bool chosen = false;
    QTimer::singleShot(0, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        QAction *choice = nullptr;
        for (QAction *entry : menu->actions()) {
            entries << entry->text();
            if (entry->text() != path.value(0) || !entry->isEnabled())
                continue;
            choice = path.size() == 1 ? entry : nullptr;
            for (QAction *sub : entry->menu() ? entry->menu()->actions() : QList<QAction *>())
                choice = sub->text() == path.value(1) ? sub : choice;
        }
        if (!choice) {
            menu->close();
            return;
        }
        chosen = true;
        if (choice->menu() == nullptr && menu->actions().contains(choice)) {
            menu->setActiveAction(choice);
            QTest::keyClick(menu, Qt::Key_Return);
        } else {
            // A submenu's entry: the menu, which owns it, is still there.
            choice->trigger();
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            target->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(target, &event);
    return chosen ? entries : QStringList();
}
