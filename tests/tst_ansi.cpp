// Received text with ANSI control sequences, without a widget: firmware logs fed whole and cut
// anywhere give the same text and pens; each line as pyte, an independent VT emulator, shows
// it; SGR; broken input; GBK; and the pens as the box keeps them.
#include "textview/ansi_parser.h"
#include "textview/colour_runs.h"
#include "textview/line_marks.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTest>

namespace {

QByteArray fixtureBytes(const QString &name)
{
    QFile file(QStringLiteral(ZELQO_TESTS_DIR "/fixtures/ansi/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString esc(const char *text)
{
    return QString::fromUtf8(text);
}

// What a receive box holds after the blocks: the text, the pens as the box keeps them, the
// separators, and what other readers got.
struct Screen
{
    QString text;
    ColourRuns pens;
    LineMarks separators;
    qint64 openFrom = 0;
    QString plain;

    void take(const AnsiBlock &block, bool colours)
    {
        QVERIFY(block.keep <= text.size() - openFrom);
        const qint64 pos = openFrom + block.keep;
        text.truncate(pos);
        pens.truncate(pos);
        separators.truncate(pos + 1);
        if (!block.text.isEmpty()) {
            for (const AnsiBlock::Run &run : block.runs)
                pens.append(pos + run.at, run.pen);
            QVERIFY(colours || block.runs.empty());
            QVERIFY(!colours || !block.runs.empty() || block.text.trimmed().isEmpty());
        }
        text += block.text;
        for (const qint32 at : block.separators)
            separators.append(pos + at);
        if (block.openStart >= 0)
            openFrom = pos + block.openStart;
        plain += block.plain;
    }

    // The pen of each printable character, run by run: what is drawn.
    [[nodiscard]] QList<std::pair<qint64, Pen>> drawnPens() const
    {
        QList<std::pair<qint64, Pen>> out;
        const ColourRuns::Runs runs = pens.runsIn(0, text.size());
        for (qsizetype k = 0; k < runs.size(); ++k) {
            const qint64 to = k + 1 < runs.size() ? runs[k + 1].pos : text.size();
            for (qint64 i = runs[k].pos; i < to; ++i) {
                if (text.at(i) == u'\r' || text.at(i) == u'\n')
                    continue;
                if (out.isEmpty() || out.last().second != runs[k].pen)
                    out.append({i, runs[k].pen});
            }
        }
        return out;
    }
};

Screen feedPieces(const QStringList &pieces, bool colours)
{
    AnsiParser parser(colours);
    Screen screen;
    for (const QString &piece : pieces)
        screen.take(parser.feed(piece), colours);
    return screen;
}

void compareScreens(const Screen &got, const Screen &want)
{
    QCOMPARE(got.text, want.text);
    QCOMPARE(got.drawnPens(), want.drawnPens());
    QCOMPARE(got.separators.positions(), want.separators.positions());
    QCOMPARE(got.plain, want.plain);
}

// The lines of the text as a terminal shows them: tabs kept at a line's end become the room
// they take, and blanks at the end go.
QStringList shownLines(const QString &text)
{
    QStringList lines = text.split(QRegularExpression(QStringLiteral("\r?\n")));
    for (QString &line : lines) {
        QString out;
        int column = 0;
        for (const QChar c : line) {
            const int width = TerminalLine::widthOf(c.unicode(), column);
            out += c == u'\t' ? QString(width, u' ') : QString(c);
            column += width;
        }
        while (out.endsWith(u' '))
            out.chop(1);
        line = out;
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// What pyte shows for the bytes (UTF-8), a line a row, on a screen wider and taller than them.
QStringList pyteLines(const QByteArray &utf8, QString *error)
{
    static const char script[] = R"(
import json, sys, pyte
data = sys.stdin.buffer.read()
screen = pyte.Screen(400, data.count(b"\n") + 2)
pyte.ByteStream(screen).feed(data)
lines = [line.rstrip() for line in screen.display]
while lines and not lines[-1]:
    lines.pop()
print(json.dumps(lines))
)";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QLatin1String(script)});
    if (!python.waitForStarted()) {
        *error = QStringLiteral("python3 did not start");
        return {};
    }
    python.write(utf8);
    python.closeWriteChannel();
    python.waitForFinished(60000);
    if (python.exitCode() != 0) {
        *error = QString::fromUtf8(python.readAllStandardError());
        return {};
    }
    QStringList lines;
    for (const QJsonValue &v : QJsonDocument::fromJson(python.readAllStandardOutput()).array())
        lines << v.toString();
    return lines;
}

const QStringList &fixtureNames()
{
    static const QStringList names{
        QStringLiteral("esp_idf_boot.log"), QStringLiteral("zephyr_shell.log"),
        QStringLiteral("micropython_edit.log"), QStringLiteral("progress_bar.log"),
        QStringLiteral("dashboard.log")};
    return names;
}

Pen fg(int index, quint8 attrs = 0)
{
    return Pen{Pen::indexed(index), Pen::Default, attrs};
}

} // namespace

class TestAnsi : public QObject
{
    Q_OBJECT

private slots:
    void fixtures_sameForEverySplit_data();
    void fixtures_sameForEverySplit();
    void fixtures_sameForRandomChunks_data();
    void fixtures_sameForRandomChunks();
    void lines_equalPyte_data();
    void lines_equalPyte();
    void fixtures_coloursAndSeparators();
    void sgr_data();
    void sgr();
    void badInput_neverHidesLaterText_data();
    void badInput_neverHidesLaterText();
    void gbk_colouredAcrossReads();
    void detach_startsALineOfItsOwn();
    void colourRuns_followAModel_data();
    void colourRuns_followAModel();
    void colourRuns_fewBytesPerCharacter();
    void lineMarks_moveWithEdits_data();
    void lineMarks_moveWithEdits();
};

void TestAnsi::fixtures_sameForEverySplit_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("colours");
    for (const QString &name : fixtureNames()) {
        QTest::addRow("%s rendered", qPrintable(name)) << name << true;
        QTest::addRow("%s stripped", qPrintable(name)) << name << false;
    }
}

// A read may end anywhere, inside a sequence or a line being rewritten.
void TestAnsi::fixtures_sameForEverySplit()
{
    QFETCH(QString, name);
    QFETCH(bool, colours);
    const QString stream = QString::fromUtf8(fixtureBytes(name));
    QVERIFY(!stream.isEmpty());
    const Screen whole = feedPieces({stream}, colours);
    for (qsizetype at = 1; at < stream.size(); ++at) {
        const Screen split = feedPieces({stream.first(at), stream.sliced(at)}, colours);
        compareScreens(split, whole);
        if (QTest::currentTestFailed())
            qWarning("split at %lld", qlonglong(at));
    }
}

void TestAnsi::fixtures_sameForRandomChunks_data()
{
    fixtures_sameForEverySplit_data();
}

void TestAnsi::fixtures_sameForRandomChunks()
{
    QFETCH(QString, name);
    QFETCH(bool, colours);
    const QString stream = QString::fromUtf8(fixtureBytes(name));
    const Screen whole = feedPieces({stream}, colours);
    QRandomGenerator random(2024);
    for (int round = 0; round < 200; ++round) {
        const int largest = round % 2 ? 8 : 300;
        QStringList pieces;
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype n = qMin<qsizetype>(1 + random.bounded(largest), stream.size() - at);
            pieces << stream.sliced(at, n);
            at += n;
        }
        compareScreens(feedPieces(pieces, colours), whole);
    }
}

void TestAnsi::lines_equalPyte_data()
{
    QTest::addColumn<QByteArray>("stream");
    for (const QString &name : fixtureNames()) {
        // Its screens are kept one after the other here, where a terminal wipes them.
        if (name != QLatin1String("dashboard.log"))
            QTest::addRow("%s", qPrintable(name)) << fixtureBytes(name);
    }
    QTest::newRow("CR, shorter text") << QByteArray("abcdef\rXY\r\nnext\r\n");
    QTest::newRow("BS and overwrite") << QByteArray("abc\bZ\b\b\bQ\r\n");
    QTest::newRow("BS at the start stays") << QByteArray("\b\bab\r\n");
    QTest::newRow("erase to end") << QByteArray("abcdef\x1b[3D\x1b[K\r\n");
    QTest::newRow("erase to start") << QByteArray("abcdef\x1b[3D\x1b[1K\r\n");
    QTest::newRow("erase line, then write") << QByteArray("abcdef\x1b[2Kxy\r\n");
    QTest::newRow("erase from a blank") << QByteArray("ab\x1b[5C\x1b[1Kc\r\n");
    QTest::newRow("cursor right pads") << QByteArray("ab\x1b[5Ccd\r\n");
    QTest::newRow("cursor left past start") << QByteArray("abc\x1b[9Dz\r\n");
    QTest::newRow("column absolute") << QByteArray("abcdef\x1b[3GZ\x1b[G>\r\n");
    QTest::newRow("tab inside a line") << QByteArray("abcdefghij\rab\tX\r\n");
    QTest::newRow("save and restore") << QByteArray("abc\x1b"
                                                    "7def\x1b"
                                                    "8X\r\n");
    QTest::newRow("wide characters") << QByteArray("中文ab\b\bX\x1b[2D\x1b[1Cq\r\n");
    QTest::newRow("wide over narrow") << QByteArray("abcdef\r中文\r\n");
    QTest::newRow("combining mark") << QByteArray("e\xcc\x81x\rE\r\n");
    QTest::newRow("many combining marks")
        << QByteArray("a") + QByteArray("\xcc\x81").repeated(1000) + QByteArray("b\rX\r\n");
    QTest::newRow("erase screen below, in the line") << QByteArray("abcdef\x1b[2D\x1b[J\r\n");
    QTest::newRow("colours over a rewrite")
        << QByteArray("\x1b[31mred\x1b[0m plain\r\x1b[32mgreen\x1b[0m\r\n");
    QTest::newRow("progress in GBK")
        << QString::fromUtf8("\r下载 5%\r下载 50%\r下载 100%\r\n").toUtf8();
}

// Single-line behaviour against pyte: CR, BS, erasing and cursor moves within a line.
void TestAnsi::lines_equalPyte()
{
    QFETCH(QByteArray, stream);
    QString error;
    const QStringList expected = pyteLines(stream, &error);
    QVERIFY2(error.isEmpty(),
             qPrintable(QStringLiteral("pyte (python3-pyte, tools/deps.sh): ") + error));
    QVERIFY(!expected.isEmpty());
    for (const bool colours : {true, false})
        QCOMPARE(shownLines(feedPieces({QString::fromUtf8(stream)}, colours).text), expected);
}

// What the fixtures must look like beyond being the same however cut: the level colours of
// ESP-IDF and Zephyr, and the dashboard's screens apart.
void TestAnsi::fixtures_coloursAndSeparators()
{
    const auto penOfLine = [](const Screen &screen, const QString &begin) {
        const qint64 at = screen.text.indexOf(begin);
        return at < 0 ? std::optional<Pen>() : screen.pens.penAt(at);
    };
    const QString espLog = QString::fromUtf8(fixtureBytes("esp_idf_boot.log"));
    const Screen esp = feedPieces({espLog}, true);
    QCOMPARE(penOfLine(esp, QStringLiteral("ets Jun")), Pen());
    QCOMPARE(penOfLine(esp, QStringLiteral("I (29) boot")), fg(2));
    QCOMPARE(penOfLine(esp, QStringLiteral("W (312)")), fg(3));
    QCOMPARE(penOfLine(esp, QStringLiteral("E (1234)")), fg(1));
    QCOMPARE(penOfLine(esp, QStringLiteral("D (330)")), Pen());
    QCOMPARE(penOfLine(esp, QStringLiteral("I (361) 温湿度")), fg(2));
    QVERIFY(esp.separators.isEmpty());
    QVERIFY(!esp.text.contains(u'\x1b'));
    QCOMPARE(esp.text.count(QStringLiteral("\r\n")), espLog.count(QStringLiteral("\r\n")));

    const Screen zephyr = feedPieces({QString::fromUtf8(fixtureBytes("zephyr_shell.log"))}, true);
    QCOMPARE(penOfLine(zephyr, QStringLiteral("<err>")), fg(1, Pen::Bold));
    QCOMPARE(penOfLine(zephyr, QStringLiteral("<wrn>")), fg(3, Pen::Bold));
    QCOMPARE(penOfLine(zephyr, QStringLiteral("uart:~$")), fg(2, Pen::Bold));
    QCOMPARE(penOfLine(zephyr, QStringLiteral("kernel thr")), Pen());

    const Screen dashboard = feedPieces({QString::fromUtf8(fixtureBytes("dashboard.log"))}, true);
    QList<qint64> screens;
    for (qint64 at = 0; (at = dashboard.text.indexOf(QStringLiteral("=== Sensor"), at)) >= 0; ++at)
        screens << at;
    QCOMPARE(screens.size(), 3);
    QCOMPARE(dashboard.separators.positions(), std::vector<qint64>(screens.begin(), screens.end()));
    QCOMPARE(penOfLine(dashboard, QStringLiteral("30.1")), fg(1, Pen::Bold));
    QCOMPARE(penOfLine(dashboard, QStringLiteral("25.3")), fg(2));
    // The separator is beside the text, never in it.
    QVERIFY(dashboard.text.startsWith(QStringLiteral("booting dashboard\r\n=== Sensor")));
}

void TestAnsi::sgr_data()
{
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<Pen>("pen");
    QTest::newRow("red") << esc("\x1b[31m") << fg(1);
    QTest::newRow("bright white on blue")
        << esc("\x1b[97;44m") << Pen{Pen::indexed(15), Pen::indexed(4), 0};
    QTest::newRow("bright background") << esc("\x1b[104m") << Pen{0, Pen::indexed(12), 0};
    QTest::newRow("styles") << esc("\x1b[1;2;3;4;7;9m")
                            << Pen{0, 0,
                                   quint8(Pen::Bold | Pen::Dim | Pen::Italic | Pen::Underline |
                                          Pen::Reverse | Pen::Strike)};
    QTest::newRow("styles ended") << esc("\x1b[1;2;3;4;7;9m\x1b[22;23;24;27;29m") << Pen();
    QTest::newRow("blink and conceal ignored") << esc("\x1b[5;8;25;28m") << Pen();
    QTest::newRow("256, semicolons") << esc("\x1b[38;5;208m") << fg(208);
    QTest::newRow("256, colons") << esc("\x1b[48:5:17m") << Pen{0, Pen::indexed(17), 0};
    QTest::newRow("24-bit, semicolons")
        << esc("\x1b[38;2;10;20;30m") << Pen{Pen::rgb(10, 20, 30), 0, 0};
    QTest::newRow("24-bit, colons")
        << esc("\x1b[38:2:10:20:30m") << Pen{Pen::rgb(10, 20, 30), 0, 0};
    QTest::newRow("24-bit, colons with a space id")
        << esc("\x1b[48:2::1:2:3m") << Pen{0, Pen::rgb(1, 2, 3), 0};
    QTest::newRow("colour then style") << esc("\x1b[38;5;9;1m") << fg(9, Pen::Bold);
    QTest::newRow("out of range ignored") << esc("\x1b[32m\x1b[38;5;300m") << fg(2);
    QTest::newRow("cut short") << esc("\x1b[32m\x1b[38;5m") << fg(2);
    QTest::newRow("default colours") << esc("\x1b[31;42m\x1b[39;49m") << Pen();
    QTest::newRow("empty is reset") << esc("\x1b[1;31m\x1b[m") << Pen();
    QTest::newRow("underline off by colon") << esc("\x1b[4m\x1b[4:0m") << Pen();
    QTest::newRow("curly underline") << esc("\x1b[4:3m") << Pen{0, 0, Pen::Underline};
    QTest::newRow("private, not SGR") << esc("\x1b[>4;1m") << Pen();
    QTest::newRow("carried over a line end") << esc("\x1b[33mA\r\nB\x1b[1m") << fg(3, Pen::Bold);
}

void TestAnsi::sgr()
{
    QFETCH(QString, sequence);
    QFETCH(Pen, pen);
    AnsiParser parser;
    const AnsiBlock block = parser.feed(sequence + QStringLiteral("x"));
    QCOMPARE(parser.pen(), pen);
    QCOMPARE(block.runs.back().pen, pen);
    QVERIFY(block.text.endsWith(u'x'));
    QVERIFY(!block.text.contains(u'\x1b'));
}

void TestAnsi::badInput_neverHidesLaterText_data()
{
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QString>("text");
    const QString later = QStringLiteral("LATER\r\n");
    const QString longCsi = esc("\x1b[") + QString(10240, u'1');
    QTest::newRow("10 KB CSI") << longCsi + later << longCsi + later;
    const QString title = esc("\x1b]0;") + QStringLiteral("title");
    QTest::newRow("OSC cut by a line break") << title + later << title + later;
    const QString open = esc("\x1b]8;;") + QString(5000, u'u');
    QTest::newRow("OSC past 4 KB")
        << open + QStringLiteral("LATER") << open + QStringLiteral("LATER");
    QTest::newRow("OSC 8 link")
        << esc("\x1b]8;;http://192.168.4.1/status\x1b\\状态\x1b]8;;\x1b\\\r\n")
        << QStringLiteral("状态\r\n");
    QTest::newRow("OSC ended by BEL") << esc("\x1b]2;name\x07") + later << later;
    QTest::newRow("DCS") << esc("\x1bPq#0;2;0;0;0\x1b\\") + later << later;
    QTest::newRow("NUL inside a sequence")
        << esc("\x1b[3") + QChar(0) + esc("1mLATER\r\n") << later;
    QTest::newRow("CAN cancels") << esc("\x1b[31\x18LATER\r\n") << later;
    QTest::newRow("ESC restarts") << esc("\x1b[31\x1b[0mLATER\r\n") << later;
    QTest::newRow("C1 CSI is text")
        << QStringLiteral("\u009b31mLATER\r\n") << QStringLiteral("\u009b31mLATER\r\n");
    QTest::newRow("C1 OSC is text")
        << QStringLiteral("\u009d0;t\u009cLATER\r\n") << QStringLiteral("\u009d0;t\u009cLATER\r\n");
    QTest::newRow("ESC then Chinese") << esc("\x1b温度\r\n") << esc("\x1b温度\r\n");
    QTest::newRow("ESC at the very end") << later + esc("\x1b") << later;
    QTest::newRow("CSI broken by CR LF")
        << esc("\x1b[12\r\nLATER\r\n") << esc("\x1b[12\r\nLATER\r\n");
    QTest::newRow("unknown sequences swallowed")
        << esc("\x1b[?25l\x1b[5A\x1b(B\x1b#8\x1b=LATER\x1b[?25h\r\n") << later;
}

void TestAnsi::badInput_neverHidesLaterText()
{
    QFETCH(QString, stream);
    QFETCH(QString, text);
    const Screen whole = feedPieces({stream}, true);
    QCOMPARE(whole.text, text);
    // Split anywhere, byte by byte too, the same comes out.
    QStringList single;
    for (const QChar c : stream)
        single << QString(c);
    compareScreens(feedPieces(single, true), whole);
    for (qsizetype at = 1; at < stream.size(); at += 1 + stream.size() / 300)
        compareScreens(feedPieces({stream.first(at), stream.sliced(at)}, true), whole);
}

// GBK bytes 80 to 9F lead two-byte characters (汙 is 9B 40): decoded by the component first,
// they are text, whatever they would mean as C1 controls.
void TestAnsi::gbk_colouredAcrossReads()
{
    QStringEncoder toGbk("GB18030");
    QByteArray bytes;
    bytes += "\x1b[31m";
    bytes += toGbk.encode(QStringLiteral("错误"));
    bytes += "\x1b[0m ";
    bytes += toGbk.encode(QStringLiteral("汙染 温度 25℃"));
    bytes += "\r\n\x1b[33m";
    bytes += toGbk.encode(QStringLiteral("警告：湿度过高"));
    bytes += "\x1b[0m\r\n";
    QVERIFY(bytes.contains("\x9b\x40"));
    const QString expected = QStringLiteral("错误 汙染 温度 25℃\r\n警告：湿度过高\r\n");

    QRandomGenerator random(7);
    for (int round = 0; round < 100; ++round) {
        QStringDecoder decoder("GB18030");
        AnsiParser parser;
        Screen screen;
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype n = qMin<qsizetype>(1 + random.bounded(5), bytes.size() - at);
            const QString text = decoder.decode(bytes.sliced(at, n));
            screen.take(parser.feed(text), true);
            at += n;
        }
        QCOMPARE(screen.text, expected);
        QCOMPARE(screen.drawnPens(),
                 (QList<std::pair<qint64, Pen>>{{0, fg(1)}, {2, Pen()}, {14, fg(3)}}));
    }
}

// When the box can no longer rewrite the line (the user typed into it), CR returns to where the
// text then ended, never into text the parser no longer holds.
void TestAnsi::detach_startsALineOfItsOwn()
{
    AnsiParser parser;
    Screen screen;
    screen.take(parser.feed(QStringLiteral("progress 10%")), true);
    parser.detach();
    screen.openFrom = screen.text.size();
    screen.take(parser.feed(QStringLiteral("\rprogress 20%\rprogress 30%")), true);
    QCOMPARE(screen.text, QStringLiteral("progress 10%progress 30%"));
    screen.take(parser.feed(QStringLiteral("\r\ndone")), true);
    QCOMPARE(screen.text, QStringLiteral("progress 10%progress 30%\r\ndone"));
}

void TestAnsi::colourRuns_followAModel_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 42u, 1000u})
        QTest::addRow("seed %u", seed) << seed;
}

// Appends, rewrites at the end, edits in the middle and dropped fronts, against a pen for each
// character.
void TestAnsi::colourRuns_followAModel()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    ColourRuns runs;
    QList<Pen> model;
    const auto randomPen = [&random] {
        const int kind = random.bounded(4);
        return kind == 0   ? Pen()
               : kind == 1 ? fg(random.bounded(16))
               : kind == 2 ? Pen{Pen::rgb(random.bounded(256), 7, 9), 0, Pen::Bold}
                           : Pen{0, Pen::indexed(random.bounded(256)), Pen::Underline};
    };
    for (int step = 0; step < 3000; ++step) {
        const int op = random.bounded(10);
        const qint64 size = model.size();
        if (op < 6) {
            const Pen pen = randomPen();
            const int n = 1 + random.bounded(40);
            runs.append(size, pen);
            for (int i = 0; i < n; ++i)
                model.append(pen);
        } else if (op == 6 && size > 0) {
            const qint64 at = random.bounded(int(size));
            runs.truncate(at);
            model.resize(at);
        } else if (op == 7 && size > 0) {
            const qint64 pos = random.bounded(int(size));
            const qint64 removed = random.bounded(int(qMin<qint64>(50, size - pos) + 1));
            const qint64 inserted = random.bounded(20);
            runs.replaced(pos, removed, inserted);
            const Pen before = pos > 0 ? model.at(pos - 1) : Pen();
            model.remove(pos, removed);
            for (qint64 i = 0; i < inserted; ++i)
                model.insert(pos, before);
        } else if (op == 8 && size > 0) {
            const qint64 n = random.bounded(int(size) + 1);
            runs.dropFront(n);
            model.remove(0, n);
        }
        if (step % 100 == 0 || step == 2999) {
            for (qint64 i = 0; i < model.size(); ++i)
                QCOMPARE(runs.penAt(i), model.at(i));
            const ColourRuns::Runs all = runs.runsIn(0, model.size());
            for (qsizetype k = 0; k + 1 < all.size(); ++k)
                QVERIFY(all[k].pos < all[k + 1].pos);
        }
    }
}

// An ESP-IDF log's colours cost a small part of a byte a character, as kept in the box.
void TestAnsi::colourRuns_fewBytesPerCharacter()
{
    const QString log = QString::fromUtf8(fixtureBytes("esp_idf_boot.log"));
    AnsiParser parser;
    Screen screen;
    while (screen.text.size() < 2'000'000)
        screen.take(parser.feed(log), true);
    const double perCharacter = double(screen.pens.memoryBytes()) / double(screen.text.size());
    qInfo("colours: %.4f bytes a character, %lld runs for %lld characters", perCharacter,
          qlonglong(screen.pens.count()), qlonglong(screen.text.size()));
    QVERIFY2(perCharacter <= 0.1, qPrintable(QString::number(perCharacter)));
}

void TestAnsi::lineMarks_moveWithEdits_data()
{
    QTest::addColumn<QList<qint64>>("marks");
    QTest::addColumn<qint64>("pos");
    QTest::addColumn<qint64>("removed");
    QTest::addColumn<qint64>("inserted");
    QTest::addColumn<QList<qint64>>("after");
    const QList<qint64> marks{0, 10, 20, 30};
    QTest::newRow("insert before") << marks << 5LL << 0LL << 3LL << QList<qint64>{0, 13, 23, 33};
    QTest::newRow("insert at a mark")
        << marks << 10LL << 0LL << 3LL << QList<qint64>{0, 10, 23, 33};
    QTest::newRow("remove over a mark") << marks << 15LL << 10LL << 0LL << QList<qint64>{0, 10, 20};
    QTest::newRow("remove between marks")
        << marks << 12LL << 5LL << 0LL << QList<qint64>{0, 10, 15, 25};
    QTest::newRow("remove up to a mark")
        << marks << 10LL << 10LL << 2LL << QList<qint64>{0, 10, 12, 22};
    QTest::newRow("two marks meet") << marks << 10LL << 10LL << 0LL << QList<qint64>{0, 10, 20};
}

void TestAnsi::lineMarks_moveWithEdits()
{
    QFETCH(QList<qint64>, marks);
    QFETCH(qint64, pos);
    QFETCH(qint64, removed);
    QFETCH(qint64, inserted);
    QFETCH(QList<qint64>, after);
    LineMarks lineMarks;
    for (const qint64 m : marks)
        lineMarks.append(m);
    lineMarks.replaced(pos, removed, inserted);
    QCOMPARE(QList<qint64>(lineMarks.positions().begin(), lineMarks.positions().end()), after);
    // The first line goes: the next mark is now at the start.
    lineMarks.dropFront(after.at(1));
    QCOMPARE(lineMarks.count(), after.size() - 1);
    QCOMPARE(lineMarks.positions().front(), 0);
}

QTEST_GUILESS_MAIN(TestAnsi)
#include "tst_ansi.moc"
