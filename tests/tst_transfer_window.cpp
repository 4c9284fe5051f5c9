// The file transfer window offscreen, used as a user does: typing or pasting a path and
// pressing Return, the buttons, the protocol's rows, the questions; and end to end with a
// session on a pseudo-terminal and lrzsz's rb as the board.
#include "support/transfer_line.h"
#include "transfer/transfer_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace transfer;

namespace {

template <typename T> T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

void choose(QWidget *window, Protocol protocol)
{
    auto *box = child<QComboBox>(window, "TransferProtocol");
    box->setCurrentIndex(box->findText(protocolName(protocol)));
}

Request requestOf(const QSignalSpy &spy)
{
    return spy.last().first().value<Request>();
}

} // namespace

Q_DECLARE_METATYPE(transfer::Request)

class TestTransferWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void returnStarts_data();
    void returnStarts();
    void nothingToSend();
    void rowsFollowTheProtocol_data();
    void rowsFollowTheProtocol();
    void settingsAsValues();
    void chooseButtons();
    void questionsOneAtATime();
    void lrzszMissingNote();
    void incomingZmodem();
    void sendToRb();
    void cancelAndClose();
};

void TestTransferWindow::initTestCase()
{
    qRegisterMetaType<Request>();
    // Rows shown and hidden while the window is up ask the platform to resize it, which the
    // offscreen platform says it cannot do, once a row.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (!text.contains(QLatin1String("does not support propagateSizeHints")))
                previous(type, context, text);
        });
}

void TestTransferWindow::returnStarts_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<bool>("receive");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("paste");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("typed path") << Protocol::Ymodem << false << QStringLiteral("/tmp/fw.bin")
                                << false << QStringList{"/tmp/fw.bin"};
    QTest::newRow("pasted batch") << Protocol::Ymodem << false
                                  << QStringLiteral("\"/a/1.bin\" \"/a/2 b.bin\"") << true
                                  << QStringList{"/a/1.bin", "/a/2 b.bin"};
    QTest::newRow("pasted address")
        << Protocol::Xmodem << false << QStringLiteral("file:///tmp/%E5%9B%BA.bin") << true
        << QStringList{"/tmp/固.bin"};
    QTest::newRow("receive, Return in the folder")
        << Protocol::Ymodem << true << QStringLiteral("/tmp") << false << QStringList{};
}

// Return in the field starts the transfer with what is in it and the window's options.
void TestTransferWindow::returnStarts()
{
    QFETCH(Protocol, protocol);
    QFETCH(bool, receive);
    QFETCH(QString, typed);
    QFETCH(bool, paste);
    QFETCH(QStringList, files);
    TransferWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy started(&window, &TransferWindow::startRequested);
    choose(&window, protocol);
    if (receive)
        QTest::mouseClick(child<QRadioButton>(&window, "TransferReceive"), Qt::LeftButton);
    auto *field = child<QLineEdit>(&window, receive ? "TransferFolder" : "TransferFiles");
    auto *command = child<QLineEdit>(&window, "TransferStartCommand");
    command->setFocus();
    QTest::keyClicks(command, QStringLiteral("loady\\r"));
    field->setFocus();
    field->clear();
    if (paste) {
        QApplication::clipboard()->setText(typed);
        QTest::keySequence(field, QKeySequence::Paste);
    } else {
        QTest::keyClicks(field, typed);
    }
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(started.size(), 1);
    const Request r = requestOf(started);
    QCOMPARE(r.protocol, protocol);
    QCOMPARE(r.direction, receive ? Direction::Receive : Direction::Send);
    QCOMPARE(r.files, files);
    QCOMPARE(r.startCommand, QByteArray("loady\r"));
    if (receive)
        QCOMPARE(r.folder, typed);
    QVERIFY(window.running());
    QVERIFY(!child<QPushButton>(&window, "TransferStart")->isEnabled());
    QVERIFY(child<QPushButton>(&window, "TransferCancel")->isEnabled());
    // A second Return while it runs starts nothing.
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(started.size(), 1);
}

void TestTransferWindow::nothingToSend()
{
    TransferWindow window;
    window.show();
    QSignalSpy started(&window, &TransferWindow::startRequested);
    QTest::mouseClick(child<QPushButton>(&window, "TransferStart"), Qt::LeftButton);
    QCOMPARE(started.size(), 0);
    QVERIFY(child<QPlainTextEdit>(&window, "TransferLog")
                ->toPlainText()
                .contains(QStringLiteral("请选择要发送的文件")));
    QVERIFY(child<QPushButton>(&window, "TransferStart")->isEnabled());
}

void TestTransferWindow::rowsFollowTheProtocol_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<bool>("receive");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("hidden");
    QTest::newRow("text") << Protocol::Text << false
                          << QStringList{"TransferFiles", "TransferCharDelay", "TransferPrompt",
                                         "TransferLineEnding"}
                          << QStringList{"TransferOnly1K", "TransferFolder"};
    QTest::newRow("YMODEM send") << Protocol::Ymodem << false
                                 << QStringList{"TransferFiles", "TransferOnly1K"}
                                 << QStringList{"TransferCharDelay", "TransferStripPadding"};
    QTest::newRow("XMODEM receive")
        << Protocol::Xmodem << true
        << QStringList{"TransferFolder", "TransferXmodemName", "TransferStripPadding"}
        << QStringList{"TransferFiles", "TransferOnly1K"};
    QTest::newRow("YMODEM receive") << Protocol::Ymodem << true << QStringList{"TransferFolder"}
                                    << QStringList{"TransferXmodemName", "TransferStripPadding"};
}

void TestTransferWindow::rowsFollowTheProtocol()
{
    QFETCH(Protocol, protocol);
    QFETCH(bool, receive);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, hidden);
    TransferWindow window;
    window.show();
    choose(&window, protocol);
    if (receive)
        QTest::mouseClick(child<QRadioButton>(&window, "TransferReceive"), Qt::LeftButton);
    for (const QString &name : shown)
        QVERIFY2(window.findChild<QWidget *>(name)->isVisible(), qPrintable(name));
    for (const QString &name : hidden)
        QVERIFY2(!window.findChild<QWidget *>(name)->isVisible(), qPrintable(name));
    // Text cannot be received.
    choose(&window, Protocol::Text);
    QVERIFY(!child<QRadioButton>(&window, "TransferReceive")->isEnabled());
    QVERIFY(child<QRadioButton>(&window, "TransferSend")->isChecked());
}

// The window opens with the values it is given and reports every change as values.
void TestTransferWindow::settingsAsValues()
{
    WindowSettings s;
    s.protocol = Protocol::Text;
    s.startCommand = QStringLiteral("RUN\\r");
    s.only1K = false;
    s.charDelayMs = 5;
    s.lineDelayMs = 200;
    s.lineEnding = LineEnding::CrLf;
    s.prompt = QStringLiteral("> ");
    s.folder = QStringLiteral("/tmp");
    s.stripPadding = false;
    TransferWindow window;
    window.setSettings(s);
    QCOMPARE(window.settings(), s);
    window.show();
    QSignalSpy changed(&window, &TransferWindow::settingsChanged);
    auto *delay = child<QSpinBox>(&window, "TransferLineDelay");
    delay->setFocus();
    delay->selectAll();
    QTest::keyClicks(delay, QStringLiteral("350"));
    QVERIFY(!changed.isEmpty());
    QCOMPARE(changed.last().first().value<WindowSettings>().lineDelayMs, 350);
    choose(&window, Protocol::Ymodem);
    QCOMPARE(changed.last().first().value<WindowSettings>().protocol, Protocol::Ymodem);
    window.setPortName(QStringLiteral("COM5"));
    QCOMPARE(window.windowTitle(), QStringLiteral("文件传输 — COM5"));
    window.close();
    QVERIFY(changed.last().first().value<WindowSettings>().geometry.isValid());
}

// "选择…" asks for several files where the protocol takes a batch.
void TestTransferWindow::chooseButtons()
{
    TransferWindow window;
    QList<bool> several;
    window.setFileChooser([&several](QWidget *, bool many, const QString &) {
        several.append(many);
        return QStringList{"/x/a.bin", "/x/b.bin"};
    });
    window.setFolderChooser([](QWidget *, const QString &) { return QStringLiteral("/srv"); });
    window.show();
    choose(&window, Protocol::Ymodem);
    QTest::mouseClick(child<QPushButton>(&window, "TransferChooseFiles"), Qt::LeftButton);
    QCOMPARE(child<QLineEdit>(&window, "TransferFiles")->text(),
             QStringLiteral("\"/x/a.bin\" \"/x/b.bin\""));
    choose(&window, Protocol::Xmodem);
    QTest::mouseClick(child<QPushButton>(&window, "TransferChooseFiles"), Qt::LeftButton);
    QCOMPARE(several, (QList<bool>{true, false}));
    QTest::mouseClick(child<QRadioButton>(&window, "TransferReceive"), Qt::LeftButton);
    QSignalSpy changed(&window, &TransferWindow::settingsChanged);
    QTest::mouseClick(child<QPushButton>(&window, "TransferChooseFolder"), Qt::LeftButton);
    QCOMPARE(child<QLineEdit>(&window, "TransferFolder")->text(), QStringLiteral("/srv"));
    QCOMPARE(changed.last().first().value<WindowSettings>().folder, QStringLiteral("/srv"));
}

// Questions about taken names come one at a time, each answer to its own file.
void TestTransferWindow::questionsOneAtATime()
{
    TransferWindow window;
    QList<std::pair<QString, std::function<void(ExistingFile)>>> open;
    window.setExistingQuestion(
        [&open](QWidget *, const QString &name, std::function<void(ExistingFile)> answer) {
            open.append({name, std::move(answer)});
        });
    QSignalSpy answered(&window, &TransferWindow::existingFileAnswered);
    window.askExisting(7, QStringLiteral("a.bin"));
    window.askExisting(8, QStringLiteral("b.bin"));
    QCOMPARE(open.size(), 1);
    open.takeFirst().second(ExistingFile::Overwrite);
    QCOMPARE(open.size(), 1);
    QCOMPARE(open.first().first, QStringLiteral("b.bin"));
    open.takeFirst().second(ExistingFile::Discard);
    QCOMPARE(answered.size(), 2);
    QCOMPARE(answered[0][0].toInt(), 7);
    QCOMPARE(answered[0][1].value<ExistingFile>(), ExistingFile::Overwrite);
    QCOMPARE(answered[1][0].toInt(), 8);
    QCOMPARE(answered[1][1].value<ExistingFile>(), ExistingFile::Discard);
}

void TestTransferWindow::lrzszMissingNote()
{
    TransferWindow window;
    window.setLrzszPresent([] { return false; });
    window.show();
    auto *note = child<QLabel>(&window, "TransferNote");
    QVERIFY(!note->isVisible());
    choose(&window, Protocol::Zmodem);
    QVERIFY(note->isVisible());
    QVERIFY(note->text().contains(QStringLiteral("sudo apt install lrzsz")));
}

// A board that starts a ZMODEM send is offered a receive; one click starts it.
void TestTransferWindow::incomingZmodem()
{
    TransferWindow window;
    window.show();
    QSignalSpy started(&window, &TransferWindow::startRequested);
    window.offerIncomingZmodem();
    auto *bar = child<QWidget>(&window, "TransferIncoming");
    QVERIFY(bar->isVisible());
    QTest::mouseClick(child<QPushButton>(&window, "TransferAcceptIncoming"), Qt::LeftButton);
    QCOMPARE(started.size(), 1);
    QCOMPARE(requestOf(started).protocol, Protocol::Zmodem);
    QCOMPARE(requestOf(started).direction, Direction::Receive);
    QVERIFY(!bar->isVisible());
}

// End to end: a path typed, Return, the file at rb; the window shows it all went.
void TestTransferWindow::sendToRb()
{
    QTemporaryDir from;
    QTemporaryDir to;
    const QStringList files = makeFiles(from.path(), {5000});
    TransferLine line;
    BoardProgram board(line.boardDevice(), QStringLiteral("rb"), {}, to.path());
    TransferWindow window;
    connectSessionToWindow(line.session.get(), &window);
    QObject::connect(&window, &TransferWindow::startRequested, line.session.get(),
                     &TransferSession::start);
    window.show();
    auto *field = child<QLineEdit>(&window, "TransferFiles");
    QTest::keyClicks(field, files.first());
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(line.waitForEnd());
    QVERIFY2(line.ok, transcript(line, board));
    QCOMPARE(board.wait(), 0);
    QCOMPARE(readFile(to.filePath(QStringLiteral("f5000.bin"))), readFile(files.first()));
    auto *bar = child<QProgressBar>(&window, "TransferProgress");
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(bar->text().contains(QStringLiteral("4.9 KB / 4.9 KB")));
    const QString log = child<QPlainTextEdit>(&window, "TransferLog")->toPlainText();
    QVERIFY(log.endsWith(QStringLiteral("传输完成")));
    // As many retries as the session counted: a slow build can make lrzsz miss a block.
    QVERIFY(child<QLabel>(&window, "TransferStats")
                ->text()
                .contains(QStringLiteral("重试 %1").arg(line.progress.retries)));
    QVERIFY(child<QPushButton>(&window, "TransferStart")->isEnabled());
    QVERIFY(!window.running());
}

// "取消" stops the transfer and the board's rb with it; closing a window that runs cancels.
void TestTransferWindow::cancelAndClose()
{
    for (const bool byClosing : {false, true}) {
        QTemporaryDir from;
        QTemporaryDir to;
        const QStringList files = makeFiles(from.path(), {bigSize()});
        LineFaults slow;
        slow.delayAnswerMs = 20;
        TransferLine line(&slow);
        BoardProgram board(line.boardDevice(), QStringLiteral("rb"), {}, to.path());
        TransferWindow window;
        connectSessionToWindow(line.session.get(), &window);
        QObject::connect(&window, &TransferWindow::startRequested, line.session.get(),
                         &TransferSession::start);
        window.show();
        window.setFiles(files);
        QTest::mouseClick(child<QPushButton>(&window, "TransferStart"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(line.progress.done > 10000, 30000);
        if (byClosing)
            window.close();
        else
            QTest::mouseClick(child<QPushButton>(&window, "TransferCancel"), Qt::LeftButton);
        QVERIFY(line.waitForEnd());
        QCOMPARE(line.message, QStringLiteral("已取消"));
        QVERIFY(board.wait() > 0);
        QVERIFY(!window.running());
        QVERIFY(child<QPlainTextEdit>(&window, "TransferLog")
                    ->toPlainText()
                    .endsWith(QStringLiteral("已取消")));
    }
}

QTEST_MAIN(TestTransferWindow)
#include "tst_transfer_window.moc"
