// When received text arrived: the time of each line (its first byte) and of each hex burst, kept
// beside the text, shown in the gutter, copied and saved with the text, while the text, the
// clipboard's plain copy and the capture log stay byte-exact.
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/window_fixture.h"
#include "textview/receive_box.h"

#include <QAccessible>
#include <QClipboard>
#include <QRadioButton>

namespace {

const QDate day(2026, 12, 8);

QDateTime at(int h, int m, int s, int ms)
{
    return QDateTime(day, QTime(h, m, s, ms));
}

} // namespace

class TestTimestamps : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lineTimeIsItsFirstByte();
    void hexBursts();
    void editingKeepsTimesWithTheirLines();
    void gutterShownStoredAndFollowing();
    void encodingMenuIsEachMenusOwn();

private:
    // The board writes bytes at the given moment; the window has taken them when this returns.
    bool boardWrites(const QDateTime &when, const QByteArray &bytes);
    [[nodiscard]] ReceiveBox &box() const { return *f->control<ReceiveBox>("RevText"); }

    std::unique_ptr<WindowFixture> f;
    qint64 m_received = 0;
};

void TestTimestamps::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
    QVERIFY(f->showWindow());
    QVERIFY(f->openBoard());
    f->click("ClearRevText");
    m_received = 0;
}

void TestTimestamps::cleanup()
{
    f.reset();
}

bool TestTimestamps::boardWrites(const QDateTime &when, const QByteArray &bytes)
{
    f->platform->moment = when;
    if (!f->board.write(bytes))
        return false;
    // ASCII and hex alike count a byte as one.
    m_received += bytes.size();
    const QString expected = QString::number(m_received);
    return QTest::qWaitFor([&] { return f->counter("RevNum") == expected; }, 5000);
}

// A line is stamped with its first byte's time, even when its line break comes a second later
// or the byte arrives in the same block as the break before it.
void TestTimestamps::lineTimeIsItsFirstByte()
{
    const QString log = f->dir.filePath(QStringLiteral("board.log"));
    f->platform->saveAnswers = {log};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("记录到文件…")}).isEmpty());

    QVERIFY(boardWrites(at(12, 0, 0, 250), "tem"));
    QVERIFY(boardWrites(at(12, 0, 1, 500), "p=21\r\nhu"));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("显示时间戳")}).isEmpty());
    // The line still waiting for its break is drawn dimmer.
    QCOMPARE(box().gutterLabels().size(), 2);
    QCOMPARE(box().gutterLabels().at(1).text, QStringLiteral("12:00:01.500"));
    QVERIFY(box().gutterLabels().at(1).open);
    QVERIFY(boardWrites(at(12, 0, 2, 0), "m=40\r"));
    QVERIFY(boardWrites(at(12, 0, 3, 7), "\nok\n\n"));

    const QString text = QStringLiteral("temp=21\r\nhum=40\r\nok\n\n");
    QCOMPARE(f->revText(), text);
    const QStringList times = {"12:00:00.250", "12:00:01.500", "12:00:03.007", "12:00:03.007"};
    const QList<ReceiveBox::GutterLabel> labels = box().gutterLabels();
    QCOMPARE(labels.size(), times.size());
    for (int i = 0; i < labels.size(); ++i) {
        QCOMPARE(labels.at(i).row, i);
        QCOMPARE(labels.at(i).text, times.at(i));
        QVERIFY(!labels.at(i).open);
    }

    // Copying with times, from a selection that starts inside the first line.
    box().setSelection(2, text.size() - 2);
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("复制（含时间戳）")}).isEmpty());
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("[12:00:00.250] mp=21\r\n[12:00:01.500] hum=40\r\n"
                            "[12:00:03.007] ok\n[12:00:03.007] \n"));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("复制(&C)")}).isEmpty());
    QCOMPARE(QGuiApplication::clipboard()->text(), text.mid(2));

    const QString saved = f->dir.filePath(QStringLiteral("stamped.txt"));
    f->platform->saveAnswers = {saved};
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("保存接收区（含时间戳）…")}).isEmpty());
    QCOMPARE(readBytes(saved), QStringLiteral("[12:00:00.250] temp=21\r\n[12:00:01.500] hum=40\r\n"
                                              "[12:00:03.007] ok\n[12:00:03.007] \n")
                                   .toUtf8());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), text.toUtf8());
}

// In hex display a block after 100 ms of silence starts a burst, stamped where it begins.
void TestTimestamps::hexBursts()
{
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    QVERIFY(boardWrites(at(9, 30, 0, 0), QByteArray("\x01\x02", 2)));
    QVERIFY(boardWrites(at(9, 30, 0, 99), QByteArray("\x0D", 1)));
    QVERIFY(boardWrites(at(9, 30, 0, 199), QByteArray("\x0A\xFF", 2)));
    QCOMPARE(f->revText(), QStringLiteral("01 02 0D 0A FF "));
    QCOMPARE(box().stampedText(0, box().length()),
             QStringLiteral("[09:30:00.000] 01 02 0D \n[09:30:00.199] 0A FF "));
    box().setTimestampsShown(true);
    // Both bursts begin on the first row, which shows the first.
    QCOMPARE(box().gutterLabels().size(), 1);
    QCOMPARE(box().gutterLabels().at(0).text, QStringLiteral("09:30:00.000"));
    QVERIFY(!box().gutterLabels().at(0).open);
}

// The box is editable: deleting a line takes its time away, a typed line has none.
void TestTimestamps::editingKeepsTimesWithTheirLines()
{
    QVERIFY(boardWrites(at(8, 0, 0, 0), "one\r\n"));
    QVERIFY(boardWrites(at(8, 0, 1, 0), "two\r\n"));
    QVERIFY(boardWrites(at(8, 0, 2, 0), "three\r\n"));
    QVERIFY(f->showWindow(true));
    box().setFocus();
    box().setSelection(0, 5);
    QTest::keyClick(&box(), Qt::Key_Delete);
    QTest::keyClicks(&box(), QStringLiteral("typed"));
    QTest::keyClick(&box(), Qt::Key_Return);
    // The window keeps the caret at the end while the view follows the board.
    QCOMPARE(f->revText(), QStringLiteral("two\r\nthree\r\ntyped\r\n"));
    QVERIFY(boardWrites(at(8, 0, 2, 500), "four\r\n"));
    QCOMPARE(box().stampedText(0, box().length()),
             QStringLiteral("[08:00:01.000] two\r\n[08:00:02.000] three\r\n[--:--:--.---] "
                            "typed\r\n[08:00:02.500] four\r\n"));
    f->click("ClearRevText");
    QCOMPARE(box().arrivalTimes().count(), 0);
    QVERIFY(boardWrites(at(8, 0, 3, 0), "five"));
    QCOMPARE(box().stampedText(0, box().length()), QStringLiteral("[08:00:03.000] five"));
}

// The gutter is switched from the menu, stored, and read back by the next window; switching it
// keeps a view that follows the board at the end.
void TestTimestamps::gutterShownStoredAndFollowing()
{
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "line " + QByteArray::number(i) + " of a board that prints a good deal\r\n";
    QVERIFY(boardWrites(at(10, 0, 0, 0), lines));
    QVERIFY(box().followsEnd());
    const QStringList entries = f->useMenu("RevText", {QStringLiteral("显示时间戳")});
    QVERIFY(entries.contains(QStringLiteral("复制（含时间戳）")));
    QVERIFY(box().timestampsShown());
    QVERIFY(box().followsEnd());
    QCOMPARE(SettingsFile(f->iniPath()).read("接收区", "时间戳", "missing"), QStringLiteral("1"));
    // The last row shows the last line, whose time is in the gutter.
    QVERIFY(!box().gutterLabels().isEmpty());

    f->window = std::make_unique<Form1>(testPlatform(f->platform, f->iniPath()));
    QVERIFY(box().timestampsShown());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("显示时间戳")}).isEmpty());
    QVERIFY(!box().timestampsShown());
    QCOMPARE(SettingsFile(f->iniPath()).read("接收区", "时间戳", "missing"), QStringLiteral("0"));
}

// Each context menu has its own "文字编码" entry, which an accessibility client can reach.
void TestTimestamps::encodingMenuIsEachMenusOwn()
{
    for (const char *name : {"RevText", "SendText", "RevText"}) {
        QWidget *target = f->control<QWidget>(name);
        if (auto *area = qobject_cast<QAbstractScrollArea *>(target))
            target = area->viewport();
        bool reachable = false;
        QTimer::singleShot(0, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(menu);
            for (int i = 0; face && i < face->childCount(); ++i) {
                QAccessibleInterface *child = face->child(i);
                // A screen reader walks up as well as down: the entry's parent is this menu.
                if (child && child->text(QAccessible::Name) == QStringLiteral("文字编码"))
                    reachable = child->parent() && child->parent()->object() == menu &&
                                face->indexOfChild(child) == i;
            }
            menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                target->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(target, &event);
        QVERIFY2(reachable, name);
    }
}

QTEST_MAIN(TestTimestamps)
#include "tst_timestamps.moc"
