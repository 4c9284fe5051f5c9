// Receiving end to end against a pseudo-terminal playing the board: characters and hex, text
// encodings, captures, and a stream that the user reads back while it goes on.
#include "app/frame_pacer.h"
#include "serial/port_problem.h"
#include "serial/receive_box/find_dialog.h"
#include "serial/receive_box/receive_box.h"
#include "settings/settings_file.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWheelEvent>

#include <cstring>
#include <unistd.h>

class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void receive_data();
    void receive();
    void switchModeBetweenBlocks();
    void clearButtons();
    void randomBytesInHex();
    void splitUtf8InText();
    void encodingSplitAtEveryByte_data();
    void encodingSplitAtEveryByte();
    void saveReceiveBox();
    void recordRawBytes();
    void recordingFails();
    void encodingStored_data();
    void encodingStored();
    void streamPaintsOncePerFrame();
    void fontZoom_data();
    void fontZoom();
    void readBackWhileStreaming_data();
    void readBackWhileStreaming();
    void memoryReturnedAfterClear();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestReceive::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestReceive::cleanup()
{
    f.reset();
}

void TestReceive::receive_data()
{
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("count");

    QTest::newRow("OK line") << false << QByteArray("OK\r\n") << "OK\r\n"
                             << "4";
    QTest::newRow("chinese") << false << QByteArray("你好") << "你好"
                             << "2";
    QTest::newRow("malformed byte") << false
                                    << QByteArray("a\xFF"
                                                  "b")
                                    << "a\uFFFDb"
                                    << "3";
    QTest::newRow("beyond U+FFFF counts one") << false << QByteArray("😀𠀀!") << "😀𠀀!"
                                              << "3";
    QTest::newRow("hex") << true << QByteArray("\x00\xFF\x10", 3) << "00 FF 10 "
                         << "3";
    QTest::newRow("hex line end") << true << QByteArray("\r\nA") << "0D 0A 41 "
                                  << "3";
}

void TestReceive::receive()
{
    QFETCH(bool, hex);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QFETCH(QString, count);
    QVERIFY(f->openBoard());
    f->control<QRadioButton>(hex ? "RevHexSel" : "RevChrSel")->setChecked(true);
    const QString before = f->revText();
    QVERIFY(f->board.write(bytes));
    QTRY_COMPARE(f->counter("RevNum"), count);
    // Text already in the box stays; the data follows it directly.
    QCOMPARE(f->revText(), before + shown);
    auto *rev = f->control<ReceiveBox>("RevText");
    QCOMPARE(rev->selStart(), rev->length());
}

void TestReceive::switchModeBetweenBlocks()
{
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QVERIFY(f->board.write("AB"));
    QTRY_COMPARE(f->counter("RevNum"), QStringLiteral("2"));
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    QVERIFY(f->board.write("AB"));
    QTRY_COMPARE(f->counter("RevNum"), QStringLiteral("4"));
    QCOMPARE(f->revText(), QStringLiteral("AB41 42 "));
}

void TestReceive::clearButtons()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("data"));
    QTRY_COMPARE(f->counter("RevNum"), QStringLiteral("4"));
    f->setSendText(QStringLiteral("xy"));
    f->click("ManSend");
    QCOMPARE(f->counter("SendNum"), QStringLiteral("2"));
    f->click("ClearRevText");
    QCOMPARE(f->revText(), QString());
    QCOMPARE(f->counter("RevNum"), QStringLiteral("4"));
    f->control<ReceiveBox>("RevText")->setText(QStringLiteral("kept"));
    f->click("ClearCounter");
    QCOMPARE(f->counter("RevNum"), QStringLiteral("0"));
    QCOMPARE(f->counter("SendNum"), QStringLiteral("0"));
    QCOMPARE(f->revText(), QStringLiteral("kept"));
    f->click("ClearSendText");
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QString());
    QCOMPARE(SettingsFile(f->iniPath()).read("发送区", "发送文本框", "missing"), QString());
}

void TestReceive::randomBytesInHex()
{
    QVERIFY(f->openBoard());
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    f->click("ClearRevText");
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator rng(20261208);
    for (char &b : bytes)
        b = static_cast<char>(rng.bounded(256));
    QString expected;
    expected.reserve(bytes.size() * 3);
    for (const char b : bytes)
        expected +=
            QStringLiteral("%1 ").arg(static_cast<uchar>(b), 2, 16, QLatin1Char('0')).toUpper();

    // Write in uneven pieces while the event loop runs, as a streaming board would.
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const qsizetype n = std::min<qsizetype>(bytes.size() - sent, 1000 + rng.bounded(9000));
        QVERIFY(f->board.write(bytes.mid(sent, n)));
        sent += n;
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(bytes.size()), 120000);
    QCOMPARE(f->revText().size(), expected.size());
    QVERIFY(f->revText() == expected);
}

void TestReceive::splitUtf8InText()
{
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QString expected;
    QRandomGenerator rng(7);
    const QString alphabet = QStringLiteral("ab\r\n柯澜欧€ü😀");
    while (expected.size() < 300000) {
        const QChar c = alphabet.at(rng.bounded(alphabet.size()));
        if (c.isSurrogate())
            expected += QStringLiteral("😀");
        else
            expected += c;
    }
    const QByteArray bytes = expected.toUtf8();
    // Piece lengths that cut through multi-byte characters, including 4096-byte blocks.
    qsizetype sent = 0;
    int i = 0;
    const int pieces[] = {1, 2, 3, 4095, 4097, 5, 8191};
    while (sent < bytes.size()) {
        const qsizetype n = std::min<qsizetype>(bytes.size() - sent, pieces[i++ % 7]);
        QVERIFY(f->board.write(bytes.mid(sent, n)));
        sent += n;
        if (i % 3 == 0)
            QTest::qWait(1);
    }
    // Characters are counted: each 😀 once.
    QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(expected.toUcs4().size()),
                              60000);
    QVERIFY(f->revText() == expected);
}

void TestReceive::encodingSplitAtEveryByte_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    const QString utf8 = QStringLiteral("温度a😀€\r\n");
    QTest::newRow("UTF-8") << "UTF-8" << utf8 << utf8.toUtf8();
    // Two-byte GBK characters, a four-byte GB18030 one (U+20000) and the euro sign.
    QTest::newRow("GBK") << "GBK" << QStringLiteral("温度a𠀀€\r\n")
                         << QByteArray("\xCE\xC2\xB6\xC8\x61\x95\x32\x82\x36\xA2\xE3\r\n");
}

// Every way a character can be cut between two reads of the board's output comes out whole.
void TestReceive::encodingSplitAtEveryByte()
{
    QFETCH(QString, encoding);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    QVERIFY(f->showWindow());
    QVERIFY(f->chooseEncoding("RevText", encoding));
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    f->click("ClearCounter");
    QString expected;
    for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
        QVERIFY(f->board.write(bytes.first(cut)));
        QTest::qWait(10);
        QVERIFY(f->board.write(bytes.sliced(cut)));
        expected += text;
        QTRY_COMPARE(f->revText(), expected);
    }
    QCOMPARE(f->counter("RevNum"), QString::number(expected.toUcs4().size()));

    // Bytes that are no character show as U+FFFD, and the stream goes on.
    QVERIFY(f->board.write("\xFF" + bytes));
    QTRY_COMPARE(f->revText(), expected + QChar(0xFFFD) + text);
}

// "保存接收区…": the box's text as UTF-8 in the file the user names, the folder remembered.
void TestReceive::saveReceiveBox()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("温度=23.5\r\nOK\r\n"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("温度=23.5\r\nOK\r\n")));
    f->platform->moment = QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7));
    const QString folder = f->dir.filePath(QStringLiteral("captures"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/板子.txt");
    f->platform->saveAnswers = {path};

    QVERIFY(!f->useMenu("RevText", {QStringLiteral("保存接收区…")}).isEmpty());
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), f->revText().toUtf8());
    QCOMPARE(f->platform->suggestedPaths.value(0),
             QDir::homePath() + QStringLiteral("/接收区-20261208-090507.txt"));
    QVERIFY(f->platform->messages.isEmpty());

    // "查找…" opens the find bar.
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("查找…")}).isEmpty());
    auto *bar = f->control<ReceiveBox>("RevText")->findChild<FindDialog *>();
    QVERIFY(bar);
    QTRY_VERIFY(bar->isVisible());
    bar->close();

    // The next dialog starts in the folder used last; a failure names the file and the reason.
    const QString nowhere = f->iniPath() + QStringLiteral("/not-a-folder.txt");
    f->platform->saveAnswers = {nowhere};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("保存接收区…")}).isEmpty());
    QCOMPARE(QFileInfo(f->platform->suggestedPaths.value(1)).absolutePath(), folder);
    QCOMPARE(f->platform->messages.size(), 1);
    QVERIFY(f->platform->messages[0].text.contains(nowhere));
    QVERIFY(f->platform->messages[0].text.contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))));
}

// "记录到文件…": every byte from then on, raw, whatever the display mode, across closing and
// reopening the port, until "停止记录".
void TestReceive::recordRawBytes()
{
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("before"));
    QTRY_COMPARE(f->counter("RevNum"), QStringLiteral("6"));
    const QString path = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {path};
    QCOMPARE(f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty(), false);
    QVERIFY(f->control<ReceiveBox>("RevText")->toolTip().contains(path));
    f->control<QRadioButton>("RevHexSel")->setChecked(true);

    QByteArray random(5 << 20, Qt::Uninitialized);
    QRandomGenerator rng(11);
    for (char &c : random)
        c = char(rng.bounded(256));
    const qsizetype half = random.size() / 2;
    QVERIFY(f->board.write(random.first(half)));
    QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(6 + half), 30000);
    f->click("OpenCom");
    f->click("OpenCom");
    QVERIFY(f->board.write(random.sliced(half)));
    QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(6 + random.size()), 30000);

    const QStringList entries = f->useMenu("RevText", {QStringLiteral("停止记录")});
    QVERIFY(entries.contains(QStringLiteral("停止记录")));
    QVERIFY(f->control<ReceiveBox>("RevText")->toolTip().isEmpty());
    QVERIFY(f->board.write("after"));
    QTRY_COMPARE(f->counter("RevNum"), QString::number(11 + random.size()));
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll() == random);
    QVERIFY(f->useMenu("RevText", {QStringLiteral("记录到文件…")})
                .contains(QStringLiteral("记录到文件…")));
}

// A device that takes no byte: recording stops with a message naming the file and the reason.
void TestReceive::recordingFails()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    QVERIFY(f->openBoard());
    f->platform->saveAnswers = {QStringLiteral("/dev/full")};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());
    QVERIFY(f->board.write("data"));
    QTRY_COMPARE(f->platform->messages.size(), 1);
    QVERIFY(f->platform->messages[0].text.contains(QStringLiteral("/dev/full")));
    QVERIFY(f->platform->messages[0].text.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))));
    QCOMPARE(f->revText().right(4), QStringLiteral("data"));
    // Recording has stopped: the entry offers to start again.
    QVERIFY(f->useMenu("RevText", {QStringLiteral("记录到文件…")})
                .contains(QStringLiteral("记录到文件…")));
    QVERIFY(f->control<ReceiveBox>("RevText")->toolTip().isEmpty());
}

void TestReceive::encodingStored_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("checked");
    QTest::newRow("GBK") << "GBK"
                         << "GBK";
    QTest::newRow("UTF-8") << "UTF-8"
                           << "UTF-8";
    QTest::newRow("missing") << ""
                             << "UTF-8";
    QTest::newRow("other") << "gb2312"
                           << "UTF-8";
}

void TestReceive::encodingStored()
{
    QFETCH(QString, stored);
    QFETCH(QString, checked);

    const SettingsFile settings(f->iniPath());
    if (!stored.isEmpty())
        settings.write(QStringLiteral("端口设置"), QStringLiteral("文字编码"), stored);
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("\xC4\xE3\r\n"));
    QTRY_VERIFY(f->revText().endsWith(checked == QStringLiteral("GBK")
                                          ? QStringLiteral("你\r\n")
                                          : QString(2, QChar(0xFFFD)) + QStringLiteral("\r\n")));

    // A choice is stored at once; the other one is picked here from the send box's menu.
    const QString other =
        checked == QStringLiteral("GBK") ? QStringLiteral("UTF-8") : QStringLiteral("GBK");
    QVERIFY(f->chooseEncoding("SendText", other));
    QCOMPARE(settings.read(QStringLiteral("端口设置"), QStringLiteral("文字编码"), QString()),
             other);
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

// A board printing small blocks every few milliseconds: each block is appended and counted at
// once, yet the receive box and the counter are painted at most once a frame for all of them.
void TestReceive::streamPaintsOncePerFrame()
{
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    auto *rev = f->control<ReceiveBox>("RevText");
    QTest::qWait(100);
    PaintCounter box;
    PaintCounter count;
    rev->viewport()->installEventFilter(&box);
    f->control<QLabel>("RevNum")->installEventFilter(&count);

    QElapsedTimer clock;
    clock.start();
    QString expected;
    for (int i = 0; i < 150; ++i) {
        const QByteArray line = "T=" + QByteArray::number(i) + "\r\n";
        QVERIFY(f->board.write(line));
        expected += QString::fromLatin1(line);
        QTRY_COMPARE(f->counter("RevNum"), QString::number(expected.size()));
        QCOMPARE(f->revText(), expected);
        QTest::qWait(2);
    }
    QTest::qWait(3 * FramePacer::FrameMs);
    const qint64 frames = clock.elapsed() / FramePacer::FrameMs + 2;

    QVERIFY2(box.paints <= frames, qPrintable(QStringLiteral("%1 paints").arg(box.paints)));
    QVERIFY2(count.paints <= frames, qPrintable(QStringLiteral("%1 paints").arg(count.paints)));
    QVERIFY(box.paints > 0);
    QVERIFY(count.paints > 0);
    // The box follows the end, its bar too.
    QCOMPARE(rev->selStart(), rev->length());
    QTRY_COMPARE(rev->verticalScrollBar()->value(), rev->verticalScrollBar()->maximum());
    QVERIFY(rev->verticalScrollBar()->maximum() > 0);
}

void TestReceive::fontZoom_data()
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

void TestReceive::fontZoom()
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

void TestReceive::readBackWhileStreaming_data()
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
void TestReceive::readBackWhileStreaming()
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
void TestReceive::memoryReturnedAfterClear()
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

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
