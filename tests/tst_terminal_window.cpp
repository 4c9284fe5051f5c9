// The terminal window: every key against xterm's terminfo entry in both cursor-key modes, the C0
// bytes of Ctrl from real key events, the Backspace and Enter options, keys that a window would
// take for itself, and GBK both ways through an input method's commit.
#include "tst_terminal_window.h"

#include "app/window_font.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QProcess>

namespace {

using term::Session;

// xterm's key capabilities, decoded, from `infocmp -1 xterm`.
QHash<QString, QByteArray> terminfo;

QByteArray decodeTerminfo(const QByteArray &value)
{
    QByteArray out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '^' && i + 1 < value.size()) {
            const char next = value[++i];
            out += next == '?' ? char(0x7f) : char(next & 0x1f);
        } else if (c == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            switch (next) {
            case 'E':
            case 'e':
                out += '\x1b';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 's':
                out += ' ';
                break;
            default:
                out += next; // \\ \, \: \^
            }
        } else {
            out += c;
        }
    }
    return out;
}

struct TerminfoKey
{
    QString cap;
    int key;
    Qt::KeyboardModifiers modifiers;
};

// The keys of a PC keyboard that xterm's entry describes: the cursor and editing keys, alone and
// with Shift; F1 to F12 alone, with Shift, Ctrl, Ctrl+Shift and Alt (kf13 onwards, twelve at a
// time); Backspace, Shift+Tab and the keypad's Enter.
QList<TerminfoKey> terminfoKeys()
{
    QList<TerminfoKey> keys{
        {"kcuu1", Qt::Key_Up, {}},
        {"kcud1", Qt::Key_Down, {}},
        {"kcub1", Qt::Key_Left, {}},
        {"kcuf1", Qt::Key_Right, {}},
        {"khome", Qt::Key_Home, {}},
        {"kend", Qt::Key_End, {}},
        {"kich1", Qt::Key_Insert, {}},
        {"kdch1", Qt::Key_Delete, {}},
        {"kpp", Qt::Key_PageUp, {}},
        {"knp", Qt::Key_PageDown, {}},
        {"kbs", Qt::Key_Backspace, {}},
        {"kcbt", Qt::Key_Backtab, Qt::ShiftModifier},
        {"kent", Qt::Key_Enter, Qt::KeypadModifier},
        {"kri", Qt::Key_Up, Qt::ShiftModifier},
        {"kind", Qt::Key_Down, Qt::ShiftModifier},
        {"kLFT", Qt::Key_Left, Qt::ShiftModifier},
        {"kRIT", Qt::Key_Right, Qt::ShiftModifier},
        {"kHOM", Qt::Key_Home, Qt::ShiftModifier},
        {"kEND", Qt::Key_End, Qt::ShiftModifier},
        {"kIC", Qt::Key_Insert, Qt::ShiftModifier},
        {"kDC", Qt::Key_Delete, Qt::ShiftModifier},
        {"kPRV", Qt::Key_PageUp, Qt::ShiftModifier},
        {"kNXT", Qt::Key_PageDown, Qt::ShiftModifier},
    };
    const Qt::KeyboardModifiers sets[] = {{},
                                          Qt::ShiftModifier,
                                          Qt::ControlModifier,
                                          Qt::ControlModifier | Qt::ShiftModifier,
                                          Qt::AltModifier,
                                          Qt::AltModifier | Qt::ShiftModifier};
    for (int n = 1; n <= 63; ++n) {
        const int f = (n - 1) % 12;
        keys.append({QStringLiteral("kf%1").arg(n), Qt::Key_F1 + f, sets[(n - 1) / 12]});
    }
    return keys;
}

// Capabilities of the entry that are not keys of a PC keyboard here: the meta flag, mouse
// reports, and the keypad's corners and centre (with NumLock on they type digits, as in xterm).
const QStringList notKeys{"km", "kmous", "ka1", "ka3", "kb2", "kc1", "kc3", "kbeg"};

// In normal cursor-key mode the cursor keys, Home and End send CSI where application mode has
// SS3, and the keypad's Enter is Enter (CR by default).
QByteArray normalModeForm(const QString &cap, const QByteArray &application)
{
    static const QStringList ss3InApplication{"kcuu1", "kcud1", "kcub1", "kcuf1", "khome", "kend"};
    if (cap == QLatin1String("kent"))
        return "\r";
    QByteArray out = application;
    if (ss3InApplication.contains(cap) && out.startsWith("\x1bO"))
        out[1] = '[';
    return out;
}

} // namespace

TerminalFixture::TerminalFixture() : window(std::make_unique<TerminalWindow>())
{
    window->setTerminalFont(windowFont(QApplication::font()));
    window->setPortName(QStringLiteral("COM5"));
    window->setPortOpen(true);
    QObject::connect(window.get(), &TerminalWindow::sendRequested, window.get(),
                     [this](const QByteArray &bytes) {
                         sent += bytes;
                         ++sends;
                     });
    window->show();
    // Without a window manager (Xvfb) activation can take a while on a loaded machine: asked
    // again until it happens.
    for (int attempt = 0; attempt < 10 && !window->isActiveWindow(); ++attempt) {
        window->activateWindow();
        (void)QTest::qWaitForWindowActive(window.get(), 2000);
    }
    if (!window->isActiveWindow())
        qWarning("the terminal window did not become active");
}

QString TerminalFixture::screenText() const
{
    return screen().screenText().join(QLatin1Char('\n'));
}

void TestTerminalWindow::initTestCase()
{
    QProcess infocmp;
    infocmp.start(QStringLiteral("infocmp"), {QStringLiteral("-1"), QStringLiteral("xterm")});
    QVERIFY2(infocmp.waitForFinished(30000), "infocmp (ncurses-bin) is needed");
    for (const QByteArray &line : infocmp.readAllStandardOutput().split('\n')) {
        const QByteArray entry = line.trimmed();
        if (!entry.endsWith(','))
            continue;
        const qsizetype eq = entry.indexOf('=');
        const QByteArray name = eq < 0 ? entry.chopped(1) : entry.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : entry.mid(eq + 1).chopped(1);
        terminfo.insert(QString::fromLatin1(name), decodeTerminfo(value));
    }
    QVERIFY(terminfo.contains(QStringLiteral("smkx")));
}

void TestTerminalWindow::keysAgainstTerminfo_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QByteArray>("expected");
    for (const TerminfoKey &k : terminfoKeys()) {
        const QByteArray application = terminfo.value(k.cap);
        QTest::addRow("%s application", qPrintable(k.cap))
            << terminfo.value(QStringLiteral("smkx")) << k.key << k.modifiers << application;
        QTest::addRow("%s normal", qPrintable(k.cap))
            << terminfo.value(QStringLiteral("rmkx")) << k.key << k.modifiers
            << normalModeForm(k.cap, application);
    }
}

// The board sets the mode with the entry's own keypad-transmit strings.
void TestTerminalWindow::keysAgainstTerminfo()
{
    QFETCH(QByteArray, mode);
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QByteArray, expected);
    QVERIFY(!expected.isEmpty());
    Session session;
    QByteArray sent;
    connect(&session, &Session::send, this, [&](const QByteArray &bytes) { sent += bytes; });
    session.receive(mode);
    QVERIFY(sent.isEmpty());
    QVERIFY(session.pressKey(key, modifiers, QString()));
    QCOMPARE(sent, expected);
}

void TestTerminalWindow::controlsStaySevenBit_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("S8C1T") << QByteArray("\x1b G");
    QTest::newRow("S8C1T with controls inside") << QByteArray("x\x1b\0 \0\0G", 7);
    QTest::newRow("S8C1T after a sequence") << QByteArray("\x1b[1m\x1b G\x1b[0m");
    QTest::newRow("S8C1T after an escape begun again") << QByteArray("\x1b(\x1b G");
    QTest::newRow("S7C1T") << QByteArray("\x1b F");
    QTest::newRow("two intermediates") << QByteArray("\x1b  G");
}

// Whatever a board sends, keys and the terminal's answers go out with 7-bit controls (ESC [),
// never 0x9B, which no board on a UTF-8 line reads. Whole, and one byte at a time.
void TestTerminalWindow::controlsStaySevenBit()
{
    QFETCH(QByteArray, bytes);
    for (const bool bytewise : {false, true}) {
        Session session;
        QByteArray sent;
        connect(&session, &Session::send, this, [&](const QByteArray &out) { sent += out; });
        if (bytewise) {
            for (const char c : bytes)
                session.receive(QByteArrayView(&c, 1));
        } else {
            session.receive(bytes);
        }
        QVERIFY(session.pressKey(Qt::Key_Up, {}, QString()));
        QCOMPARE(sent, QByteArray("\x1b[A"));
        sent.clear();
        session.receive("\x1b[6n");
        QVERIFY2(sent.startsWith("\x1b[") && sent.endsWith('R'), sent.toHex(' ').constData());
    }
}

void TestTerminalWindow::everyTerminfoKeyIsCovered()
{
    QStringList covered = notKeys;
    for (const TerminfoKey &k : terminfoKeys())
        covered.append(k.cap);
    for (auto it = terminfo.cbegin(); it != terminfo.cend(); ++it) {
        if (it.key().startsWith(QLatin1Char('k')))
            QVERIFY2(covered.contains(it.key()), qPrintable(it.key()));
    }
}

void TestTerminalWindow::controlBytes_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QByteArray>("expected");
    const auto ctrl = Qt::ControlModifier;
    const auto shift = Qt::ShiftModifier;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const QByteArray c0(1, char(letter & 0x1f));
        QTest::addRow("Ctrl+%c", letter) << int(letter) << Qt::KeyboardModifiers(ctrl) << c0;
        // Ctrl+Shift+C and V copy and paste.
        if (letter != 'C' && letter != 'V')
            QTest::addRow("Ctrl+Shift+%c", letter) << int(letter) << (ctrl | shift) << c0;
    }
    QTest::newRow("Ctrl+@") << int(Qt::Key_At) << (ctrl | shift) << QByteArray(1, '\0');
    QTest::newRow("Ctrl+Space") << int(Qt::Key_Space) << Qt::KeyboardModifiers(ctrl)
                                << QByteArray(1, '\0');
    QTest::newRow("Ctrl+[") << int(Qt::Key_BracketLeft) << Qt::KeyboardModifiers(ctrl)
                            << QByteArray("\x1b");
    QTest::newRow("Ctrl+\\") << int(Qt::Key_Backslash) << Qt::KeyboardModifiers(ctrl)
                             << QByteArray("\x1c");
    QTest::newRow("Ctrl+]") << int(Qt::Key_BracketRight) << Qt::KeyboardModifiers(ctrl)
                            << QByteArray("\x1d");
    QTest::newRow("Ctrl+^") << int(Qt::Key_AsciiCircum) << (ctrl | shift) << QByteArray("\x1e");
    QTest::newRow("Ctrl+_") << int(Qt::Key_Underscore) << (ctrl | shift) << QByteArray("\x1f");
    QTest::newRow("Ctrl+?") << int(Qt::Key_Question) << (ctrl | shift) << QByteArray("\x7f");
    QTest::newRow("Ctrl+Alt+C") << int(Qt::Key_C) << (ctrl | Qt::AltModifier)
                                << QByteArray("\x1b\x03");
    QTest::newRow("Alt+x") << int(Qt::Key_X) << Qt::KeyboardModifiers(Qt::AltModifier)
                           << QByteArray("\x1bx");
}

// Each key twice: as X11 reports it (the C0 character as its text) and as QTest makes it (the
// letter as its text); Qt's key is the upper-case letter both times.
void TestTerminalWindow::controlBytes()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QByteArray, expected);
    TerminalFixture f;
    QKeyEvent press(QEvent::KeyPress, key, modifiers, QString::fromLatin1(expected.right(1)));
    QApplication::sendEvent(f.view(), &press);
    QCOMPARE(f.takeSent(), expected);
    QTest::keyClick(f.view(), Qt::Key(key), modifiers);
    QCOMPARE(f.takeSent(), expected);
}

void TestTerminalWindow::backspaceAndEnter_data()
{
    QTest::addColumn<QString>("backspace");
    QTest::addColumn<QString>("enter");
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QByteArray>("expected");
    const int bs = Qt::Key_Backspace;
    const int ret = Qt::Key_Return;
    const Qt::KeyboardModifiers none;
    QTest::newRow("Backspace DEL") << "DEL"
                                   << "CR" << bs << none << QByteArray("\x7f");
    QTest::newRow("Backspace BS") << "BS"
                                  << "CR" << bs << none << QByteArray("\x08");
    QTest::newRow("Backspace unknown") << "7F"
                                       << "CR" << bs << none << QByteArray("\x7f");
    QTest::newRow("Alt+Backspace")
        << "DEL"
        << "CR" << bs << Qt::KeyboardModifiers(Qt::AltModifier) << QByteArray("\x1b\x7f");
    QTest::newRow("Ctrl+Backspace")
        << "BS"
        << "CR" << bs << Qt::KeyboardModifiers(Qt::ControlModifier) << QByteArray("\x08");
    QTest::newRow("Enter CR") << "DEL"
                              << "CR" << ret << none << QByteArray("\r");
    QTest::newRow("Enter LF") << "DEL"
                              << "LF" << ret << none << QByteArray("\n");
    QTest::newRow("Enter CR+LF") << "DEL"
                                 << "CR+LF" << ret << none << QByteArray("\r\n");
    QTest::newRow("Enter empty") << "DEL"
                                 << "" << ret << none << QByteArray("\r");
    QTest::newRow("Shift+Enter") << "DEL"
                                 << "LF" << ret << Qt::KeyboardModifiers(Qt::ShiftModifier)
                                 << QByteArray("\n");
    QTest::newRow("keypad Enter CR+LF")
        << "DEL"
        << "CR+LF" << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier)
        << QByteArray("\r\n");
}

// The options as the settings file spells them, and the keys as a user presses them.
void TestTerminalWindow::backspaceAndEnter()
{
    QFETCH(QString, backspace);
    QFETCH(QString, enter);
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QByteArray, expected);
    TerminalFixture f;
    term::Options options;
    options.backspace = term::backspaceFromSetting(backspace);
    options.enter = term::enterFromSetting(enter);
    f.window->setOptions(options);
    QTest::keyClick(f.view(), Qt::Key(key), modifiers);
    QCOMPARE(f.takeSent(), expected);
}

// A field beside the terminal would take Tab and Shift+Tab for focus changes, and Esc would
// close a dialog: here all three go to the board and nothing moves.
void TestTerminalWindow::tabShiftTabAndEscapeGoToTheBoard()
{
    TerminalFixture f;
    auto *field = new QLineEdit(f.window.get());
    field->show();
    f.view()->setFocus();
    QTRY_VERIFY(f.view()->hasFocus());
    QTest::keyClick(f.view(), Qt::Key_Tab);
    QCOMPARE(f.takeSent(), QByteArray("\t"));
    QTest::keyClick(f.view(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(f.takeSent(), QByteArray("\x1b[Z"));
    QTest::keyClick(f.view(), Qt::Key_Escape);
    QCOMPARE(f.takeSent(), QByteArray("\x1b"));
    QVERIFY(f.view()->hasFocus());
    QVERIFY(f.window->isVisible());
}

// An input method (fcitx, IBus) hands over its committed text, not keys.
void TestTerminalWindow::gbkTypedAndReceived()
{
    TerminalFixture f;
    QInputMethodEvent utf8;
    utf8.setCommitString(QStringLiteral("中文"));
    QApplication::sendEvent(f.view(), &utf8);
    QCOMPARE(f.takeSent(), QByteArray("\xe4\xb8\xad\xe6\x96\x87"));

    f.window->setEncoding(term::Encoding::Gb18030);
    QInputMethodEvent preedit(QStringLiteral("zhong"), {});
    QApplication::sendEvent(f.view(), &preedit);
    QVERIFY(f.takeSent().isEmpty());
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("中文"));
    QApplication::sendEvent(f.view(), &commit);
    QCOMPARE(f.takeSent(), QByteArray("\xd6\xd0\xce\xc4"));
    QTest::keyClicks(f.view(), QStringLiteral("ok"));
    QCOMPARE(f.takeSent(), QByteArray("ok"));

    // Received GBK split inside its characters.
    for (const QByteArray &part : {QByteArray("\xc4"), QByteArray("\xe3\xba"),
                                   QByteArray("\xc3 \xd6\xd0"), QByteArray("\xce\xc4\r\n")})
        f.window->receive(part);
    QCOMPARE(f.screen().row(0).text(), QStringLiteral("你好 中文"));
    QCOMPARE(f.screen().row(0).at(0).width, quint8(2));
    QCOMPARE(f.screen().row(0).at(1).ch, term::Cell::Continuation);
    QCOMPARE(f.screen().row(0).at(5).ch, U'中');
}

QTEST_MAIN(TestTerminalWindow)
