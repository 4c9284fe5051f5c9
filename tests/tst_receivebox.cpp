#include "serial/receive_box/box_keys.h"
#include "serial/receive_box/find_dialog.h"
#include "serial/receive_box/receive_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

namespace {

// The window's font: a CJK-capable one.
QFont windowFont()
{
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
    return font;
}

} // namespace

class TestReceiveBox : public QObject
{
    Q_OBJECT

private slots:
    void keysAreNoWindowShortcut_data();
    void keysAreNoWindowShortcut();
    void findBarIn50MB();

    void setText_emitsChangeOnlyWhenTextDiffers();
    void appendText_equalsSetTextOfWhole_data();
    void appendText_equalsSetTextOfWhole();
    void selectionApi_clampsAndReports();
    void keys_edit_data();
    void keys_edit();
    void keys_selectAndCopy();
    void cutAndPaste_goThroughClipboard();
    void contextMenu_copies();
    void inputMethod_commitsText();
    void mouse_clickDragShiftClickDoubleClick();
    void wrap_atBlankOrAnywhereAndRewrapOnResize();
    void wrap_invisibleCharactersStillMakeLines();
    void tab_advancesToTabStop();
    void glyphs_lineUpWithCaret_data();
    void glyphs_lineUpWithCaret();
    void caretToEnd_scrollsToLastLine_data();
    void caretToEnd_scrollsToLastLine();
    void wheel_andPageKeysScroll();
    void scrollBar_stepsByLinesInLongText();

private:
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

void TestReceiveBox::keys_edit_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QList<QKeySequence>>("keys");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("expectedCaret");

    using K = QList<QKeySequence>;
    QTest::newRow("type at end") << "ab" << 2 << K{} << "cd"
                                 << "abcd" << 4;
    QTest::newRow("type in middle") << "ad" << 1 << K{} << "bc"
                                    << "abcd" << 3;
    QTest::newRow("backspace removes cr lf") << "ab\r\n"
                                             << 4 << K{Qt::Key_Backspace} << ""
                                             << "ab" << 2;
    QTest::newRow("delete removes cr lf") << "ab\r\ncd" << 2 << K{Qt::Key_Delete} << ""
                                          << "abcd" << 2;
    QTest::newRow("backspace removes astral") << "a😀b" << 3 << K{Qt::Key_Backspace} << ""
                                              << "ab" << 1;
    QTest::newRow("enter") << "ab" << 1 << K{Qt::Key_Return} << ""
                           << "a\r\nb" << 3;
    QTest::newRow("left over cr lf") << "ab\r\ncd" << 4 << K{Qt::Key_Left} << "x"
                                     << "abx\r\ncd" << 3;
    QTest::newRow("right over cr lf") << "ab\r\ncd" << 2 << K{Qt::Key_Right} << "x"
                                      << "ab\r\nxcd" << 5;
    QTest::newRow("right over astral") << "a😀b" << 1 << K{Qt::Key_Right} << "x"
                                       << "a😀xb" << 4;
    QTest::newRow("home and end") << "one\ntwo" << 5 << K{Qt::Key_Home} << "<"
                                  << "one\n<two" << 5;
    QTest::newRow("end of line") << "one\ntwo" << 1 << K{Qt::Key_End} << ">"
                                 << "one>\ntwo" << 4;
    QTest::newRow("ctrl home") << "one\ntwo" << 6 << K{QKeySequence(Qt::CTRL | Qt::Key_Home)} << "^"
                               << "^one\ntwo" << 1;
    QTest::newRow("down keeps column") << "abcd\nefgh" << 2 << K{Qt::Key_Down} << "|"
                                       << "abcd\nef|gh" << 8;
    QTest::newRow("up at first line stays") << "abcd\nefgh" << 2 << K{Qt::Key_Up} << "|"
                                            << "ab|cd\nefgh" << 3;
    QTest::newRow("shift right replaces")
        << "abcd" << 1
        << K{QKeySequence(Qt::SHIFT | Qt::Key_Right), QKeySequence(Qt::SHIFT | Qt::Key_Right)}
        << "X"
        << "aXd" << 2;
    QTest::newRow("selection then delete")
        << "abcd" << 0 << K{QKeySequence(Qt::SHIFT | Qt::Key_End), Qt::Key_Delete} << ""
        << "" << 0;
    QTest::newRow("ctrl right to next word")
        << "0D 0A 41" << 0 << K{QKeySequence(Qt::CTRL | Qt::Key_Right)} << "|"
        << "0D |0A 41" << 4;
    QTest::newRow("ctrl backspace deletes word")
        << "0D 0A 41" << 8 << K{QKeySequence(Qt::CTRL | Qt::Key_Backspace)} << ""
        << "0D 0A " << 6;
    QTest::newRow("cjk typed") << "ab" << 1 << K{} << "中文"
                               << "a中文b" << 3;
}

void TestReceiveBox::keys_edit()
{
    QFETCH(QString, initial);
    QFETCH(int, caret);
    QFETCH(QList<QKeySequence>, keys);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QFETCH(int, expectedCaret);

    ReceiveBox box;
    show(box);
    box.setText(initial);
    box.setSelStart(caret);
    QSignalSpy changes(&box, &ReceiveBox::Change);
    for (const QKeySequence &key : keys)
        QTest::keySequence(&box, key);
    for (QChar c : typed) {
        // Characters without a key of their own, as a keyboard layout delivers them.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(&box, &press);
    }
    QCOMPARE(box.text(), expected);
    QCOMPARE(box.selStart(), expectedCaret);
    QCOMPARE(changes.isEmpty(), expected == initial);
}

void TestReceiveBox::keys_selectAndCopy()
{
    ReceiveBox box;
    show(box);
    box.setText(QStringLiteral("0D 0A 41 \r\nsecond line"));
    box.setSelStart(0);
    for (int i = 0; i < 5; ++i)
        QTest::keyClick(&box, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("0D 0A"));
    QTest::keySequence(&box, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("0D 0A"));

    QTest::keySequence(&box, QKeySequence::SelectAll);
    QCOMPARE(box.selStart(), 0);
    QCOMPARE(box.selLength(), box.length());
    QTest::keySequence(&box, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(), box.text());

    QTest::keyClick(&box, Qt::Key_Right);
    QCOMPARE(box.selLength(), 0);
    QCOMPARE(box.selStart(), box.length());
    QTest::keyClick(&box, Qt::Key_Up, Qt::ShiftModifier);
    QCOMPARE(box.selectedText().right(13), QStringLiteral("\r\nsecond line"));
}

void TestReceiveBox::cutAndPaste_goThroughClipboard()
{
    ReceiveBox box;
    show(box);
    box.setText(QStringLiteral("keep CUT keep"));
    box.setSelection(5, 3);
    QTest::keySequence(&box, QKeySequence::Cut);
    QCOMPARE(box.text(), QStringLiteral("keep  keep"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("CUT"));
    box.setSelStart(box.length());
    QApplication::clipboard()->setText(QStringLiteral("\r\n粘贴"));
    QTest::keySequence(&box, QKeySequence::Paste);
    QCOMPARE(box.text(), QStringLiteral("keep  keep\r\n粘贴"));
    QCOMPARE(box.selStart(), box.length());
}

void TestReceiveBox::contextMenu_copies()
{
    ReceiveBox box;
    show(box);
    box.setText(QStringLiteral("menu copy"));
    box.setSelection(5, 4);
    QApplication::clipboard()->clear();
    bool triggered = false;
    QTimer::singleShot(0, &box, [&triggered] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            if (action->text() == QStringLiteral("复制(&C)") && action->isEnabled()) {
                triggered = true;
                menu->setActiveAction(action);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
        }
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                            box.viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(box.viewport(), &event);
    QVERIFY(triggered);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("copy"));
}

void TestReceiveBox::inputMethod_commitsText()
{
    ReceiveBox box;
    show(box);
    box.setText(QStringLiteral("温度:度"));
    box.setSelStart(3);
    QVERIFY(box.inputMethodQuery(Qt::ImEnabled).toBool());
    QSignalSpy changes(&box, &ReceiveBox::Change);

    box.clearFocus(); // no blinking caret in the pictures
    const QImage without = box.viewport()->grab().toImage();
    QInputMethodEvent preedit(QStringLiteral("wen"), {});
    QApplication::sendEvent(&box, &preedit);
    QCOMPARE(box.text(), QStringLiteral("温度:度"));
    QCOMPARE(changes.count(), 0);
    // The text being composed shows at the caret.
    QVERIFY(box.viewport()->grab().toImage() != without);

    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("二十"));
    QApplication::sendEvent(&box, &commit);
    QCOMPARE(box.text(), QStringLiteral("温度:二十度"));
    QCOMPARE(box.selStart(), 5);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(box.inputMethodQuery(Qt::ImSurroundingText).toString(), box.text());
    QCOMPARE(box.inputMethodQuery(Qt::ImCursorPosition).toInt(), 5);
}

void TestReceiveBox::mouse_clickDragShiftClickDoubleClick()
{
    ReceiveBox box;
    show(box);
    box.setText(QStringLiteral("0D 0A 41 42 43 \r\nsecond line"));
    QWidget *viewport = box.viewport();
    const auto middleOf = [&box](qint64 pos) { return caretRect(box, pos).center(); };

    const QPoint at4 = middleOf(4);
    const QPoint at10 = middleOf(10);
    const QPoint at20 = middleOf(20);
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at4);
    QCOMPARE(box.selStart(), 4);
    QCOMPARE(box.selLength(), 0);

    QTest::mousePress(viewport, Qt::LeftButton, {}, at4);
    QTest::mouseMove(viewport, at10);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at10);
    QCOMPARE(box.selectedText(), QStringLiteral("A 41 4"));

    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier, at20);
    QCOMPARE(box.selStart(), 4);
    QCOMPARE(box.selectedText(), QStringLiteral("A 41 42 43 \r\nsec"));

    QTest::mouseDClick(viewport, Qt::LeftButton, {}, middleOf(7) + QPoint(1, 0));
    QCOMPARE(box.selectedText(), QStringLiteral("41"));
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

QTEST_MAIN(TestReceiveBox)
void TestReceiveBox::keysAreNoWindowShortcut_data()
{
    QTest::addColumn<QKeySequence>("keys");
    // 1: the caret leaves the end or a selection appears; 0: neither; -1: either.
    QTest::addColumn<int>("moves");

    const std::pair<QKeySequence::StandardKey, bool> standard[] = {
        {QKeySequence::MoveToPreviousChar, true},
        {QKeySequence::SelectPreviousWord, true},
        {QKeySequence::MoveToPreviousLine, true},
        {QKeySequence::SelectPreviousPage, true},
        {QKeySequence::MoveToStartOfLine, true},
        {QKeySequence::SelectStartOfDocument, true},
        {QKeySequence::MoveToStartOfDocument, true},
        {QKeySequence::SelectAll, true},
        {QKeySequence::Copy, false},
        {QKeySequence::Find, false},
    };
    for (const auto &[key, moves] : standard) {
        const QKeySequence keys(key);
        QTest::addRow("%s", qPrintable(keys.toString())) << keys << int(moves);
    }
    QTest::newRow("Ctrl++") << QKeySequence(Qt::CTRL | Qt::Key_Plus) << 0;
    QTest::newRow("Ctrl+-") << QKeySequence(Qt::CTRL | Qt::Key_Minus) << 0;
    QTest::newRow("Ctrl+0") << QKeySequence(Qt::CTRL | Qt::Key_0) << 0;
    // Every key of the box's table, on this platform.
    for (const BoxKeyBinding &binding : boxKeyBindings) {
        for (const QKeySequence &keys : QKeySequence::keyBindings(binding.key))
            QTest::addRow("table: %s", qPrintable(keys.toString())) << keys << -1;
    }
}

// A window shortcut on a key the box handles would take it away from the box.
void TestReceiveBox::keysAreNoWindowShortcut()
{
    QFETCH(QKeySequence, keys);
    QFETCH(int, moves);

    QWidget window;
    auto *box = new ReceiveBox(&window);
    box->setFont(windowFont());
    box->resize(300, 150);
    auto *shortcut = new QShortcut(keys, &window);
    QSignalSpy fired(shortcut, &QShortcut::activated);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    box->setFocus();
    box->appendText(QStringLiteral("first line\r\nsecond line"));
    box->setSelStart(box->length());

    const QKeyCombination combination = keys[0];
    QTest::keyClick(box, combination.key(), combination.keyboardModifiers());

    QCOMPARE(fired.size(), 0);
    if (moves >= 0)
        QCOMPARE(box->selStart() + box->selLength() < box->length() || box->selLength() > 0,
                 bool(moves));
    if (QWidget *popup = QApplication::activePopupWidget())
        popup->close();
}

// Ctrl+F over a 50 MB capture: typing, Return, F3 and Shift+F3 in the find bar, wrapping at the
// ends, the match selected and shown.
void TestReceiveBox::findBarIn50MB()
{
    ReceiveBox box;
    show(box);
    QString block;
    while (block.size() < (1 << 20))
        block += QStringLiteral("T=23.5 H=41% n=12345\r\n");
    const qint64 lower = 1000;
    QString first = block;
    first.replace(lower, 6, QStringLiteral("needle"));
    QString marked = block;
    marked.replace(500, 6, QStringLiteral("NEEDLE"));
    box.appendText(first);
    QList<qint64> upper;
    for (int i = 1; i < 50; ++i) {
        if (i == 25 || i == 49) {
            upper << box.length() + 500;
            box.appendText(marked);
        } else {
            box.appendText(block);
        }
    }
    box.setSelStart(0);
    box.setFocus();
    QTest::keyClick(&box, Qt::Key_F, Qt::ControlModifier);
    auto *bar = box.findChild<FindDialog *>();
    QVERIFY(bar);
    QTRY_VERIFY(bar->isVisible());
    auto *field = bar->findChild<QLineEdit *>();
    QTest::keyClicks(field, QStringLiteral("NEEDLE"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(box.selStart(), lower);
    QCOMPARE(box.selectedText(), QStringLiteral("needle"));

    bar->findChild<QCheckBox *>()->setChecked(true);
    QTest::keyClick(field, Qt::Key_F3);
    QCOMPARE(box.selStart(), upper[0]);
    QTest::keyClick(field, Qt::Key_F3);
    QCOMPARE(box.selStart(), upper[1]);
    QTest::keyClick(field, Qt::Key_F3);
    QCOMPARE(box.selStart(), upper[0]);
    QTest::keyClick(field, Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(box.selStart(), upper[1]);
    QCOMPARE(box.selectedText(), QStringLiteral("NEEDLE"));
    // The match is scrolled into view.
    QVERIFY(
        box.viewport()->rect().intersects(box.inputMethodQuery(Qt::ImCursorRectangle).toRect()));

    field->clear();
    QTest::keyClicks(field, QStringLiteral("absent"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(box.selStart(), upper[1]);
    const QList<QLabel *> labels = bar->findChildren<QLabel *>();
    QVERIFY(std::any_of(labels.begin(), labels.end(),
                        [](QLabel *label) { return label->text() == QStringLiteral("找不到"); }));
}

#include "tst_receivebox.moc"
