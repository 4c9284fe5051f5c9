// What the receive box does while a board streams: painting once a frame, reading back without
// being thrown to the end, font zoom, and memory given back after a clear.
#include "app/frame_pacer.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/window_fixture.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWheelEvent>

#include <cstring>
#include <unistd.h>

class TestReceiveView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void streamPaintsOncePerFrame_data();
    void streamPaintsOncePerFrame();
    void fontZoom_data();
    void fontZoom();
    void readBackWhileStreaming_data();
    void readBackWhileStreaming();
    void memoryReturnedAfterClear();
    void keptWithinLimit_data();
    void keptWithinLimit();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestReceiveView::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestReceiveView::cleanup()
{
    f.reset();
}

namespace {

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

void TestReceiveView::streamPaintsOncePerFrame_data()
{
    QTest::addColumn<bool>("pointer");

    QTest::newRow("only the board at work") << false;
    QTest::newRow("the pointer moving over the box") << true;
}

// A board printing small blocks every few milliseconds: each block is appended and counted at
// once, yet the receive box and the counter are painted at most once a frame for all of them,
// and while nothing but the board changes the window, at most 20 times a second.
void TestReceiveView::streamPaintsOncePerFrame()
{
    QFETCH(bool, pointer);

    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    auto *rev = f->control<ReceiveBox>("RevText");
    // The click is over.
    QTest::qWait(pointer ? 100 : FramePacer::InputRecentMs + 100);
    PaintCounter box;
    PaintCounter count;
    rev->viewport()->installEventFilter(&box);
    f->control<QLabel>("RevNum")->installEventFilter(&count);
    const int frameMs = pointer ? FramePacer::FrameMs : FramePacer::StreamFrameMs;

    QElapsedTimer clock;
    clock.start();
    QString expected;
    for (int i = 0; i < 150; ++i) {
        const QByteArray line = "T=" + QByteArray::number(i) + "\r\n";
        QVERIFY(f->board.write(line));
        expected += QString::fromLatin1(line);
        QTRY_COMPARE(f->counter("RevNum"), QString::number(expected.size()));
        QCOMPARE(f->revText(), expected);
        if (pointer)
            QTest::mouseMove(rev->viewport(), QPoint(20 + i % 100, 30));
        QTest::qWait(2);
    }
    QTest::qWait(3 * frameMs);
    const qint64 frames = clock.elapsed() / frameMs + 2;

    QVERIFY2(box.paints <= frames, qPrintable(QStringLiteral("%1 paints").arg(box.paints)));
    QVERIFY2(count.paints <= frames, qPrintable(QStringLiteral("%1 paints").arg(count.paints)));
    QVERIFY(box.paints > 0);
    QVERIFY(count.paints > 0);
    // The box follows the end, its bar too.
    QCOMPARE(rev->selStart(), rev->length());
    QTRY_COMPARE(rev->verticalScrollBar()->value(), rev->verticalScrollBar()->maximum());
    QVERIFY(rev->verticalScrollBar()->maximum() > 0);
}

void TestReceiveView::fontZoom_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("change"); // points; 0: back to the designed size

    QTest::newRow("Ctrl+Plus") << "Ctrl+Plus" << 1;
    QTest::newRow("Ctrl+=") << "Ctrl+=" << 1;
    QTest::newRow("Ctrl+Minus") << "Ctrl+Minus" << -1;
    QTest::newRow("Ctrl+wheel up") << "Ctrl+wheel up" << 1;
    QTest::newRow("Ctrl+wheel down") << "Ctrl+wheel down" << -1;
    QTest::newRow("Ctrl+0") << "Ctrl+0" << 0;
}

void TestReceiveView::fontZoom()
{
    QFETCH(QString, action);
    QFETCH(int, change);

    QVERIFY(f->showWindow());
    auto *rev = f->control<ReceiveBox>("RevText");
    const int designed = rev->fontPointSize();
    rev->setFocus();
    // Start two points up, so that Ctrl+0 has something to undo.
    QTest::keyClick(rev, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(rev, Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(rev->fontPointSize(), designed + 2);

    if (action == QStringLiteral("Ctrl+Plus"))
        QTest::keyClick(rev, Qt::Key_Plus, Qt::ControlModifier);
    else if (action == QStringLiteral("Ctrl+="))
        QTest::keyClick(rev, Qt::Key_Equal, Qt::ControlModifier);
    else if (action == QStringLiteral("Ctrl+Minus"))
        QTest::keyClick(rev, Qt::Key_Minus, Qt::ControlModifier);
    else if (action == QStringLiteral("Ctrl+0"))
        QTest::keyClick(rev, Qt::Key_0, Qt::ControlModifier);
    else {
        QWheelEvent event(QPointF(20, 20), rev->viewport()->mapToGlobal(QPointF(20, 20)), QPoint(),
                          QPoint(0, change * 120), Qt::NoButton, Qt::ControlModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(rev->viewport(), &event);
    }

    const int expected = change == 0 ? designed : designed + 2 + change;
    QCOMPARE(rev->fontPointSize(), expected);
    QCOMPARE(SettingsFile(f->iniPath()).read("接收区", "字号", ""), QString::number(expected));
    // The next start shows the stored size.
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QCOMPARE(f->control<ReceiveBox>("RevText")->fontPointSize(), expected);
}

void TestReceiveView::readBackWhileStreaming_data()
{
    QTest::addColumn<QString>("leave");
    QTest::addColumn<QString>("resume");

    QTest::newRow("Page Up, Ctrl+End") << "Page Up"
                                       << "Ctrl+End";
    QTest::newRow("caret keys, Ctrl+End") << "Up"
                                          << "Ctrl+End";
    QTest::newRow("Shift+Left, Ctrl+End") << "Shift+Left"
                                          << "Ctrl+End";
    QTest::newRow("mouse selection, click at the end") << "drag"
                                                       << "click";
    QTest::newRow("wheel, wheel to the bottom") << "wheel"
                                                << "wheel";
    QTest::newRow("scroll bar, bar to the bottom") << "bar"
                                                   << "bar";
}

// A user reading back or copying while the board prints: data goes on being appended and
// counted, the view, caret and selection stay, and following resumes at the end.
void TestReceiveView::readBackWhileStreaming()
{
    QFETCH(QString, leave);
    QFETCH(QString, resume);

    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    f->click("ClearCounter");
    auto *rev = f->control<ReceiveBox>("RevText");
    QWidget *view = rev->viewport();
    QScrollBar *bar = rev->verticalScrollBar();
    qint64 sent = 0;
    const auto stream = [&](qint64 bytes) {
        QByteArray piece;
        while (piece.size() < bytes) {
            piece += "n=" + QByteArray::number(sent + piece.size()) + " T=23.5 H=41%\r\n";
        }
        for (qsizetype at = 0; at < piece.size(); at += 65536)
            f->board.write(piece.mid(at, 65536));
        sent += piece.size();
        QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(sent), 20000);
    };
    const auto wheel = [&](int steps) {
        for (int i = 0; i < std::abs(steps); ++i) {
            QWheelEvent event(QPointF(20, 20), view->mapToGlobal(QPointF(20, 20)), QPoint(),
                              QPoint(0, steps > 0 ? 120 : -120), Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(view, &event);
        }
    };
    stream(20000);
    rev->setFocus();
    QTRY_VERIFY(rev->hasFocus());
    QCOMPARE(rev->selStart(), rev->length());

    if (leave == QStringLiteral("Page Up")) {
        QTest::keyClick(rev, Qt::Key_PageUp);
    } else if (leave == QStringLiteral("Up")) {
        for (int i = 0; i < 60; ++i)
            QTest::keyClick(rev, Qt::Key_Up);
    } else if (leave == QStringLiteral("Shift+Left")) {
        for (int i = 0; i < 8; ++i)
            QTest::keyClick(rev, Qt::Key_Left, Qt::ShiftModifier);
    } else if (leave == QStringLiteral("drag")) {
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(10, 20));
        QTest::mouseMove(view, QPoint(120, 60));
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(120, 60));
    } else if (leave == QStringLiteral("wheel")) {
        wheel(5);
    } else {
        QTRY_VERIFY(bar->maximum() > 0);
        for (int i = 0; i < 5; ++i)
            QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, 4));
    }
    QTest::qWait(50);
    const qint64 selStart = rev->selStart();
    const qint64 selLength = rev->selLength();
    const QString selected = rev->selectedText();
    const QRect caret = rev->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    QVERIFY(selLength > 0 || selStart < rev->length() || leave == QStringLiteral("wheel") ||
            leave == QStringLiteral("bar"));

    stream(1 << 20);
    QTest::qWait(3 * FramePacer::FrameMs);
    QCOMPARE(rev->selStart(), selStart);
    QCOMPARE(rev->selLength(), selLength);
    QCOMPARE(rev->selectedText(), selected);
    QCOMPARE(rev->inputMethodQuery(Qt::ImCursorRectangle).toRect(), caret);
    QVERIFY(!rev->followsEnd());
    QCOMPARE(bar->value() < bar->maximum(), true);

    if (resume == QStringLiteral("Ctrl+End")) {
        QTest::keyClick(rev, Qt::Key_End, Qt::ControlModifier);
    } else if (resume == QStringLiteral("click")) {
        // A click without a drag clears the selection; Ctrl+End then shows the end.
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(10, 20));
        QTest::keyClick(rev, Qt::Key_End, Qt::ControlModifier);
    } else if (resume == QStringLiteral("wheel")) {
        wheel(-100000 / 3);
    } else {
        // Drags the handle down past the end of the bar.
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Vertical;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = option.sliderValue = bar->value();
        option.pageStep = bar->pageStep();
        option.singleStep = bar->singleStep();
        const QPoint handle =
            bar->style()
                ->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar)
                .center();
        const QPoint below(handle.x(), bar->height() + 50);
        QTest::mousePress(bar, Qt::LeftButton, {}, handle);
        QTest::mouseMove(bar, (handle + below) / 2);
        QTest::mouseMove(bar, below);
        QTest::mouseRelease(bar, Qt::LeftButton, {}, below);
    }
    QTRY_VERIFY(rev->followsEnd());
    stream(1000);
    QCOMPARE(rev->selStart(), rev->length());
    QCOMPARE(rev->selLength(), 0);
    QTRY_COMPARE(bar->value(), bar->maximum());

    // The clear button always goes back to following.
    QTest::keyClick(rev, Qt::Key_PageUp);
    f->click("ClearRevText");
    QVERIFY(rev->followsEnd());
}

namespace {

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

} // namespace

// 100 MB of a board's lines, then "清接收区": the memory goes back to the system.
void TestReceiveView::memoryReturnedAfterClear()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer's allocator keeps freed memory in quarantine");
#endif
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QTest::qWait(50);
    const qint64 before = residentBytes();
    QVERIFY(before > 0);

    QByteArray piece;
    for (int line = 0; piece.size() < 65536 - 100; ++line)
        piece += "温度=" + QByteArray::number(20 + line % 10) +
                 ".5 湿度=" + QByteArray::number(40 + line % 30) +
                 "% 计数=" + QByteArray::number(line) + " 0123456789abcdefghijklmnopqrstuvwxyz\r\n";
    const qint64 total = 100 << 20;
    qint64 characters = 0;
    for (qint64 sent = 0; sent < total; sent += piece.size()) {
        QVERIFY(f->board.write(piece));
        characters += QString::fromUtf8(piece).size();
    }
    auto *rev = f->control<ReceiveBox>("RevText");
    QTRY_COMPARE_WITH_TIMEOUT(rev->length(), characters, 60000);
    QVERIFY(residentBytes() > before + (60 << 20));

    f->click("ClearRevText");
    QCOMPARE(rev->length(), 0);
    const qint64 after = residentBytes();
    QVERIFY2(after <= before + (30 << 20),
             qPrintable(QStringLiteral("%1 MB above").arg((after - before) >> 20)));
}

void TestReceiveView::keptWithinLimit_data()
{
    QTest::addColumn<bool>("hex");
    QTest::addColumn<bool>("readingBack");
    QTest::newRow("text, following") << false << false;
    QTest::newRow("text, reading back") << false << true;
    QTest::newRow("hex, following") << true << false;
}

// A board printing past a 1 MB limit: the box keeps the newest whole lines (whole byte groups in
// hex), a little under the limit, with their times; the log and the counter keep everything;
// the tooltip says how much went and where the limit is set.
void TestReceiveView::keptWithinLimit()
{
    QFETCH(bool, hex);
    QFETCH(bool, readingBack);
    SettingsFile(f->iniPath())
        .write(QStringLiteral("接收区"), QStringLiteral("最大保留MB"), QStringLiteral("1"));
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    auto *box = f->control<ReceiveBox>("RevText");
    f->click("ClearRevText");
    f->click("ClearCounter");
    f->control<QRadioButton>(hex ? "RevHexSel" : "RevChrSel")->setChecked(true);
    const QString log = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {log};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());

    QByteArray bytes;
    QRandomGenerator random(5);
    for (int n = 0; bytes.size() < (hex ? 1 : 3) << 20; ++n) {
        if (hex)
            bytes += char(random.bounded(256));
        else
            bytes += "line " + QByteArray::number(n) + " of a chatty board\r\n";
    }
    const qsizetype half = bytes.size() / 8;
    QVERIFY(f->board.write(bytes.first(half)));
    QTRY_COMPARE(f->counter("RevNum"), QString::number(half));
    if (readingBack)
        box->setSelection(0, 10);
    QVERIFY(f->board.write(bytes.sliced(half)));
    QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(bytes.size()), 30000);

    const QString kept = box->text();
    QVERIFY(kept.size() <= 1 << 20);
    QVERIFY(kept.size() > (1 << 20) / 2);
    if (hex) {
        // Whole groups of two digits and a blank.
        QCOMPARE(kept.size() % 3, 0);
        for (qsizetype i = 2; i < kept.size(); i += 3)
            QCOMPARE(kept.at(i), QLatin1Char(' '));
        const QByteArray tail = bytes.right(kept.size() / 3);
        QCOMPARE(QByteArray::fromHex(kept.toLatin1()), tail);
    } else {
        QVERIFY(kept.startsWith(QStringLiteral("line ")));
        QVERIFY(QString::fromLatin1(bytes).endsWith(kept));
        // Every kept line has its time.
        QCOMPARE(box->arrivalTimes().count(), kept.count(QStringLiteral("\r\n")));
    }
    QVERIFY(box->droppedBytes() > 0);
    QVERIFY(box->toolTip().contains(QStringLiteral("正在记录到 ") + log));
    QVERIFY(box->toolTip().contains(QStringLiteral("已丢弃：接收区最多保留 1 MB，可在设置文件 "
                                                   "[接收区] 最大保留MB 中修改")));
    // The selection lay in text that went; a view that read back is at the oldest kept line,
    // one that followed is still at the end.
    QCOMPARE(box->selLength(), 0);
    QCOMPARE(box->followsEnd(), !readingBack);
    QScrollBar *bar = box->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), readingBack ? 0 : bar->maximum());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), bytes);
}

QTEST_MAIN(TestReceiveView)
#include "tst_receive_view.moc"
