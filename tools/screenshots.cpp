// Takes the README's pictures of the window, with the simulated board zelqo-board at COM48:
// narrow with the board's echo, widened with the car panel and the car's acknowledgement, and
// the Bluetooth tab with the module's answer; and the plot window, with the board streaming
// plottable lines at COM47. Run under a real display (xvfb-run) with the output folder as
// argument.
#include "app/controls.h"
#include "app/form1.h"
#include "app/platform.h"
#include "app/settings_keys.h"
#include "serial/port_map.h"
#include "settings/settings_file.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

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
    return ok ? 0 : 1;
}
