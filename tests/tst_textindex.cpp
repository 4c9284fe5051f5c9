#include "textview/arrival_times.h"
#include "textview/caret_moves.h"
#include "textview/char_widths.h"
#include "textview/text_store.h"
#include "textview/wrap_index.h"

#include <QRandomGenerator>
#include <QTest>

#include <map>
#include <memory>
#include <vector>

// The receive box's text, its visual lines and its caret movement, without a widget.

namespace {

// Widths for the index tests, in whole units: narrow and wide letters, wide CJK, wider
// astral characters.
qint32 testWidth(char32_t c)
{
    if (c == u'i' || c == u'l' || c == u' ')
        return 1;
    if (c == u'W' || c == u'M')
        return 3;
    if (c >= 0x10000)
        return 5;
    if (c >= 0x2E80)
        return 4;
    return 2;
}

constexpr qint32 TestWrap = 23;
constexpr qint32 TestTab = 8;

struct Line
{
    qint64 start;
    int breakLength;
    bool operator==(const Line &o) const
    {
        return start == o.start && breakLength == o.breakLength;
    }
};

// Chinese, Japanese and Korean characters, which a line may break before and after, among them
// the first and last of each block; the "cjk edges" letters hold their neighbours, which it may
// not.
const QStringList &breaksAround()
{
    static const QStringList list = {
        QStringLiteral("中"),  QStringLiteral("文"), QStringLiteral("字"), QStringLiteral("⺀"),
        QStringLiteral("鿿"), QStringLiteral("가"), QStringLiteral("힣"), QStringLiteral("豈"),
        QStringLiteral("廓"),  QStringLiteral("！"), QStringLiteral("￦"), QStringLiteral("𠀀"),
        QStringLiteral("𪜀"),
    };
    return list;
}

// The visual lines of a whole string, straight from the rules: CR LF, LF and CR end a line;
// a line wraps after its last blank, or before or after its last CJK character, when a
// character does not fit, anywhere when it has neither; one blank may hang past the edge; a tab
// goes to the next multiple of the tab stop. A high surrogate at the very end waits for its low
// half and takes no place yet.
std::vector<Line> referenceLines(const QString &s, qint32 wrap = TestWrap)
{
    std::vector<Line> lines{{0, 0}};
    qsizetype n = s.size();
    if (n > 0 && s.at(n - 1).isHighSurrogate())
        --n;
    qint64 lineStart = 0;
    qint64 x = 0;
    qint64 breakPos = -1;
    qint64 breakX = 0;
    const auto startLine = [&](qint64 at, int breakLength) {
        lines.push_back({at, breakLength});
        lineStart = at;
        breakPos = -1;
    };
    for (qsizetype i = 0; i < n;) {
        const QChar c = s.at(i);
        if (c == u'\r' || c == u'\n') {
            const bool crlf = c == u'\r' && i + 1 < s.size() && s.at(i + 1) == u'\n';
            i += crlf ? 2 : 1;
            startLine(i, crlf ? 2 : 1);
            x = 0;
            continue;
        }
        if (c == u' ' || c == u'\t' || c.unicode() == 0x3000) {
            if (x > wrap && i > lineStart) {
                startLine(i, 0);
                x = 0;
            }
            x = c == u'\t' ? (x / TestTab + 1) * TestTab : x + testWidth(c.unicode());
            ++i;
            breakPos = i;
            breakX = x;
            continue;
        }
        const bool pair = c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate();
        const char32_t u = pair ? QChar::surrogateToUcs4(c, s.at(i + 1)) : char32_t(c.unicode());
        const qint32 w = testWidth(u);
        const bool ideograph = breaksAround().contains(QString::fromUcs4(&u, 1));
        if (ideograph && i > lineStart) {
            breakPos = i;
            breakX = x;
        }
        if (x + w > wrap && i > lineStart) {
            if (breakPos > lineStart) {
                x -= breakX;
                startLine(breakPos, 0);
            }
            if (x + w > wrap && i > lineStart) {
                x = 0;
                startLine(i, 0);
            }
        }
        x += w;
        i += pair ? 2 : 1;
        if (ideograph) {
            breakPos = i;
            breakX = x;
        }
    }
    return lines;
}

std::vector<Line> indexLines(const WrapIndex &index)
{
    std::vector<Line> lines;
    for (qint64 i = 0; i < index.lineCount(); ++i) {
        const qint64 start = index.lineStart(i);
        const qint64 previousEnd = i == 0 ? 0 : index.lineEnd(i - 1);
        lines.push_back({start, index.startsParagraph(i) && i > 0 ? int(start - previousEnd) : 0});
    }
    return lines;
}

// Compares everything the index tells with the reference for the store's text.
void compareIndex(const WrapIndex &index, const QString &text, qint32 wrap = TestWrap)
{
    const std::vector<Line> expected = referenceLines(text, wrap);
    const std::vector<Line> actual = indexLines(index);
    QCOMPARE(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        if (!(actual[i] == expected[i]))
            QFAIL(qPrintable(QStringLiteral("line %1 starts at %2 (%3 break characters), "
                                            "expected %4 (%5)")
                                 .arg(i)
                                 .arg(actual[i].start)
                                 .arg(actual[i].breakLength)
                                 .arg(expected[i].start)
                                 .arg(expected[i].breakLength)));
    }
    for (qint64 pos = 0; pos <= text.size(); pos += 1 + pos / 7) {
        const auto it = std::upper_bound(expected.begin(), expected.end(), pos,
                                         [](qint64 p, const Line &l) { return p < l.start; });
        QCOMPARE(index.lineAt(pos), qint64(it - expected.begin()) - 1);
    }
}

QStringList alphabet(const QString &name)
{
    if (name == QLatin1String("latin"))
        return {"a", "b", "i", "W", "M", " ", " ", "\t", "\r", "\n", "\r\n", "é", "ÿ", "x"};
    if (name == QLatin1String("breaks"))
        return {"a", "\r", "\n", "\r", "\n", " ", "b"};
    if (name == QLatin1String("cjk"))
        return {"中", "文", "字", "　", " ", "a", "\r\n", "\n"};
    if (name == QLatin1String("cjk edges"))
        return {"⺀", "⹂", "鿿", "ꀀ", "가", "힣", "ힰ", "豈", "廓", "ﬀ",
                "︰", "！",  "￦",  "𠀀", "𪜀", "😀",  "a",  " ",  "\n"};
    if (name == QLatin1String("astral"))
        return {"😀", "𠀀", "a", " ", "\n", "中", "\r"};
    return {"0", "D", "A", "4", "1", "F", " "}; // a hexadecimal stream: no line break
}

QString randomText(QRandomGenerator &random, const QStringList &letters, qsizetype length)
{
    QString text;
    while (text.size() < length) {
        // Words of a few letters, so that blanks come now and then.
        const QString &letter = letters.at(random.bounded(int(letters.size())));
        text += letter;
        if (random.bounded(3) == 0)
            text += letter;
    }
    return text;
}

void setTestMetrics(WrapIndex &index, qint32 wrap = TestWrap)
{
    index.setMetrics(wrap, TestTab, std::make_shared<CharWidths>(testWidth));
}

} // namespace

class TestTextIndex : public QObject
{
    Q_OBJECT

private slots:
    void index_appendsMatchReference_data();
    void index_appendsMatchReference();
    void index_editsMatchReference_data();
    void index_editsMatchReference();
    void index_catchUpAfterLaggingAtAnotherWidth();
    void store_keepsLatin1ChunksNarrow();
    void store_find_data();
    void store_find();
    void caret_steps_data();
    void caret_steps();
    void caret_lineEndOfWrappedLine_data();
    void caret_lineEndOfWrappedLine();
    void times_matchReference_data();
    void times_matchReference();
    void times_edits_data();
    void times_edits();
    void times_dropFront_data();
    void times_dropFront();
    void store_memoryBytes();
};

void TestTextIndex::index_appendsMatchReference_data()
{
    QTest::addColumn<QString>("letters");
    QTest::addColumn<quint32>("seed");
    for (const char *name : {"latin", "breaks", "cjk", "cjk edges", "astral", "hex"}) {
        for (quint32 seed : {1u, 2u, 3u})
            QTest::addRow("%s-%u", name, seed) << QString::fromLatin1(name) << seed;
    }
}

void TestTextIndex::index_appendsMatchReference()
{
    QFETCH(QString, letters);
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    const QString whole = randomText(random, alphabet(letters), 6000);

    TextStore store;
    WrapIndex index;
    setTestMetrics(index);
    // Cut anywhere, so that CR LF pairs and surrogate pairs fall across appends.
    qsizetype at = 0;
    int pieces = 0;
    while (at < whole.size()) {
        const qsizetype n = qMin<qsizetype>(random.bounded(1, 120), whole.size() - at);
        store.append(QStringView(whole).sliced(at, n));
        index.catchUp(store);
        at += n;
        if (++pieces % 10 == 0) {
            compareIndex(index, whole.left(at));
            if (QTest::currentTestFailed())
                return;
        }
    }
    QCOMPARE(store.text(), whole);
    compareIndex(index, whole);
}

void TestTextIndex::index_editsMatchReference_data()
{
    QTest::addColumn<QString>("letters");
    QTest::addColumn<QString>("inserted");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("edits");
    QTest::newRow("latin") << "latin"
                           << "latin" << 3000 << 300;
    QTest::newRow("breaks") << "breaks"
                            << "breaks" << 2000 << 300;
    QTest::newRow("cjk into latin") << "latin"
                                    << "cjk" << 3000 << 300;
    QTest::newRow("astral") << "astral"
                            << "astral" << 3000 << 300;
    QTest::newRow("hex line") << "hex"
                              << "hex" << 20000 << 100;
    // Several chunks, one-byte ones split by wide insertions.
    QTest::newRow("chunks") << "hex"
                            << "cjk" << 300000 << 40;
}

void TestTextIndex::index_editsMatchReference()
{
    QFETCH(QString, letters);
    QFETCH(QString, inserted);
    QFETCH(int, length);
    QFETCH(int, edits);
    QRandomGenerator random(7);
    QString text = randomText(random, alphabet(letters), length);

    TextStore store;
    store.append(text);
    WrapIndex index;
    setTestMetrics(index);
    index.rebuild(store);
    for (int e = 0; e < edits; ++e) {
        const qint64 pos = random.bounded(int(text.size()) + 1);
        const qint64 removed = qMin<qint64>(random.bounded(25), text.size() - pos);
        const QString piece = randomText(random, alphabet(inserted), random.bounded(18));
        text.replace(pos, removed, piece);
        store.replace(pos, removed, piece);
        index.replaced(store, pos, removed, piece.size());
        QCOMPARE(store.size(), text.size());
        QCOMPARE(store.mid(pos, piece.size() + 10), text.mid(pos, piece.size() + 10));
        QCOMPARE(store.at(pos), pos < text.size() ? text.at(pos).unicode() : char16_t(0));
        compareIndex(index, text);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(QStringLiteral("after edit %1 at %2").arg(e).arg(pos)));
    }
    QCOMPARE(store.text(), text);
}

void TestTextIndex::index_catchUpAfterLaggingAtAnotherWidth()
{
    // The box keeps the lines of its previous width and brings them up to date when it comes
    // back to that width.
    QRandomGenerator random(11);
    TextStore store;
    WrapIndex narrow;
    setTestMetrics(narrow, 11);
    store.append(randomText(random, alphabet(QStringLiteral("latin")), 2000) + u'\r');
    narrow.catchUp(store);
    store.append(u"\nand more text without a break but blanks");
    store.append(randomText(random, alphabet(QStringLiteral("astral")), 1500));
    narrow.catchUp(store);
    compareIndex(narrow, store.text(), 11);

    narrow.setWrapWidth(TestWrap);
    narrow.rebuild(store);
    compareIndex(narrow, store.text(), TestWrap);
}

void TestTextIndex::store_keepsLatin1ChunksNarrow()
{
    TextStore store;
    const QString hex = QStringLiteral("0D 0A 41 ").repeated(100000);
    store.append(hex);
    QCOMPARE(store.size(), hex.size());
    // A one-byte run reaches the scan as bytes, wide text as UTF-16; a run is at most a chunk.
    int runs = 0;
    int byteRuns = 0;
    store.forEachRun(0, store.size(), [&](const auto *p, qsizetype) {
        ++runs;
        byteRuns += sizeof(*p) == 1;
        return true;
    });
    QVERIFY(runs >= hex.size() / TextStore::ChunkSize);
    QCOMPARE(byteRuns, runs);
    store.append(u"中文");
    store.append(hex.left(10));
    QCOMPARE(store.text(), hex + QStringLiteral("中文") + hex.left(10));
    int wideRuns = 0;
    store.forEachRun(0, store.size(), [&wideRuns](const auto *p, qsizetype) {
        wideRuns += sizeof(*p) == 2;
        return true;
    });
    QCOMPARE(wideRuns, 1);
}

void TestTextIndex::store_find_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("needle");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<bool>("forward");
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("forward") << "abcabc"
                             << "bc" << qint64(0) << true << true << qint64(1);
    QTest::newRow("forward from a match") << "abcabc"
                                          << "bc" << qint64(1) << true << true << qint64(1);
    QTest::newRow("forward past the last") << "abcabc"
                                           << "bc" << qint64(5) << true << true << qint64(-1);
    QTest::newRow("backward") << "abcabc"
                              << "bc" << qint64(5) << false << true << qint64(4);
    QTest::newRow("backward from a match start") << "abcabc"
                                                 << "bc" << qint64(4) << false << true << qint64(4);
    QTest::newRow("backward before the first") << "abcabc"
                                               << "bc" << qint64(0) << false << true << qint64(-1);
    QTest::newRow("case folded") << "xNEEDLEx"
                                 << "needle" << qint64(0) << true << false << qint64(1);
    QTest::newRow("case kept") << "xNEEDLEx"
                               << "needle" << qint64(0) << true << true << qint64(-1);
    QTest::newRow("Chinese") << "温度=23\r\n湿度=41"
                             << "湿度" << qint64(0) << true << true << qint64(7);
    // Matches that straddle the slices the search reads, both ways.
    const QString straddle = QString((1 << 20) - 2, QLatin1Char('.')) + QStringLiteral("NEEDLE");
    QTest::newRow("across a slice, forward")
        << straddle << "NEEDLE" << qint64(0) << true << true << qint64((1 << 20) - 2);
    QTest::newRow("across a slice, backward") << straddle << "NEEDLE" << qint64(straddle.size() - 1)
                                              << false << true << qint64((1 << 20) - 2);
}

void TestTextIndex::store_find()
{
    QFETCH(QString, text);
    QFETCH(QString, needle);
    QFETCH(qint64, from);
    QFETCH(bool, forward);
    QFETCH(bool, matchCase);
    QFETCH(qint64, expected);
    TextStore store;
    store.append(text);
    QCOMPARE(
        store.indexOf(needle, from, forward, matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive),
        expected);
}

void TestTextIndex::caret_steps_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("step");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("expected");

    const QString accent = QStringLiteral("e\u0301x");
    QTest::newRow("over an accent") << accent << "next" << qint64(0) << qint64(2);
    QTest::newRow("back over an accent") << accent << "previous" << qint64(2) << qint64(0);
    QTest::newRow("over a pair") << "a😀b"
                                 << "next" << qint64(1) << qint64(3);
    QTest::newRow("back over a pair") << "a😀b"
                                      << "previous" << qint64(3) << qint64(1);
    QTest::newRow("over cr lf") << "ab\r\ncd"
                                << "next" << qint64(2) << qint64(4);
    QTest::newRow("back over cr lf") << "ab\r\ncd"
                                     << "previous" << qint64(4) << qint64(2);
    QTest::newRow("at the end") << "ab"
                                << "next" << qint64(2) << qint64(2);
    QTest::newRow("at the start") << "ab"
                                  << "previous" << qint64(0) << qint64(0);
    // Twenty letters wrap after eleven.
    const QString wrapped(20, QLatin1Char('a'));
    QTest::newRow("into a wrapped line") << wrapped << "next" << qint64(10) << qint64(11);
    QTest::newRow("back across a wrap") << wrapped << "previous" << qint64(11) << qint64(10);
    QTest::newRow("word forward") << "hello world"
                                  << "word forward" << qint64(0) << qint64(6);
    QTest::newRow("word forward to the end") << "hello world"
                                             << "word forward" << qint64(6) << qint64(11);
    QTest::newRow("word back") << "hello world"
                               << "word back" << qint64(11) << qint64(6);
    QTest::newRow("word back from a blank") << "hello world"
                                            << "word back" << qint64(6) << qint64(0);
    QTest::newRow("word forward over a line end") << "ab\r\ncd"
                                                  << "word forward" << qint64(2) << qint64(4);
    // A double click: the word around the position.
    QTest::newRow("word start") << "0D 0A 41"
                                << "word start" << qint64(4) << qint64(3);
    QTest::newRow("word end") << "0D 0A 41"
                              << "word end" << qint64(4) << qint64(5);
    QTest::newRow("word end at the line end") << "0D 0A\r\n41"
                                              << "word end" << qint64(5) << qint64(5);
}

void TestTextIndex::caret_steps()
{
    QFETCH(QString, text);
    QFETCH(QString, step);
    QFETCH(qint64, from);
    QFETCH(qint64, expected);
    TextStore store;
    store.append(text);
    WrapIndex index;
    setTestMetrics(index);
    index.rebuild(store);
    const CaretMoves moves(store, index);
    const qint64 to = step == QLatin1String("next")           ? moves.next(from)
                      : step == QLatin1String("previous")     ? moves.previous(from)
                      : step == QLatin1String("word forward") ? moves.word(from, true)
                      : step == QLatin1String("word back")    ? moves.word(from, false)
                      : step == QLatin1String("word start")   ? moves.wordAt(from).first
                                                              : moves.wordAt(from).second;
    QCOMPARE(to, expected);
}

void TestTextIndex::caret_lineEndOfWrappedLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("nextLineStart");
    QTest::addColumn<qint64>("caretEnd");

    // End on a wrapped line stops before its last character, a pair as a whole; the next
    // line's start is the same place on screen.
    QTest::newRow("letters") << QString(20, QLatin1Char('a')) << qint64(11) << qint64(10);
    QTest::newRow("pair at the edge") << "aaaaaaaaa😀bbbbbb" << qint64(11) << qint64(9);
    QTest::newRow("line break") << "ab cd\nefgh" << qint64(6) << qint64(5);
}

void TestTextIndex::caret_lineEndOfWrappedLine()
{
    QFETCH(QString, text);
    QFETCH(qint64, nextLineStart);
    QFETCH(qint64, caretEnd);
    TextStore store;
    store.append(text);
    WrapIndex index;
    setTestMetrics(index);
    index.rebuild(store);
    QCOMPARE(index.lineStart(1), nextLineStart);
    const CaretMoves moves(store, index);
    QCOMPARE(moves.lineCaretEnd(0), caretEnd);
}

namespace {

// The marks as a plain ordered map, edited by the rule the arrival times promise.
using Reference = std::map<qint64, qint64>;

void referenceReplace(Reference &ref, qint64 pos, qint64 removed, qint64 inserted, qint64 size)
{
    const bool atEnd = removed > 0 && ref.count(pos + removed) > 0;
    const qint64 from = atEnd || pos >= size ? pos : pos + 1;
    const qint64 to = qMax(from, pos + removed);
    Reference out;
    for (const auto &[p, t] : ref) {
        if (p < from)
            out[p] = t;
        else if (p >= to)
            out[p + inserted - removed] = t;
    }
    ref = out;
}

void compareTimes(const ArrivalTimes &times, const Reference &ref, qint64 size)
{
    QCOMPARE(times.count(), qint64(ref.size()));
    // Every mark found from the position before it, and the gaps between found empty.
    qint64 previous = -1;
    for (const auto &[p, t] : ref) {
        const std::optional<ArrivalTimes::Mark> found = times.firstIn(previous + 1, size + 1);
        QVERIFY2(found, qPrintable(QStringLiteral("mark at %1 missing").arg(p)));
        QCOMPARE(found->pos, p);
        QCOMPARE(found->msecs, t);
        const std::optional<ArrivalTimes::Mark> last = times.lastAtOrBefore(p);
        QVERIFY(last && last->pos == p);
        if (p > previous + 1) {
            const std::optional<ArrivalTimes::Mark> before = times.lastAtOrBefore(p - 1);
            QCOMPARE(before ? before->pos : -1, previous);
        }
        previous = p;
    }
    QVERIFY(!times.firstIn(previous + 1, size + 1));
}

} // namespace

void TestTextIndex::times_matchReference_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("marks");
    QTest::addColumn<qint64>("maxGap");
    QTest::addColumn<qint64>("maxPause");
    // Whether the marks must cost no more than 8 bytes each, a segment's worth aside.
    QTest::addColumn<bool>("compact");
    // Lines of a few dozen characters, over several segments.
    QTest::newRow("lines") << 1u << 12000 << qint64(120) << qint64(50) << true;
    // Gaps past 4 GB of text and pauses past 24 days, which no segment offset can hold.
    QTest::newRow("huge gaps and pauses")
        << 2u << 3000 << (qint64(1) << 33) << (qint64(1) << 32) << false;
    QTest::newRow("one character a line") << 3u << 9000 << qint64(1) << qint64(1) << true;
}

void TestTextIndex::times_matchReference()
{
    QFETCH(quint32, seed);
    QFETCH(int, marks);
    QFETCH(qint64, maxGap);
    QFETCH(qint64, maxPause);
    QFETCH(bool, compact);
    QRandomGenerator random(seed);
    ArrivalTimes times;
    Reference ref;
    qint64 pos = 0;
    qint64 clock = 1'700'000'000'000;
    const auto bounded = [&](qint64 max) { return qint64(random.bounded(quint64(max) + 1)); };
    for (int i = 0; i < marks; ++i) {
        pos += bounded(maxGap);
        clock += bounded(maxPause) - (maxPause > 1 ? maxPause / 8 : 0);
        times.append(pos, clock);
        ref[pos] = clock;
        // Now and then an edit somewhere in the text.
        if (random.bounded(40) == 0) {
            const qint64 at = bounded(pos);
            const qint64 removed = qMin(pos - at, bounded(maxGap * 3));
            const qint64 inserted = bounded(maxGap * 2);
            const qint64 size = pos + 1 + inserted - removed;
            times.replaced(at, removed, inserted, size);
            referenceReplace(ref, at, removed, inserted, size);
            pos += inserted - removed;
        }
    }
    compareTimes(times, ref, pos);
    if (compact)
        QVERIFY(times.memoryUsed() <= qint64(ref.size()) * 8 + 32768 + 4096);
    times.clear();
    QCOMPARE(times.count(), 0);
    QVERIFY(!times.firstIn(0, pos + 1));
}

void TestTextIndex::times_edits_data()
{
    QTest::addColumn<qint64>("pos");
    QTest::addColumn<qint64>("removed");
    QTest::addColumn<qint64>("inserted");
    QTest::addColumn<QList<qint64>>("expected");
    // Lines begin at 0, 10 and 20.
    QTest::newRow("a whole line deleted: the next takes its place")
        << qint64(10) << qint64(10) << qint64(0) << QList<qint64>{0, 10};
    QTest::newRow("a line's first character deleted: it keeps its time")
        << qint64(10) << qint64(1) << qint64(0) << QList<qint64>{0, 10, 19};
    QTest::newRow("typed at a line's start")
        << qint64(10) << qint64(0) << qint64(3) << QList<qint64>{0, 10, 23};
    QTest::newRow("typed inside a line")
        << qint64(5) << qint64(0) << qint64(2) << QList<qint64>{0, 12, 22};
    QTest::newRow("a range over a line start")
        << qint64(5) << qint64(10) << qint64(1) << QList<qint64>{0, 11};
    QTest::newRow("everything") << qint64(0) << qint64(25) << qint64(0) << QList<qint64>{};
    QTest::newRow("the last line's text")
        << qint64(20) << qint64(5) << qint64(0) << QList<qint64>{0, 10};
}

void TestTextIndex::times_edits()
{
    QFETCH(qint64, pos);
    QFETCH(qint64, removed);
    QFETCH(qint64, inserted);
    QFETCH(QList<qint64>, expected);
    ArrivalTimes times;
    for (const qint64 p : {0, 10, 20})
        times.append(p, 1000 + p);
    times.replaced(pos, removed, inserted, 25 - removed + inserted);
    QList<qint64> kept;
    for (std::optional<ArrivalTimes::Mark> m = times.firstIn(0, 1000); m;
         m = times.firstIn(m->pos + 1, 1000))
        kept << m->pos;
    QCOMPARE(kept, expected);
}

void TestTextIndex::times_dropFront_data()
{
    QTest::addColumn<qint64>("marks");
    QTest::addColumn<qint64>("n");
    QTest::addColumn<bool>("inside"); // the cut lies inside a line or burst
    // Lines begin every 10 characters, at 1000 plus their position.
    QTest::newRow("at a line start") << qint64(3) << qint64(10) << false;
    QTest::newRow("inside a line: it keeps its time") << qint64(3) << qint64(15) << true;
    QTest::newRow("a line without a time of its own: none carried onto it")
        << qint64(3) << qint64(15) << false;
    QTest::newRow("past the last mark") << qint64(3) << qint64(25) << true;
    QTest::newRow("across several segments, at a line start")
        << qint64(20000) << qint64(123450) << false;
    QTest::newRow("across several segments, inside a line")
        << qint64(20000) << qint64(123455) << true;
    QTest::newRow("everything but the last segment's end")
        << qint64(20000) << qint64(199995) << true;
}

// What stays is the marks past the cut, moved to the front; a line or burst cut in two keeps its
// time at position 0, and nothing else gets one.
void TestTextIndex::times_dropFront()
{
    QFETCH(qint64, marks);
    QFETCH(qint64, n);
    QFETCH(bool, inside);
    ArrivalTimes arrival;
    for (qint64 p = 0; p < marks * 10; p += 10)
        arrival.append(p, 1000 + p);
    arrival.dropFront(n, inside);
    QList<std::pair<qint64, qint64>> expected;
    if (inside && n % 10 != 0)
        expected.append({0, 1000 + n / 10 * 10});
    for (qint64 p = (n + 9) / 10 * 10; p < marks * 10; p += 10)
        expected.append({p - n, 1000 + p});
    QList<std::pair<qint64, qint64>> kept;
    for (std::optional<ArrivalTimes::Mark> m = arrival.firstIn(0, marks * 10); m;
         m = arrival.firstIn(m->pos + 1, marks * 10))
        kept.append({m->pos, m->msecs});
    QCOMPARE(kept, expected);
    QCOMPARE(arrival.count(), expected.size());
}

// A byte a character in one-byte chunks, two in UTF-16 ones, through appends and edits.
void TestTextIndex::store_memoryBytes()
{
    TextStore store;
    store.append(QString(TextStore::ChunkSize, QLatin1Char('a')));
    QCOMPARE(store.memoryBytes(), TextStore::ChunkSize);
    store.append(QStringLiteral("中文"));
    QCOMPARE(store.memoryBytes(), TextStore::ChunkSize + 4);
    // The small chunk the Chinese began turns UTF-16 as a whole; what follows stays in it.
    store.append(QStringLiteral("bc"));
    QCOMPARE(store.memoryBytes(), TextStore::ChunkSize + 8);
    store.replace(0, TextStore::ChunkSize, {});
    QCOMPARE(store.memoryBytes(), 8);
    store.replace(0, 2, QStringLiteral("xy"));
    QCOMPARE(store.memoryBytes(), store.size() * 2);
    store.clear();
    QCOMPARE(store.memoryBytes(), 0);
}

QTEST_GUILESS_MAIN(TestTextIndex)
#include "tst_textindex.moc"
