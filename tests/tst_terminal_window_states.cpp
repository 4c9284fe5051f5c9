// The terminal window's pastes, options, states and drawing.
#include "tst_terminal_window.h"

#include "support/context_menu.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QWheelEvent>

namespace {

// The menu entry named text in the view's context menu as it opens: whether it is enabled, and
// its tooltip.
std::pair<bool, QString> menuEntry(TerminalView *view, const QString &text)
{
    std::pair<bool, QString> found{false, QStringLiteral("<none>")};
    QTimer::singleShot(0, view, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            if (action->text() == text)
                found = {action->isEnabled(), action->toolTip()};
        }
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            view->viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(view->viewport(), &event);
    return found;
}

QByteArray numberedLines(int from, int to)
{
    QByteArray text;
    for (int n = from; n < to; ++n)
        text += "line " + QByteArray::number(n) + "\r\n";
    return text;
}

} // namespace

void TestTerminalWindow::pasting_data()
{
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("enter");
    QTest::addColumn<bool>("bracketed");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("lines") << "print(1)\nprint(2)\n"
                           << "CR" << false << QByteArray("print(1)\rprint(2)\r");
    QTest::newRow("last line without break") << "ls\r\npwd"
                                             << "LF" << false << QByteArray("ls\npwd");
    QTest::newRow("old Mac breaks") << "a\rb\r"
                                    << "CR+LF" << false << QByteArray("a\r\nb\r\n");
    QTest::newRow("controls left out") << "ls\x03\x04\x1b[2J\tx\x7f\n"
                                       << "CR" << false << QByteArray("ls[2J\tx\r");
    QTest::newRow("bracketed") << "a\nb"
                               << "CR" << true << QByteArray("\x1b[200~a\rb\x1b[201~");
    QTest::newRow("bracketed, an end mark inside")
        << "x\x1b[201~y"
        << "CR" << true << QByteArray("\x1b[200~x[201~y\x1b[201~");
    QTest::newRow("Chinese") << "你好\n"
                             << "CR" << false << QByteArray("\xe4\xbd\xa0\xe5\xa5\xbd\r");
}

// Ctrl+Shift+V, as a user pastes.
void TestTerminalWindow::pasting()
{
    QFETCH(QString, clipboard);
    QFETCH(QString, enter);
    QFETCH(bool, bracketed);
    QFETCH(QByteArray, expected);
    TerminalFixture f;
    term::Options options;
    options.enter = term::enterFromSetting(enter);
    f.window->setOptions(options);
    if (bracketed)
        f.window->receive("\x1b[?2004h");
    QApplication::clipboard()->setText(clipboard);
    QTest::keyClick(f.view(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(f.takeSent(), expected);
    QApplication::clipboard()->setText(QStringLiteral("again"));
    QTest::keyClick(f.view(), Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(f.takeSent(), bracketed ? QByteArray("\x1b[200~again\x1b[201~") : "again");
}

// A paste with a pause between lines goes a line at a time, in order; a key stops what is left,
// closing the bracketed paste before the key goes.
void TestTerminalWindow::pacedPasteStopsAtAKey()
{
    TerminalFixture f;
    term::Options options;
    options.pasteLineIntervalMs = 20;
    f.window->setOptions(options);
    f.window->receive("\x1b[?2004h");
    QApplication::clipboard()->setText(QStringLiteral("l1\nl2\nl3\n"));
    QTest::keyClick(f.view(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_COMPARE_WITH_TIMEOUT(f.sends, 3, 10000);
    QCOMPARE(f.takeSent(), QByteArray("\x1b[200~l1\rl2\rl3\r\x1b[201~"));
    QVERIFY(!f.window->session().isPasting());

    options.pasteLineIntervalMs = 10000;
    f.window->setOptions(options);
    QApplication::clipboard()->setText(QStringLiteral("first\nsecond\nthird\n"));
    QTest::keyClick(f.view(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(f.takeSent(), QByteArray("\x1b[200~first\r"));
    QVERIFY(f.window->session().isPasting());
    QTest::keyClick(f.view(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(f.takeSent(), QByteArray("\x1b[201~\x03"));
    QVERIFY(!f.window->session().isPasting());
}

void TestTerminalWindow::microPythonPasteMode()
{
    TerminalFixture f;
    QApplication::clipboard()->setText(QStringLiteral("def f():\n    return 1\n"));
    QVERIFY(!useContextMenu(f.view(), {QStringLiteral("MicroPython 粘贴模式")}).isEmpty());
    QCOMPARE(f.takeSent(), QByteArray("\x05"
                                      "def f():\r    return 1\r\x04"));
}

// Each option the context menu offers changes what keys send and asks for it to be kept.
void TestTerminalWindow::optionsFromTheMenu()
{
    TerminalFixture f;
    QSignalSpy changed(f.window.get(), &TerminalWindow::optionsChanged);
    QVERIFY(!useContextMenu(f.view(), {QStringLiteral("退格键发送"), QStringLiteral("BS (08)")})
                 .isEmpty());
    QCOMPARE(f.window->options().backspace, term::Backspace::Bs);
    QTest::keyClick(f.view(), Qt::Key_Backspace);
    QCOMPARE(f.takeSent(), QByteArray("\x08"));
    QVERIFY(!useContextMenu(f.view(), {QStringLiteral("回车键发送"), QStringLiteral("CR+LF")})
                 .isEmpty());
    QTest::keyClick(f.view(), Qt::Key_Return);
    QCOMPARE(f.takeSent(), QByteArray("\r\n"));
    QVERIFY(!useContextMenu(f.view(), {QStringLiteral("粘贴行间隔"), QStringLiteral("50 毫秒")})
                 .isEmpty());
    QCOMPARE(f.window->options().pasteLineIntervalMs, 50);
    QVERIFY(!useContextMenu(f.view(), {QStringLiteral("本地回显")}).isEmpty());
    QVERIFY(f.window->options().localEcho);
    QCOMPARE(changed.count(), 4);
    QCOMPARE(f.window->options().backspace, term::Backspace::Bs);
}

// Off by default: the board echoes. On: what is sent shows as sent.
void TestTerminalWindow::localEcho()
{
    TerminalFixture f;
    QTest::keyClicks(f.view(), QStringLiteral("ab"));
    QCOMPARE(f.takeSent(), QByteArray("ab"));
    QVERIFY(!f.shows(QStringLiteral("ab")));
    term::Options options;
    options.localEcho = true;
    f.window->setOptions(options);
    f.window->setEncoding(term::Encoding::Gb18030);
    QTest::keyClicks(f.view(), QStringLiteral("xy"));
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("中"));
    QApplication::sendEvent(f.view(), &commit);
    QCOMPARE(f.takeSent(), QByteArray("xy\xd6\xd0"));
    QCOMPARE(f.screen().row(0).text(), QStringLiteral("xy中"));
}

void TestTerminalWindow::portClosedAndTransfer()
{
    TerminalFixture f;
    auto *state = f.window->findChild<QLabel *>(QStringLiteral("TerminalState"));
    QVERIFY(state);
    QVERIFY(!state->isVisible());

    f.window->setPortOpen(false);
    QVERIFY(state->isVisible());
    QVERIFY(state->text().contains(QStringLiteral("串口未打开")));
    QTest::keyClicks(f.view(), QStringLiteral("ls"));
    QTest::keyClick(f.view(), Qt::Key_Return);
    QVERIFY(f.takeSent().isEmpty());
    f.window->setPortOpen(true);
    QVERIFY(!state->isVisible());
    f.window->receive("booted\r\n");
    QVERIFY(f.shows(QStringLiteral("booted")));
    QTest::keyClick(f.view(), Qt::Key_A);
    QCOMPARE(f.takeSent(), QByteArray("a"));

    f.window->setTransferring(true);
    QVERIFY(state->isVisible());
    QCOMPARE(state->text(), QStringLiteral("文件传输中…"));
    QTest::keyClick(f.view(), Qt::Key_C, Qt::ControlModifier);
    f.window->receive("\x18\x18"
                      "B00000000000000\r\n");
    QVERIFY(f.takeSent().isEmpty());
    QVERIFY(!f.shows(QStringLiteral("B0000")));
    f.window->setTransferring(false);
    QVERIFY(!state->isVisible());
    QTest::keyClick(f.view(), Qt::Key_B);
    QCOMPARE(f.takeSent(), QByteArray("b"));
}

void TestTerminalWindow::breakEntry()
{
    TerminalFixture f;
    QSignalSpy breaks(f.window.get(), &TerminalWindow::breakRequested);
    const QString tip = QStringLiteral("伪终端收下 Break 却传不出去");
    f.window->setBreakAvailable(false, tip);
    QCOMPARE(menuEntry(f.view(), QStringLiteral("发送 Break")), std::pair(false, tip));
    QVERIFY(useContextMenu(f.view(), {QStringLiteral("发送 Break")}).isEmpty());
    QCOMPARE(breaks.count(), 0);
    f.window->setBreakAvailable(true, QString());
    QVERIFY(!useContextMenu(f.view(), {QStringLiteral("发送 Break")}).isEmpty());
    QCOMPARE(breaks.count(), 1);
    QVERIFY(f.takeSent().isEmpty());
}

// Pixels of the painted grid: a background colour, reverse video, a wide character over two
// cells, and the cursor as a block of the text colour.
void TestTerminalWindow::drawsCellsColoursAndWideCharacters()
{
    TerminalFixture f;
    f.window->receive("\x1b[41m  \x1b[0m \x1b[7m \x1b[0m \xe4\xb8\xad\r\n");
    const term::RowLook &look = f.view()->look();
    const QImage image = f.view()->viewport()->grab().toImage();
    auto pixel = [&](int row, int column, int dx = 1, int dy = 1) {
        return image.pixelColor(column * look.cellWidth + dx, row * look.cellHeight + dy);
    };
    QCOMPARE(pixel(0, 0), QColor(QRgb(0xff000000 | f.screen().row(0).at(0).bg)));
    QVERIFY(pixel(0, 0) != look.background);
    QCOMPARE(pixel(0, 3), look.foreground);
    QCOMPARE(pixel(0, 2), look.background);
    QCOMPARE(f.screen().row(0).at(5).width, quint8(2));
    auto inked = [&](int column) {
        int count = 0;
        for (int x = 0; x < look.cellWidth; ++x) {
            for (int y = 0; y < look.cellHeight; ++y)
                count += pixel(0, column, x, y) != look.background;
        }
        return count;
    };
    QVERIFY(inked(5) > 0);
    QVERIFY(inked(6) > 0);
    QCOMPARE(inked(7), 0);
    QVERIFY(f.view()->hasFocus());
    QCOMPARE(f.screen().cursor().row, 1);
    QCOMPARE(pixel(1, 0), look.foreground);
}

// DECSCNM: the whole screen in reverse video, blank cells included, until the board turns it off.
void TestTerminalWindow::reverseScreen()
{
    TerminalFixture f;
    const term::RowLook &look = f.view()->look();
    auto blankCell = [&] {
        return f.view()->viewport()->grab().toImage().pixelColor(10 * look.cellWidth + 1,
                                                                 5 * look.cellHeight + 1);
    };
    QCOMPARE(blankCell(), look.background);
    f.window->receive("\x1b[?5h");
    QCOMPARE(blankCell(), look.foreground);
    f.window->receive("\x1b[?5l");
    QCOMPARE(blankCell(), look.background);
}

// Thousands of writes between two turns of the event loop are painted together.
void TestTerminalWindow::paintsOnceForManyWrites()
{
    TerminalFixture f;
    int frames = 0;
    connect(f.view(), &TerminalView::framePainted, this, [&] { ++frames; });
    for (int i = 0; i < 3000; ++i)
        f.window->receive(QByteArrayView("x", 1));
    QVERIFY(f.shows(QString(f.screen().columns(), QLatin1Char('x'))));
    QTRY_VERIFY(frames > 0);
    QCOMPARE(frames, 1);
}

// A serial line carries no window size.
void TestTerminalWindow::resizeSendsNothing()
{
    TerminalFixture f;
    f.window->receive("\x1b[18t");
    const int columns = f.screen().columns();
    f.window->resize(f.window->width() + 10 * f.view()->look().cellWidth,
                     f.window->height() + 5 * f.view()->look().cellHeight);
    QTRY_COMPARE(f.screen().columns(), columns + 10);
    QCOMPARE(f.screen().rows(), f.view()->viewport()->height() / f.view()->look().cellHeight);
    QVERIFY(f.takeSent().isEmpty());
}

void TestTerminalWindow::scrollbackViewing()
{
    TerminalFixture f;
    f.window->receive(numberedLines(0, 100));
    const int rows = f.screen().rows();
    QCOMPARE(f.view()->visibleLines().at(0), QStringLiteral("line %1").arg(100 - rows + 1));
    QTest::keyClick(f.view(), Qt::Key_PageUp, Qt::ShiftModifier);
    QCOMPARE(f.view()->scrolledBack(), rows - 1);
    QVERIFY(f.takeSent().isEmpty());
    const QString top = f.view()->visibleLines().at(0);
    QCOMPARE(top, QStringLiteral("line %1").arg(100 - 2 * rows + 2));

    QWheelEvent wheel(QPointF(10, 10), f.view()->viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(f.view()->viewport(), &wheel);
    QVERIFY(f.view()->scrolledBack() > rows - 1);
    const QString wheeled = f.view()->visibleLines().at(0);
    QVERIFY(wheeled != top);

    // What the board prints meanwhile does not move the text being read.
    f.window->receive(numberedLines(100, 130));
    QTRY_COMPARE(f.view()->verticalScrollBar()->maximum(), int(f.screen().scrollbackCount()));
    QCOMPARE(f.view()->visibleLines().at(0), wheeled);
    QTest::keyClick(f.view(), Qt::Key_A);
    QCOMPARE(f.view()->scrolledBack(), 0);
    QCOMPARE(f.view()->visibleLines().at(rows - 2), QStringLiteral("line 129"));
}

// A double click takes a word, a drag any stretch across lines; Ctrl+Shift+C copies it and sends
// nothing.
void TestTerminalWindow::selectionAndCopy()
{
    TerminalFixture f;
    f.window->receive("temp=21.5 ok\r\nsecond line\r\n");
    QWidget *grid = f.view()->viewport();
    auto at = [&](int row, int column) { return f.view()->cellRect(row, column).center(); };
    QTest::mouseDClick(grid, Qt::LeftButton, {}, at(1, 8));
    QTest::keyClick(f.view(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("line"));
    QTest::mousePress(grid, Qt::LeftButton, {}, f.view()->cellRect(0, 5).topLeft());
    QTest::mouseMove(grid, f.view()->cellRect(1, 6).topLeft());
    QTest::mouseRelease(grid, Qt::LeftButton, {}, f.view()->cellRect(1, 6).topLeft());
    QCOMPARE(f.view()->selectedText(), QStringLiteral("21.5 ok\nsecond"));
    QTest::keyClick(f.view(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("21.5 ok\nsecond"));
    QVERIFY(f.takeSent().isEmpty());
}

void TestTerminalWindow::accessibleText()
{
    TerminalFixture f;
    f.window->receive("hello\r\nworld \xe4\xb8\xad\xe6\x96\x87\r\n$ ");
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(f.view());
    QVERIFY(iface);
    QCOMPARE(iface->role(), QAccessible::Terminal);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("终端"));
    QAccessibleTextInterface *text = iface->textInterface();
    QVERIFY(text);
    const QString all = f.view()->visibleLines().join(QLatin1Char('\n'));
    QVERIFY(all.startsWith(QStringLiteral("hello\nworld 中文\n$")));
    QCOMPARE(text->text(0, -1), all);
    QCOMPARE(text->characterCount(), all.size());
    int start = 0;
    int end = 0;
    QCOMPARE(text->textAtOffset(8, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("world 中文\n"));
    QCOMPARE(start, 6);
    QCOMPARE(text->textAtOffset(13, QAccessible::WordBoundary, &start, &end),
             QStringLiteral("中文"));
    // The cursor stands past the row's text (its blank is not text): the end of that row.
    QCOMPARE(text->cursorPosition(), int(all.indexOf(QLatin1String("$")) + 1));
}
