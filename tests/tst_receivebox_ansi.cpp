// The receive box with control sequences rendered or stripped: firmware logs however they are
// read, the line a board rewrites, separators and bookmarks beside the text, colours and
// highlight rules on screen, and old lines dropped with their pens and marks.
#include "support/receive_box_view.h"
#include "textview/receive_box.h"
#include "textview/text_colours.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QClipboard>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

namespace {

using Mode = ReceiveBox::ControlSequences;

QString fixture(const QString &name)
{
    QFile file(QStringLiteral(ZELQO_TESTS_DIR "/fixtures/ansi/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The pen of each character but line breaks, as runs.
QList<std::pair<qint64, Pen>> drawnPens(const ReceiveBox &box)
{
    QList<std::pair<qint64, Pen>> out;
    const QString text = box.text();
    for (qint64 i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'\r' || text.at(i) == u'\n')
            continue;
        const Pen pen = box.colourRuns().penAt(i);
        if (out.isEmpty() || out.last().second != pen)
            out.append({i, pen});
    }
    return out;
}

// Pixels of the viewport near colour (antialiased text is lighter at its edges), in rows
// [top, top + height).
int pixelsNear(const QImage &image, const QColor &colour, int top, int height)
{
    int count = 0;
    for (int y = qMax(0, top); y < qMin(image.height(), top + height); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) +
                    qAbs(c.blue() - colour.blue()) <
                60)
                ++count;
        }
    }
    return count;
}

QImage grab(ReceiveBox &box)
{
    box.viewport()->repaint();
    return box.viewport()->grab().toImage();
}

int lineHeight(ReceiveBox &box)
{
    return ReceiveBoxView::caretRect(box, 0).height();
}

} // namespace

class TestReceiveBoxAnsi : public QObject, private ReceiveBoxView
{
    Q_OBJECT

private slots:
    void fixtures_sameForAnyReads_data();
    void fixtures_sameForAnyReads();
    void shown_isTheBoxAsItWas();
    void progressBar_keepsItsLineAndTime();
    void separators_besideTheText();
    void bookmarks_keysAndMarks_data();
    void bookmarks_keysAndMarks();
    void colours_onScreen_data();
    void colours_onScreen();
    void oldLines_goWithTheirPensAndMarks();
    void typing_endsTheRewrittenLine();
    void revealLine_stopsFollowing();
};

void TestReceiveBoxAnsi::fixtures_sameForAnyReads_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Mode>("mode");
    for (const char *name : {"esp_idf_boot.log", "zephyr_shell.log", "micropython_edit.log",
                             "progress_bar.log", "dashboard.log"}) {
        QTest::addRow("%s rendered", name) << QString::fromLatin1(name) << Mode::Rendered;
        QTest::addRow("%s stripped", name) << QString::fromLatin1(name) << Mode::Stripped;
    }
}

// Through the box as the window feeds it: the same text, pens, separators and line times for
// any reads, and for other readers the text without its sequences.
void TestReceiveBoxAnsi::fixtures_sameForAnyReads()
{
    QFETCH(QString, name);
    QFETCH(Mode, mode);
    const QString stream = fixture(name);
    QVERIFY(!stream.isEmpty());
    ReceiveBox whole;
    whole.setControlSequences(mode);
    const QString plain = whole.appendReceivedText(stream, 1000);
    QVERIFY(!whole.text().contains(u'\x1b'));
    QCOMPARE(plain.contains(u'\x1b'), false);
    if (mode == Mode::Stripped)
        QVERIFY(whole.colourRuns().isEmpty());

    QRandomGenerator random(11);
    for (int round = 0; round < 40; ++round) {
        ReceiveBox box;
        box.setControlSequences(mode);
        QString others;
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype n =
                qMin<qsizetype>(1 + random.bounded(round % 2 ? 6 : 200), stream.size() - at);
            others += box.appendReceivedText(stream.sliced(at, n), 1000);
            at += n;
        }
        QCOMPARE(box.text(), whole.text());
        QCOMPARE(drawnPens(box), drawnPens(whole));
        QCOMPARE(box.separators().positions(), whole.separators().positions());
        QCOMPARE(box.arrivalTimes().count(), whole.arrivalTimes().count());
        QCOMPARE(others, plain);
    }
}

// A user who never chooses: the text as it came, sequences and all, with its times.
void TestReceiveBoxAnsi::shown_isTheBoxAsItWas()
{
    const QString stream = fixture(QStringLiteral("esp_idf_boot.log"));
    ReceiveBox chosen;
    ReceiveBox before;
    QCOMPARE(chosen.controlSequences(), Mode::Shown);
    for (qsizetype at = 0; at < stream.size(); at += 97) {
        const QString piece = stream.mid(at, 97);
        QCOMPARE(chosen.appendReceivedText(piece, 5000 + at), piece);
        before.appendReceived(piece, 5000 + at);
    }
    QCOMPARE(chosen.text(), stream);
    QCOMPARE(chosen.text(), before.text());
    QCOMPARE(chosen.arrivalTimes().count(), before.arrivalTimes().count());
    QVERIFY(chosen.colourRuns().isEmpty());
    QVERIFY(chosen.separators().isEmpty());
}

// CR rewrites the line still being written: one line, however many updates, with the time its
// first character came.
void TestReceiveBoxAnsi::progressBar_keepsItsLineAndTime()
{
    ReceiveBox box;
    box.setControlSequences(Mode::Rendered);
    QSignalSpy replaced(&box, &ReceiveBox::textReplaced);
    box.appendReceivedText(u"Erasing flash...\r\n", 1000);
    box.appendReceivedText(u"[=     ] 10%", 2000);
    box.appendReceivedText(u"\r[==    ] 20%", 3000);
    box.appendReceivedText(u"\r[======] 100", 4000);
    QCOMPARE(box.text(), QStringLiteral("Erasing flash...\r\n[======] 100"));
    // The last update rewrote from the first character that changed ("[==" stayed).
    const QList<QVariant> last = replaced.last();
    QCOMPARE(last.at(0).toLongLong(), 18 + 3);
    QCOMPARE(last.at(1).toLongLong(), 9);
    QCOMPARE(last.at(2).toLongLong(), 9);
    box.appendReceivedText(u"%\r\ndone\r\n", 5000);
    QCOMPARE(box.text(), QStringLiteral("Erasing flash...\r\n[======] 100%\r\ndone\r\n"));
    const auto line = box.arrivalTimes().lastAtOrBefore(18);
    QVERIFY(line);
    QCOMPARE(line->pos, 18);
    QCOMPARE(line->msecs, 2000);
    QCOMPARE(box.arrivalTimes().lastAtOrBefore(box.text().indexOf(u"done"))->msecs, 5000);
}

// A cleared screen is a line drawn between the screens: not in the text, not copied, not read
// by a screen reader.
void TestReceiveBoxAnsi::separators_besideTheText()
{
    ReceiveBox box;
    show(box);
    box.setControlSequences(Mode::Rendered);
    box.appendReceivedText(fixture(QStringLiteral("dashboard.log")), 1000);
    const QString text = box.text();
    QVERIFY(text.startsWith(QStringLiteral("booting dashboard\r\n=== Sensor dashboard ===\r\n")));
    QCOMPARE(box.separators().count(), 3);
    QCOMPARE(box.separators().positions().front(), text.indexOf(u"==="));

    box.setFocus();
    QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
    QAccessibleTextInterface *reader = QAccessible::queryAccessibleInterface(&box)->textInterface();
    QCOMPARE(reader->text(0, reader->characterCount()), text);

    // Drawn across the box at the top of the second row, where the first screen begins.
    const int height = lineHeight(box);
    const int second = caretRect(box, text.indexOf(u"===")).top();
    box.setSelStart(0);
    const QImage image = grab(box);
    const QColor base = box.palette().color(QPalette::Active, QPalette::Base);
    int marked = 0;
    for (int x = 0; x < image.width(); ++x)
        marked += image.pixelColor(x, second) != base;
    QVERIFY2(marked > image.width() * 3 / 4, qPrintable(QString::number(marked)));
    int plainRow = 0;
    for (int x = 0; x < image.width(); ++x)
        plainRow += image.pixelColor(x, second - height) != base;
    QVERIFY(plainRow < image.width() / 2);
}

void TestReceiveBoxAnsi::bookmarks_keysAndMarks_data()
{
    QTest::addColumn<bool>("gutter");
    QTest::newRow("gutter hidden: a mark at the left edge") << false;
    QTest::newRow("in the time gutter") << true;
}

// Ctrl+F2 on the caret's line, F2 and Shift+F2 round them; drawn beside the line.
void TestReceiveBoxAnsi::bookmarks_keysAndMarks()
{
    QFETCH(bool, gutter);
    ReceiveBox box;
    show(box);
    box.setTimestampsShown(gutter);
    QString text;
    for (int i = 0; i < 8; ++i)
        text += QStringLiteral("line %1 of the log\r\n").arg(i);
    box.appendReceivedText(text, 1'700'000'000'000);
    QSignalSpy changed(&box, &ReceiveBox::bookmarksChanged);
    const auto lineStart = [&text](int i) {
        return qint64(text.indexOf(QStringLiteral("line %1").arg(i)));
    };

    box.setSelStart(lineStart(2) + 4);
    QTest::keyClick(&box, Qt::Key_F2, Qt::ControlModifier);
    box.setSelStart(lineStart(5) + 7);
    QTest::keyClick(&box, Qt::Key_F2, Qt::ControlModifier);
    QCOMPARE(changed.size(), 2);
    QCOMPARE(box.bookmarks().positions(), (std::vector<qint64>{lineStart(2), lineStart(5)}));

    box.setSelStart(0);
    QTest::keyClick(&box, Qt::Key_F2);
    QCOMPARE(box.selectedText(), QStringLiteral("line 2 of the log"));
    QTest::keyClick(&box, Qt::Key_F2);
    QCOMPARE(box.selectedText(), QStringLiteral("line 5 of the log"));
    QTest::keyClick(&box, Qt::Key_F2);
    QCOMPARE(box.selectedText(), QStringLiteral("line 2 of the log"));
    QTest::keyClick(&box, Qt::Key_F2, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("line 5 of the log"));

    // Drawn on the marked rows only, at the left edge or in the gutter.
    box.setSelStart(0);
    const QImage image = grab(box);
    const QColor highlight = box.palette().color(QPalette::Active, QPalette::Highlight);
    const int height = lineHeight(box);
    const auto rowTinted = [&](int line) {
        const int y = caretRect(box, lineStart(line)).top() + height / 2;
        const QColor c = image.pixelColor(1, y);
        return qAbs(c.red() - highlight.red()) + qAbs(c.blue() - highlight.blue()) <
               (gutter ? 200 : 30);
    };
    box.setSelStart(0);
    const QColor plainGutter = image.pixelColor(1, caretRect(box, lineStart(3)).top() + height / 2);
    QVERIFY(rowTinted(2));
    QVERIFY(rowTinted(5));
    if (gutter)
        QVERIFY(image.pixelColor(1, caretRect(box, lineStart(2)).top() + height / 2) !=
                plainGutter);
    else
        QVERIFY(!rowTinted(3));

    // Ctrl+F2 again takes it away; the text never held it.
    box.setSelStart(lineStart(5));
    QTest::keyClick(&box, Qt::Key_F2, Qt::ControlModifier);
    QCOMPARE(box.bookmarks().positions(), (std::vector<qint64>{lineStart(2)}));
    QCOMPARE(box.text(), text);
}

void TestReceiveBoxAnsi::colours_onScreen_data()
{
    QTest::addColumn<QString>("stream");
    QTest::addColumn<int>("preset"); // -1: none
    QTest::addColumn<QColor>("expected");
    QTest::newRow("ESP-IDF preset, error")
        << QStringLiteral("E (1234) wifi: not started\r\n") << 0 << QColor(0xC0, 0, 0);
    QTest::newRow("ESP-IDF preset, info")
        << QStringLiteral("I (29) boot: ESP-IDF v5.1.2\r\n") << 0 << QColor(0, 0x7A, 0);
    QTest::newRow("a word, Chinese")
        << QStringLiteral("温度传感器读取失败失败失败\r\n") << 4 << QColor(0xC0, 0, 0);
    QTest::newRow("SGR blue") << QStringLiteral("\x1b[34mblue text here\x1b[0m\r\n") << -1
                              << QColor(0, 0, 0xEE);
    QTest::newRow("SGR yellow, made readable")
        << QStringLiteral("\x1b[33myellow text here\x1b[0m\r\n") << -1
        << TextColours::readable(QColor(0xCD, 0xCD, 0), Qt::white);
    QTest::newRow("SGR 24-bit") << QStringLiteral("\x1b[38;2;128;0;128mpurple text\x1b[0m\r\n")
                                << -1 << QColor(128, 0, 128);
}

// What the user sees: the colour of a rule from a preset, and of the board's own sequences.
void TestReceiveBoxAnsi::colours_onScreen()
{
    QFETCH(QString, stream);
    QFETCH(int, preset);
    QFETCH(QColor, expected);
    ReceiveBox box;
    QPalette palette = box.palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    box.setPalette(palette);
    show(box);
    box.setControlSequences(Mode::Rendered);
    if (preset >= 0)
        box.setHighlightRules({highlightpresets::all().at(preset).rules, false});
    box.appendReceivedText(u"plain line first\r\n", 1000);
    box.appendReceivedText(stream, 1000);
    box.setSelStart(0);
    const QImage image = grab(box);
    const int height = lineHeight(box);
    const int second = caretRect(box, 18).top();
    QVERIFY2(pixelsNear(image, expected, second, height) >= 8,
             qPrintable(QStringLiteral("%1 pixels near %2")
                            .arg(pixelsNear(image, expected, second, height))
                            .arg(expected.name())));
    // The plain line above stays in the text colour.
    QCOMPARE(pixelsNear(image, expected, second - height, height), 0);
}

// Past the memory limit old lines go, and their pens, separators and bookmarks with them; what
// stays keeps its own.
void TestReceiveBoxAnsi::oldLines_goWithTheirPensAndMarks()
{
    ReceiveBox box;
    box.setControlSequences(Mode::Rendered);
    box.setMaxBytes(256 * 1024);
    QSignalSpy bookmarks(&box, &ReceiveBox::bookmarksChanged);
    box.appendReceivedText(u"first line\r\n", 1000);
    box.setSelStart(0);
    box.toggleBookmark();
    const QStringList colours{QStringLiteral("red"), QStringLiteral("green"),
                              QStringLiteral("yellow")};
    int line = 0;
    while (box.droppedBytes() == 0 || line < 20000) {
        QString block;
        for (int i = 0; i < 50; ++i, ++line) {
            if (line % 97 == 0)
                block += QStringLiteral("\x1b[2J\x1b[Hscreen %1\r\n").arg(line);
            block += QStringLiteral("\x1b[3%1m%2 %3\x1b[0m tail\r\n")
                         .arg(line % 3 + 1)
                         .arg(colours.at(line % 3))
                         .arg(line);
        }
        box.appendReceivedText(block, 1000 + line);
    }
    QVERIFY(box.droppedBytes() > 0);
    QVERIFY(box.bookmarks().isEmpty());
    QCOMPARE(bookmarks.size(), 2);
    const QString text = box.text();
    QVERIFY(!text.startsWith(QStringLiteral("first line")));
    // Every line left has the pen its text names; every separator begins a screen.
    for (qint64 at = 0; at < text.size();) {
        const qint64 end = text.indexOf(QStringLiteral("\r\n"), at);
        const QString lineText = text.mid(at, end - at);
        const int colour = colours.indexOf(lineText.section(u' ', 0, 0));
        if (colour >= 0)
            QCOMPARE(box.colourRuns().penAt(at), (Pen{Pen::indexed(colour + 1), 0, 0}));
        QCOMPARE(box.separators().contains(at), lineText.startsWith(QStringLiteral("screen")));
        at = end + 2;
    }
    // Two runs a line at most remain: those of the lines dropped went.
    QVERIFY(box.colourRuns().count() <= 2 * text.count(u'\n') + 2);
}

// Typing into the line the board still rewrites ends it there: what comes next starts after
// the typed text, and nothing before it is rewritten.
void TestReceiveBoxAnsi::typing_endsTheRewrittenLine()
{
    ReceiveBox box;
    show(box);
    box.setControlSequences(Mode::Rendered);
    box.appendReceivedText(u"ok\r\nprogress 10%", 1000);
    box.setSelStart(box.length());
    QTest::keyClicks(&box, QStringLiteral("#"));
    box.appendReceivedText(u"\rprogress 20%\rprogress 30%", 2000);
    QCOMPARE(box.text(), QStringLiteral("ok\r\nprogress 10%#progress 30%"));
    box.appendReceivedText(u"\r\ndone\r\n", 3000);
    QCOMPARE(box.text(), QStringLiteral("ok\r\nprogress 10%#progress 30%\r\ndone\r\n"));
}

// Shown from elsewhere (the filter window, a bookmark), a line stays on screen and selected
// while the board goes on printing, as when the user reads back.
void TestReceiveBoxAnsi::revealLine_stopsFollowing()
{
    ReceiveBox box;
    show(box);
    QObject::connect(&box, &ReceiveBox::Change, &box, [&box] {
        if (box.followsEnd())
            box.setSelStart(box.length());
    });
    QString text;
    for (int i = 0; i < 300; ++i)
        text += QStringLiteral("reading %1\r\n").arg(i);
    box.appendReceivedText(text, 1000);
    QVERIFY(box.followsEnd());
    const qint64 pos = text.indexOf(QStringLiteral("reading 50\r"));
    box.revealLine(pos + 3);
    QCOMPARE(box.selectedText(), QStringLiteral("reading 50"));
    QVERIFY(!box.followsEnd());
    const int top = box.verticalScrollBar()->value();
    QVERIFY(top > 0);
    box.appendReceivedText(u"more\r\nand more\r\n", 2000);
    QCOMPARE(box.selectedText(), QStringLiteral("reading 50"));
    QCOMPARE(box.verticalScrollBar()->value(), top);
    // On screen, a third of the way down.
    const QRect shown = caretRect(box, pos);
    QVERIFY(shown.top() > 0 && shown.bottom() < box.viewport()->height() / 2);
}

QTEST_MAIN(TestReceiveBoxAnsi)
#include "tst_receivebox_ansi.moc"
