// The terminal window on the window's port: opened with its key, typing reaching the board and
// counted, the same bytes in the terminal, the receive box and the log, the port's state, and
// "发送 Break" by the kind of port.
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/network_servers.h"
#include "support/window_fixture.h"
#include "terminal/screen_model.h"
#include "terminal/terminal_view.h"
#include "terminal/terminal_window.h"

#include <QAction>
#include <QLabel>

namespace {

QString screenText(TerminalWindow *window)
{
    return window->session().screen().screenText().join(QLatin1Char('\n'));
}

QAction *breakEntry(TerminalWindow *window)
{
    for (QAction *action : window->findChildren<QAction *>()) {
        if (action->text() == QStringLiteral("发送 Break"))
            return action;
    }
    return nullptr;
}

} // namespace

class TestTerminalPort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void typesToTheBoard();
    void sameBytesEverywhere();
    void followsThePort();
    void breakByKindOfPort();

private:
    // Opens the board's port and the terminal with Ctrl+Shift+T.
    TerminalWindow *openTerminal();

    std::unique_ptr<WindowFixture> f;
};

void TestTerminalPort::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestTerminalPort::cleanup()
{
    f.reset();
}

TerminalWindow *TestTerminalPort::openTerminal()
{
    if (!f->showWindow(true) || !f->openBoard())
        return nullptr;
    f->click("ClearRevText");
    f->control<QWidget>("SendText")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_T,
                    Qt::ControlModifier | Qt::ShiftModifier);
    auto *window = f->window->findChild<TerminalWindow *>();
    if (window && !QTest::qWaitForWindowExposed(window))
        return nullptr;
    return window;
}

// Keys typed in the terminal go to the board as they are, one counted per byte.
void TestTerminalPort::typesToTheBoard()
{
    TerminalWindow *window = openTerminal();
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("终端 — COM5"));
    f->click("ClearCounter");
    QTest::keyClicks(window->view(), QStringLiteral("ls"));
    QTest::keyClick(window->view(), Qt::Key_Return);
    QTest::keyClick(window->view(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(f->board.readExactly(4), QByteArray("ls\r\x03"));
    QCOMPARE(f->counter("SendNum"), QStringLiteral("4"));
}

// What the board prints shows on the screen, and the box and the log keep the very same bytes.
void TestTerminalPort::sameBytesEverywhere()
{
    TerminalWindow *window = openTerminal();
    QVERIFY(window);
    const QString log = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {log};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());
    const QByteArray bytes = "\x1b[32m>>> \x1b[0mprint(1)\r\n1\r\n\xe4\xb8\xad\xe6\x96\x87\r\n";
    QVERIFY(f->board.write(bytes));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("中文\r\n")));
    QTRY_VERIFY(screenText(window).contains(QStringLiteral(">>> print(1)\n1\n中文")));
    QCOMPARE(f->revText().toUtf8(), bytes);
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), bytes);
}

// A closed port is said so; opened again, what arrives shows.
void TestTerminalPort::followsThePort()
{
    TerminalWindow *window = openTerminal();
    QVERIFY(window);
    auto *state = window->findChild<QLabel *>(QStringLiteral("TerminalState"));
    QVERIFY(!state->isVisible() || state->text().isEmpty());
    f->click("OpenCom");
    QVERIFY(state->isVisible());
    QVERIFY(state->text().startsWith(QStringLiteral("串口未打开")));
    f->click("OpenCom");
    QVERIFY(!state->isVisible() || state->text().isEmpty());
    QVERIFY(f->board.write("back\r\n"));
    QTRY_VERIFY(screenText(window).contains(QStringLiteral("back")));
    // Closing the window changes nothing else.
    window->close();
    QVERIFY(f->board.write("still\r\n"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("still\r\n")));
}

// A pseudo-terminal takes a break and carries nothing: the entry is greyed and says why. A port
// behind RFC 2217 sends it as SET-CONTROL 5, then 6.
void TestTerminalPort::breakByKindOfPort()
{
    TerminalWindow *window = openTerminal();
    QVERIFY(window);
    QAction *pty = breakEntry(window);
    QVERIFY(pty);
    QVERIFY(!pty->isEnabled());
    QCOMPARE(pty->toolTip(), QStringLiteral("伪终端不能发送 Break"));

    RecordingServer server;
    mapPorts(f->iniPath(), {{6, server.address()}});
    f->control<ListBox>("ComPort")->select(5);
    f->click("OpenCom");
    QVERIFY(f->comm().PortOpen());
    QTRY_VERIFY(!server.commands.isEmpty());
    server.commands.clear();
    QCOMPARE(window->windowTitle(), QStringLiteral("终端 — COM6"));
    QAction *network = breakEntry(window);
    QVERIFY(network->isEnabled());
    network->trigger();
    QTRY_COMPARE(server.commands.size(), 2);
    QCOMPARE(server.commands.at(0).command, 5);
    QCOMPARE(server.commands.at(0).value, QByteArray(1, char(5)));
    QCOMPARE(server.commands.at(1).value, QByteArray(1, char(6)));
    QVERIFY(f->platform->breaks.isEmpty());
}

QTEST_MAIN(TestTerminalPort)
#include "tst_terminal_port.moc"
