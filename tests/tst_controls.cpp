// The rules every control keeps, whoever changes it: a text set to what it already is raises
// nothing, typing is a change, a pick from a list is a click, filling a list raises nothing.
#include "app/controls.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

class TestControls : public QObject
{
    Q_OBJECT

private slots:
    void lineBoxChange();
    void memoBoxLineBreaks_data();
    void memoBoxLineBreaks();
    void memoBoxChange();
    void listBoxFillKeepsText();
    void listBoxPick_data();
    void listBoxPick();
    void listBoxTypingEnds_data();
    void listBoxTypingEnds();
    void listBoxAddEntry();
};

void TestControls::lineBoxChange()
{
    LineBox box;
    QSignalSpy change(&box, &LineBox::Change);
    box.setText(QStringLiteral("11:"));
    box.setText(QStringLiteral("11:"));
    QCOMPARE(change.size(), 1);
    box.setFocus();
    QTest::keyClicks(&box, QStringLiteral("ab"));
    QCOMPARE(change.size(), 3);
    QCOMPARE(box.text(), QStringLiteral("11:ab"));
}

void TestControls::memoBoxLineBreaks_data()
{
    QTest::addColumn<QString>("set");
    QTest::addColumn<QString>("text");
    QTest::newRow("CR LF") << "a\r\nb"
                           << "a\r\nb";
    QTest::newRow("LF") << "a\nb"
                        << "a\r\nb";
    QTest::newRow("CR") << "a\rb"
                        << "a\r\nb";
    QTest::newRow("trailing") << "AT\r\n"
                              << "AT\r\n";
    QTest::newRow("blank lines") << "\r\n\r\nx"
                                 << "\r\n\r\nx";
}

void TestControls::memoBoxLineBreaks()
{
    QFETCH(QString, set);
    QFETCH(QString, text);
    MemoBox box;
    box.setText(set);
    QCOMPARE(box.text(), text);
}

void TestControls::memoBoxChange()
{
    MemoBox box;
    QSignalSpy change(&box, &MemoBox::Change);
    box.setText(QStringLiteral("a\r\nb"));
    box.setText(QStringLiteral("a\r\nb"));
    QCOMPARE(change.size(), 1);
    box.setFocus();
    QTest::keyClick(&box, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(&box, QStringLiteral("xyz"));
    QCOMPARE(change.size(), 4);
    QCOMPARE(box.text(), QStringLiteral("a\r\nbxyz"));
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    box.textCursor().mergeCharFormat(bold);
    QCOMPARE(change.size(), 4);
    box.setText(QString());
    QCOMPARE(change.size(), 5);
}

void TestControls::listBoxFillKeepsText()
{
    ListBox box;
    box.setText(QStringLiteral("14400"));
    QSignalSpy click(&box, &ListBox::Click);
    QSignalSpy change(&box, &ListBox::Change);
    box.fill({QStringLiteral("115200"), QStringLiteral("9600")});
    QCOMPARE(box.count(), 2);
    QCOMPARE(box.text(), QStringLiteral("14400"));
    QCOMPARE(box.listIndex(), -1);
    QCOMPARE(click.size(), 0);
    QCOMPARE(change.size(), 0);
}

void TestControls::listBoxPick_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("picked");
    QTest::newRow("by the program") << "program" << 1;
    QTest::newRow("mouse in the open list") << "mouse" << 2;
    QTest::newRow("Down on the closed list") << "Down" << 1;
    QTest::newRow("Down and Return in the open list") << "open list keys" << 2;
}

// Every way of picking an entry is one click and no change, from the entry at 0.
void TestControls::listBoxPick()
{
    QFETCH(QString, how);
    QFETCH(int, picked);
    QWidget window;
    auto *box = new ListBox(&window);
    box->fill({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3")});
    box->select(0);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    box->setFocus();
    QSignalSpy click(box, &ListBox::Click);
    QSignalSpy change(box, &ListBox::Change);

    QAbstractItemView *view = box->view();
    if (how == QStringLiteral("program")) {
        box->select(picked);
    } else if (how == QStringLiteral("Down")) {
        QTest::keyClick(box, Qt::Key_Down);
    } else {
        box->showPopup();
        QTRY_VERIFY(view->isVisible());
        if (how == QStringLiteral("mouse")) {
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                              view->visualRect(view->model()->index(picked, 0)).center());
        } else {
            QTest::keyClick(view, Qt::Key_Down);
            QTest::keyClick(view, Qt::Key_Down);
            QTest::keyClick(view, Qt::Key_Return);
        }
    }
    QCOMPARE(click.size(), 1);
    QCOMPARE(change.size(), 0);
    QCOMPARE(box->listIndex(), picked);
    QCOMPARE(box->text(), QStringLiteral("COM%1").arg(picked + 1));
}

void TestControls::listBoxTypingEnds_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("end");

    for (const char *typed : {"COM3", "COM9"}) {
        for (const char *end : {"still typing", "Return", "Enter", "Tab", "click elsewhere"})
            QTest::addRow("%s, %s", typed, end) << typed << end;
    }
}

// Typing is a change and never a pick, while it goes on and however it ends. Qt 6.4 reports a
// typed text that equals an entry as activated when typing ends, and the insert policy could add
// a typed text to the list.
void TestControls::listBoxTypingEnds()
{
    QFETCH(QString, typed);
    QFETCH(QString, end);

    QWidget window;
    auto *box = new ListBox(&window);
    auto *other = new QLineEdit(&window);
    other->move(0, 40);
    box->fill({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3")});
    box->select(1);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    box->setFocus();
    QTRY_VERIFY(box->hasFocus());
    QSignalSpy click(box, &ListBox::Click);
    QSignalSpy change(box, &ListBox::Change);

    box->lineEdit()->selectAll();
    QTest::keyClicks(box, typed);
    if (end == QStringLiteral("Return"))
        QTest::keyClick(box, Qt::Key_Return);
    else if (end == QStringLiteral("Enter"))
        QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
    else if (end == QStringLiteral("Tab"))
        QTest::keyClick(box, Qt::Key_Tab);
    else if (end == QStringLiteral("click elsewhere"))
        QTest::mouseClick(other, Qt::LeftButton);
    if (end == QStringLiteral("Tab") || end == QStringLiteral("click elsewhere"))
        QTRY_VERIFY(!box->hasFocus());

    QCOMPARE(click.size(), 0);
    QCOMPARE(change.size(), typed.size());
    QCOMPARE(box->text(), typed);
    QCOMPARE(box->listIndex(), -1);
    QCOMPARE(box->count(), 3);
    QCOMPARE(box->itemText(2), QStringLiteral("COM3"));
}

void TestControls::listBoxAddEntry()
{
    ListBox box;
    box.fill({QStringLiteral("38400")});
    box.setText(QStringLiteral("9600"));
    QSignalSpy click(&box, &ListBox::Click);
    box.addEntry(QStringLiteral("38400"));
    QCOMPARE(box.count(), 2);
    QCOMPARE(box.text(), QStringLiteral("9600"));
    QCOMPARE(click.size(), 0);
}

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
