// The terminal window on real programs: busybox's shell and Python's REPL on a pseudo-terminal,
// driven by key presses; what they draw against python3-pyte drawing the same bytes; a long
// stream against the scrollback's bound; and bytes no board should send.
#include "tst_terminal_window.h"

#include "support/byte_patterns.h"
#include "support/pty_program.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const QString busybox = QStringLiteral("/bin/busybox");

#if defined(__SANITIZE_ADDRESS__)
constexpr int millionLines = 50000;
#else
constexpr int millionLines = 1000000;
#endif

// The window bridged to a program on a pseudo-terminal of the window's size: what the window
// asks to send is typed into the program, and what it prints is received.
struct Bridged
{
    explicit Bridged(const QStringList &command, QStringList environment = {})
    {
        environment << QStringLiteral("HOME=") + home.path();
        program = std::make_unique<PtyProgram>(command, environment, f.screen().rows(),
                                               f.screen().columns());
        QObject::connect(f.window.get(), &TerminalWindow::sendRequested, program.get(),
                         &PtyProgram::write);
        QObject::connect(program.get(), &PtyProgram::output, f.window.get(),
                         [this](const QByteArray &bytes) { f.window->receive(bytes); });
    }

    void type(const QString &text) const { QTest::keyClicks(f.view(), text); }
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) const
    {
        QTest::keyClick(f.view(), key, modifiers);
    }
    // Rows of the screen that read exactly text.
    [[nodiscard]] int rowsReading(const QString &text) const
    {
        return int(f.screen().screenText().count(text));
    }

    TerminalFixture f;
    QTemporaryDir home;
    std::unique_ptr<PtyProgram> program;
};

QStringList shell()
{
    return {busybox, QStringLiteral("sh"), QStringLiteral("-i")};
}

const QStringList shellEnvironment{QStringLiteral("PS1=bb$ "), QStringLiteral("ENV=")};

// Whether a child of pid runs the command named comm.
bool hasChild(pid_t pid, const QString &comm)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString line = QString::fromLocal8Bit(stat.readAll());
        const qsizetype close = line.lastIndexOf(QLatin1Char(')'));
        const QString name = line.mid(line.indexOf(QLatin1Char('(')) + 1,
                                      close - line.indexOf(QLatin1Char('(')) - 1);
        const QStringList rest = line.mid(close + 2).split(QLatin1Char(' '));
        if (name == comm && rest.value(1).toInt() == pid)
            return true;
    }
    return false;
}

} // namespace

// Typing, editing with Left and Delete, recalling with Up, and Ctrl+C stopping a command: the
// shell's own line editing, driven by the window's keys.
void TestTerminalWindow::busyboxShell()
{
    Bridged b(shell(), shellEnvironment);
    QVERIFY(b.program->isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(b.f.shows(QStringLiteral("bb$")), programTimeoutMs);

    b.type(QStringLiteral("echo abXc"));
    b.press(Qt::Key_Left);
    b.press(Qt::Key_Left);
    b.press(Qt::Key_Delete);
    b.press(Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("abc")), 1, programTimeoutMs);
    QCOMPARE(b.rowsReading(QStringLiteral("bb$ echo abc")), 1);

    b.press(Qt::Key_Up);
    QTRY_VERIFY_WITH_TIMEOUT(b.f.screen().screenText().last().isEmpty() ||
                                 b.rowsReading(QStringLiteral("bb$ echo abc")) == 2,
                             programTimeoutMs);
    b.press(Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("abc")), 2, programTimeoutMs);

    b.type(QStringLiteral("sleep 100"));
    b.press(Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(hasChild(b.program->pid(), QStringLiteral("sleep")), programTimeoutMs);
    b.press(Qt::Key_C, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(!hasChild(b.program->pid(), QStringLiteral("sleep")),
                             programTimeoutMs);
    b.type(QStringLiteral("echo after $((6*7))"));
    b.press(Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("after 42")), 1, programTimeoutMs);
}

// Python's REPL with readline: history, editing, an interrupt, and a paste.
void TestTerminalWindow::pythonRepl()
{
    Bridged b({debianPython, QStringLiteral("-i"), QStringLiteral("-q")},
              {QStringLiteral("PYTHONSTARTUP="), QStringLiteral("INPUTRC=/dev/null")});
    QTRY_VERIFY_WITH_TIMEOUT(b.f.shows(QStringLiteral(">>>")), programTimeoutMs);

    b.type(QStringLiteral("print(6*7X)"));
    b.press(Qt::Key_Left);
    b.press(Qt::Key_Left);
    b.press(Qt::Key_Delete);
    b.press(Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("42")), 1, programTimeoutMs);
    b.press(Qt::Key_Up);
    b.press(Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("42")), 2, programTimeoutMs);

    b.type(QStringLiteral("import time; print('slee' + 'ping'); time.sleep(100)"));
    b.press(Qt::Key_Return);
    // Only once the command runs: an interrupt that comes while Python goes back to its prompt
    // is taken but not acted on until the next key.
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("sleeping")), 1, programTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(b.program->lineIsCanonical(), programTimeoutMs);
    b.press(Qt::Key_C, Qt::ControlModifier);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("KeyboardInterrupt")), 1,
                              programTimeoutMs);

    QApplication::clipboard()->setText(QStringLiteral("x = 5"));
    b.press(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    b.press(Qt::Key_Return);
    b.type(QStringLiteral("print(x * 11)"));
    b.press(Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(b.rowsReading(QStringLiteral("55")), 1, programTimeoutMs);
}

void TestTerminalWindow::redrawMatchesPyte_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("clear") << "echo before; clear; echo top";
    QTest::newRow("progress line") << "printf 'progress 10%%\\rprogress 55%%\\rdone\\n'";
    QTest::newRow("cursor moves and colours")
        << "printf '\\033[2J\\033[5;10H\\033[1;31mred\\033[0m\\033[1;1Htop\\033[K\\n'";
    QTest::newRow("insert and delete") << "printf 'abcdef\\033[3D\\033[2P\\033[1@X\\n'";
    QTest::newRow("wide characters") << "printf '\\344\\270\\255\\346\\226\\207 ok\\n'";
    QTest::newRow("scroll region") << "printf '\\033[2;4r\\033[4;1Ha\\nb\\nc\\n\\033[r'";
}

// The whole session (prompts, echo, the command's output), as the window drew it and as pyte
// draws the same bytes.
void TestTerminalWindow::redrawMatchesPyte()
{
    QFETCH(QString, command);
    Bridged b(shell(), shellEnvironment);
    QTRY_VERIFY_WITH_TIMEOUT(b.f.shows(QStringLiteral("bb$")), programTimeoutMs);
    // The marker is not in the command line's echo.
    b.type(command + QStringLiteral("; echo E$((1+1))ND"));
    b.press(Qt::Key_Return);
    // The shell asks where the cursor is after each prompt; the window's answers are all out.
    QTRY_VERIFY_WITH_TIMEOUT(b.program->printed().contains("E2ND\r\n") &&
                                 b.program->printed().endsWith("bb$ \x1b[6n") &&
                                 b.f.sent.count('\x1b') == b.program->printed().count("\x1b[6n"),
                             programTimeoutMs);
    const term::ScreenModel &screen = b.f.screen();
    const PyteScreen pyte = pyteScreen(b.program->printed(), screen.rows(), screen.columns());
    QCOMPARE(screen.screenText(), pyte.rows);
    QCOMPARE(QPoint(screen.cursor().column, screen.cursor().row), pyte.cursor);
}

void TestTerminalWindow::scrollbackBounded_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("lines");
    QTest::newRow("default bound") << term::ScreenModel::DefaultLineLimit << millionLines;
    QTest::newRow("small bound") << 50 << 10000;
    QTest::newRow("no scrollback") << 0 << 1000;
}

// Lines past the bound leave from the oldest; those kept are the newest, in order.
void TestTerminalWindow::scrollbackBounded()
{
    QFETCH(int, limit);
    QFETCH(int, lines);
    TerminalFixture f;
    term::Options options;
    options.scrollbackLines = limit;
    f.window->setOptions(options);
    QByteArray chunk;
    for (int n = 0; n < lines; ++n) {
        chunk += "line " + QByteArray::number(n) + "\r\n";
        if (chunk.size() > 60000 || n + 1 == lines) {
            f.window->receive(chunk);
            chunk.clear();
        }
    }
    const term::ScreenModel &screen = f.screen();
    QVERIFY(screen.scrollbackCount() + screen.rows() <= qMax(limit, screen.rows()));
    QCOMPARE(screen.row(screen.rows() - 2).text(), QStringLiteral("line %1").arg(lines - 1));
    QCOMPARE(screen.droppedLines() + screen.scrollbackCount(), lines - screen.rows() + 1);
    if (screen.scrollbackCount() > 0) {
        QCOMPARE(screen.scrollbackLine(0).text(),
                 QStringLiteral("line %1").arg(screen.droppedLines()));
    }
}

void TestTerminalWindow::badInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("gbk");
    // What must not show: the parts of a sequence that were dropped.
    QTest::addColumn<QString>("absent");
    QByteArray separators;
    for (int i = 0; i < 5120; ++i)
        separators += "1;";
    QTest::newRow("10 KB of CSI parameters") << "\x1b[" + separators + "m" << false << "1;1";
    QTest::newRow("CSI after intermediates, 19 separators")
        << QByteArray("\x1b((([;;;;;;;;;;;;;;;;;;;`") << false << ";;";
    QTest::newRow("repeat before any text") << QByteArray("\x1b[4b") << false << "";
    QTest::newRow("repeat after a combining mark") << QByteArray("\xcc\x81\x1b[4b") << false << "";
    QTest::newRow("repeat after a combining mark on its own")
        << QByteArray("x\r\n\xcc\x81\x1b[4b") << false << "";
    QTest::newRow("repeat after a C1 control") << QByteArray("a\xc2\x85\x1b[3b") << false << "";
    QTest::newRow("C1 controls in UTF-8, then a tab stop and an erase")
        << QByteArray("ab\xc2\x85\xc2\x85\xc2\x85\x1bH\x1b[K") << false << "";
    QTest::newRow("repeat a wide character past the line's end")
        << QByteArray("A\xef\xbd\x80\x1b[200b") << false << "";
    QTest::newRow("10 KB OSC") << "\x1b]0;" + QByteArray(10240, 'A') + "\x07" << false << "AAA";
    QTest::newRow("10 KB DCS") << "\x1bP" + QByteArray(10240, 'q') + "\x1b\\" << false << "qqq";
    QTest::newRow("unterminated OSC")
        << QByteArray("\x1b]0;a title that never ends") << false << "title";
    QTest::newRow("unterminated DCS") << QByteArray("\x1bPq#0;2;0;0;0") << false << "#0";
    QTest::newRow("NUL") << QByteArray("ab\0\0cd\0", 7) << false << "";
    QTest::newRow("invalid UTF-8")
        << QByteArray("\xff\xfe\xc3\x28\xe2\x82\xed\xa0\x80\xc0\x80\xf0\x9f\x98") << false << "";
    QTest::newRow("10 KB of ESC") << QByteArray(10240, '\x1b') << false << "";
    QTest::newRow("huge numbers") << QByteArray("\x1b[99999999999999999999;99999999999H"
                                                "\x1b[99999999999999999999@\x1b[9999999L")
                                  << false << "";
    QTest::newRow("invalid GBK") << QByteArray("\x81\x30\xff\xfe\x80\x81") << true << "";
    QTest::newRow("random bytes") << pseudoRandomBytes(4096) << false << "";
    QTest::newRow("random bytes as GBK") << pseudoRandomBytes(4096, 7) << true << "";
}

// Whole, and again one byte at a time: no crash, no hang, and text after it shows.
void TestTerminalWindow::badInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, gbk);
    QFETCH(QString, absent);
    const QByteArray after("\r\nlater text\r\n");
    for (const bool bytewise : {false, true}) {
        TerminalFixture f;
        if (gbk)
            f.window->setEncoding(term::Encoding::Gb18030);
        if (bytewise) {
            for (const char c : bytes + after)
                f.window->receive(QByteArrayView(&c, 1));
        } else {
            f.window->receive(bytes);
            f.window->receive(after);
        }
        QVERIFY2(f.shows(QStringLiteral("later text")), qPrintable(f.screenText()));
        if (!absent.isEmpty())
            QVERIFY2(!f.shows(absent), qPrintable(f.screenText()));
        QVERIFY(f.view()->grab().width() > 0);
    }
}

void TestTerminalWindow::repeatAndC1Controls_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("gbk");
    QTest::newRow("repeat") << QByteArray("ab\x1b[3bc") << QStringList{"abbbbc"} << false;
    QTest::newRow("repeat on the next line")
        << QByteArray("ab\r\n\x1b[2b") << QStringList{"ab", "bb"} << false;
    QTest::newRow("repeat up to the end of the line")
        << QByteArray("\x1b[1;5Hx\x1b[999b") << QStringList{"    " + QString(996, u'x')} << false;
    QTest::newRow("C1 control shown as a replacement") << QByteArray("a\xc2\x85"
                                                                     "b\xc2\xb0\xc2")
                                                       << QStringList{"a\ufffdb\u00b0"} << false;
    // GB18030 reaches every code point, U+0080 among them.
    QTest::newRow("C1 control in GB18030") << QByteArray("a\x81\x30\x81\x30"
                                                         "b")
                                           << QStringList{"a\ufffdb"} << true;
}

// Whole, and again one byte at a time: the screen's first rows.
void TestTerminalWindow::repeatAndC1Controls()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, rows);
    QFETCH(bool, gbk);
    for (const bool bytewise : {false, true}) {
        TerminalFixture f;
        if (gbk)
            f.window->setEncoding(term::Encoding::Gb18030);
        if (bytewise) {
            for (const char c : bytes)
                f.window->receive(QByteArrayView(&c, 1));
        } else {
            f.window->receive(bytes);
        }
        QStringList expected = rows;
        for (QString &row : expected)
            row.truncate(f.screen().columns());
        QCOMPARE(f.screen().screenText().mid(0, rows.size()), expected);
    }
}

void TestTerminalWindow::shrinkingTheWindow_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QString>("shown");
    QTest::newRow("text below the cursor")
        << QByteArray("\x1b[30;1Hbottom line\x1b[H") << 20 << QByteArray("after") << "after";
    QTest::newRow("saved cursor outside") << QByteArray("\x1b[30;70H\x1b"
                                                        "7\x1b[H")
                                          << 20
                                          << QByteArray("\x1b"
                                                        "8after")
                                          << "after";
    QTest::newRow("alternate screen")
        << QByteArray("\x1b[?1049h\x1b[30;70Hx\x1b[H") << 20 << QByteArray("after") << "after";
    QTest::newRow("scroll region below the new bottom")
        << QByteArray("\x1b[?6h\x1b[30r") << 20 << QByteArray(300, 'x') + "\r\n\r\nafter"
        << "after";
    QTest::newRow("wide characters in one column")
        << QByteArray("\xe4\xb8\xad") << 1
        << QByteArray("\xe4\xb8\xad\xf0\x9f\x98\x80\r\n\x1b#6\xe6\x96\x87\r\nx") << "x";
}

// A full-screen program drew near the bottom and the user makes the window smaller: what the
// board prints next shows, inside the screen.
void TestTerminalWindow::shrinkingTheWindow()
{
    QFETCH(QByteArray, before);
    QFETCH(int, columns);
    QFETCH(QByteArray, after);
    QFETCH(QString, shown);
    TerminalFixture f;
    if (columns == 1) {
        // A window is never narrower than its scroll bar and frame: one column takes a big font.
        QFont big = f.view()->look().font();
        big.setPixelSize(80);
        f.window->setTerminalFont(big);
    }
    const term::RowLook &look = f.view()->look();
    f.window->resize(100 * look.cellWidth, 40 * look.cellHeight);
    QTRY_VERIFY(f.screen().rows() >= 30);
    f.window->receive(before);
    f.window->resize(columns * look.cellWidth, 8 * look.cellHeight);
    QTRY_VERIFY(f.screen().rows() < 8 && f.screen().columns() <= columns);
    f.window->receive(after);
    QVERIFY2(f.shows(shown), qPrintable(f.screenText()));
    QVERIFY(f.screen().cursor().row < f.screen().rows());
    QVERIFY(f.takeSent().isEmpty());
}
