// What a screen reader gets from the window through Qt's accessibility API: the receive box's
// text interface against the box's own text, the events it sends while a board streams, and the
// names of the controls a user sees.
#include "app/frame_pacer.h"
#include "support/receive_box_view.h"
#include "support/window_fixture.h"
#include "textview/receive_box_accessible.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QProcess>

namespace {

struct Recorded
{
    QAccessible::Event type;
    int position;
    QString text;
};

QList<Recorded> recorded;

void record(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::TextInserted) {
        const auto *insert = static_cast<QAccessibleTextInsertEvent *>(event);
        recorded.append({event->type(), insert->changePosition(), insert->textInserted()});
    } else if (event->type() == QAccessible::NameChanged) {
        const auto *label = qobject_cast<QLabel *>(event->object());
        if (label && label->objectName() == QLatin1String("RevNum"))
            recorded.append({event->type(), -1, label->text()});
    } else if (event->type() == QAccessible::TextCaretMoved) {
        const auto *cursor = static_cast<QAccessibleTextCursorEvent *>(event);
        recorded.append({event->type(), cursor->cursorPosition(), {}});
    }
}

QAccessibleTextInterface *textOf(QWidget *widget)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
    return iface ? iface->textInterface() : nullptr;
}

// Three drawn lines: a word line, a line with a character outside the BMP, and a last line
// without a break.
const QString sample =
    QStringLiteral("temp=21.5 ok\r\n") + QStringLiteral("ab 😀 cd\n") + QStringLiteral("last");

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void textAtOffset_data();
    void textAtOffset();
    void longRangesAreCut_data();
    void longRangesAreCut();
    void caretSelectionAndPlaces();
    void streamIsToldInFewEvents();
    void nothingIsToldWithoutAReader();
    void receivedCountIsToldOncePerFrame();
    void windowNames();
    void screenReaderReadsTheBox();
};

// Under tests/support/with_atspi Qt's bridge switches accessibility on a moment after start.
void TestAccessibility::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), 10000);
}

void TestAccessibility::init()
{
    recorded.clear();
    QAccessible::installUpdateHandler(&record);
}

void TestAccessibility::cleanup()
{
    QAccessible::installUpdateHandler(nullptr);
}

void TestAccessibility::textAtOffset_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("boundary");
    QTest::addColumn<QString>("at");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    const int chr = QAccessible::CharBoundary;
    const int word = QAccessible::WordBoundary;
    const int line = QAccessible::LineBoundary;
    QTest::newRow("first character") << 0 << chr << "t"
                                     << ""
                                     << "e";
    QTest::newRow("the pair's low half is the whole pair") << 18 << chr << "😀"
                                                           << " "
                                                           << " ";
    QTest::newRow("a word") << 2 << word << "temp"
                            << ""
                            << "=";
    QTest::newRow("between words") << 9 << word << " "
                                   << "5"
                                   << "ok";
    QTest::newRow("first line, with its break") << 3 << line << "temp=21.5 ok\r\n"
                                                << ""
                                                << "ab 😀 cd\n";
    QTest::newRow("last line, no break") << 26 << line << "last"
                                         << "ab 😀 cd\n"
                                         << "";
    QTest::newRow("at the very end") << 28 << line << "last"
                                     << "ab 😀 cd\n"
                                     << "";
}

// The interface's answers are the box's own text, with offsets that cut it exactly there.
void TestAccessibility::textAtOffset()
{
    QFETCH(int, offset);
    QFETCH(int, boundary);
    QFETCH(QString, at);
    QFETCH(QString, before);
    QFETCH(QString, after);
    ReceiveBox box;
    box.setText(sample);
    ReceiveBoxView::show(box, QSize(600, 200));
    QAccessibleTextInterface *text = textOf(&box);
    QVERIFY(text);
    QCOMPARE(text->characterCount(), int(sample.size()));
    const auto type = QAccessible::TextBoundaryType(boundary);
    int start = -2;
    int end = -2;
    QCOMPARE(text->textAtOffset(offset, type, &start, &end), at);
    QCOMPARE(sample.mid(start, end - start), at);
    QCOMPARE(text->textBeforeOffset(offset, type, &start, &end), before);
    if (!before.isEmpty())
        QCOMPARE(sample.mid(start, end - start), before);
    QCOMPARE(text->textAfterOffset(offset, type, &start, &end), after);
    if (!after.isEmpty())
        QCOMPARE(sample.mid(start, end - start), after);
    QCOMPARE(text->text(3, 9), sample.mid(3, 6));
}

void TestAccessibility::longRangesAreCut_data()
{
    using Cut = ReceiveBoxAccessible;
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("length");
    QTest::newRow("the whole text") << 0 << -1 << int(Cut::MaxAnswerChars);
    QTest::newRow("from the middle to the end") << 100000 << -1 << int(Cut::MaxAnswerChars);
    QTest::newRow("a range past the limit") << 7 << 150000 << int(Cut::MaxAnswerChars);
    QTest::newRow("the tail, shorter than the limit") << 190000 << -1 << 10000;
    QTest::newRow("a cut that would split a surrogate pair")
        << 120000 << -1 << int(Cut::MaxAnswerChars) - 1;
    QTest::newRow("a short range") << 10 << 20 << 10;
}

// A range answers from where it was asked, at most MaxAnswerChars long: a reader asking for
// "everything" does not make the program copy the whole box, and its offsets stay right.
void TestAccessibility::longRangesAreCut()
{
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(int, length);
    QString sample;
    while (sample.size() < 200000)
        sample += QStringLiteral("line %1 of a board's log\r\n").arg(sample.size());
    sample.truncate(200000);
    // A character outside the BMP where the cut of the fifth row would fall.
    sample.replace(120000 + ReceiveBoxAccessible::MaxAnswerChars - 1, 2,
                   QStringLiteral("\U0001F600"));
    ReceiveBox box;
    box.setText(sample);
    QAccessibleTextInterface *text = textOf(&box);
    QVERIFY(text);
    QCOMPARE(text->text(start, end), sample.mid(start, length));
    if (start != 0 || end != -1)
        return;
    int from = -2;
    int to = -2;
    QCOMPARE(text->textAtOffset(5, QAccessible::NoBoundary, &from, &to), sample.left(length));
    QCOMPARE(from, 0);
    QCOMPARE(to, length);
}

// The caret and the selection are the box's both ways, and each character's place on screen
// leads back to it.
void TestAccessibility::caretSelectionAndPlaces()
{
    ReceiveBox box;
    box.setText(sample);
    ReceiveBoxView::show(box, QSize(600, 200));
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&box);
    QAccessibleTextInterface *text = iface->textInterface();
    QCOMPARE(iface->role(), QAccessible::EditableText);
    QVERIFY(iface->state().multiLine);

    box.setSelection(2, 5);
    QCOMPARE(text->selectionCount(), 1);
    int start = 0;
    int end = 0;
    text->selection(0, &start, &end);
    QCOMPARE(start, 2);
    QCOMPARE(end, 7);
    QCOMPARE(text->cursorPosition(), 7);
    text->setSelection(0, 14, 16);
    QCOMPARE(box.selectedText(), QStringLiteral("ab"));
    text->removeSelection(0);
    QCOMPARE(text->selectionCount(), 0);
    text->setCursorPosition(20);
    QCOMPARE(box.selStart(), 20);

    for (const int offset : {0, 5, 14, 16, 24, 27}) {
        const QRect place = text->characterRect(offset);
        QVERIFY2(place.isValid(), qPrintable(QString::number(offset)));
        QCOMPARE(text->offsetAtPoint(place.center()), offset);
    }
    QVERIFY(text->characterRect(3).top() < text->characterRect(16).top());
}

// While a board streams, the reader hears of new text a few times a second, not per block, and
// what it hears adds up to exactly what came; a caret the user moves is told at once.
void TestAccessibility::streamIsToldInFewEvents()
{
    if (!QAccessible::isActive())
        QSKIP("no screen reader listens here: run under tests/support/with_atspi");
    ReceiveBox box;
    ReceiveBoxView::show(box);
    QString streamed;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 200; ++i) {
        const QString line = QStringLiteral("n=%1\r\n").arg(i);
        box.appendReceived(line, i);
        box.setSelStart(box.length());
        streamed += line;
        QTest::qWait(2);
    }
    QTRY_VERIFY(!recorded.isEmpty() && recorded.last().type == QAccessible::TextCaretMoved &&
                recorded.last().position == box.length());
    QString told;
    int inserts = 0;
    for (const Recorded &event : recorded) {
        if (event.type != QAccessible::TextInserted)
            continue;
        QCOMPARE(event.position, int(told.size()));
        told += event.text;
        ++inserts;
    }
    QCOMPARE(told, streamed);
    const qint64 intervals = clock.elapsed() / AccessibleNotes::IntervalMs + 2;
    QVERIFY2(inserts <= intervals, qPrintable(QStringLiteral("%1 insertions").arg(inserts)));
    QTest::qWait(AccessibleNotes::IntervalMs * 2);

    recorded.clear();
    box.setSelStart(3);
    QCOMPARE(recorded.size(), 1);
    QCOMPARE(recorded.first().type, QAccessible::TextCaretMoved);
    QCOMPARE(recorded.first().position, 3);
}

void TestAccessibility::nothingIsToldWithoutAReader()
{
    if (QAccessible::isActive())
        QSKIP("a screen reader listens here");
    ReceiveBox box;
    ReceiveBoxView::show(box);
    for (int i = 0; i < 20; ++i)
        box.appendReceived(QStringLiteral("line\r\n"), i);
    box.setSelStart(2);
    QTest::qWait(AccessibleNotes::IntervalMs * 2);
    QVERIFY(recorded.isEmpty());
}

// A board printing a line every few milliseconds: the reader hears the received count change at
// most once a frame, every count it hears is what had arrived by then, and the last is the total.
void TestAccessibility::receivedCountIsToldOncePerFrame()
{
    if (!QAccessible::isActive())
        QSKIP("no screen reader listens here: run under tests/support/with_atspi");
    WindowFixture f;
    QVERIFY(f.isValid());
    QVERIFY(f.showWindow());
    QVERIFY(f.openBoard());
    QTest::qWait(FramePacer::InputRecentMs + 100);
    recorded.clear();
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    for (int i = 0; i < 150; ++i) {
        const QByteArray line = "n=" + QByteArray::number(i) + "\r\n";
        QVERIFY(f.board.write(line));
        sent += line.size();
        QTest::qWait(2);
    }
    QTRY_COMPARE(f.counter("RevNum"), QString::number(sent));
    const qint64 frames = clock.elapsed() / FramePacer::StreamFrameMs + 2;
    qint64 told = 0;
    int names = 0;
    for (const Recorded &event : recorded) {
        if (event.type != QAccessible::NameChanged)
            continue;
        QVERIFY(event.text.toLongLong() > told);
        told = event.text.toLongLong();
        ++names;
    }
    QCOMPARE(told, sent);
    QVERIFY2(names <= frames,
             qPrintable(QStringLiteral("%1 names, %2 frames").arg(names).arg(frames)));
}

// A reader names each control by what the user sees on it; a counter reads as its number.
void TestAccessibility::windowNames()
{
    WindowFixture f;
    QVERIFY(f.isValid());
    const auto name = [&f](const char *control) {
        return QAccessible::queryAccessibleInterface(f.control(control))->text(QAccessible::Name);
    };
    QCOMPARE(name("RevText"), QStringLiteral("接收区"));
    QCOMPARE(name("OpenCom"), QStringLiteral("打开串口"));
    QCOMPARE(name("ManSend"), QStringLiteral("手动发送"));
    QCOMPARE(name("ClearRevText"), QStringLiteral("清接收区"));
    QVERIFY(f.openBoard());
    QVERIFY(f.board.write("12345"));
    QTRY_COMPARE(name("RevNum"), QStringLiteral("5"));
    QCOMPARE(name("SendNum"), QStringLiteral("0"));
}

// End to end, as Orca reads it: another process asks over AT-SPI for the box's text and a line.
void TestAccessibility::screenReaderReadsTheBox()
{
    if (!QAccessible::isActive())
        QSKIP("no AT-SPI bus here: run under tests/support/with_atspi");
    QAccessible::installUpdateHandler(nullptr);
    WindowFixture f;
    QVERIFY(f.showWindow());
    f.click("ClearRevText");
    QVERIFY(f.openBoard());
    QVERIFY(f.board.write("温度 21.5\r\nboard ok\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("温度 21.5\r\nboard ok\r\n"));
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(ZELQO_TESTS_DIR "/support/read_box.py"),
                  QCoreApplication::applicationName(), QStringLiteral("接收区"),
                  QStringLiteral("12")});
    QVERIFY(reader.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(reader.state() == QProcess::NotRunning, 30000);
    const QString err = QString::fromUtf8(reader.readAllStandardError());
    if (err.contains(QLatin1String("No module named")) || err.contains(QLatin1String("Namespace")))
        QSKIP(qPrintable(QStringLiteral("no AT-SPI client library: ") + err));
    QVERIFY2(reader.exitCode() == 0, qPrintable(err));
    const QStringList lines = QString::fromUtf8(reader.readAllStandardOutput()).split(u'\n');
    QCOMPARE(lines.value(0), QStringLiteral("19"));
    QCOMPARE(lines.value(1), QStringLiteral("温度 21.5\\r\\nboard ok\\r\\n"));
    QCOMPARE(lines.value(2), QStringLiteral("board ok\\r\\n"));
    qInfo("read over AT-SPI: %s / line at 12: %s", qPrintable(lines.value(1)),
          qPrintable(lines.value(2)));
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
