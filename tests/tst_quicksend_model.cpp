// The quick-send window's model without a window: entries in CSV and back, hotkeys, the
// auto-reply matcher fed as a board's reads arrive, and the sequence runner.
#include "quicksend/auto_reply.h"
#include "quicksend/csv.h"
#include "quicksend/hotkeys.h"
#include "quicksend/multi_match.h"
#include "quicksend/sequence.h"

#include <QSignalSpy>
#include <QStringEncoder>
#include <QTest>

using namespace quicksend;

namespace {

Entry entry(const QString &name, Format format, const QString &content)
{
    Entry e;
    e.name = name;
    e.format = format;
    e.content = content;
    return e;
}

// Pages that use every field and every awkward character a CSV writer must quote.
QList<Page> everyField()
{
    Entry modbus =
        entry(QStringLiteral("读寄存器"), Format::Hex, QStringLiteral("01 03 00 0A 00 02"));
    modbus.checksum = defaultChecksum(Algorithm::Crc16Modbus);
    modbus.hotkey = QStringLiteral("F5");
    modbus.delayMs = 200;
    Entry ascii =
        entry(QStringLiteral("ASCII, \"quoted\""), Format::Text, QStringLiteral(":0103000A0002"));
    ascii.ending = Ending::CrLf;
    ascii.checksum = defaultChecksum(Algorithm::Lrc);
    ascii.checksum.start = 1;
    ascii.checksum.end = -3;
    ascii.checksum.position = -3;
    ascii.checksum.hexText = true;
    ascii.hotkey = QStringLiteral("Ctrl+3");
    Entry custom =
        entry(QStringLiteral(" 前后空格 "), Format::Text, QStringLiteral("a,b\\r\\n\"c\"\\x00"));
    custom.ending = Ending::None;
    custom.checksum.algorithm = Algorithm::CustomCrc;
    custom.checksum.custom = {32, 0x1EDC6F41, 0xFFFFFFFF, true, false, 0x12345678};
    custom.checksum.lowFirst = true;
    custom.checksum.start = -5;
    custom.checksum.end = -2;
    custom.checksum.position = 0;
    custom.delayMs = 86400000;
    Entry empty = entry(QString(), Format::Text, QString());
    empty.ending = Ending::Lf;
    return {{QStringLiteral("Modbus"), {modbus, ascii}},
            {QStringLiteral("页,二"), {custom, empty}},
            {QStringLiteral("空页"), {}}};
}

} // namespace

class TestQuickSendModel : public QObject
{
    Q_OBJECT

private slots:
    void csvRoundTrip();
    void csvImportProblems_data();
    void csvImportProblems();
    void csvFromSpreadsheet();
    void addPagesByName();
    void hotkeys_data();
    void hotkeys();
    void ruleFieldsRoundTrip();
    void ruleProblems_data();
    void ruleProblems();
    void multiMatch_data();
    void multiMatch();
    void matcher_data();
    void matcher();
    void matcherHex_data();
    void matcherHex();
    void matcherKeepsStateAcrossEdits();
    void sequenceOrder();
    void sequenceWaitsForQueue();
    void sequenceStops();
};

// Export then import gives the same entries, every field included; an empty page has no rows
// and so does not come back.
void TestQuickSendModel::csvRoundTrip()
{
    const QList<Page> pages = everyField();
    const QByteArray file = exportCsv(pages);
    QVERIFY(file.startsWith("\xEF\xBB\xBF页,名称,格式,内容,行尾,校验,校验范围,校验位置,校验形式,"
                            "字节序,热键,延时ms\r\n"));
    QVERIFY(file.contains("CRC(32,1EDC6F41,FFFFFFFF,1,0,12345678)"));
    QVERIFY(file.contains("Modbus,读寄存器,十六进制,01 03 00 0A 00 "
                          "02,默认,CRC-16/MODBUS,\"0,-1\",-1,字节,低位在前,F5,200\r\n"));
    const Import back = importCsv(file);
    QCOMPARE(back.problems, QStringList());
    QCOMPARE(back.pages, pages.mid(0, 2));
}

void TestQuickSendModel::csvImportProblems_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("problems"); // each a start of a problem
    QTest::addColumn<QStringList>("names");    // of the entries taken
    const QByteArray header =
        "页,名称,格式,内容,行尾,校验,校验范围,校验位置,校验形式,字节序,热键,延时ms\n";
    const QByteArray good = "P,好,文本,AT,默认,无,\"0,-1\",-1,字节,高位在前,,0\n";
    QTest::newRow("bad rows named, the rest kept")
        << header + good + "P,坏格式,二进制,AT,默认,无,\"0,-1\",-1,字节,高位在前,,0\n" +
               "P,坏校验,文本,AT,默认,CRC-99,\"0,-1\",-1,字节,高位在前,,0\n\n" +
               "P,少列,文本,AT\n" + "P,坏范围,文本,AT,默认,SUM8,\"0\",-1,字节,高位在前,,0\n" +
               "P,坏延时,文本,AT,默认,SUM8,\"0,-1\",-1,字节,高位在前,,-5\n" +
               "P,\"多\n行\",文本,AT,无,无,\"0,-1\",-1,字节,高位在前,,1\n" +
               "P,坏字节序,文本,AT,默认,SUM8,\"0,-1\",-1,字节,中间,,0\n"
        << QStringList{"第 3 行：格式“二进制”",
                       "第 4 行：校验“CRC-99”",
                       "第 6 行：应有 12 列，实有 4 列",
                       "第 7 行：校验范围“0”",
                       "第 8 行：延时ms“-5”",
                       "第 11 行：字节序“中间”"}
        << QStringList{"好", "多\n行"};
    QTest::newRow("not an export") << QByteArray("name,content\nping,AT\n")
                                   << QStringList{"第 1 行不是快捷发送导出的表头"} << QStringList();
    QTest::newRow("empty file") << QByteArray() << QStringList{"第 1 行不是快捷发送导出的表头"}
                                << QStringList();
    QTest::newRow("header only, CR LF")
        << QByteArray(header).replace('\n', "\r\n") << QStringList() << QStringList();
    QTest::newRow("unterminated quote")
        << header + good + "P,\"断,文本,AT,默认,无,\"0,-1\",-1,字节,高位在前,,0\n"
        << QStringList{"第 3 行："} << QStringList{"好"};
}

void TestQuickSendModel::csvImportProblems()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, problems);
    QFETCH(QStringList, names);
    const Import result = importCsv(file);
    QCOMPARE(result.problems.size(), problems.size());
    for (int i = 0; i < problems.size(); ++i)
        QVERIFY2(result.problems.at(i).startsWith(problems.at(i)),
                 qPrintable(result.problems.at(i)));
    QStringList taken;
    for (const Page &page : result.pages) {
        for (const Entry &e : page.entries)
            taken << e.name;
    }
    QCOMPARE(taken, names);
}

// A spreadsheet on a Chinese system saves CSV in GBK without a byte-order mark.
void TestQuickSendModel::csvFromSpreadsheet()
{
    const QString text = QStringLiteral(
        "页,名称,格式,内容,行尾,校验,校验范围,校验位置,校验形式,字节序,热键,延时ms\r\n"
        "电机,启动,文本,启动\\r\\n,无,无,\"0,-1\",-1,字节,高位在前,F9,10\r\n");
    QStringEncoder gbk("GB18030");
    const Import result = importCsv(gbk.encode(text));
    QCOMPARE(result.problems, QStringList());
    QCOMPARE(result.pages.size(), 1);
    QCOMPARE(result.pages[0].name, QStringLiteral("电机"));
    QCOMPARE(result.pages[0].entries[0].content, QStringLiteral("启动\\r\\n"));
    QCOMPARE(result.pages[0].entries[0].hotkey, QStringLiteral("F9"));
}

void TestQuickSendModel::addPagesByName()
{
    QList<Page> mine = everyField();
    addPages(mine, {{QStringLiteral("Modbus"), {entry("新", Format::Hex, "01")}},
                    {QStringLiteral("新页"), {entry("x", Format::Text, "x")}}});
    QCOMPARE(mine.size(), 4);
    QCOMPARE(mine[0].entries.size(), 3);
    QCOMPARE(mine[0].entries.last().name, QStringLiteral("新"));
    QCOMPARE(mine[3].name, QStringLiteral("新页"));
}

void TestQuickSendModel::hotkeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("self"); // entry index on page 0
    QTest::addColumn<QString>("refusal");
    QTest::newRow("free F6") << "F6" << 0 << "";
    QTest::newRow("none") << "" << 0 << "";
    QTest::newRow("its own key") << "F5" << 0 << "";
    QTest::newRow("another entry's") << "F5" << 1 << "热键 F5 已用于条目“读寄存器”（页“Modbus”）";
    QTest::newRow("find next") << "F3" << 0 << "热键 F3 已用于查找下一个";
    QTest::newRow("bookmarks") << "F2" << 0 << "热键 F2 已用于下一个书签";
    QTest::newRow("not offered") << "Ctrl+Q" << 0
                                 << "热键“Ctrl+Q”不可用：只能用 F1–F12 或 Ctrl+1–Ctrl+9";
    QTest::newRow("Ctrl+0") << "Ctrl+0" << 0
                            << "热键“Ctrl+0”不可用：只能用 F1–F12 或 Ctrl+1–Ctrl+9";
}

void TestQuickSendModel::hotkeys()
{
    QFETCH(QString, key);
    QFETCH(int, self);
    QFETCH(QString, refusal);
    const QList<TakenKey> taken = {{QStringLiteral("F3"), QStringLiteral("查找下一个")},
                                   {QStringLiteral("F2"), QStringLiteral("下一个书签")}};
    QCOMPARE(hotkeyRefusal(key, taken, everyField(), EntryPlace{0, self}), refusal);
    QCOMPARE(hotkeyChoices().size(), 21);
}

void TestQuickSendModel::ruleFieldsRoundTrip()
{
    Rule rule;
    rule.enabled = false;
    rule.regex = true;
    rule.pattern = QStringLiteral("login:\\s*$");
    rule.page = QStringLiteral("页,二");
    rule.entry = QStringLiteral("root");
    rule.delayMs = 250;
    rule.once = true;
    QCOMPARE(ruleFromFields(ruleFields(rule)), std::optional<Rule>(rule));
    QCOMPARE(ruleFromFields({"1", "相似", "x", "p", "e", "0", "每次"}), std::nullopt);
    QCOMPARE(ruleFromFields({"1", "包含", "x", "p", "e", "-1", "每次"}), std::nullopt);
    QCOMPARE(ruleFromFields({"1", "包含", "x", "p", "e", "0"}), std::nullopt);
}

void TestQuickSendModel::ruleProblems_data()
{
    QTest::addColumn<bool>("regex");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("problem"); // start of it
    QTest::newRow("fine") << false << "login: "
                          << "读寄存器" << false << "";
    QTest::newRow("fine regex") << true << "Hit any key.*\\d"
                                << "读寄存器" << false << "";
    QTest::newRow("fine bytes") << false << "55 AA"
                                << "读寄存器" << true << "";
    QTest::newRow("empty") << false << ""
                           << "读寄存器" << false << "内容为空";
    QTest::newRow("broken regex") << true << "a(b"
                                  << "读寄存器" << false << "正则表达式有误（第 4 个字符）";
    QTest::newRow("regex in hex") << true << "55"
                                  << "读寄存器" << true << "十六进制显示时按字节匹配";
    QTest::newRow("no bytes in hex") << false << "login"
                                     << "读寄存器" << true << "十六进制显示时内容应为字节";
    QTest::newRow("no such entry") << false << "x"
                                   << "写寄存器" << false << "找不到页“Modbus”的条目“写寄存器”";
}

void TestQuickSendModel::ruleProblems()
{
    QFETCH(bool, regex);
    QFETCH(QString, pattern);
    QFETCH(QString, target);
    QFETCH(bool, hex);
    QFETCH(QString, problem);
    Rule rule;
    rule.regex = regex;
    rule.pattern = pattern;
    rule.page = QStringLiteral("Modbus");
    rule.entry = target;
    const QString found = ruleProblem(rule, everyField(), hex);
    QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.startsWith(problem), qPrintable(found));
}

void TestQuickSendModel::multiMatch_data()
{
    QTest::addColumn<QStringList>("patterns");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("found"); // "pattern@end" in order of their ends
    QTest::newRow("overlapping") << QStringList{"he", "she", "his", "hers"} << "ushers"
                                 << "she@4 he@4 hers@6";
    QTest::newRow("prefix of another") << QStringList{"ab", "abcd", "bc"} << "xabcd"
                                       << "ab@3 bc@4 abcd@5";
    QTest::newRow("repeats") << QStringList{"aa"} << "aaaa"
                             << "aa@2 aa@3 aa@4";
    QTest::newRow("wide characters") << QStringList{"登录：", "密码"} << "请登录：输入密码"
                                     << "登录：@4 密码@8";
    QTest::newRow("mixed widths") << QStringList{"a你", "你b"} << "xa你b"
                                  << "a你@3 你b@4";
    QTest::newRow("none") << QStringList{"login"} << "logi login"
                          << "login@10";
}

void TestQuickSendModel::multiMatch()
{
    QFETCH(QStringList, patterns);
    QFETCH(QString, text);
    QFETCH(QString, found);
    QList<QList<char16_t>> symbols;
    for (const QString &p : patterns)
        symbols << QList<char16_t>(p.utf16(), p.utf16() + p.size());
    MultiMatch automaton;
    automaton.build(symbols);
    QStringList seen;
    int state = 0;
    for (int i = 0; i < text.size(); ++i) {
        state = automaton.step(state, text.at(i).unicode());
        QStringList here;
        for (const int id : automaton.endingAt(state))
            here << patterns.at(id) + QLatin1Char('@') + QString::number(i + 1);
        // Longer patterns first where several end at once.
        std::sort(here.begin(), here.end(),
                  [](const QString &a, const QString &b) { return a.size() > b.size(); });
        seen << here;
    }
    QCOMPARE(seen.join(QLatin1Char(' ')), found);
}

void TestQuickSendModel::matcher_data()
{
    QTest::addColumn<QStringList>(
        "rules"); // "包含:text" or "正则:expr", "/100" for a delay, "!" once
    QTest::addColumn<QStringList>("reads"); // "time|text"
    QTest::addColumn<QStringList>("fired"); // per read, rule indexes
    QTest::newRow("in one read") << QStringList{"包含:login: "}
                                 << QStringList{"0|Debian\r\nlogin: "} << QStringList{"0"};
    QTest::newRow("split between reads")
        << QStringList{"包含:Hit any key"} << QStringList{"0|U-Boot\r\nHit an", "5|y key to stop"}
        << QStringList{"", "0"};
    QTest::newRow("once per line, rewritten digits")
        << QStringList{"包含:Hit any key to stop autoboot"}
        << QStringList{"0|Hit any key to stop autoboot:  3 ", "1000|\b\b\b 2 ", "2000|\b\b\b 1 ",
                       "3000|\b\b\b 0 \r\n"}
        << QStringList{"0", "", "", ""};
    QTest::newRow("a backspace rewrite makes the match")
        << QStringList{"包含:autoboot:  1"}
        << QStringList{"0|Hit any key to stop autoboot:  3 ", "1000|\b\b\b 2 ", "2000|\b\b\b 1 "}
        << QStringList{"", "", "0"};
    QTest::newRow("each line again, after the gap")
        << QStringList{"包含:OK"} << QStringList{"0|OK\r\n", "50|OK\r\n", "100|OK\r\nOK\r\n"}
        << QStringList{"0", "", "0"};
    QTest::newRow("the gap is the delay when longer")
        << QStringList{"包含:OK/500"} << QStringList{"0|OK\n", "499|OK\n", "500|OK\n"}
        << QStringList{"0", "", "0"};
    QTest::newRow("once") << QStringList{"包含:OK!"} << QStringList{"0|OK\n", "1000|OK\n"}
                          << QStringList{"0", ""};
    QTest::newRow("several rules on one line")
        << QStringList{"包含:login", "包含:in:", "正则:^\\w+ login:"} << QStringList{"0|pi login: "}
        << QStringList{"0,1,2"};
    QTest::newRow("regex on a line as it grows")
        << QStringList{"正则:Password:\\s*$"} << QStringList{"0|Passw", "5|ord: "}
        << QStringList{"", "0"};
    QTest::newRow("regex anchored at the line start, lines in one read")
        << QStringList{"正则:^> $"} << QStringList{"0|a> \r\n> \r\n"} << QStringList{"0"};
    QTest::newRow("regex that is not there")
        << QStringList{"正则:ERR\\d+"} << QStringList{"0|ERR\r\n", "1000|ERRx"}
        << QStringList{"", ""};
    QTest::newRow("CR alone starts a line")
        << QStringList{"包含:50%"} << QStringList{"0|50%\r", "1000|50%\r"} << QStringList{"0", "0"};
    QTest::newRow("disabled rule")
        << QStringList{"-包含:x"} << QStringList{"0|x"} << QStringList{""};
    QTest::newRow("backreferences do not mix across rules")
        << QStringList{"正则:(x)y", "正则:(a)\\1"} << QStringList{"0|aa\r\n"} << QStringList{"1"};
    QTest::newRow("rules valid alone whose join is not (quoted to the end, a comment)")
        << QStringList{"正则:\\Qa+b", "正则:(?x)ERR # the board's error"}
        << QStringList{"0|a+b\n", "1|ERR\n"} << QStringList{"0", "1"};
    QTest::newRow("the same group name in two rules")
        << QStringList{"正则:(?<v>\\d+)V", "正则:(?<v>\\d+)A"} << QStringList{"0|12A 5V\n"}
        << QStringList{"0,1"};
    QTest::newRow("Chinese") << QStringList{"包含:请输入密码"}
                             << QStringList{"0|请输入", "1|密码："} << QStringList{"", "0"};
    QTest::newRow("a long line without a break")
        << QStringList{"正则:END$"} << QStringList{"0|" + QString(10000, QLatin1Char('x')), "1|END"}
        << QStringList{"", "0"};
}

namespace {

QList<Rule> parseRules(const QStringList &rows)
{
    QList<Rule> rules;
    for (QString row : rows) {
        Rule rule;
        rule.enabled = !row.startsWith(QLatin1Char('-'));
        if (!rule.enabled)
            row.remove(0, 1);
        rule.once = row.endsWith(QLatin1Char('!'));
        if (rule.once)
            row.chop(1);
        const qsizetype slash = row.lastIndexOf(QLatin1Char('/'));
        if (slash > 3 && row.mid(slash + 1).toInt() > 0) {
            rule.delayMs = row.mid(slash + 1).toInt();
            row.truncate(slash);
        }
        rule.regex = row.startsWith(QStringLiteral("正则:"));
        rule.pattern = row.mid(3);
        rule.page = QStringLiteral("Modbus");
        rule.entry = QStringLiteral("读寄存器");
        rules << rule;
    }
    return rules;
}

QString joined(QList<int> fired)
{
    std::sort(fired.begin(), fired.end());
    QStringList parts;
    for (const int rule : fired)
        parts << QString::number(rule);
    return parts.join(QLatin1Char(','));
}

} // namespace

void TestQuickSendModel::matcher()
{
    QFETCH(QStringList, rules);
    QFETCH(QStringList, reads);
    QFETCH(QStringList, fired);
    QList<Rule> parsed = parseRules(rules);
    ReplyMatcher matcher;
    matcher.setRules(parsed, everyField(), false);
    for (int i = 0; i < reads.size(); ++i) {
        const qsizetype bar = reads[i].indexOf(QLatin1Char('|'));
        const QList<int> now =
            matcher.feed(QStringView(reads[i]).mid(bar + 1), reads[i].left(bar).toLongLong());
        QCOMPARE(joined(now), fired.at(i));
        // The window counts each fire; a rule for once is then done.
        bool done = false;
        for (const int rule : now)
            done |= parsed[rule].once && ++parsed[rule].hits > 0;
        if (done)
            matcher.setRules(parsed, everyField(), false);
    }
}

void TestQuickSendModel::matcherHex_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QList<QByteArray>>("reads"); // in hex, 100 ms apart
    QTest::addColumn<QStringList>("fired");
    QTest::newRow("split between reads")
        << "55 AA 01" << QList<QByteArray>{"0055", "AA", "0102"} << QStringList{"", "", "0"};
    QTest::newRow("line feeds mean nothing")
        << "0A 0D" << QList<QByteArray>{"0A", "0D0A0D"} << QStringList{"", "0"};
    QTest::newRow("twice in one read: once")
        << "AA" << QList<QByteArray>{"AA00AA", "AA"} << QStringList{"0", "0"};
}

void TestQuickSendModel::matcherHex()
{
    QFETCH(QString, pattern);
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, fired);
    ReplyMatcher matcher;
    matcher.setRules(parseRules({QStringLiteral("包含:") + pattern}), everyField(), true);
    QVERIFY(!matcher.isEmpty());
    // Text is not looked at in hex display.
    QCOMPARE(matcher.feed(QStringView(pattern), 0), QList<int>());
    for (int i = 0; i < reads.size(); ++i)
        QCOMPARE(joined(matcher.feed(QByteArrayView(QByteArray::fromHex(reads[i])), 100 * i)),
                 fired.at(i));
}

// Editing another rule neither forgets the line under way nor lets a rule fire twice on it.
void TestQuickSendModel::matcherKeepsStateAcrossEdits()
{
    QList<Rule> rules = parseRules({QStringLiteral("包含:boot"), QStringLiteral("包含:stop")});
    ReplyMatcher matcher;
    matcher.setRules(rules, everyField(), false);
    QCOMPARE(matcher.feed(QStringView(u"autoboot: st"), 0), QList<int>{0});
    rules[1].pattern = QStringLiteral("stop!");
    matcher.setRules(rules, everyField(), false);
    QCOMPARE(matcher.feed(QStringView(u"op! boot"), 1000), QList<int>{1});
    matcher.restart();
    QCOMPARE(matcher.feed(QStringView(u"boot"), 2000), QList<int>{0});
}

void TestQuickSendModel::sequenceOrder()
{
    QStringList sent;
    SequenceRunner runner(
        [&](int i) {
            sent << QString::number(i);
            return QString();
        },
        [] { return qint64(0); });
    QSignalSpy finished(&runner, &SequenceRunner::finished);
    QSignalSpy steps(&runner, &SequenceRunner::stepStarted);
    runner.start({0, 5, 0}, 2);
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished[0][0].toString(), QStringLiteral("已完成"));
    QCOMPARE(sent, (QStringList{"0", "1", "2", "0", "1", "2"}));
    QCOMPARE(steps.last(), (QList<QVariant>{2, 2}));
    QVERIFY(!runner.isRunning());
}

// The delay starts once the queue is empty: nothing goes while bytes wait.
void TestQuickSendModel::sequenceWaitsForQueue()
{
    qint64 pending = 0;
    QStringList sent;
    SequenceRunner runner(
        [&](int i) {
            sent << QString::number(i);
            pending = 100;
            return QString();
        },
        [&] { return pending; });
    runner.start({0, 0}, 1);
    QCOMPARE(sent, QStringList{"0"});
    QTest::qWait(100);
    QCOMPARE(sent, QStringList{"0"});
    pending = 0;
    QTRY_COMPARE(sent, (QStringList{"0", "1"}));
}

void TestQuickSendModel::sequenceStops()
{
    int count = 0;
    SequenceRunner runner(
        [&](int) { return ++count == 5 ? QStringLiteral("串口已关闭") : QString(); },
        [] { return qint64(0); });
    QSignalSpy finished(&runner, &SequenceRunner::finished);
    runner.start({1}, 0);
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished[0][0].toString(), QStringLiteral("串口已关闭"));
    QCOMPARE(count, 5);

    runner.start({1, 1}, 0);
    QTRY_VERIFY(count > 8);
    runner.stop();
    QCOMPARE(finished.size(), 2);
    QCOMPARE(finished[1][0].toString(), QStringLiteral("已停止"));
    const int stoppedAt = count;
    QTest::qWait(50);
    QCOMPARE(count, stoppedAt);
}

QTEST_GUILESS_MAIN(TestQuickSendModel)
#include "tst_quicksend_model.moc"
