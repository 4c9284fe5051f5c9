// Reading a busy log through the window: "控制序列" from the receive box's menu and what the
// other readers of received text get, a highlight rule from a preset coloured on screen, and the
// filter window opened from the keyboard.
#include "filter/filter_window.h"
#include "plot/plot_view.h"
#include "plot/plot_window.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/window_fixture.h"
#include "textview/highlight_editor.h"

#include <QLineEdit>
#include <QTreeView>

class TestLogView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sequencesMenu_data();
    void sequencesMenu();
    void presetColoursALine();
    void filterFromTheKeyboard();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestLogView::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
}

void TestLogView::cleanup()
{
    f.reset();
}

void TestLogView::sequencesMenu_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("plotted");
    const QString raw = QStringLiteral("\x1b[31mv:1\x1b[0m\r\n");
    QTest::newRow("as they came, the default") << QString() << raw << 0;
    QTest::newRow("rendered") << QStringLiteral("解析") << QStringLiteral("v:1\r\n") << 1;
    QTest::newRow("stripped") << QStringLiteral("去除") << QStringLiteral("v:1\r\n") << 1;
}

// The choice shows in the box and reaches the plot, is stored, and the next window starts with
// it; the capture of the box keeps the bytes as they came.
void TestLogView::sequencesMenu()
{
    QFETCH(QString, choice);
    QFETCH(QString, shown);
    QFETCH(int, plotted);
    QVERIFY(f->openBoard());
    if (!choice.isEmpty())
        QVERIFY(!f->useMenu("RevText", {QStringLiteral("控制序列"), choice}).isEmpty());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("波形图…")}).isEmpty());
    auto *plot = f->window->findChild<PlotWindow *>(QStringLiteral("PlotWindow"));
    f->click("ClearRevText");
    const QString log = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {log};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());
    QVERIFY(f->board.write("\r\n\x1b[31mv:1\x1b[0m\r\n"));
    QTRY_VERIFY(f->revText().endsWith(shown));
    QCOMPARE(plot->view()->recorder().rows(), qint64(plotted));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), QByteArray("\r\n\x1b[31mv:1\x1b[0m\r\n"));

    const QString stored = SettingsFile(f->iniPath()).read("接收区", "控制序列", "?");
    QCOMPARE(stored, choice.isEmpty() ? QStringLiteral("?") : choice);
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QVERIFY(f->board.write("\x1b[31mv:1\x1b[0m\r\n"));
    QTRY_COMPARE(f->revText(), shown);
}

// "高亮规则…", the ESP-IDF preset: an error line is drawn in red, and the rules are kept.
void TestLogView::presetColoursALine()
{
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    auto *box = f->control<ReceiveBox>("RevText");
    const auto reddish = [box] {
        const QImage shot = box->grab().toImage();
        int count = 0;
        for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                count += c.red() > 150 && c.green() < 110 && c.blue() < 110 ? 1 : 0;
            }
        }
        return count;
    };
    QVERIFY(f->board.write("E (1234) wifi: connect failed\r\n"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("failed\r\n")));
    QCOMPARE(reddish(), 0);

    QVERIFY(!f->useMenu("RevText", {QStringLiteral("高亮规则…")}).isEmpty());
    auto *editor = f->window->findChild<HighlightEditor *>();
    QVERIFY(editor);
    QVERIFY(QTest::qWaitForWindowExposed(editor));
    editor->addPreset(0);
    QTRY_VERIFY(reddish() > 20);
    QVERIFY(!SettingsFile(f->iniPath()).readSection(QStringLiteral("高亮规则")).isEmpty());
    const HighlightRules chosen = editor->rules();
    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QCOMPARE(f->control<ReceiveBox>("RevText")->highlightRules(), chosen);
}

// Ctrl+Shift+L anywhere in the window opens the filter; a double click shows the line.
void TestLogView::filterFromTheKeyboard()
{
    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    QByteArray lines;
    for (int i = 0; i < 60; ++i)
        lines += (i % 20 == 3 ? "ERROR " : "info ") + QByteArray::number(i) + "\r\n";
    QVERIFY(f->board.write(lines));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("info 59\r\n")));
    f->control<QWidget>("SendText")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_L,
                    Qt::ControlModifier | Qt::ShiftModifier);
    auto *filter = f->window->findChild<FilterWindow *>();
    QVERIFY(filter);
    QVERIFY(QTest::qWaitForWindowExposed(filter));
    auto *pattern = filter->findChild<QLineEdit *>();
    QTest::keyClicks(pattern, QStringLiteral("ERROR"));
    QTRY_COMPARE(filter->rows().size(), 3);
    auto *list = filter->findChild<QTreeView *>();
    const QModelIndex second = list->model()->index(1, 1);
    const QPoint at = list->visualRect(second).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(f->control<ReceiveBox>("RevText")->selectedText(), QStringLiteral("ERROR 23"));
}

QTEST_MAIN(TestLogView)
#include "tst_log_view.moc"
