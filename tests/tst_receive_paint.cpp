// What the receive box and the counters put on a real X server (Xvfb) while a board streams:
// frames that move what is drawn and paint only new rows must leave the window exactly as a
// full repaint would; a window that cannot be seen prepares no frames.
#include "app/controls.h"
#include "app/frame_pacer.h"
#include "textview/highlight_rules.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QEvent>
#include <QPaintEvent>
#include <QProcess>
#include <QScreen>
#include <QScrollBar>
#include <QStyleHints>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

// The window as the X server holds it, against the same area drawn anew. grab() paints the
// whole widget and cannot show a stale copy; grabWindow() reads what was flushed to the server.
QImage shown(QWidget *widget)
{
    const QPoint at = widget->mapTo(widget->window(), QPoint());
    return widget->window()
        ->screen()
        ->grabWindow(widget->window()->winId(), at.x(), at.y(), widget->width(), widget->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QImage drawnAnew(QWidget *widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool xdotool(const QString &command, QWidget *window)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), {command, QString::number(window->winId())});
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

QStringList sensorLines(int count, int from = 0)
{
    QStringList lines;
    for (int n = from; n < from + count; ++n)
        lines << QStringLiteral("T=%1.%2 H=%3% n=%4\r\n")
                     .arg(20 + n % 7)
                     .arg(n % 10)
                     .arg(40 + n % 13)
                     .arg(n);
    return lines;
}

// The lines joined and cut into writes of `size` characters, as a serial adapter hands them over.
QStringList pieces(const QStringList &lines, int size)
{
    const QString text = lines.join(QString());
    QStringList writes;
    for (qsizetype at = 0; at < text.size(); at += size)
        writes << text.mid(at, size);
    return writes;
}

// Groups of `perWrite` lines.
QStringList groups(const QStringList &lines, int perWrite)
{
    QStringList writes;
    for (qsizetype at = 0; at < lines.size(); at += perWrite)
        writes << lines.mid(at, perWrite).join(QString());
    return writes;
}

QStringList wrappedLines(int count)
{
    QStringList lines;
    for (int n = 0; n < count; ++n)
        lines << QStringLiteral("I (%1) wifi: state: run -> init (fc0), reason 4 %2 ")
                         .arg(1000 + n)
                         .repeated(3) +
                     QStringLiteral("\r\n");
    return lines;
}

QStringList colouredLines(int count)
{
    QStringList lines;
    for (int n = 0; n < count; ++n) {
        lines << QStringLiteral("\x1b[3%1mW (%2) \x1b[1mboot\x1b[0m: step %3\r\n")
                     .arg(1 + n % 6)
                     .arg(n)
                     .arg(n);
        // A progress line rewritten in place, as boards draw them.
        if (n % 5 == 0)
            lines << QStringLiteral("[%1%2] %3%\r")
                         .arg(QString(n % 10, u'#'), QString(10 - n % 10, u' '))
                         .arg(n);
    }
    return lines;
}

enum Setup {
    Plain = 0,
    Gutter = 1,
    Rendered = 2,
    Highlights = 4,
    Selection = 8,
    Focus = 16,
    // Inside a window that paints once every other display frame, beside a counter of what
    // arrived, as the main window has them.
    Window = 32,
};

} // namespace

class TestReceivePaint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void framesEqualFullRepaint_data();
    void framesEqualFullRepaint();
    void hiddenWindowPreparesNoFrames_data();
    void hiddenWindowPreparesNoFrames();
    void countersRepaintChangedDigits_data();
    void countersRepaintChangedDigits();
};

void TestReceivePaint::initTestCase()
{
    // A caret that blinks would change between the two pictures.
    QGuiApplication::styleHints()->setCursorFlashTime(0);
}

void TestReceivePaint::framesEqualFullRepaint_data()
{
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<int>("setup");

    const QStringList lines = sensorLines(120);
    QTest::newRow("a line a write") << groups(lines, 1) << int(Plain);
    QTest::newRow("growing lines, 7 characters a write") << pieces(lines, 7) << int(Plain);
    QTest::newRow("several lines a write") << groups(lines, 6) << int(Plain);
    QTest::newRow("more lines a write than the view holds") << groups(lines, 40) << int(Plain);
    QTest::newRow("wrapped lines") << pieces(wrappedLines(40), 37) << int(Plain);
    QTest::newRow("gutter, growing lines") << pieces(lines, 11) << int(Gutter);
    QTest::newRow("gutter, wrapped lines") << pieces(wrappedLines(30), 53) << int(Gutter);
    QTest::newRow("colour runs and lines rewritten")
        << pieces(colouredLines(60), 13) << int(Rendered);
    QTest::newRow("colour runs, gutter") << pieces(colouredLines(60), 29) << int(Rendered | Gutter);
    QTest::newRow("highlight rules") << pieces(wrappedLines(30), 41) << int(Highlights);
    QTest::newRow("a selection, the view stays") << pieces(lines, 9) << int(Selection | Gutter);
    QTest::newRow("the caret, following") << pieces(lines, 5) << int(Focus);
    QTest::newRow("the caret, gutter and colours")
        << pieces(colouredLines(60), 17) << int(Focus | Gutter | Rendered);
    QTest::newRow("in a paced window") << pieces(lines, 5) << int(Window);
    QTest::newRow("in a paced window, wrapped lines, gutter, caret")
        << pieces(wrappedLines(40), 23) << int(Window | Gutter | Focus);
}

// A board's writes between frames, the caret taken to the end as the window does: once the
// last frame is painted, the window shows what a full repaint shows, every pixel of it.
void TestReceivePaint::framesEqualFullRepaint()
{
    QFETCH(QStringList, writes);
    QFETCH(int, setup);

    QWidget window;
    window.resize(560, 300);
    ReceiveBox box(setup & Window ? &window : nullptr);
    CounterLabel counter(&window);
    if (setup & Window) {
        (new FramePacer(&window))->prepareFramesOf(&box);
        box.setGeometry(8, 16, 460, 260);
        counter.setGeometry(480, 112, 49, 17);
        counter.setText(QStringLiteral("0"));
    } else {
        box.resize(460, 260);
    }
    box.setTimestampsShown(setup & Gutter);
    if (setup & Rendered)
        box.setControlSequences(ReceiveBox::ControlSequences::Rendered);
    if (setup & Highlights) {
        HighlightRules rules;
        HighlightRule whole;
        whole.pattern = QStringLiteral("reason 4 10[0-9]5");
        whole.regex = true;
        whole.background = 0xffe0a0;
        whole.wholeLine = true;
        HighlightRule word;
        word.pattern = QStringLiteral("init");
        word.colour = 0xc00000;
        word.bold = true;
        rules.rules << whole << word;
        box.setHighlightRules(rules);
    }
    QWidget *shownWindow = setup & Window ? &window : static_cast<QWidget *>(&box);
    shownWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(shownWindow));
    if (setup & Focus) {
        shownWindow->activateWindow();
        box.setFocus();
        QTRY_VERIFY(box.hasFocus());
    }
    qint64 msecs = 1700000000000;
    for (const QString &line : sensorLines(4, 1000))
        box.appendReceivedText(line, msecs);
    if (setup & Selection)
        box.setSelection(3, 40);

    qsizetype next = 0;
    qint64 framesAfterLast = -1;
    QTimer board;
    connect(&board, &QTimer::timeout, this, [&] {
        if (next == writes.size())
            return;
        msecs += 7;
        counter.add(double(writes[next].size()));
        box.appendReceivedText(writes[next++], msecs);
        if (box.followsEnd())
            box.setSelStart(box.length());
        if (next == writes.size())
            framesAfterLast = box.framesPrepared();
    });
    board.start(2);
    QTRY_VERIFY_WITH_TIMEOUT(next == writes.size(), 60000);
    board.stop();
    // The frame that paints the last write, then its painting.
    QTRY_VERIFY_WITH_TIMEOUT(box.framesPrepared() > framesAfterLast, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(shown(box.viewport()) == drawnAnew(box.viewport()), 10000);
    if (setup & Window)
        QTRY_VERIFY(shown(&counter) == drawnAnew(&counter));
    QCOMPARE(box.followsEnd(), !(setup & Selection));
    if (!(setup & Selection))
        QCOMPARE(box.verticalScrollBar()->value(), box.verticalScrollBar()->maximum());
}

void TestReceivePaint::hiddenWindowPreparesNoFrames_data()
{
    QTest::addColumn<bool>("paced");

    QTest::newRow("a box of its own") << false;
    QTest::newRow("in a window that prepares its frames") << true;
}

// Unmapped, as a minimised window or one on another desktop is: lines go on arriving and are
// kept, but no frame moves anything nor syncs the scroll bar. Mapped again, one frame catches
// up and the window shows the latest lines.
void TestReceivePaint::hiddenWindowPreparesNoFrames()
{
    QFETCH(bool, paced);

    QWidget window;
    window.resize(480, 280);
    ReceiveBox box(paced ? &window : nullptr);
    if (paced) {
        (new FramePacer(&window))->prepareFramesOf(&box);
        box.setGeometry(10, 10, 460, 260);
    } else {
        box.resize(460, 260);
    }
    QWidget *shownWindow = paced ? &window : static_cast<QWidget *>(&box);
    shownWindow->show();
    QVERIFY(QTest::qWaitForWindowExposed(shownWindow));
    for (const QString &line : sensorLines(40))
        box.appendText(line);
    QTRY_COMPARE(box.verticalScrollBar()->value(), box.verticalScrollBar()->maximum());
    QTRY_VERIFY(shown(box.viewport()) == drawnAnew(box.viewport()));

    QVERIFY(xdotool(QStringLiteral("windowunmap"), shownWindow));
    QTRY_VERIFY_WITH_TIMEOUT(!shownWindow->windowHandle()->isExposed(), 10000);
    const qint64 frames = box.framesPrepared();
    const int barMaximum = box.verticalScrollBar()->maximum();
    const QStringList lines = sensorLines(200, 40);
    qsizetype next = 0;
    QTimer board;
    connect(&board, &QTimer::timeout, this, [&] {
        if (next < lines.size())
            box.appendText(lines[next++]);
    });
    board.start(2);
    QTRY_VERIFY_WITH_TIMEOUT(next == lines.size(), 60000);
    board.stop();
    QCOMPARE(box.framesPrepared(), frames);
    QCOMPARE(box.verticalScrollBar()->maximum(), barMaximum);
    QVERIFY(box.text().endsWith(lines.last()));
    QVERIFY(box.followsEnd());

    QVERIFY(xdotool(QStringLiteral("windowmap"), shownWindow));
    QTRY_VERIFY_WITH_TIMEOUT(shownWindow->windowHandle()->isExposed(), 10000);
    QTRY_VERIFY(box.framesPrepared() > frames);
    QVERIFY(box.verticalScrollBar()->maximum() > barMaximum);
    QCOMPARE(box.verticalScrollBar()->value(), box.verticalScrollBar()->maximum());
    QTRY_VERIFY_WITH_TIMEOUT(shown(box.viewport()) == drawnAnew(box.viewport()), 10000);
}

void TestReceivePaint::countersRepaintChangedDigits_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<double>("added");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("whole");

    QTest::newRow("the last digit") << "1230" << 1.0 << "1231" << false;
    QTest::newRow("two digits") << "1299" << 1.0 << "1300" << false;
    QTest::newRow("a digit more") << "9999" << 1.0 << "10000" << true;
    QTest::newRow("cleared") << "52110" << -52110.0 << "0" << true;
    QTest::newRow("squeezed, same length") << "123456789012" << 1.0 << "123456789013" << false;
}

// Only from the first digit that changed is painted, and the label then looks as if painted
// whole.
void TestReceivePaint::countersRepaintChangedDigits()
{
    QFETCH(QString, before);
    QFETCH(double, added);
    QFETCH(QString, after);
    QFETCH(bool, whole);

    QWidget window;
    window.resize(200, 80);
    auto *counter = new CounterLabel(&window);
    counter->setGeometry(40, 30, 49, 17);
    counter->setText(before);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(shown(counter) == drawnAnew(counter));

    struct PaintedArea : QObject
    {
        QRegion painted;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint)
                painted += static_cast<QPaintEvent *>(event)->region();
            return false;
        }
    } area;
    counter->installEventFilter(&area);
    counter->add(added);
    QCOMPARE(counter->text(), after);
    QTRY_VERIFY(!area.painted.isEmpty());
    // Read before grab() paints the label whole.
    const QRect painted = area.painted.boundingRect();
    QTRY_VERIFY(shown(counter) == drawnAnew(counter));
    if (whole) {
        QCOMPARE(painted, counter->rect());
    } else {
        QVERIFY2(painted.left() > 0, qPrintable(QString::number(painted.left())));
        QCOMPARE(painted.right(), counter->rect().right());
    }
    // The same caption again paints nothing.
    area.painted = QRegion();
    counter->setText(after);
    QApplication::processEvents();
    QVERIFY(area.painted.isEmpty());
}

QTEST_MAIN(TestReceivePaint)
#include "tst_receive_paint.moc"
