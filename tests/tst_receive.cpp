// Receiving end to end against a pseudo-terminal playing the board: characters and hex, text
// encodings and captures.
#include "settings/settings_file.h"
#include "support/window_fixture.h"
#include "textview/find_dialog.h"
#include "textview/receive_box.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QStringEncoder>

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
    void encodingSplitAtEveryByte_data();
    void encodingSplitAtEveryByte();
    void saveReceiveBox();
    void recordRawBytes();
    void recordingFails();
    void encodingStored_data();
    void encodingStored();
    void keptLimitFromSettings_data();
    void keptLimitFromSettings();

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

// Every way a character can be cut between two reads of the board's output comes out whole,
// counted once.
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
    // Counts that come within a frame of the last show with the next one.
    QTRY_COMPARE(f->counter("RevNum"), QString::number(expected.toUcs4().size()));

    // Bytes that are no character show as U+FFFD, and the stream goes on.
    QVERIFY(f->board.write("\xFF" + bytes));
    QTRY_COMPARE(f->revText(), expected + QChar(0xFFFD) + text);

    // A long stream in pieces that cut through characters, 4096-byte blocks among them.
    f->click("ClearRevText");
    f->click("ClearCounter");
    QString stream;
    QRandomGenerator rng(7);
    const QList<uint> characters = text.toUcs4();
    while (stream.size() < 300000) {
        const char32_t c = characters.at(rng.bounded(characters.size()));
        stream += QString::fromUcs4(&c, 1);
    }
    const QByteArray streamBytes = encoding == QStringLiteral("GBK")
                                       ? QStringEncoder("GB18030").encode(stream)
                                       : stream.toUtf8();
    qsizetype sent = 0;
    int i = 0;
    const int pieces[] = {1, 2, 3, 4095, 4097, 5, 8191};
    while (sent < streamBytes.size()) {
        const qsizetype n = std::min<qsizetype>(streamBytes.size() - sent, pieces[i++ % 7]);
        QVERIFY(f->board.write(streamBytes.mid(sent, n)));
        sent += n;
        if (i % 3 == 0)
            QTest::qWait(1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(f->counter("RevNum"), QString::number(stream.toUcs4().size()), 60000);
    QVERIFY(f->revText() == stream);
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

void TestReceive::keptLimitFromSettings_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<qint64>("megabytes"); // 0: the machine's default, 16 to 2048
    QTest::newRow("one megabyte") << "1" << qint64(1);
    QTest::newRow("more than a terabyte is a terabyte") << "9223372036854775807" << qint64(1 << 20);
    QTest::newRow("beyond 64 bits") << "99999999999999999999" << qint64(0);
    QTest::newRow("negative") << "-5" << qint64(0);
    QTest::newRow("not a number") << "viel" << qint64(0);
}

// 最大保留MB as the window reads it: any number is safe to multiply out.
void TestReceive::keptLimitFromSettings()
{
    QFETCH(QString, stored);
    QFETCH(qint64, megabytes);
    SettingsFile(f->iniPath())
        .write(QStringLiteral("接收区"), QStringLiteral("最大保留MB"), stored);
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    const qint64 kept = f->control<ReceiveBox>("RevText")->maxBytes();
    if (megabytes > 0)
        QCOMPARE(kept, megabytes << 20);
    else
        QVERIFY(kept >= qint64(16) << 20 && kept <= qint64(2048) << 20);
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

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
