// The terminal window's drawing: rows put together from kept cell images against the same rows
// drawn as text, and the window's pixels after frames of changes against the screen drawn anew.
#include "tst_terminal_window.h"

#include "app/window_font.h"
#include "terminal/cell_images.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

namespace {

QByteArray printableAscii()
{
    QByteArray out;
    for (char c = 0x20; c < 0x7f; ++c)
        out += c;
    return out;
}

} // namespace

void TestTerminalWindow::cellImagesDrawAsText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("selectionFrom");
    QTest::addColumn<int>("selectionTo");
    QTest::addColumn<bool>("reverseScreen");
    QTest::addColumn<int>("cursor");
    const QByteArray ascii = printableAscii();
    QTest::newRow("a log line") << QByteArray("I (1234) wifi: rssi=-55 temp=21.5 {}[]|_~") << 0 << 0
                                << false << -1;
    QTest::newRow("every printable character")
        << ascii + "\r\n\x1b[1m" + ascii + "\r\n\x1b[3m" + ascii + "\r\n\x1b[22m" + ascii << 0 << 0
        << false << -1;
    QTest::newRow("colours") << QByteArray("\x1b[31mred\x1b[42mon green\x1b[0m \x1b[38;5;200m256"
                                           "\x1b[48;2;1;2;3mrgb\x1b[0m \x1b[7mreverse\x1b[0m end")
                             << 0 << 0 << false << -1;
    QTest::newRow("underline and strike")
        << QByteArray("\x1b[4mun der\x1b[9mboth\x1b[24m strike\x1b[0m  \x1b[4m  \x1b[0m x") << 0
        << 0 << false << -1;
    QTest::newRow("wide characters and combining marks")
        << QByteArray("ab\xe4\xb8\xad\xe6\x96\x87 e\xcc\x81 a\xcc\x8a\xcc\x81 ok") << 0 << 0
        << false << -1;
    QByteArray colours;
    for (int n = 0; n < 24 * 80 - 1; ++n)
        colours += "\x1b[38;2;" + QByteArray::number(n % 256) + ';' + QByteArray::number(n / 256) +
                   ";9m" + char('a' + n % 26);
    QTest::newRow("more colours than are kept") << colours << 0 << 0 << false << -1;
    QTest::newRow("selected") << QByteArray("select part of this line") << 3 << 12 << false << -1;
    QTest::newRow("reverse screen") << QByteArray("\x1b[7mboth\x1b[0m one") << 2 << 5 << true << -1;
    QTest::newRow("cursor on a character") << QByteArray("prompt> x") << 0 << 0 << false << 8;
}

// Every row of the screen both ways, in the image formats windows are painted in, and again
// from the cells kept by the first time.
void TestTerminalWindow::cellImagesDrawAsText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, selectionFrom);
    QFETCH(int, selectionTo);
    QFETCH(bool, reverseScreen);
    QFETCH(int, cursor);
    term::Session session;
    session.receive(bytes);
    const term::ScreenModel &screen = session.screen();
    term::RowLook look = term::RowLook::forFont(windowFont(QApplication::font()));
    look.foreground = QColor(0xe5, 0xe5, 0xe5);
    look.background = Qt::black;
    look.selectionForeground = Qt::white;
    look.selectionBackground = QColor(0x30, 0x60, 0xc0);
    term::RowMarks marks;
    marks.selectionFrom = selectionFrom;
    marks.selectionTo = selectionTo;
    marks.reverseScreen = reverseScreen;
    marks.cursorColumn = cursor;
    const QSize size(screen.columns() * look.cellWidth, look.cellHeight);
    for (const QImage::Format format :
         {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied}) {
        term::CellImages images;
        for (int pass = 0; pass < 2; ++pass) {
            for (int r = 0; r < screen.rows(); ++r) {
                QImage expected(size, format);
                QImage actual(size, format);
                expected.fill(Qt::magenta);
                actual.fill(Qt::magenta);
                {
                    QPainter painter(&expected);
                    term::paintRow(painter, 0, screen.row(r), screen.columns(), look, marks);
                }
                {
                    QPainter painter(&actual);
                    term::paintRow(painter, 0, screen.row(r), screen.columns(), look, marks,
                                   &images);
                }
                QVERIFY2(actual == expected, qPrintable(QStringLiteral("format %1, row %2: %3")
                                                            .arg(format)
                                                            .arg(r)
                                                            .arg(screen.row(r).text())));
                // The row was put together, not drawn as text: its last cell is a blank.
                QVERIFY(images.has(screen.columns() - 1));
            }
        }
    }
}

namespace {

// The viewport as the window shows it (its backing store, or the X server's copy under Xvfb),
// and as it is drawn anew from the screen.
QImage shownViewport(const TerminalFixture &f)
{
    const QWidget *viewport = f.view()->viewport();
    const QPoint at = viewport->mapTo(f.window.get(), QPoint());
    return f.window->screen()
        ->grabWindow(f.window->winId(), at.x(), at.y(), viewport->width(), viewport->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QImage viewportDrawnAnew(const TerminalFixture &f)
{
    return f.view()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QList<QByteArray> numberedWrites(int count, int linesEach)
{
    QList<QByteArray> writes;
    for (int n = 0; n < count; ++n) {
        QByteArray write;
        for (int line = 0; line < linesEach; ++line)
            write += "\x1b[3" + QByteArray::number(line % 8) + "mwrite " + QByteArray::number(n) +
                     " line " + QByteArray::number(line) + "\x1b[0m\r\n";
        writes.append(write);
    }
    return writes;
}

} // namespace

void TestTerminalWindow::framesShowEveryChange_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<int>("scrolledBack");
    QTest::newRow("a board flooding") << numberedWrites(150, 20) << 0;
    QTest::newRow("a line at a time") << numberedWrites(150, 1) << 0;
    QTest::newRow("cells far apart") << QList<QByteArray>{"\x1b[3;5HA",
                                                          "\x1b[20;70HB",
                                                          "\x1b[12;1H\x1b[K",
                                                          "\x1b[41m\x1b[7;7Hred\x1b[0m",
                                                          "\x1b[5;1H\x1b[L",
                                                          "\x1b[1;80HZ",
                                                          "\x1b[24;1H\x1b[2Jtop",
                                                          "\xe4\xb8\xad\x1b[10;3Hx",
                                                          "\x1b[?5h",
                                                          "\x1b[?5l\x1b[9;9H"}
                                     << 0;
    QTest::newRow("reading back while a board floods") << numberedWrites(100, 20) << 10;
}

// Changes written at a board's pace, between frames: once they stop, the window shows what the
// screen holds, every row of it.
void TestTerminalWindow::framesShowEveryChange()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(int, scrolledBack);
    TerminalFixture f;
    f.window->receive(numberedWrites(10, 10).join());
    if (scrolledBack > 0)
        f.view()->setScrolledBack(scrolledBack);
    qsizetype next = 0;
    QTimer board;
    connect(&board, &QTimer::timeout, this, [&] {
        if (next < writes.size())
            f.window->receive(writes[next++]);
    });
    board.start(2);
    QTRY_VERIFY_WITH_TIMEOUT(next == writes.size(), 60000);
    board.stop();
    QTRY_VERIFY_WITH_TIMEOUT(shownViewport(f) == viewportDrawnAnew(f), 10000);
    QCOMPARE(f.view()->scrolledBack() > 0, scrolledBack > 0);
}
