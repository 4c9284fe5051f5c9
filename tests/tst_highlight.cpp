// Highlight rules: matching in one pass, the presets on real firmware log lines, rules that do
// not compile, their storage in a settings file, and the editor.
#include "settings/settings_file.h"
#include "textview/highlight_editor.h"
#include "textview/highlight_rules.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

namespace {

HighlightRule rule(const QString &pattern, bool regex = false, bool wholeLine = false,
                   bool matchCase = false)
{
    HighlightRule r;
    r.pattern = pattern;
    r.regex = regex;
    r.wholeLine = wholeLine;
    r.matchCase = matchCase;
    r.colour = 0xC00000;
    return r;
}

using Spans = QList<QList<int>>; // from, to, rule

Spans spansOf(const HighlightMatcher::Result &result)
{
    Spans out;
    for (const HighlightMatcher::Span &s : result.spans)
        out.append({int(s.from), int(s.to), s.rule});
    return out;
}

// Which preset rule (by preset name and place) marks the line, or "".
QString presetFor(const QString &line)
{
    for (const highlightpresets::Preset &preset : highlightpresets::all()) {
        HighlightMatcher matcher;
        matcher.setRules({preset.rules, false});
        const HighlightMatcher::Result result = matcher.match(line);
        if (result.lineRule >= 0)
            return preset.name + QLatin1Char('/') + QString::number(result.lineRule);
        if (!result.spans.isEmpty())
            return preset.name + QLatin1Char('/') + QString::number(result.spans.first().rule);
    }
    return {};
}

} // namespace

class TestHighlight : public QObject
{
    Q_OBJECT

private slots:
    void match_data();
    void match();
    void presets_markFirmwareLines_data();
    void presets_markFirmwareLines();
    void badRules_areMarkedAndSkipped_data();
    void badRules_areMarkedAndSkipped();
    void store_roundTripsThroughASettingsFile();
    void store_skipsWhatItCannotRead();
    void editor_presetsEditsAndOrder();
};

void TestHighlight::match_data()
{
    QTest::addColumn<QList<HighlightRule>>("rules");
    QTest::addColumn<bool>("firstMatchWins");
    QTest::addColumn<QString>("line");
    QTest::addColumn<Spans>("spans");
    QTest::addColumn<int>("lineRule");
    const QList<HighlightRule> words{rule(QStringLiteral("error")), rule(QStringLiteral("warn")),
                                     rule(QStringLiteral("失败"))};
    QTest::newRow("each word, any case")
        << words << false << QStringLiteral("ERROR then Warn then 失败, error")
        << Spans{{0, 5, 0}, {11, 15, 1}, {21, 23, 2}, {25, 30, 0}} << -1;
    QTest::newRow("case matters when asked")
        << QList<HighlightRule>{rule(QStringLiteral("Error"), false, false, true)} << false
        << QStringLiteral("error Error") << Spans{{6, 11, 0}} << -1;
    QTest::newRow("text is not a pattern")
        << QList<HighlightRule>{rule(QStringLiteral("a.c"))} << false << QStringLiteral("abc a.c")
        << Spans{{4, 7, 0}} << -1;
    QTest::newRow("whole line and a word")
        << QList<HighlightRule>{rule(QStringLiteral(R"(^E \(\d+\))"), true, true),
                                rule(QStringLiteral("wifi"))}
        << false << QStringLiteral("E (1234) wifi: not started") << Spans{{9, 13, 1}} << 0;
    QTest::newRow("first match wins: the earliest rule that matches")
        << QList<HighlightRule>{rule(QStringLiteral("timeout")), rule(QStringLiteral("wifi"))}
        << true << QStringLiteral("wifi timeout, wifi") << Spans{{5, 12, 0}} << -1;
    QTest::newRow("first match wins, whole line")
        << QList<HighlightRule>{rule(QStringLiteral("<err>"), false, true),
                                rule(QStringLiteral("sensor"))}
        << true << QStringLiteral("<err> sensor: failed") << Spans{} << 0;
    QTest::newRow("at one place the first rule wins")
        << QList<HighlightRule>{rule(QStringLiteral("ERR")), rule(QStringLiteral("ERROR"))} << false
        << QStringLiteral("ERROR") << Spans{{0, 3, 0}} << -1;
    QTest::newRow("switched off") << QList<HighlightRule>{[] {
        HighlightRule r = rule(QStringLiteral("x"));
        r.enabled = false;
        return r;
    }()} << false << QStringLiteral("x x")
                                  << Spans{} << -1;
    QTest::newRow("groups of one rule do not shift another's")
        << QList<HighlightRule>{rule(QStringLiteral(R"((a)(b))"), true),
                                rule(QStringLiteral(R"((c+))"), true)}
        << false << QStringLiteral("ab cc") << Spans{{0, 2, 0}, {3, 5, 1}} << -1;
    QTest::newRow("back references, each alone")
        << QList<HighlightRule>{rule(QStringLiteral(R"((\d)\1)"), true), rule(QStringLiteral("x"))}
        << false << QStringLiteral("x 12 33 x") << Spans{{0, 1, 1}, {5, 7, 0}, {8, 9, 1}} << -1;
    QTest::newRow("a lookahead marks the whole line")
        << QList<HighlightRule>{rule(QStringLiteral("^(?=.*reboot)"), true, true)} << false
        << QStringLiteral("rst: reboot") << Spans{} << 0;
}

void TestHighlight::match()
{
    QFETCH(QList<HighlightRule>, rules);
    QFETCH(bool, firstMatchWins);
    QFETCH(QString, line);
    QFETCH(Spans, spans);
    QFETCH(int, lineRule);
    HighlightMatcher matcher;
    matcher.setRules({rules, firstMatchWins});
    const HighlightMatcher::Result result = matcher.match(line);
    QCOMPARE(spansOf(result), spans);
    QCOMPARE(result.lineRule, lineRule);
}

void TestHighlight::presets_markFirmwareLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("marked");
    QTest::newRow("ESP-IDF error") << "E (1234) wifi: esp_wifi_connect 1234 wifi not start"
                                   << "ESP-IDF/0";
    QTest::newRow("ESP-IDF warning, clock time")
        << "W (12:01:02.345) spi_flash: Detected size(4096k) larger"
        << "ESP-IDF/1";
    QTest::newRow("ESP-IDF info") << "I (29) boot: ESP-IDF v5.1.2 2nd stage bootloader"
                                  << "ESP-IDF/2";
    QTest::newRow("ESP-IDF debug") << "D (330) intr_alloc: Connected src 46"
                                   << "ESP-IDF/3";
    QTest::newRow("ESP-IDF verbose") << "V (3500) app_main: raw 0x3f"
                                     << "ESP-IDF/3";
    QTest::newRow("ESP ROM, nothing") << "rst:0x1 (POWERON_RESET),boot:0x13"
                                      << "";
    QTest::newRow("Zephyr error") << "[00:00:00.012,345] <err> bme280: failed to read chip id"
                                  << "Zephyr/0";
    QTest::newRow("Zephyr warning") << "[00:00:00.020,000] <wrn> net_if: iface not up"
                                    << "Zephyr/1";
    QTest::newRow("Zephyr info") << "[00:00:00.001,000] <inf> main: started"
                                 << "Zephyr/2";
    QTest::newRow("Zephyr debug") << "[00:00:00.030,000] <dbg> app: loop tick 1"
                                  << "Zephyr/3";
    QTest::newRow("Arduino-ESP32 error")
        << "[  1234][E][WiFiGeneric.cpp:1035] _eventCallback(): Reason: 201"
        << "Arduino-ESP32/0";
    QTest::newRow("Arduino-ESP32 warning, old format")
        << "[W][Wire.cpp:301] beginTransmission(): NULL TX buffer"
        << "Arduino-ESP32/1";
    QTest::newRow("RT-Thread ulog error") << "01-01 00:00:12 E/drv.i2c: i2c bus timeout"
                                          << "RT-Thread ulog/0";
    QTest::newRow("RT-Thread rtdbg warning") << "[W/main] low voltage"
                                             << "RT-Thread ulog/1";
    QTest::newRow("RT-Thread ulog info") << "01-01 00:00:00 I/NO_TAG: RT-Thread started"
                                         << "RT-Thread ulog/2";
    QTest::newRow("a word") << "Sensor init ERROR: no ack"
                            << "ERROR / WARN / 错误 / 失败 / 警告/0";
    QTest::newRow("WARNING holds WARN") << "WARNING: low battery"
                                        << "ERROR / WARN / 错误 / 失败 / 警告/1";
    QTest::newRow("Chinese") << "温度传感器读取失败"
                             << "ERROR / WARN / 错误 / 失败 / 警告/3";
}

void TestHighlight::presets_markFirmwareLines()
{
    QFETCH(QString, line);
    QFETCH(QString, marked);
    QCOMPARE(presetFor(line), marked);
}

void TestHighlight::badRules_areMarkedAndSkipped_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("regex");
    QTest::addColumn<QString>("problemStart");
    QTest::newRow("unclosed group") << "(abc" << true << "正则表达式有误";
    QTest::newRow("bad repeat") << "*x" << true << "正则表达式有误";
    QTest::newRow("empty") << "" << false << "规则为空";
}

void TestHighlight::badRules_areMarkedAndSkipped()
{
    QFETCH(QString, pattern);
    QFETCH(bool, regex);
    QFETCH(QString, problemStart);
    HighlightMatcher matcher;
    matcher.setRules({{rule(pattern, regex), rule(QStringLiteral("ok"))}, false});
    QVERIFY(matcher.problem(0).startsWith(problemStart));
    QVERIFY(matcher.problem(1).isEmpty());
    // The others go on working.
    QCOMPARE(spansOf(matcher.match(u"(abc ok *x")), (Spans{{5, 7, 1}}));
}

// Written to a real settings file and read back, with a pattern that holds commas, quotes, a
// backslash and Chinese, and colours and flags of each kind.
void TestHighlight::store_roundTripsThroughASettingsFile()
{
    HighlightRules rules;
    rules.firstMatchWins = true;
    rules.rules = highlightpresets::all().at(0).rules;
    HighlightRule odd = rule(QStringLiteral(R"(^温度,"\d+",\s*=\\ ok$)"), true, false, true);
    odd.background = 0x00FF10;
    odd.colour.reset();
    odd.bold = true;
    odd.enabled = false;
    rules.rules.append(odd);
    QTemporaryDir dir;
    const SettingsFile file(dir.filePath(QStringLiteral("zelqo.ini")));
    const QString section = QStringLiteral("高亮规则");
    file.writeSection(section, highlightstore::toPairs(rules));
    const HighlightRules back = highlightstore::fromPairs(file.readSection(section));
    QCOMPARE(back.rules.size(), rules.rules.size());
    for (qsizetype i = 0; i < rules.rules.size(); ++i)
        QVERIFY2(back.rules.at(i) == rules.rules.at(i), qPrintable(QString::number(i)));
    QVERIFY(back == rules);
}

void TestHighlight::store_skipsWhatItCannotRead()
{
    const HighlightRules rules = highlightstore::fromPairs({
        {QStringLiteral("2"), QStringLiteral("1,0,0,0,#00FF00,,0,second")},
        {QStringLiteral("1"), QStringLiteral("1,1,1,1,#FF0000,#000000,1,first,with,commas")},
        {QStringLiteral("3"), QStringLiteral("1,0,0")},
        {QStringLiteral("4"), QStringLiteral("x,0,0,0,,,0,bad flag")},
        {QStringLiteral("5"), QStringLiteral("1,0,0,0,red,,0,bad colour")},
        {QStringLiteral("zero"), QStringLiteral("1,0,0,0,,,0,bad key")},
        {highlightstore::firstMatchKey, QStringLiteral("0")},
    });
    QCOMPARE(rules.rules.size(), 2);
    QCOMPARE(rules.rules.at(0).pattern, QStringLiteral("first,with,commas"));
    QCOMPARE(rules.rules.at(0).background, std::optional<quint32>(0));
    QCOMPARE(rules.rules.at(1).pattern, QStringLiteral("second"));
    QCOMPARE(rules.rules.at(1).colour, std::optional<quint32>(0x00FF00));
    QVERIFY(!rules.firstMatchWins);
}

// The editor as a user drives it: a preset from its menu, a rule added and typed in, a bad
// expression marked, rules moved and removed, the switch; each change told with the list.
void TestHighlight::editor_presetsEditsAndOrder()
{
    HighlightEditor editor;
    editor.show();
    editor.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&editor));
    QSignalSpy changes(&editor, &HighlightEditor::rulesChanged);
    auto *table = editor.findChild<QTableWidget *>();
    QVERIFY(table);

    auto *presets = editor.findChild<QToolButton *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(presets && presets->menu());
    QAction *zephyr = nullptr;
    for (QAction *a : presets->menu()->actions())
        zephyr = a->text() == QLatin1String("Zephyr") ? a : zephyr;
    QVERIFY(zephyr);
    zephyr->trigger();
    QCOMPARE(table->rowCount(), 4);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.last().at(0).value<HighlightRules>().rules,
             highlightpresets::all().at(1).rules);

    QPushButton *add = nullptr;
    for (QPushButton *b : editor.findChildren<QPushButton *>())
        add = b->text() == QStringLiteral("添加") ? b : add;
    QTest::mouseClick(add, Qt::LeftButton);
    QCOMPARE(table->rowCount(), 5);
    // The new rule's text is being edited: type a bad expression, then tick "正则".
    QWidget *editorField = QApplication::focusWidget();
    QVERIFY(qobject_cast<QLineEdit *>(editorField));
    QTest::keyClicks(editorField, QStringLiteral("(temp"));
    QTest::keyClick(editorField, Qt::Key_Return);
    QTRY_COMPARE(editor.rules().rules.at(4).pattern, QStringLiteral("(temp"));
    table->item(4, HighlightEditor::Regex)->setCheckState(Qt::Checked);
    QVERIFY(editor.rules().rules.at(4).regex);
    QVERIFY(editor.problem(4).startsWith(QStringLiteral("正则表达式有误")));
    QVERIFY(!table->item(4, HighlightEditor::Pattern)->toolTip().isEmpty());
    table->item(4, HighlightEditor::Pattern)->setText(QStringLiteral("temp=(\\d+)"));
    QVERIFY(editor.problem(4).isEmpty());
    QVERIFY(table->item(4, HighlightEditor::Pattern)->toolTip().isEmpty());

    // Up to the top, then the first Zephyr rule goes.
    table->setCurrentCell(4, HighlightEditor::Pattern);
    QPushButton *up = nullptr;
    QPushButton *remove = nullptr;
    for (QPushButton *b : editor.findChildren<QPushButton *>()) {
        up = b->text() == QStringLiteral("上移") ? b : up;
        remove = b->text() == QStringLiteral("删除") ? b : remove;
    }
    for (int i = 0; i < 4; ++i)
        QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(editor.rules().rules.at(0).pattern, QStringLiteral("temp=(\\d+)"));
    table->setCurrentCell(1, HighlightEditor::Pattern);
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(editor.rules().rules.size(), 4);
    QCOMPARE(editor.rules().rules.at(1).pattern, QStringLiteral("<wrn>"));
    editor.setColour(1, HighlightEditor::Background, 0x112233);
    QCOMPARE(editor.rules().rules.at(1).background, std::optional<quint32>(0x112233));

    auto *first = editor.findChild<QCheckBox *>();
    QTest::mouseClick(first, Qt::LeftButton);
    QVERIFY(changes.last().at(0).value<HighlightRules>().firstMatchWins);
    QCOMPARE(changes.last().at(0).value<HighlightRules>(), editor.rules());

    // The list given back fills the table as it was.
    HighlightEditor again;
    again.setRules(editor.rules());
    QCOMPARE(again.findChild<QTableWidget *>()->rowCount(), 4);
    QCOMPARE(again.rules(), editor.rules());
}

QTEST_MAIN(TestHighlight)
#include "tst_highlight.moc"
