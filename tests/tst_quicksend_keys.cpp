// Quick-send hotkeys pressed on a real X server (Xvfb): the key events come from xdotool through
// XTEST, so focus, the active window and Qt's shortcut map decide as they do for a user.
#include "quicksend/entry_editor.h"
#include "support/quick_send_fixture.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>

using namespace quicksend;
using namespace quicksendfixture;

namespace {

// Presses keys as xdotool names them ("F5", "ctrl+3") in the focused window.
bool press(const QString &keys)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), keys});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

bool typeText(const QString &text)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("type"), text});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

} // namespace

class TestQuickSendKeys : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void hotkeysInBothWindows();
    void takenKeyRefused();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestQuickSendKeys::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb");
    QVERIFY2(press(QStringLiteral("shift")), "xdotool is missing: tools/deps.sh installs it");
}

void TestQuickSendKeys::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
    Entry modbus = entry("读", Format::Hex, "01 03 00 0A 00 02", Algorithm::Crc16Modbus);
    modbus.hotkey = QStringLiteral("F5");
    Entry at = entry("AT", Format::Text, "AT");
    at.ending = Ending::CrLf;
    at.hotkey = QStringLiteral("Ctrl+3");
    restartWith(*f, {{QStringLiteral("P"), {modbus, at}}});
    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
}

void TestQuickSendKeys::cleanup()
{
    f.reset();
}

// The hotkeys answer in the main window, whatever has the focus there, and in the quick-send
// window; they type nothing into the box that has the focus.
void TestQuickSendKeys::hotkeysInBothWindows()
{
    const QByteArray modbus = QByteArray::fromHex("0103000A0002E409");
    auto *sendBox = f->control<MemoBox>("SendText");
    sendBox->setFocus();
    sendBox->setText(QStringLiteral("typed"));
    QTRY_COMPARE(QApplication::focusWidget(), sendBox);
    QVERIFY(press(QStringLiteral("F5")));
    QCOMPARE(f->board.readExactly(modbus.size(), 5000), modbus);
    QVERIFY(press(QStringLiteral("ctrl+3")));
    QCOMPARE(f->board.readExactly(4, 5000), QByteArray("AT\r\n"));
    QCOMPARE(sendBox->text(), QStringLiteral("typed"));
    QCOMPARE(f->counter("SendNum"), QStringLiteral("12"));

    f->control("RevText")->setFocus();
    QVERIFY(press(QStringLiteral("ctrl+shift+m")));
    QuickSendWindow *window = nullptr;
    QTRY_VERIFY(
        (window = f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow"))));
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTRY_COMPARE(QApplication::focusWidget(), part(window, "FrameLine"));
    QVERIFY(press(QStringLiteral("F5")));
    QCOMPARE(f->board.readExactly(modbus.size(), 5000), modbus);
    // The frame line takes text, and Return sends it.
    QVERIFY(typeText(QStringLiteral("AA 55")));
    QTRY_COMPARE(part<QLineEdit>(window, "FrameLine")->text(), QStringLiteral("AA 55"));
    QVERIFY(press(QStringLiteral("Return")));
    QCOMPARE(f->board.readExactly(2, 5000), QByteArray::fromHex("AA55"));

    window->close();
    f->window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f->window.get()));
    QVERIFY(press(QStringLiteral("ctrl+3")));
    QCOMPARE(f->board.readExactly(4, 5000), QByteArray("AT\r\n"));
}

// A key the program already takes is refused by name, and the entry keeps what it had.
void TestQuickSendKeys::takenKeyRefused()
{
    f->control("RevText")->setFocus();
    QVERIFY(press(QStringLiteral("ctrl+shift+m")));
    QuickSendWindow *window = nullptr;
    QTRY_VERIFY(
        (window = f->window->findChild<QuickSendWindow *>(QStringLiteral("QuickSendWindow"))));
    QVERIFY(QTest::qWaitForWindowActive(window));
    window->entryTable()->setCurrentCell(1, QuickSendWindow::Name);
    auto *hotkey = part<QComboBox>(window, "EntryHotkey");
    QCOMPARE(hotkey->currentText(), QStringLiteral("Ctrl+3"));
    hotkey->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), hotkey);
    // The list opened from the keyboard, the key's name typed, Return.
    const auto pick = [hotkey](const QString &key) {
        return press(QStringLiteral("alt+Down")) &&
               QTest::qWaitFor([hotkey] { return hotkey->view()->isVisible(); }, 5000) &&
               typeText(key) && press(QStringLiteral("Return")) &&
               QTest::qWaitFor([hotkey] { return !hotkey->view()->isVisible(); }, 5000);
    };
    QVERIFY(pick(QStringLiteral("F2")));
    QTRY_COMPARE(f->platform->messages.size(), 1);
    QCOMPARE(f->platform->messages[0].text, QStringLiteral("热键 F2 已用于书签的“下一个书签”"));
    QCOMPARE(f->platform->messages[0].title, QStringLiteral("快捷发送"));
    QCOMPARE(hotkey->currentText(), QStringLiteral("Ctrl+3"));
    QCOMPARE(window->pages()[0].entries[1].hotkey, QStringLiteral("Ctrl+3"));

    // Another entry's key is refused with that entry's name; a free one is taken.
    // The list's keyboard search starts afresh after this pause.
    QTest::qWait(QApplication::keyboardInputInterval() + 100);
    QVERIFY(pick(QStringLiteral("F5")));
    QTRY_COMPARE(f->platform->messages.size(), 2);
    QCOMPARE(f->platform->messages[1].text, QStringLiteral("热键 F5 已用于条目“读”（页“P”）"));
    QTest::qWait(QApplication::keyboardInputInterval() + 100);
    QVERIFY(pick(QStringLiteral("F8")));
    QTRY_COMPARE(window->pages()[0].entries[1].hotkey, QStringLiteral("F8"));
    QVERIFY(press(QStringLiteral("F8")));
    QCOMPARE(f->board.readExactly(4, 5000), QByteArray("AT\r\n"));
}

QTEST_MAIN(TestQuickSendKeys)
#include "tst_quicksend_keys.moc"
