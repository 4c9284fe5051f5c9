// The file transfer window on the window's port: opened from the menus and with its key, files
// to and from lrzsz on the far end of the line, the protocol's bytes kept out of the receive box
// but counted and logged, every other sender refused while it runs, and the window's settings.
#include "port/mscomm.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/transfer_line.h"
#include "support/window_fixture.h"
#include "terminal/terminal_view.h"
#include "terminal/terminal_window.h"
#include "transfer/transfer_window.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>

using namespace transfer;

namespace {

const QString transferring = QStringLiteral("文件传输中");

} // namespace

class TestFileTransferPort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void opensFromMenusAndKey_data();
    void opensFromMenusAndKey();
    void sendsToTheBoard_data();
    void sendsToTheBoard();
    void receivesFromTheBoard_data();
    void receivesFromTheBoard();
    void othersRefusedWhileRunning_data();
    void othersRefusedWhileRunning();
    void displayChosenDuringATransfer_data();
    void displayChosenDuringATransfer();
    void portClosedMidTransfer();
    void settingsKept();
    void placesKeptWhenTheWindowCloses();

private:
    // Opens the board's port and the transfer window with Ctrl+Shift+Y.
    TransferWindow *openTransfer();
    // Joins the window's line to a second pseudo-terminal where a program plays the board.
    void joinFarEnd();
    void pickProtocol(TransferWindow *window, Protocol protocol) const;
    // Types paths into the file field and presses Return.
    static void startWith(TransferWindow *window, const QString &files);
    [[nodiscard]] static QString log(TransferWindow *window);
    [[nodiscard]] QList<TestPlatform::Message> refusals() const;

    std::unique_ptr<WindowFixture> f;
    std::unique_ptr<PseudoTerminal> far;
    std::unique_ptr<FaultyRelay> relay;
};

void TestFileTransferPort::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestFileTransferPort::cleanup()
{
    relay.reset();
    far.reset();
    f.reset();
}

TransferWindow *TestFileTransferPort::openTransfer()
{
    if (!f->showWindow(true) || !f->openBoard())
        return nullptr;
    f->click("ClearRevText");
    f->click("ClearCounter");
    f->control<QWidget>("SendText")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Y,
                    Qt::ControlModifier | Qt::ShiftModifier);
    auto *window = f->window->findChild<TransferWindow *>();
    if (window && !QTest::qWaitForWindowExposed(window))
        return nullptr;
    return window;
}

void TestFileTransferPort::joinFarEnd()
{
    far = std::make_unique<PseudoTerminal>();
    // A moment on the way back, as a USB adapter takes: lrzsz empties its input right after it
    // answers.
    LineFaults latency;
    latency.delayAnswerMs = 2;
    relay = std::make_unique<FaultyRelay>(f->board.masterFd(), far->masterFd(), latency);
}

void TestFileTransferPort::pickProtocol(TransferWindow *window, Protocol protocol) const
{
    auto *box = window->findChild<QComboBox *>(QStringLiteral("TransferProtocol"));
    box->setCurrentIndex(box->findText(protocolName(protocol)));
}

void TestFileTransferPort::startWith(TransferWindow *window, const QString &files)
{
    auto *field = window->findChild<QLineEdit *>(QStringLiteral("TransferFiles"));
    field->clear();
    QTest::keyClicks(field, files);
    QTest::keyClick(field, Qt::Key_Return);
}

QString TestFileTransferPort::log(TransferWindow *window)
{
    return window->findChild<QPlainTextEdit *>(QStringLiteral("TransferLog"))->toPlainText();
}

QList<TestPlatform::Message> TestFileTransferPort::refusals() const
{
    QList<TestPlatform::Message> found;
    for (const TestPlatform::Message &m : std::as_const(f->platform->messages)) {
        if (m.text == transferring)
            found << m;
    }
    return found;
}

void TestFileTransferPort::opensFromMenusAndKey_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("send box's menu") << "SendText";
    QTest::newRow("receive box's menu") << "RevText";
    QTest::newRow("Ctrl+Shift+Y") << "";
}

// Each way opens the one window, named after the port, and its entry comes last in the menus.
void TestFileTransferPort::opensFromMenusAndKey()
{
    QFETCH(QString, how);
    QVERIFY(f->showWindow(true));
    if (how.isEmpty()) {
        f->control<QWidget>("RevText")->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Y,
                        Qt::ControlModifier | Qt::ShiftModifier);
    } else {
        const QStringList entries = f->useMenu(how.toLatin1(), {QStringLiteral("发送文件…")});
        QCOMPARE(entries.last(), QStringLiteral("发送文件…"));
    }
    auto *window = f->window->findChild<TransferWindow *>();
    QVERIFY(window);
    QTRY_VERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("文件传输 — COM1"));
    f->control<ListBox>("ComPort")->select(WindowFixture::boardPort - 1);
    QCOMPARE(window->windowTitle(), QStringLiteral("文件传输 — COM5"));
    QTest::keyClick(f->control<QWidget>("RevText"), Qt::Key_Y,
                    Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(f->window->findChildren<TransferWindow *>().size(), 1);
}

void TestFileTransferPort::sendsToTheBoard_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<Peer>("peer");
    QTest::newRow("YMODEM to rb") << Protocol::Ymodem << Peer{QStringLiteral("rb"), {}};
    QTest::newRow("ZMODEM to rz") << Protocol::Zmodem << Peer{QStringLiteral("rz"), {}};
}

// Files reach the board whole; the board's protocol bytes go to the transfer and the log only,
// counted one per byte, and the title says a transfer runs until it ends.
void TestFileTransferPort::sendsToTheBoard()
{
    QFETCH(Protocol, protocol);
    QFETCH(Peer, peer);
    TransferWindow *window = openTransfer();
    QVERIFY(window);
    const QString capture = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {capture};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());
    QVERIFY(f->board.write("U-Boot> "));
    QTRY_COMPARE(f->revText(), QStringLiteral("U-Boot> "));
    joinFarEnd();
    QTemporaryDir from;
    QTemporaryDir to;
    const QStringList files = makeFiles(from.path(), {3000, 1025});
    BoardProgram board(far->slavePath(), peer.program, peer.arguments, to.path());
    QVERIFY(board.started());
    const QString title = f->window->windowTitle();
    pickProtocol(window, protocol);
    startWith(window, joinFileField(files));
    QTRY_VERIFY(window->running());
    // The protocol's answers are read at once, not gathered on a timer.
    auto *comm = f->window->findChild<MSComm *>(QStringLiteral("MSComm1"));
    QVERIFY(!comm->streamGathering());
    QCOMPARE(f->window->windowTitle(), title + QStringLiteral(" — 文件传输中…"));
    QVERIFY(f->control<QWidget>("RevText")->toolTip().contains(QStringLiteral("文件传输中…")));

    QCOMPARE(board.wait(), 0);
    QTRY_VERIFY(!window->running());
    QVERIFY(comm->streamGathering());
    for (const QString &file : files)
        QCOMPARE(readFile(QDir(to.path()).filePath(QFileInfo(file).fileName())), readFile(file));
    QCOMPARE(f->window->windowTitle(), title);
    QVERIFY(!f->control<QWidget>("RevText")->toolTip().contains(QStringLiteral("文件传输中")));
    QVERIFY2(f->revText() == QStringLiteral("U-Boot> "), qPrintable(log(window)));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    const QByteArray logged = readBytes(capture);
    QVERIFY(logged.startsWith("U-Boot> "));
    QVERIFY(logged.size() > 8);
    // The received count shows with the window's next frame.
    QTRY_COMPARE(f->counter("RevNum"), QString::number(logged.size()));
    QVERIFY(f->counter("SendNum").toInt() > 4025);

    // Back to text: what the board prints next shows, with no pen left by the protocol.
    QVERIFY(f->board.write("done\r\n"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("done\r\n")));
}

void TestFileTransferPort::receivesFromTheBoard_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<Peer>("peer");
    QTest::addColumn<bool>("offered");
    QTest::newRow("YMODEM from sb")
        << Protocol::Ymodem << Peer{QStringLiteral("sb"), {"FILE"}} << false;
    QTest::newRow("ZMODEM the board starts with sz")
        << Protocol::Zmodem << Peer{QStringLiteral("sz"), {"FILE"}} << true;
}

// Files from the board land whole in the chosen folder; a board that starts ZMODEM by itself is
// offered a receive, its start having shown in the box.
void TestFileTransferPort::receivesFromTheBoard()
{
    QFETCH(Protocol, protocol);
    QFETCH(Peer, peer);
    QFETCH(bool, offered);
    QTemporaryDir from;
    QTemporaryDir to;
    const QStringList files = makeFiles(from.path(), {5000});
    SettingsFile(f->iniPath())
        .write(QStringLiteral("文件传输"), QStringLiteral("文件夹"), to.path());
    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    joinFarEnd();
    TransferWindow *window = nullptr;
    if (!offered) {
        window = openTransfer();
        QVERIFY(window);
        window->findChild<QRadioButton *>(QStringLiteral("TransferReceive"))->click();
        pickProtocol(window, protocol);
    }
    QStringList arguments = peer.arguments;
    arguments.replaceInStrings(QStringLiteral("FILE"), files.first());
    BoardProgram board(far->slavePath(), peer.program, arguments, from.path());
    QVERIFY(board.started());
    if (offered) {
        QTRY_VERIFY(f->window->findChild<TransferWindow *>());
        window = f->window->findChild<TransferWindow *>();
        auto *accept = window->findChild<QPushButton *>(QStringLiteral("TransferAcceptIncoming"));
        QTRY_VERIFY(accept->isVisible());
        QVERIFY(f->revText().contains(QStringLiteral("**\x18")));
        accept->click();
    } else {
        QTest::keyClick(window->findChild<QLineEdit *>(QStringLiteral("TransferFolder")),
                        Qt::Key_Return);
    }
    QCOMPARE(board.wait(), 0);
    QTRY_VERIFY(!window->running());
    QCOMPARE(readFile(QDir(to.path()).filePath(QFileInfo(files.first()).fileName())),
             readFile(files.first()));
    QVERIFY(!f->revText().contains(QChar(0x18)) || offered);
}

void TestFileTransferPort::othersRefusedWhileRunning_data()
{
    QTest::addColumn<QString>("sender");
    QTest::newRow("手动发送") << "ManSend";
    QTest::newRow("更新时间") << "UpdataTime";
    QTest::newRow("periodic send") << "AutoSend";
    QTest::newRow("typing in the terminal") << "terminal";
}

// A transfer waiting for its receiver holds the port: each other sender is refused with "文件
// 传输中" (the periodic send pauses instead), and all of them work again once it is cancelled.
void TestFileTransferPort::othersRefusedWhileRunning()
{
    QFETCH(QString, sender);
    TransferWindow *window = openTransfer();
    QVERIFY(window);
    QTemporaryDir from;
    const QStringList files = makeFiles(from.path(), {100});
    f->control<QLineEdit>("AutoSendCycle")->setText(QStringLiteral("20"));
    f->setSendText(QStringLiteral("x"));
    TerminalWindow *terminal = nullptr;
    if (sender == QStringLiteral("terminal")) {
        QVERIFY(!f->useMenu("RevText", {QStringLiteral("终端…")}).isEmpty());
        terminal = f->window->findChild<TerminalWindow *>();
        QVERIFY(terminal);
    }
    pickProtocol(window, Protocol::Xmodem);
    startWith(window, files.first());
    QTRY_VERIFY(window->running());
    // The sender's wait for the receiver's 'C' or NAK, never answered.
    const QByteArray before = f->board.readAvailable();

    const auto tryToSend = [&] {
        if (terminal)
            QTest::keyClicks(terminal->view(), QStringLiteral("ab"));
        else
            f->click(sender.toLatin1());
    };
    tryToSend();
    if (sender == QStringLiteral("AutoSend")) {
        QTest::qWait(100);
        QVERIFY(refusals().isEmpty());
    } else if (!terminal) {
        QCOMPARE(refusals().size(), 1);
    }
    QCOMPARE(f->board.readAvailable(), QByteArray());
    QCOMPARE(f->counter("SendNum"), QStringLiteral("0"));

    window->findChild<QPushButton *>(QStringLiteral("TransferCancel"))->click();
    QTRY_VERIFY(!window->running());
    // The cancel told the board, as the protocol has it.
    QVERIFY(f->board.readExactly(2).startsWith("\x18\x18"));
    (void)f->board.readAvailable();
    f->platform->messages.clear();
    if (sender != QStringLiteral("AutoSend"))
        tryToSend();
    QVERIFY(!f->board.readExactly(1).isEmpty());
    QVERIFY(refusals().isEmpty());
}

void TestFileTransferPort::displayChosenDuringATransfer_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("shown");
    QTest::newRow("hex chosen") << "RevHexSel"
                                << "E4 B8 AD ";
    QTest::newRow("characters chosen") << "RevChrSel"
                                       << "中";
}

// Hex or characters picked while a transfer holds the line take effect once it ends: the
// protocol's bytes stay undecoded meanwhile, and the board's next bytes show as picked.
void TestFileTransferPort::displayChosenDuringATransfer()
{
    QFETCH(QString, chosen);
    QFETCH(QString, shown);
    QVERIFY(f->showWindow(true));
    const auto pick = [this](const QString &name) {
        f->window->findChild<QRadioButton *>(name)->click();
    };
    pick(chosen == QStringLiteral("RevHexSel") ? QStringLiteral("RevChrSel")
                                               : QStringLiteral("RevHexSel"));
    TransferWindow *window = openTransfer();
    QVERIFY(window);
    QTemporaryDir from;
    const QStringList files = makeFiles(from.path(), {100});
    pickProtocol(window, Protocol::Xmodem);
    startWith(window, files.first());
    QTRY_VERIFY(window->running());
    pick(chosen);
    window->findChild<QPushButton *>(QStringLiteral("TransferCancel"))->click();
    QTRY_VERIFY(!window->running());
    f->click("ClearRevText");
    QVERIFY(f->board.write("\xE4\xB8\xAD"));
    QTRY_COMPARE(f->revText(), shown);
}

// Closing the port ends the transfer with the reason; the port opened again, nothing resumes.
void TestFileTransferPort::portClosedMidTransfer()
{
    TransferWindow *window = openTransfer();
    QVERIFY(window);
    QTemporaryDir from;
    const QStringList files = makeFiles(from.path(), {100});
    startWith(window, files.first());
    QTRY_VERIFY(window->running());
    f->click("OpenCom");
    QTRY_VERIFY(!window->running());
    QVERIFY(log(window).contains(QStringLiteral("串口已断开，传输中止")));
    QVERIFY(!f->window->windowTitle().contains(transferring));
    f->click("OpenCom");
    QVERIFY(!window->running());
    f->setSendText(QStringLiteral("hi"));
    f->click("ManSend");
    QCOMPARE(f->board.readExactly(2), QByteArray("hi"));
}

// The window opens with [文件传输] as the file has it and keeps what the user changes there.
void TestFileTransferPort::settingsKept()
{
    const QByteArray ini = "[文件传输]\r\n协议=XMODEM-1K\r\n启动命令=loadx\\r\r\n行尾=LF\r\n"
                           "字符间隔ms=oops\r\n";
    QVERIFY(f->showWindow(true));
    QVERIFY(writeBytes(f->iniPath(), readBytes(f->iniPath()) + ini));
    QVERIFY(!f->useMenu("SendText", {QStringLiteral("发送文件…")}).isEmpty());
    auto *window = f->window->findChild<TransferWindow *>();
    QVERIFY(window);
    QCOMPARE(window->settings().protocol, Protocol::Xmodem1K);
    QCOMPARE(window->settings().startCommand, QStringLiteral("loadx\\r"));
    QCOMPARE(window->settings().lineEnding, LineEnding::Lf);
    QCOMPARE(window->settings().charDelayMs, 0);
    pickProtocol(window, Protocol::Zmodem);
    window->move(40, 50);
    window->close();
    const SettingsFile file(f->iniPath());
    QCOMPARE(file.read(QStringLiteral("文件传输"), QStringLiteral("协议"), {}),
             QStringLiteral("ZMODEM"));
    QCOMPARE(file.read(QStringLiteral("文件传输"), QStringLiteral("启动命令"), {}),
             QStringLiteral("loadx\\r"));
    QVERIFY(!file.read(QStringLiteral("文件传输"), QStringLiteral("位置"), {}).isEmpty());
}

// Windows of their own still open when the main window closes keep their places, as when each
// is closed by itself.
void TestFileTransferPort::placesKeptWhenTheWindowCloses()
{
    QVERIFY(f->showWindow(true));
    QVERIFY(!f->useMenu("SendText", {QStringLiteral("发送文件…")}).isEmpty());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("波形图…")}).isEmpty());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("终端…")}).isEmpty());
    f->window->close();
    const SettingsFile file(f->iniPath());
    for (const auto &[section, key] :
         {std::pair{"文件传输", "位置"}, std::pair{"波形图", "位置"}, std::pair{"终端", "位置"}}) {
        QVERIFY2(!file.read(QString::fromUtf8(section), QString::fromUtf8(key), {}).isEmpty(),
                 section);
    }
}

QTEST_MAIN(TestFileTransferPort)
#include "tst_file_transfer_port.moc"
