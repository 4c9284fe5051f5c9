#pragma once

#include "app/window_font.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QTest>

// A receive box on screen as the window shows it, and where its caret is drawn.
struct ReceiveBoxView
{
    static void show(ReceiveBox &box, QSize size = QSize(329, 209))
    {
        box.setFont(windowFont());
        box.resize(size);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.activateWindow();
        box.setFocus();
    }
    // Where each visual line starts, from where the caret of each position is drawn.
    static QList<qint64> visualLineStarts(ReceiveBox &box)
    {
        QList<qint64> starts;
        int lastY = -1;
        for (qint64 pos = 0; pos <= box.length(); ++pos) {
            const int y = caretRect(box, pos).y();
            if (y != lastY)
                starts.append(pos);
            lastY = y;
        }
        return starts;
    }
    // The caret rectangle of pos, in viewport coordinates.
    static QRect caretRect(ReceiveBox &box, qint64 pos)
    {
        box.setSelStart(pos);
        return box.inputMethodQuery(Qt::ImCursorRectangle)
            .toRectF()
            .toRect()
            .translated(-box.viewport()->pos());
    }

    static QFont windowFont() { return ::windowFont(QApplication::font()); }
};
