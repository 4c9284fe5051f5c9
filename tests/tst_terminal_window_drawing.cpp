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
