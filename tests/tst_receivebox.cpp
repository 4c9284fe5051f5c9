// The receive box as a widget: its text and selection, wrapping, drawing and scrolling.
#include "support/receive_box_view.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <malloc.h>

class TestReceiveBox : public QObject, private ReceiveBoxView
{
    Q_OBJECT

private slots:
    void setText_emitsChangeOnlyWhenTextDiffers();
    void appendText_equalsSetTextOfWhole_data();
    void appendText_equalsSetTextOfWhole();
    void selectionApi_clampsAndReports();
    void wrap_atBlankOrAnywhereAndRewrapOnResize();
    void wrap_invisibleCharactersStillMakeLines();
    void tab_advancesToTabStop();
    void glyphs_lineUpWithCaret_data();
    void glyphs_lineUpWithCaret();
    void selection_drawnUnderSelectedCharactersOnly_data();
    void selection_drawnUnderSelectedCharactersOnly();
    void caret_drawnWithFocusOnly_data();
    void caret_drawnWithFocusOnly();
    void caretToEnd_scrollsToLastLine_data();
    void caretToEnd_scrollsToLastLine();
    void wheel_andPageKeysScroll();
    void scrollBar_stepsByLinesInLongText();
    void limit_countsWhatIsAllocated();
    void limit_carriesNoTimeOntoAnUntimedLine();
};

void TestReceiveBox::setText_emitsChangeOnlyWhenTextDiffers()
{
    ReceiveBox box;
    QSignalSpy changes(&box, &ReceiveBox::Change);
    box.setText(QStringLiteral("abc"));
    QCOMPARE(changes.count(), 1);
    box.setText(QStringLiteral("abc"));
    QCOMPARE(changes.count(), 1);
    box.setText(QStringLiteral("abd"));
    QCOMPARE(changes.count(), 2);
    box.appendText(u"");
    QCOMPARE(changes.count(), 2);
    box.appendText(u"\r");
    QCOMPARE(changes.count(), 3);
    box.setText(QString());
    QCOMPARE(changes.count(), 4);
    QCOMPARE(box.text(), QString());
    QCOMPARE(box.length(), 0);
    box.setText(QString());
    QCOMPARE(changes.count(), 4);

    const QString raw = QStringLiteral("a\r\nb\rc\nd\r\r\n\n中\t😀");
    box.setText(raw);
    QCOMPARE(box.text(), raw);
    QCOMPARE(box.length(), raw.size());
    QCOMPARE(box.selStart(), 0);
}

void TestReceiveBox::appendText_equalsSetTextOfWhole_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QStringList>("pieces");
    QTest::newRow("cr then lf") << "scan report\r" << QStringList{"\n", "OK\r", "\nnext"};
    QTest::newRow("hex blocks") << "" << QStringList{"0D 0A 41 ", "00 FF 10 ", "41 "};
    QTest::newRow("split pair") << "x"
                                << QStringList{QString(QChar(0xD83D)), QString(QChar(0xDE00)), "y"};
    QTest::newRow("cjk lines") << "中文\r\n" << QStringList{"温度:25\r\n", "湿度:40", "\r\n"};
}

void TestReceiveBox::appendText_equalsSetTextOfWhole()
{
    QFETCH(QString, initial);
    QFETCH(QStringList, pieces);
    ReceiveBox appended;
    ReceiveBox replaced;
    show(appended);
    show(replaced);
    appended.setText(initial);
    replaced.setText(initial);
    QSignalSpy appendChanges(&appended, &ReceiveBox::Change);
    for (const QString &piece : pieces) {
        appended.appendText(piece);
        replaced.setText(replaced.text() + piece);
    }
    QCOMPARE(appendChanges.count(), pieces.size());
    QCOMPARE(appended.text(), replaced.text());
    QCOMPARE(appended.length(), replaced.length());
    QCOMPARE(appended.verticalScrollBar()->maximum(), replaced.verticalScrollBar()->maximum());
    // The same visual lines: every position sits at the same place in both.
    for (qint64 pos = 0; pos <= appended.length(); ++pos)
        QCOMPARE(caretRect(appended, pos), caretRect(replaced, pos));
}

void TestReceiveBox::selectionApi_clampsAndReports()
{
    ReceiveBox box;
    box.setText(QStringLiteral("hello world"));
    box.setSelection(6, 5);
    QCOMPARE(box.selStart(), 6);
    QCOMPARE(box.selLength(), 5);
    QCOMPARE(box.selectedText(), QStringLiteral("world"));
    box.setSelection(8, -3);
    QCOMPARE(box.selStart(), 5);
    QCOMPARE(box.selectedText(), QStringLiteral(" wo"));
    box.setSelection(9, 100);
    QCOMPARE(box.selectedText(), QStringLiteral("ld"));
    box.setSelStart(-4);
    QCOMPARE(box.selStart(), 0);
    QCOMPARE(box.selLength(), 0);
    box.setSelStart(1000);
    QCOMPARE(box.selStart(), box.length());
    QCOMPARE(box.selectedText(), QString());
}

void TestReceiveBox::wrap_atBlankOrAnywhereAndRewrapOnResize()
{
    ReceiveBox box;
    show(box, QSize(200, 600));
    const QString words = QStringLiteral("alpha beta gamma delta epsilon zeta eta theta iota "
                                         "kappa lambda mu nu xi omicron pi rho sigma tau");
    box.setText(words + u'\n' + QString(120, u'x'));

    const auto lineStarts = [&box] { return visualLineStarts(box); };
    const qreal usable = box.viewport()->width();
    const QList<qint64> narrow = lineStarts();
    QVERIFY(narrow.size() > 6);
    for (qint64 start : narrow) {
        if (start > 0 && start < words.size()) {
            QCOMPARE(box.text().at(start - 1), QLatin1Char(' '));
        }
    }
    for (qint64 pos = 0; pos <= box.length(); ++pos)
        QVERIFY(caretRect(box, pos).x() <= usable);
    // The long word breaks anywhere, into full lines.
    const int longLines = int(
        std::count_if(narrow.begin(), narrow.end(), [&](qint64 s) { return s > words.size(); }));
    QVERIFY(longLines >= 3);

    box.resize(400, 600);
    QVERIFY(lineStarts().size() < narrow.size());
    box.resize(200, 600);
    QCOMPARE(lineStarts(), narrow);

    // Appended while at another width, still right once back.
    box.resize(400, 600);
    box.appendText(u" more words, enough of them to wrap onto further lines\r");
    box.resize(200, 600);
    ReceiveBox fresh;
    show(fresh, QSize(200, 600));
    fresh.setText(box.text());
    QCOMPARE(lineStarts(), visualLineStarts(fresh));
    box.appendText(u"\nlast line");
    fresh.appendText(u"\nlast line");
    QCOMPARE(lineStarts(), visualLineStarts(fresh));
}

void TestReceiveBox::wrap_invisibleCharactersStillMakeLines()
{
    // Binary data shown as characters: NUL and other control characters draw nothing.
    ReceiveBox box;
    show(box);
    const QString zeros(20000, QChar(0));
    box.setText(zeros + QStringLiteral("end"));
    QCOMPARE(box.text(), zeros + QStringLiteral("end"));
    QVERIFY(box.verticalScrollBar()->maximum() > 10);
    box.setSelStart(box.length());
    QVERIFY(box.viewport()->rect().contains(caretRect(box, box.length())));
}

void TestReceiveBox::tab_advancesToTabStop()
{
    ReceiveBox box;
    show(box);
    box.setText(QStringLiteral("a\tb\nabc\tb\n\t\tb"));
    const int afterShort = caretRect(box, 2).x();
    const int afterLong = caretRect(box, 8).x();
    const int afterTwo = caretRect(box, 12).x();
    QCOMPARE(afterShort, afterLong);
    QVERIFY(afterShort > caretRect(box, 7).x());
    QCOMPARE(afterTwo - caretRect(box, 10).x(), 2 * (afterShort - caretRect(box, 0).x()));
}

void TestReceiveBox::glyphs_lineUpWithCaret_data()
{
    QTest::addColumn<QStringList>("families");
    QTest::addColumn<QString>("text");
    // The window's CJK font has the glyphs itself; DejaVu Sans falls back for CJK.
    const QStringList cjkFont{QStringLiteral("WenQuanYi Micro Hei")};
    const QStringList latinFont{QStringLiteral("DejaVu Sans")};
    QTest::newRow("cjk font, cjk") << cjkFont << "中文显示";
    QTest::newRow("cjk font, latin") << cjkFont << "WMWMWM";
    QTest::newRow("latin font, cjk fallback") << latinFont << "中文显示";
    QTest::newRow("latin font, mixed") << latinFont << "W中M文";
}

void TestReceiveBox::glyphs_lineUpWithCaret()
{
    QFETCH(QStringList, families);
    QFETCH(QString, text);
    ReceiveBox box;
    show(box);
    QFont font = windowFont();
    font.setFamilies(families);
    font.setPointSize(14);
    box.setFont(font);
    box.setText(text);
    QList<int> carets;
    for (qint64 pos = 0; pos <= text.size(); ++pos)
        carets.append(caretRect(box, pos).x());
    box.clearFocus();
    box.setSelStart(0);
    const QImage image = box.viewport()->grab().toImage();
    const QColor base = box.palette().color(QPalette::Base);
    const qreal ratio = image.devicePixelRatio();
    // Every inked column lies between the carets around its character.
    const int rows = caretRect(box, 0).bottom();
    int inked = 0;
    for (int x = 0; x < image.width(); ++x) {
        bool ink = false;
        for (int y = 0; y < rows * ratio && !ink; ++y)
            ink = qGray(image.pixel(x, y)) < qGray(base.rgb()) - 100;
        if (!ink)
            continue;
        ++inked;
        const int column = int(x / ratio);
        const auto glyph = std::upper_bound(carets.begin(), carets.end(), column) - carets.begin();
        QVERIFY2(glyph >= 1 && glyph <= text.size(),
                 qPrintable(QStringLiteral("ink at %1 outside the text").arg(column)));
        // A glyph may touch the caret line at either side by a pixel.
        QVERIFY2(column >= carets[glyph - 1] - 1 && column <= carets[glyph] + 1,
                 qPrintable(QStringLiteral("ink at %1 off character %2").arg(column).arg(glyph)));
    }
    QVERIFY(inked > 4 * text.size());
    for (int i = 0; i < text.size(); ++i)
        QVERIFY(carets[i + 1] > carets[i]);
}

void TestReceiveBox::selection_drawnUnderSelectedCharactersOnly_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("breakSelected");
    // Drawn straight from glyphs, and through the text layout (an accent needs shaping).
    QTest::newRow("glyphs") << "0D 0A 41 42\r\nnext" << 3 << 5 << false;
    QTest::newRow("laid out") << "e\u0301 0A 41 42\r\nnext" << 3 << 5 << false;
    QTest::newRow("over the line break") << "0D 0A\r\nnext" << 3 << 6 << true;
}

// The highlight lies under the selected characters of the first line, and past its end when the
// selection goes on over the line break.
void TestReceiveBox::selection_drawnUnderSelectedCharactersOnly()
{
    QFETCH(QString, text);
    QFETCH(int, from);
    QFETCH(int, length);
    QFETCH(bool, breakSelected);
    ReceiveBox box;
    show(box);
    box.setText(text);
    QList<int> carets;
    const int lineEnd = int(text.indexOf(u'\r'));
    for (int pos = 0; pos <= lineEnd; ++pos)
        carets.append(caretRect(box, pos).x());
    const int top = caretRect(box, 0).top() + 1;
    box.setSelection(from, length);
    box.clearFocus();
    const QImage image = box.viewport()->grab().toImage();
    const QPalette::ColorGroup group = box.isActiveWindow() ? QPalette::Active : QPalette::Inactive;
    const QRgb highlight = box.palette().color(group, QPalette::Highlight).rgb();
    const auto pixel = [&](int x) {
        return image.pixel(QPoint(x, top) * image.devicePixelRatio());
    };
    for (int pos = 0; pos < lineEnd; ++pos) {
        if (carets[pos + 1] - carets[pos] < 2)
            continue; // an accent on the letter before
        const bool selected = pos >= from && pos < from + length;
        QCOMPARE(pixel((carets[pos] + carets[pos + 1]) / 2) == highlight, selected);
    }
    QCOMPARE(pixel(carets[lineEnd] + 2) == highlight, breakSelected);
}

void TestReceiveBox::caret_drawnWithFocusOnly_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("glyphs") << "0D  0A";
    QTest::newRow("laid out") << "e\u0301  0A";
}

// A one-pixel caret in the blank between the two words while the box has the focus, none
// without it.
void TestReceiveBox::caret_drawnWithFocusOnly()
{
    QFETCH(QString, text);
    ReceiveBox box;
    show(box);
    box.setText(text);
    const qint64 blank = text.indexOf(QLatin1String("  ")) + 1;
    const QRect caret = caretRect(box, blank);
    const QPalette::ColorGroup group = box.isActiveWindow() ? QPalette::Active : QPalette::Inactive;
    const QRgb ink = box.palette().color(group, QPalette::Text).rgb();
    const auto caretShown = [&] {
        const QImage image = box.viewport()->grab().toImage();
        // The caret stands at a fraction of a pixel; the rectangle starts at the pixel before.
        return image.pixel(caret.center() * image.devicePixelRatio()) == ink ||
               image.pixel((caret.center() + QPoint(1, 0)) * image.devicePixelRatio()) == ink;
    };
    QVERIFY(box.hasFocus());
    box.setSelStart(blank);
    QVERIFY(caretShown());
    box.clearFocus();
    QVERIFY(!caretShown());
}

void TestReceiveBox::caretToEnd_scrollsToLastLine_data()
{
    QTest::addColumn<QString>("block");
    QTest::addColumn<int>("blocks");
    QTest::newRow("lines") << "line of text\r\n" << 200;
    QTest::newRow("one hex line") << "0D 0A 41 " << 2000;
    // More lines than the scroll bar has steps.
    QTest::newRow("many lines") << "0D 0A 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F \r\n"
                                << 6000;
}

void TestReceiveBox::caretToEnd_scrollsToLastLine()
{
    QFETCH(QString, block);
    QFETCH(int, blocks);
    ReceiveBox box;
    show(box);
    // As the window does on every change.
    connect(&box, &ReceiveBox::Change, &box, [&box] { box.setSelStart(box.length()); });
    QScrollBar *bar = box.verticalScrollBar();
    for (int i = 0; i < blocks; ++i)
        box.appendText(block);
    // The bar catches up with a stream once a frame.
    QTRY_VERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(box.selStart(), box.length());
    // The caret is drawn inside the view, on its last line.
    const QRect caret = caretRect(box, box.length());
    QVERIFY(box.viewport()->rect().contains(caret));
    QVERIFY(caret.bottom() + caret.height() > box.viewport()->height() - caret.height());

    // A tab switch of the window narrows and widens the box: it still shows the end.
    box.resize(133, 177);
    QCOMPARE(bar->value(), bar->maximum());
    box.resize(329, 209);
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(box.viewport()->rect().contains(caretRect(box, box.length())));

    QTest::keySequence(&box, QKeySequence::MoveToStartOfDocument);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(box.selStart(), 0);
    QTest::keySequence(&box, QKeySequence::MoveToEndOfDocument);
    QCOMPARE(bar->value(), bar->maximum());
}

void TestReceiveBox::wheel_andPageKeysScroll()
{
    ReceiveBox box;
    show(box);
    QString text;
    for (int i = 0; i < 100; ++i)
        text += QStringLiteral("line %1\r\n").arg(i);
    box.setText(text);
    QScrollBar *bar = box.verticalScrollBar();
    QCOMPARE(bar->value(), 0);

    const QPoint inside = box.viewport()->rect().center();
    QWheelEvent down(inside, box.viewport()->mapToGlobal(inside), {}, QPoint(0, -120), Qt::NoButton,
                     {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box.viewport(), &down);
    const int afterWheel = bar->value();
    QVERIFY(afterWheel > 0);

    box.setSelStart(0);
    QCOMPARE(bar->value(), 0);
    QTest::keyClick(&box, Qt::Key_PageDown);
    QVERIFY(bar->value() > 0);
    const qint64 caretAfterPage = box.selStart();
    QVERIFY(caretAfterPage > 0);
    // A page down and up comes back to the first line.
    QTest::keyClick(&box, Qt::Key_PageUp);
    QCOMPARE(box.selStart(), 0);
    QCOMPARE(bar->value(), 0);
}

void TestReceiveBox::scrollBar_stepsByLinesInLongText()
{
    // With more lines than the bar has steps, its arrows still move one line, and dragging it
    // to the top shows the first line.
    ReceiveBox box;
    show(box);
    const QString line = QStringLiteral("a line\r\n");
    box.setText(line.repeated(50000));
    box.setSelStart(box.length());
    QScrollBar *bar = box.verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    // Where the first line shown starts: a click there puts the caret on it.
    const auto firstShown = [&box] {
        QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, QPoint(2, 3));
        return box.selStart();
    };
    const qint64 atEnd = firstShown();
    QVERIFY(atEnd > 0);
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(firstShown(), atEnd - line.size());
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(firstShown(), atEnd);
    bar->setSliderPosition(0);
    QCOMPARE(firstShown(), 0);
}

// Short lines, the width changed now and then (a resize, the gutter shown and hidden): what the
// box allocates for its text, its line index with its spare room and the index kept for the other
// width stays near the limit, as malloc counts it.
void TestReceiveBox::limit_countsWhatIsAllocated()
{
    if (mallinfo2().uordblks == 0)
        QSKIP("malloc does not count here (a sanitizer's allocator)");
    constexpr qint64 limit = 8 << 20;
    QString block;
    while (block.size() < 30000)
        block += QStringLiteral("a\r\n");
    const size_t before = mallinfo2().uordblks;
    {
        ReceiveBox box;
        ReceiveBoxView::show(box, QSize(400, 300));
        box.setMaxBytes(limit);
        for (int round = 0; round < 1500; ++round) {
            box.appendText(block);
            if (round % 100 == 0)
                box.resize(round % 200 == 0 ? QSize(380, 300) : QSize(400, 300));
        }
        QVERIFY(box.droppedBytes() > 0);
        const qint64 held = qint64(mallinfo2().uordblks) - qint64(before);
        QVERIFY2(held <= limit + limit / 4,
                 qPrintable(QStringLiteral("%1 MB held").arg(double(held) / (1 << 20))));
    }
}

// Old lines went, and the first line kept has no time of its own (it was not received, or
// came before timestamps mattered): it gets none of the dropped line's.
void TestReceiveBox::limit_carriesNoTimeOntoAnUntimedLine()
{
    ReceiveBox box;
    box.setMaxBytes(256 << 10);
    box.appendReceived(u"stamped\r\n", 5000);
    for (int i = 0; i < 20000; ++i)
        box.appendText(QStringLiteral("plain line %1\r\n").arg(i));
    QVERIFY(box.droppedBytes() > 0);
    QVERIFY(box.text().startsWith(QStringLiteral("plain line ")));
    QVERIFY(!box.arrivalTimes().firstIn(0, box.length()));
}

QTEST_MAIN(TestReceiveBox)
#include "tst_receivebox.moc"
