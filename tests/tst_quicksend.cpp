// The quick-send window with a pseudo-terminal playing the board: what goes on the wire for
// entries and frames, sending in order (stopped, and cut by a lost device), bad input, the
// menus, import and export, and what the settings file keeps.
#include "quicksend/csv.h"
#include "quicksend/entry_editor.h"
#include "support/ini_bytes.h"
#include "support/quick_send_fixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabBar>

#include <cerrno>
#include <unistd.h>

using namespace quicksend;
using namespace quicksendfixture;

Q_DECLARE_METATYPE(quicksend::Entry)

class TestQuickSend : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void opens();
    void wire_data();
    void wire();
    void typedEntry();
    void frameLine();
    void refused_data();
    void refused();
    void sequence();
    void sequenceStopped();
    void sequenceCutByLostDevice();
    void csvExportImport();
    void csvBrokenFile();
    void pages();
    void keptAcrossStarts();
    void failedWriteKeepsEntries();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestQuickSend::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestQuickSend::cleanup()
{
    f.reset();
}

// From both boxes' menus (after a separator, with the other new entries) and with Ctrl+Shift+M; the
// frame line has the focus and the checksum list comes next.
void TestQuickSend::opens()
{
    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    const QStringList sendMenu = f->useMenu("SendText", {QStringLiteral("快捷发送…")});
    QCOMPARE(sendMenu.mid(sendMenu.size() - 3),
             (QStringList{QString(), QStringLiteral("快捷发送…"), QStringLiteral("发送文件…")}));
    auto *window = f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow"));
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("快捷发送 — COM5"));
    QVERIFY(QTest::qWaitForWindowActive(window));
    auto *frame = part<QLineEdit>(window, "FrameLine");
    QTRY_COMPARE(QApplication::focusWidget(), frame);
    QTest::keyClick(frame, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), part(window, "FrameChecksum"));
    window->close();
    QTRY_VERIFY(!f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow")));

    // The new entries follow the box's own, as one group after a separator.
    const QStringList entries = f->useMenu("RevText", {QStringLiteral("快捷发送…")});
    const qsizetype at = entries.indexOf(QStringLiteral("快捷发送…"));
    QVERIFY(at > 0);
    QCOMPARE(entries.at(at - 1), QString());
    QCOMPARE(entries.mid(at),
             (QStringList{QStringLiteral("快捷发送…"), QStringLiteral("控制序列"),
                          QStringLiteral("高亮规则…"), QStringLiteral("过滤…"),
                          QStringLiteral("终端…"), QStringLiteral("让出端口"),
                          QStringLiteral("自动让出"), QStringLiteral("发送文件…")}));
    window = f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow"));
    QVERIFY(window);
    window->close();
    QTRY_VERIFY(!f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow")));
    f->window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f->window.get()));
    QTest::keyClick(f->control("SendText"), Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_VERIFY(f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow")));
}

void TestQuickSend::wire_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<bool>("gbk");
    QTest::addColumn<QString>("sendBoxEnding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("count");

    QTest::newRow("hex with CRC-16/MODBUS")
        << entry("读", Format::Hex, "01 03 00 0A 00 02", Algorithm::Crc16Modbus) << false << "LF"
        << QByteArray::fromHex("0103000A0002E409") << "8";
    Entry gbk = entry("中文", Format::Text, "\\x02你好\\t\\x03");
    gbk.ending = Ending::None;
    QTest::newRow("escaped GBK text")
        << gbk << true << "LF" << QByteArray("\x02\xC4\xE3\xBA\xC3\t\x03") << "5";
    QTest::newRow("escaped UTF-8 text")
        << gbk << false << "LF" << QByteArray("\x02你好\t\x03") << "5";
    Entry own = entry("AT", Format::Text, "AT+RST");
    own.ending = Ending::CrLf;
    QTest::newRow("its own line ending") << own << false << "LF" << QByteArray("AT+RST\r\n") << "8";
    QTest::newRow("the send box's line ending")
        << entry("AT", Format::Text, "AT") << false << "CR" << QByteArray("AT\r") << "3";
    Entry ascii = entry("ASCII", Format::Text, ":0103000A0002", Algorithm::Lrc);
    ascii.ending = Ending::CrLf;
    ascii.checksum.start = 1;
    ascii.checksum.end = -3;
    ascii.checksum.position = -3;
    ascii.checksum.hexText = true;
    QTest::newRow("Modbus ASCII") << ascii << false << "无" << QByteArray(":0103000A0002F0\r\n")
                                  << "17";
    Entry hexIgnoresEnding = entry("hex", Format::Hex, "0D");
    hexIgnoresEnding.ending = Ending::CrLf;
    QTest::newRow("no line ending after hex")
        << hexIgnoresEnding << false << "CR+LF" << QByteArray("\r") << "1";
}

// A click on the entry's send button: exact bytes, the counter, the send box left alone.
void TestQuickSend::wire()
{
    QFETCH(Entry, entry);
    QFETCH(bool, gbk);
    QFETCH(QString, sendBoxEnding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, count);

    restartWith(*f, {{QStringLiteral("P"), {entry}}});
    QVERIFY(f->showWindow());
    QVERIFY(f->chooseEncoding("SendText", gbk ? QStringLiteral("GBK") : QStringLiteral("UTF-8")));
    QVERIFY(!f->useMenu("SendText", {QStringLiteral("发送行尾"), sendBoxEnding}).isEmpty());
    QVERIFY(f->openBoard());
    f->setSendText(QStringLiteral("send box"));
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QPushButton>(window, "SendEntry1")->click();
    QCOMPARE(f->board.readExactly(bytes.size() + 1, 500), bytes);
    QCOMPARE(f->counter("SendNum"), count);
    QCOMPARE(f->control<MemoBox>("SendText")->text(), QStringLiteral("send box"));
    QVERIFY(f->platform->messages.isEmpty());
    // A double-click sends it again.
    const QRect cell = window->entryTable()->visualItemRect(window->entryTable()->item(0, 1));
    QWidget *viewport = window->entryTable()->viewport();
    QTest::mouseDClick(window->windowHandle(), Qt::LeftButton, {},
                       viewport->mapTo(window, cell.center()));
    QCOMPARE(f->board.readExactly(bytes.size() + 1, 500), bytes);
}

// An entry made in the editor as a user does, its bytes shown as they are typed.
void TestQuickSend::typedEntry()
{
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QPushButton>(window, "AddEntry")->click();
    QCOMPARE(window->entryTable()->rowCount(), 1);
    auto *name = part<QLineEdit>(window, "EntryName");
    name->selectAll();
    commitText(name, QStringLiteral("写线圈"));
    part<QComboBox>(window, "EntryFormat")->setCurrentText(QStringLiteral("十六进制"));
    auto *content = part<QLineEdit>(window, "EntryContent");
    QTest::keyClicks(content, QStringLiteral("01 05 00 0"));
    QVERIFY(part<QLabel>(window, "EntryPreview")->text().contains(QStringLiteral("“0”")));
    QTest::keyClicks(content, QStringLiteral("0 FF 00"));
    part<QComboBox>(window, "EntryChecksum")->setCurrentText(QStringLiteral("CRC-16/MODBUS"));
    QCOMPARE(part<QLabel>(window, "EntryPreview")->text(),
             QStringLiteral("8 字节：01 05 00 00 FF 00 8C 3A"));
    QCOMPARE(window->entryTable()->item(0, QuickSendWindow::Name)->text(),
             QStringLiteral("写线圈"));
    part<QPushButton>(window, "SendEntry1")->click();
    QCOMPARE(f->board.readExactly(9, 500), QByteArray::fromHex("010500 00FF008C3A"));
    // Kept at once.
    const quicksendstore::Book book = quicksendstore::loadBook(SettingsFile(f->iniPath()));
    QCOMPARE(book.pages.value(0).entries.value(0).name, QStringLiteral("写线圈"));
    QCOMPARE(book.pages.value(0).entries.value(0).checksum.algorithm, Algorithm::Crc16Modbus);
}

// The ad-hoc request: typed, a checksum picked, Return sends; "保存为条目" keeps it.
void TestQuickSend::frameLine()
{
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    auto *frame = part<QLineEdit>(window, "FrameLine");
    QTest::keyClicks(frame, QStringLiteral("01 03 00 00 00 02"));
    auto *checksum = part<QComboBox>(window, "FrameChecksum");
    checksum->setCurrentIndex(checksum->findText(QStringLiteral("CRC-16/MODBUS")));
    QCOMPARE(part<QLabel>(window, "FramePreview")->text(),
             QStringLiteral("8 字节：01 03 00 00 00 02 C4 0B"));
    QTest::keyClick(frame, Qt::Key_Return);
    QCOMPARE(f->board.readExactly(9, 500), QByteArray::fromHex("010300000002C40B"));
    QCOMPARE(f->counter("SendNum"), QStringLiteral("8"));
    part<QPushButton>(window, "FrameSave")->click();
    QCOMPARE(window->pages().value(0).entries.size(), 1);
    QCOMPARE(window->pages()[0].entries[0].checksum.algorithm, Algorithm::Crc16Modbus);
    part<QPushButton>(window, "SendEntry1")->click();
    QCOMPARE(f->board.readExactly(9, 500), QByteArray::fromHex("010300000002C40B"));
}

void TestQuickSend::refused_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("message"); // a part of it
    QTest::newRow("odd digits") << entry("坏", Format::Hex, "01 03 0A3") << true
                                << QStringLiteral("第 7 个字符起的“0A3”是奇数个十六进制数字");
    QTest::newRow("not a digit") << entry("坏", Format::Hex, "01 0x4G") << true
                                 << QStringLiteral("第 4 个字符起的“0x4G”中，“G”不是十六进制数字");
    QTest::newRow("unknown escape")
        << entry("坏", Format::Text, "AT\\q") << true << QStringLiteral("第 3 个字符起的“\\q”");
    QTest::newRow("over 64 KB") << entry("大", Format::Hex, QString(2 * 65537, QLatin1Char('A')))
                                << true << QStringLiteral("内容超过 64 KB");
    QTest::newRow("range outside the frame") << [] {
        Entry e = entry("范围", Format::Hex, "01 02", Algorithm::Sum8);
        e.checksum.start = -5;
        return e;
    }() << true << QStringLiteral("校验范围 -5,-1 超出了 2 字节的帧");
    QTest::newRow("port closed") << entry("好", Format::Hex, "01") << false
                                 << QStringLiteral("请打开串口");
}

// Nothing is sent and the user is told why, naming the token and where it is.
void TestQuickSend::refused()
{
    QFETCH(Entry, entry);
    QFETCH(bool, open);
    QFETCH(QString, message);
    restartWith(*f, {{QStringLiteral("P"), {entry}}});
    if (open)
        QVERIFY(f->openBoard());
    QuickSendWindow *window = quicksendfixture::open(*f);
    QVERIFY(window);
    part<QPushButton>(window, "SendEntry1")->click();
    QCOMPARE(f->platform->messages.size(), 1);
    QVERIFY2(f->platform->messages[0].text.contains(message),
             qPrintable(f->platform->messages[0].text));
    QTest::qWait(50);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(f->counter("SendNum"), QStringLiteral("0"));
}

namespace {

// Three steps 200 ms apart, ticked for sending in order, and one not ticked.
QList<Page> threeSteps()
{
    QList<Entry> entries = {entry("一", Format::Hex, "01 03 00 0A 00 02", Algorithm::Crc16Modbus),
                            entry("跳过", Format::Text, "skip"), entry("二", Format::Text, "AT"),
                            entry("三", Format::Hex, "AA 55")};
    entries[2].ending = Ending::CrLf;
    for (Entry &e : entries) {
        e.ticked = e.name != QStringLiteral("跳过");
        e.delayMs = 200;
    }
    return {{QStringLiteral("步骤"), entries}};
}

const QByteArray threeStepBytes =
    QByteArray::fromHex("0103000A0002E409") + "AT\r\n" + QByteArray::fromHex("AA55");

} // namespace

// The ticked entries in order, each after the delay of the one before; the window is free
// meanwhile, and the send box untouched.
void TestQuickSend::sequence()
{
    restartWith(*f, threeSteps());
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QComboBox>(window, "SequenceRepeat")->setCurrentIndex(1);
    part<QSpinBox>(window, "SequenceRounds")->setValue(2);
    QElapsedTimer started;
    started.start();
    part<QPushButton>(window, "SequenceRun")->click();
    QVERIFY(!part<QPushButton>(window, "SequenceRun")->isEnabled());
    QVERIFY(part<QPushButton>(window, "SequenceStop")->isEnabled());
    QCOMPARE(f->board.readExactly(2 * threeStepBytes.size(), 10000),
             threeStepBytes + threeStepBytes);
    // Five delays of 200 ms lie between the first byte and the last.
    QVERIFY(started.elapsed() >= 5 * 200);
    QTRY_COMPARE(part<QLabel>(window, "QuickSendStatus")->text(),
                 QStringLiteral("按顺序发送已完成"));
    QVERIFY(part<QPushButton>(window, "SequenceRun")->isEnabled());
    QCOMPARE(f->counter("SendNum"), QString::number(2 * (8 + 4 + 2)));
    QVERIFY(f->platform->messages.isEmpty());
}

void TestQuickSend::sequenceStopped()
{
    restartWith(*f, threeSteps());
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QComboBox>(window, "SequenceRepeat")->setCurrentIndex(2);
    part<QPushButton>(window, "SequenceRun")->click();
    QCOMPARE(f->board.readExactly(8 + 4, 5000), threeStepBytes.left(12));
    part<QPushButton>(window, "SequenceStop")->click();
    QCOMPARE(part<QLabel>(window, "QuickSendStatus")->text(), QStringLiteral("按顺序发送已停止"));
    QTest::qWait(600);
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QVERIFY(part<QPushButton>(window, "SequenceRun")->isEnabled());
}

// The board goes away between two steps: the sequence stops and says why, with no message box.
void TestQuickSend::sequenceCutByLostDevice()
{
    restartWith(*f, threeSteps());
    QVERIFY(f->openBoard());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QComboBox>(window, "SequenceRepeat")->setCurrentIndex(2);
    part<QPushButton>(window, "SequenceRun")->click();
    QCOMPARE(f->board.readExactly(8, 5000), threeStepBytes.left(8));
    f->board.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(part<QLabel>(window, "QuickSendStatus")->text(),
                              QStringLiteral("按顺序发送已停止：设备已断开"), 10000);
    QVERIFY(part<QPushButton>(window, "SequenceRun")->isEnabled());
    QVERIFY(f->platform->messages.isEmpty());
}

// "导出…" then "导入…": every field comes back, added to the pages.
void TestQuickSend::csvExportImport()
{
    QList<Page> pages = threeSteps();
    pages[0].entries[0].hotkey = QStringLiteral("F7");
    pages << Page{QStringLiteral("第二页"), {entry("x", Format::Text, "x,\"y\"")}};
    restartWith(*f, pages);
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    const QString file = f->dir.filePath(QStringLiteral("条目.csv"));
    f->platform->saveAnswers << file;
    part<QPushButton>(window, "ExportCsv")->click();
    QVERIFY(readBytes(file).startsWith("\xEF\xBB\xBF页,名称,"));
    QCOMPARE(importCsv(readBytes(file)).pages.size(), 2);

    f->platform->openAnswers << file;
    part<QPushButton>(window, "ImportCsv")->click();
    // Same pages, each entry twice; the copies cannot have the hotkey already taken.
    QCOMPARE(window->pages().size(), 2);
    QCOMPARE(window->pages()[0].entries.size(), 8);
    QCOMPARE(window->pages()[1].entries.size(), 2);
    QList<Entry> again = window->pages()[0].entries.mid(4);
    QCOMPARE(again[0].hotkey, QString());
    again[0].hotkey = QStringLiteral("F7");
    for (Entry &e : again)
        e.ticked = true; // ticks are no CSV column
    QList<Entry> expected = pages[0].entries;
    for (Entry &e : expected)
        e.ticked = true;
    QCOMPARE(again, expected);
    QCOMPARE(f->platform->messages.size(), 1);
    QVERIFY(f->platform->messages[0].text.contains(
        QStringLiteral("“一”未带热键：热键 F7 已用于条目“一”")));
    QCOMPARE(quicksendstore::loadBook(SettingsFile(f->iniPath())).pages, window->pages());
}

void TestQuickSend::csvBrokenFile()
{
    restartWith(*f, threeSteps());
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    const QString file = f->dir.filePath(QStringLiteral("坏.csv"));
    QVERIFY(writeBytes(file,
                       "页,名称,格式,内容,行尾,校验,校验范围,校验位置,校验形式,字节序,热键,延时ms\n"
                       "步骤,好,十六进制,01,默认,无,\"0,-1\",-1,字节,高位在前,,0\n"
                       "步骤,坏,十六进制,01,默认,CRC-99,\"0,-1\",-1,字节,高位在前,,0\n"
                       "新页,也好,文本,AT,CR,无,\"0,-1\",-1,字节,高位在前,F2,0\n"));
    f->platform->openAnswers << file;
    part<QPushButton>(window, "ImportCsv")->click();
    QCOMPARE(f->platform->messages.size(), 1);
    const QString &message = f->platform->messages[0].text;
    QVERIFY2(message.startsWith(QStringLiteral("已导入 2 个条目。")), qPrintable(message));
    QVERIFY(message.contains(QStringLiteral("第 3 行：校验“CRC-99”")));
    QVERIFY(message.contains(QStringLiteral("“也好”未带热键：热键 F2 已用于书签")));
    QCOMPARE(window->pages().size(), 2);
    QCOMPARE(window->pages()[0].entries.size(), 5);
    QCOMPARE(window->pages()[0].entries.last().name, QStringLiteral("好"));
    QCOMPARE(window->pages()[1].entries.value(0).name, QStringLiteral("也好"));

    // A file that is no export adds nothing.
    f->platform->messages.clear();
    QVERIFY(writeBytes(file, "\x89PNG\r\n\x1a\n"));
    f->platform->openAnswers << file;
    part<QPushButton>(window, "ImportCsv")->click();
    QVERIFY(f->platform->messages.value(0).text.contains(QStringLiteral("不是快捷发送导出的表头")));
    QCOMPARE(window->pages()[0].entries.size(), 5);
}

// Pages are added, renamed (rules that send their entries follow), dragged into another order
// and removed, a page with entries only when the user says yes.
void TestQuickSend::pages()
{
    restartWith(*f, threeSteps(), {rule("ok", "步骤", "一")});
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QPushButton>(window, "AddPage")->click();
    auto *bar = part<QTabBar>(window, "PageBar");
    QCOMPARE(bar->count(), 2);
    QCOMPARE(bar->currentIndex(), 1);
    bar->setCurrentIndex(0);
    auto *name = part<QLineEdit>(window, "PageName");
    name->selectAll();
    commitText(name, QStringLiteral("顺序"));
    QCOMPARE(bar->tabText(0), QStringLiteral("顺序"));
    QCOMPARE(quicksendstore::loadReplies(SettingsFile(f->iniPath())).rules.value(0).page,
             QStringLiteral("顺序"));
    bar->moveTab(0, 1);
    QCOMPARE(window->pages()[1].name, QStringLiteral("顺序"));
    QCOMPARE(quicksendstore::loadBook(SettingsFile(f->iniPath())).pages.value(1).name,
             QStringLiteral("顺序"));

    bar->setCurrentIndex(1);
    f->platform->questionAnswer = false;
    part<QPushButton>(window, "RemovePage")->click();
    QCOMPARE(f->platform->messages.value(0).text, QStringLiteral("删除页“顺序”和它的 4 个条目？"));
    QCOMPARE(window->pages().size(), 2);
    f->platform->questionAnswer = true;
    part<QPushButton>(window, "RemovePage")->click();
    QCOMPARE(window->pages().size(), 1);
    // The empty page goes without asking.
    part<QPushButton>(window, "RemovePage")->click();
    QCOMPARE(f->platform->messages.size(), 2);
    QCOMPARE(window->pages().size(), 1);
    QCOMPARE(window->pages()[0].entries.size(), 0);
}

// Pages, entries, ticks, rules and the window's place come back at the next start.
void TestQuickSend::keptAcrossStarts()
{
    QuickSendWindow *window = open(*f);
    QVERIFY(window);
    part<QPushButton>(window, "AddPage")->click();
    auto *pageName = part<QLineEdit>(window, "PageName");
    pageName->selectAll();
    commitText(pageName, QStringLiteral("电机"));
    part<QPushButton>(window, "AddEntry")->click();
    QTest::keyClicks(part<QLineEdit>(window, "EntryContent"), QStringLiteral("M1\\r"));
    window->entryTable()->item(0, QuickSendWindow::Tick)->setCheckState(Qt::Checked);
    window->move(123, 45);
    window->close();

    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    window = open(*f);
    QVERIFY(window);
    QCOMPARE(part<QTabBar>(window, "PageBar")->count(), 2);
    QCOMPARE(part<QTabBar>(window, "PageBar")->tabText(1), QStringLiteral("电机"));
    QCOMPARE(window->pages()[1].entries.value(0).content, QStringLiteral("M1\\r"));
    QVERIFY(window->pages()[1].entries.value(0).ticked);
    QCOMPARE(window->pos(), QPoint(123, 45));

    // Keys given by hand in the file that the program takes, or that another entry has, go.
    QList<Page> pages = window->pages();
    pages[1].entries[0].hotkey = QStringLiteral("F3");
    pages[1].entries << entry("a", Format::Text, "a") << entry("b", Format::Text, "b");
    pages[1].entries[1].hotkey = QStringLiteral("F6");
    pages[1].entries[2].hotkey = QStringLiteral("F6");
    restartWith(*f, pages);
    window = open(*f);
    QVERIFY(window);
    QCOMPARE(window->pages()[1].entries[0].hotkey, QString());
    QCOMPARE(window->pages()[1].entries[1].hotkey, QStringLiteral("F6"));
    QCOMPARE(window->pages()[1].entries[2].hotkey, QString());
}

// The new entries go through the settings file's atomic section write; one that fails halfway
// leaves the old entries whole.
void TestQuickSend::failedWriteKeepsEntries()
{
    const QList<Page> old = threeSteps();
    quicksendstore::storeBook(SettingsFile(f->iniPath()), {old, QStringLiteral("cGxhY2U=")});
    quicksendstore::storeReplies(SettingsFile(f->iniPath()), {true, {rule("ok", "步骤", "一")}});
    const QByteArray before = readBytes(f->iniPath());
    QList<Page> changed = old;
    changed[0].entries.clear();
    changed << Page{QStringLiteral("新"),
                    {entry("新", Format::Text, QString(5000, QLatin1Char('n')))}};
    int calls = 0;
    const SettingsFile failing(f->iniPath(),
                               [&calls](int fd, const void *data, size_t size) -> ssize_t {
                                   // Half of the first write goes, then the disk is full.
                                   if (++calls == 1)
                                       return ::write(fd, data, size / 2);
                                   errno = ENOSPC;
                                   return -1;
                               });
    quicksendstore::storeBook(failing, {changed, QString()});
    quicksendstore::storeReplies(failing, {false, {}});
    QVERIFY(calls > 0);
    QCOMPARE(readBytes(f->iniPath()), before);
    QCOMPARE(quicksendstore::loadBook(SettingsFile(f->iniPath())).pages, old);
    QCOMPARE(quicksendstore::loadReplies(SettingsFile(f->iniPath())).rules.size(), 1);
}

QTEST_MAIN(TestQuickSend)
#include "tst_quicksend.moc"
