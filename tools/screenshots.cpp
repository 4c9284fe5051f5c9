// Takes the README's pictures of the window, with the simulated board zelqo-board at COM48:
// narrow with the board's echo, widened with the car panel and the car's acknowledgement, and
// the Bluetooth tab with the module's answer; and the plot window, with the board streaming
// plottable lines at COM47; the quick-send window with a few frames sent to the board; a coloured
// ESP-IDF log; and the terminal window on a busybox shell at COM46. Run under a real display
// (xvfb-run) with the output folder as argument.
#include "app/controls.h"
#include "app/form1.h"
#include "app/platform.h"
#include "app/settings_keys.h"
#include "port/port_map.h"
#include "quicksend/checksum.h"
#include "send/quick_send_store.h"
#include "settings/settings_file.h"
#include "terminal/terminal_view.h"
#include "terminal/terminal_window.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

class ScreenshotPlatform : public Platform
{
public:
    explicit ScreenshotPlatform(QString path) : m_path(std::move(path)) {}
    [[nodiscard]] QString settingsPath() const override { return m_path; }

private:
    QString m_path;
};

bool save(Form1 &window, const QString &path)
{
    QTest::qWait(300);
    return window.grab().save(path);
}

// Clicks a button and waits until the board's answer has arrived.
bool clickAndWait(Form1 &window, const char *button, const QString &answer)
{
    auto *received = window.findChild<ReceiveBox *>(QStringLiteral("RevText"));
    window.findChild<QPushButton *>(QString::fromLatin1(button))->click();
    return QTest::qWaitFor([&] { return received->text().endsWith(answer); }, 5000);
}

// Pages as a Modbus user keeps them, and a U-Boot prompt answered.
quicksendstore::Book quickSendBook()
{
    using namespace quicksend;
    const auto entry = [](const QString &name, Format format, const QString &content,
                          Algorithm algorithm, const QString &hotkey, int delayMs, bool ticked) {
        Entry e;
        e.name = name;
        e.format = format;
        e.content = content;
        e.checksum = defaultChecksum(algorithm);
        e.hotkey = hotkey;
        e.delayMs = delayMs;
        e.ticked = ticked;
        return e;
    };
    Entry ascii = entry(QStringLiteral("读寄存器（ASCII）"), Format::Text,
                        QStringLiteral(":0103000A0002"), Algorithm::Lrc, QString(), 0, false);
    ascii.ending = Ending::CrLf;
    ascii.checksum.start = 1;
    ascii.checksum.end = -3;
    ascii.checksum.position = -3;
    ascii.checksum.hexText = true;
    Entry stop = entry(QStringLiteral("停止自动启动"), Format::Text, QStringLiteral(" "),
                       Algorithm::None, QString(), 0, false);
    stop.ending = Ending::None;
    return {{{QStringLiteral("Modbus"),
              {entry(QStringLiteral("读温度"), Format::Hex, QStringLiteral("01 03 00 0A 00 02"),
                     Algorithm::Crc16Modbus, QStringLiteral("F5"), 200, true),
               entry(QStringLiteral("读湿度"), Format::Hex, QStringLiteral("01 03 00 00 00 02"),
                     Algorithm::Crc16Modbus, QStringLiteral("F6"), 200, true),
               entry(QStringLiteral("写继电器"), Format::Hex, QStringLiteral("01 06 00 10 00 01"),
                     Algorithm::Crc16Modbus, QStringLiteral("Ctrl+1"), 500, true),
               ascii}},
             {QStringLiteral("AT"),
              {entry(QStringLiteral("复位"), Format::Text, QStringLiteral("AT+RST"),
                     Algorithm::None, QStringLiteral("F9"), 0, false),
               entry(QStringLiteral("查询版本"), Format::Text, QStringLiteral("AT+GMR"),
                     Algorithm::None, QString(), 0, false)}},
             {QStringLiteral("U-Boot"), {stop}}},
            QString()};
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    QTemporaryDir config;
    const QString ini = config.filePath(QStringLiteral("zelqo柯澜欧.ini"));
    // Only the board is there, whatever ports this machine has.
    const SettingsFile settings(ini);
    // The board takes the last number.
    for (int n = 1; n < portmap::portCount; ++n)
        settingkeys::portMapEntry(n).write(settings, QStringLiteral("/nonexistent"));
    quicksendstore::storeBook(settings, quickSendBook());
    // Colours are rendered; nothing before the coloured log has any.
    settingkeys::controlSequences.write(settings, QStringLiteral("解析"));

    QProcess board;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    board.setProcessEnvironment(env);
    board.start(QStringLiteral(ZELQO_BOARD_PATH), {});
    if (!board.waitForStarted() || !board.waitForReadyRead())
        return 1;

    Form1 window(std::make_unique<ScreenshotPlatform>(ini));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(47);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    bool ok = clickAndWait(window, "ManSend", QStringLiteral("柯澜欧品牌"));
    ok = save(window, out.filePath(QStringLiteral("window-narrow.png"))) && ok;
    emit window.findChild<ClickLabel *>(QStringLiteral("LabelExpand"))->Click();
    ok = clickAndWait(window, "Forward", QStringLiteral("forward\r\n")) && ok;
    ok = save(window, out.filePath(QStringLiteral("window-wide-car.png"))) && ok;
    window.findChild<QTabBar *>(QStringLiteral("TabStrip"))->setCurrentIndex(1);
    ok = clickAndWait(window, "Command11", QStringLiteral("+NAME:HC-05\r\nOK\r\n")) && ok;
    ok = save(window, out.filePath(QStringLiteral("window-bluetooth.png"))) && ok;

    // The quick-send window beside it: the first entry sent with its hotkey, a frame typed.
    window.findChild<QTabBar *>(QStringLiteral("TabStrip"))->setCurrentIndex(0);
    window.activateWindow();
    ok = QTest::qWaitForWindowActive(&window) && ok;
    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    auto *quickSend = window.findChild<QWidget *>(QStringLiteral("QuickSendWindow"));
    ok = quickSend != nullptr && ok;
    if (quickSend) {
        ok = QTest::qWaitForWindowExposed(quickSend) && ok;
        quickSend->findChild<QTableWidget *>(QStringLiteral("EntryTable"))->setCurrentCell(0, 1);
        QTest::keyClick(quickSend, Qt::Key_F5);
        auto *frame = quickSend->findChild<QLineEdit *>(QStringLiteral("FrameLine"));
        QTest::keyClicks(frame, QStringLiteral("01 03 00 00 00 02"));
        auto *checksum = quickSend->findChild<QComboBox *>(QStringLiteral("FrameChecksum"));
        checksum->setCurrentText(QStringLiteral("CRC-16/MODBUS"));
        QTest::qWait(500);
        ok = quickSend->grab().save(out.filePath(QStringLiteral("quick-send.png"))) && ok;
        quickSend->close();
    }
    board.terminate();
    board.waitForFinished();

    QProcess plotBoard;
    plotBoard.setProcessEnvironment(env);
    plotBoard.start(QStringLiteral(ZELQO_BOARD_PATH),
                    {QStringLiteral("--port"), QStringLiteral("47"), QStringLiteral("--stream"),
                     QStringLiteral("plot"), QStringLiteral("--rate"), QStringLiteral("3000")});
    if (!plotBoard.waitForStarted() || !plotBoard.waitForReadyRead())
        return 1;
    window.findChild<QTabBar *>(QStringLiteral("TabStrip"))->setCurrentIndex(0);
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(46);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    auto *received = window.findChild<ReceiveBox *>(QStringLiteral("RevText"));
    window.activateWindow();
    // The plot's key answers only in the active window.
    ok = QTest::qWaitForWindowActive(&window) && ok;
    received->setFocus();
    QTest::keyClick(received, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    auto *plot = window.findChild<QWidget *>(QStringLiteral("PlotWindow"));
    ok = plot != nullptr && ok;
    if (plot) {
        QTest::qWait(8000);
        ok = plot->grab().save(out.filePath(QStringLiteral("plot-window.png"))) && ok;
    }
    plotBoard.terminate();
    plotBoard.waitForFinished();

    // An ESP-IDF log in its colours.
    QProcess idfBoard;
    idfBoard.setProcessEnvironment(env);
    idfBoard.start(QStringLiteral(ZELQO_BOARD_PATH),
                   {QStringLiteral("--port"), QStringLiteral("47"), QStringLiteral("--stream"),
                    QStringLiteral("idf"), QStringLiteral("--rate"), QStringLiteral("400")});
    if (!idfBoard.waitForStarted() || !idfBoard.waitForReadyRead())
        return 1;
    if (plot)
        plot->close();
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    window.findChild<QPushButton *>(QStringLiteral("ClearRevText"))->click();
    ok = QTest::qWaitFor([&] { return received->text().count(QLatin1Char('\n')) >= 14; }, 20000) &&
         ok;
    ok = save(window, out.filePath(QStringLiteral("coloured-log.png"))) && ok;
    idfBoard.terminate();
    idfBoard.waitForFinished();

    // A shell on a pseudo-terminal of its own, as a Linux board's console, bridged to the one the
    // window opens as its port, and typed into in the terminal window.
    int master = -1;
    const pid_t shell = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (shell == 0) {
        ::setenv("PS1", "board:~# ", 1);
        ::setenv("TERM", "xterm", 1);
        ::setenv("LANG", "C.UTF-8", 1);
        ::execlp("busybox", "busybox", "sh", "-i", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int line = -1;
    int lineSlave = -1;
    char slave[128] = {};
    if (shell < 0 || ::openpty(&line, &lineSlave, slave, nullptr, nullptr) != 0)
        return 1;
    termios raw{};
    ::tcgetattr(lineSlave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(lineSlave, TCSANOW, &raw);
    const auto relay = [](int from, int to) {
        char buffer[4096];
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n > 0)
            (void)!::write(to, buffer, size_t(n));
    };
    QSocketNotifier fromShell(master, QSocketNotifier::Read);
    QSocketNotifier fromWindow(line, QSocketNotifier::Read);
    QObject::connect(&fromShell, &QSocketNotifier::activated, &fromShell,
                     [&] { relay(master, line); });
    QObject::connect(&fromWindow, &QSocketNotifier::activated, &fromWindow,
                     [&] { relay(line, master); });
    settingkeys::portMapEntry(46).write(settings, QString::fromLocal8Bit(slave));
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(45);
    window.findChild<QPushButton *>(QStringLiteral("OpenCom"))->click();
    window.activateWindow();
    ok = QTest::qWaitForWindowActive(&window) && ok;
    QTest::keyClick(&window, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    auto *terminal = window.findChild<TerminalWindow *>();
    ok = terminal != nullptr && ok;
    if (terminal) {
        ok = QTest::qWaitForWindowExposed(terminal) && ok;
        for (const char *command :
             {"uname -sm", "ls /sys/class/tty | head -4",
              "printf '\\344\\275\\240\\345\\245\\275\\n'", "seq 3 | tr '\\n' ' '"}) {
            QTest::keyClicks(terminal->view(), QString::fromUtf8(command));
            QTest::keyClick(terminal->view(), Qt::Key_Return);
            QTest::qWait(300);
        }
        QTest::qWait(500);
        ok = terminal->grab().save(out.filePath(QStringLiteral("terminal-window.png"))) && ok;
        terminal->close();
    }
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    ::close(master);
    ::close(lineSlave);
    ::close(line);
    return ok ? 0 : 1;
}
