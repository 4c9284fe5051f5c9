// Editing in the receive box: keys and their shortcuts, the clipboard, the context menu, input
// methods, the mouse and the find bar.
#include "support/context_menu.h"
#include "support/receive_box_view.h"
#include "textview/box_keys.h"
#include "textview/find_dialog.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QShortcut>
#include <QSignalSpy>
#include <QTest>

class TestReceiveBoxEditing : public QObject, private ReceiveBoxView
{
    Q_OBJECT

private slots:
    void keysAreNoWindowShortcut_data();
    void keysAreNoWindowShortcut();
    void findBarIn50MB();
    void keys_edit_data();
    void keys_edit();
    void keys_selectAndCopy();
    void clipboard_data();
    void clipboard();
    void inputMethod_commitsText();
    void mouse_clickDragShiftClickDoubleClick();
};

void TestReceiveBoxEditing::keysAreNoWindowShortcut_data()
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
void TestReceiveBoxEditing::keysAreNoWindowShortcut()
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
void TestReceiveBoxEditing::findBarIn50MB()
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

void TestReceiveBoxEditing::keys_edit_data()
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

void TestReceiveBoxEditing::keys_edit()
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

void TestReceiveBoxEditing::keys_selectAndCopy()
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

void TestReceiveBoxEditing::clipboard_data()
{
    QTest::addColumn<QString>("how"); // a standard key, or a context-menu entry
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QString>("expectedClipboard");

    const QString pasted = QStringLiteral("\r\n粘贴");
    const auto rows = [&](const char *key, const char *entry, int from, int length,
                          const QString &expectedText, const QString &expectedClipboard) {
        const QString text = QStringLiteral("keep CUT keep");
        for (const char *how : {key, entry}) {
            if (how)
                QTest::newRow(how) << QString::fromUtf8(how) << text << from << length
                                   << expectedText << expectedClipboard;
        }
    };
    rows("Copy", "复制(&C)", 5, 3, QStringLiteral("keep CUT keep"), QStringLiteral("CUT"));
    rows("Cut", "剪切(&T)", 5, 3, QStringLiteral("keep  keep"), QStringLiteral("CUT"));
    rows("Paste", "粘贴(&P)", 13, 0, QStringLiteral("keep CUT keep") + pasted, pasted);
    rows(nullptr, "删除(&D)", 5, 3, QStringLiteral("keep  keep"), pasted);
}

// Through the keys and through the context menu alike; the clipboard holds pasted beforehand.
void TestReceiveBoxEditing::clipboard()
{
    QFETCH(QString, how);
    QFETCH(QString, text);
    QFETCH(int, from);
    QFETCH(int, length);
    QFETCH(QString, expectedText);
    QFETCH(QString, expectedClipboard);
    ReceiveBox box;
    show(box);
    box.setText(text);
    box.setSelection(from, length);
    QApplication::clipboard()->setText(QStringLiteral("\r\n粘贴"));
    const QMap<QString, QKeySequence::StandardKey> keys = {
        {QStringLiteral("Copy"), QKeySequence::Copy},
        {QStringLiteral("Cut"), QKeySequence::Cut},
        {QStringLiteral("Paste"), QKeySequence::Paste},
    };
    if (keys.contains(how))
        QTest::keySequence(&box, keys.value(how));
    else
        QVERIFY(!useContextMenu(&box, {how}).isEmpty());
    QCOMPARE(box.text(), expectedText);
    QCOMPARE(QApplication::clipboard()->text(), expectedClipboard);
    // A copy keeps the selection; otherwise the caret follows what went in.
    if (expectedText == text) {
        QCOMPARE(box.selStart(), from);
        QCOMPARE(box.selLength(), length);
    } else {
        QCOMPARE(box.selLength(), 0);
        QCOMPARE(box.selStart(), from + expectedText.size() - text.size() + length);
    }
}

void TestReceiveBoxEditing::inputMethod_commitsText()
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

void TestReceiveBoxEditing::mouse_clickDragShiftClickDoubleClick()
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

QTEST_MAIN(TestReceiveBoxEditing)
#include "tst_receivebox_editing.moc"
