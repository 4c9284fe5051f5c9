// The filter window: its lines equal what grep -P finds in the saved text, for a board's
// output read by the serial component in pieces (GBK included); it follows the box as lines
// arrive, are rewritten, edited and dropped; a double click shows the line in the box.
#include "filter/filter_window.h"
#include "support/board_port.h"
#include "support/receive_box_view.h"
#include "textview/receive_box.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

namespace {

QString fixture(const QString &name)
{
    QFile file(QStringLiteral(ZELQO_TESTS_DIR "/fixtures/ansi/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Line numbers (from 1) of the lines that begin at the positions.
QList<int> lineNumbers(const QString &text, const QList<qint64> &starts)
{
    QList<int> numbers;
    for (const qint64 start : starts)
        numbers << int(QStringView(text).first(start).count(u'\n')) + 1;
    return numbers;
}

// What grep -P (PCRE, as QRegularExpression) lists of the text saved as UTF-8, in a UTF-8
// locale: the numbers of the matching lines.
QList<int> grepLines(const QString &text, const LineFilter::Pattern &pattern, QString *error)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) {
        *error = QStringLiteral("cannot save");
        return {};
    }
    file.close();
    QStringList args{QStringLiteral("-n"),
                     pattern.regex ? QStringLiteral("-P") : QStringLiteral("-F")};
    if (!pattern.matchCase)
        args << QStringLiteral("-i");
    if (pattern.invert)
        args << QStringLiteral("-v");
    args << QStringLiteral("-e") << pattern.text << path;
    QProcess grep;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    grep.setProcessEnvironment(env);
    grep.start(QStringLiteral("grep"), args);
    grep.waitForFinished(60000);
    if (grep.exitCode() > 1) {
        *error = QString::fromUtf8(grep.readAllStandardError());
        return {};
    }
    QList<int> numbers;
    for (const QByteArray &line : grep.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            numbers << line.left(line.indexOf(':')).toInt();
    }
    return numbers;
}

// The lines that match, from the rules alone, over the box's whole text.
QList<qint64> naiveRows(const QString &text, const LineFilter &filter)
{
    QList<qint64> rows;
    qint64 start = 0;
    for (qint64 i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        if (!end && text.at(i) != u'\n' && text.at(i) != u'\r')
            continue;
        if ((!end || start < i) && filter.matches(QStringView(text).sliced(start, i - start)))
            rows << start;
        if (!end && text.at(i) == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    return rows;
}

bool waitCaughtUp(const FilterWindow &window)
{
    return QTest::qWaitFor([&window] { return window.isCaughtUp(); }, 30000);
}

} // namespace

class TestFilter : public QObject
{
    Q_OBJECT

private slots:
    void linesEqualGrep_data();
    void linesEqualGrep();
    void followsTheBox();
    void followsDroppedLines();
    void typingAndBadExpressions();
    void doubleClickShowsTheLine();
};

void TestFilter::linesEqualGrep_data()
{
    QTest::addColumn<bool>("gbk");
    QTest::addColumn<LineFilter::Pattern>("pattern");
    QTest::newRow("a word") << false << LineFilter::Pattern{QStringLiteral("boot"), false, true};
    QTest::newRow("a word, any case")
        << false << LineFilter::Pattern{QStringLiteral("WIFI"), false, false};
    QTest::newRow("ESP-IDF errors")
        << false << LineFilter::Pattern{QStringLiteral(R"(^E \(\d+\))"), true, true};
    QTest::newRow("not info") << false
                              << LineFilter::Pattern{QStringLiteral("^I "), true, true, true};
    QTest::newRow("alternatives, any case")
        << false << LineFilter::Pattern{QStringLiteral(R"(\b(spi|heap)_\w+)"), true, false};
    QTest::newRow("GBK keyword") << true
                                 << LineFilter::Pattern{QStringLiteral("温度"), false, true};
    QTest::newRow("GBK alternatives")
        << true << LineFilter::Pattern{QStringLiteral("失败|错误"), true, true};
    QTest::newRow("GBK, not a keyword")
        << true << LineFilter::Pattern{QStringLiteral("温度"), false, true, true};
}

// A board prints its log through a pseudo-terminal in pieces that cut lines and characters;
// the component decodes them and the box renders the sequences, as the window does.
void TestFilter::linesEqualGrep()
{
    QFETCH(bool, gbk);
    QFETCH(LineFilter::Pattern, pattern);
    BoardPort board;
    QVERIFY(board.open());
    auto &[pty, comm] = board;
    if (gbk)
        comm.setTextEncoding(MSComm::TextEncoding::Gb18030);
    ReceiveBox box;
    box.setControlSequences(ReceiveBox::ControlSequences::Rendered);
    QObject context;
    QObject::connect(&comm, &MSComm::OnComm, &context, [&] {
        if (comm.CommEvent() != MSComm::comEvReceive)
            return;
        comm.setInputLen(0);
        box.appendReceivedText(comm.Input().toString(), 1000);
    });
    FilterWindow window(&box);
    window.setPattern(pattern);

    QString log = fixture(QStringLiteral("esp_idf_boot.log"));
    log += QStringLiteral("温度 21.5 湿度 40\r\n\x1b[31m读取失败\x1b[0m\r\n汙染 温度过高 错误\r\n"
                          "\r\nlast line without a break");
    const QByteArray bytes = gbk ? QStringEncoder("GB18030").encode(log) : log.toUtf8();
    QRandomGenerator random(5);
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype n = qMin<qsizetype>(1 + random.bounded(300), bytes.size() - at);
        QVERIFY(pty.write(bytes.sliced(at, n)));
        at += n;
        QTest::qWait(random.bounded(3));
    }
    QTRY_VERIFY_WITH_TIMEOUT(box.text().endsWith(QStringLiteral("without a break")), 30000);
    QVERIFY(waitCaughtUp(window));
    QString error;
    const QList<int> expected = grepLines(box.text(), pattern, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(!expected.isEmpty());
    QCOMPARE(lineNumbers(box.text(), window.rows()), expected);
    QVERIFY(window.status().startsWith(QString::number(expected.size()) + QStringLiteral(" 行")));
}

// Lines that arrive, one rewritten by CR, one still being written, and the user's edits.
void TestFilter::followsTheBox()
{
    ReceiveBox box;
    ReceiveBoxView::show(box);
    box.setControlSequences(ReceiveBox::ControlSequences::Rendered);
    FilterWindow window(&box);
    window.setPattern({QStringLiteral("keep"), false, false});
    const auto check = [&] {
        QVERIFY(waitCaughtUp(window));
        QCOMPARE(window.rows(), naiveRows(box.text(), window.filter()));
    };
    box.appendReceivedText(u"drop 1\r\nkeep 2\r\nkeep 3 (partial", 1000);
    check();
    QCOMPARE(window.rows().size(), 2);
    box.appendReceivedText(u")\r\nkeep 4 ", 2000);
    check();
    QCOMPARE(window.rows().size(), 3);
    // The open line rewritten so that it no longer matches, then so that it does.
    box.appendReceivedText(u"\rgone 4", 3000);
    check();
    QCOMPARE(window.rows().size(), 2);
    box.appendReceivedText(u"\rKEEP 5\r\n", 4000);
    check();
    QCOMPARE(window.rows().size(), 3);
    // A lone CR at the end may yet be a CR LF.
    box.setControlSequences(ReceiveBox::ControlSequences::Shown);
    box.appendReceivedText(u"keep 6\r", 5000);
    check();
    box.appendReceivedText(u"\nkeep 7\r\n", 5000);
    check();
    QCOMPARE(window.rows().size(), 5);
    // The user joins two lines in the middle, and types a line in.
    const qint64 at = box.text().indexOf(QStringLiteral("keep 2"));
    box.setSelection(at + 6, 2);
    QTest::keyClicks(&box, QStringLiteral(" and "));
    check();
    box.setSelStart(0);
    QTest::keyClick(&box, Qt::Key_Return);
    QTest::keyClicks(&box, QStringLiteral("keep typed"));
    check();
    QCOMPARE(window.rows().first(), 2);
    // Cleared.
    box.setText(QString());
    check();
    QVERIFY(window.rows().isEmpty());
}

// The window holds only where lines begin: as the box drops its oldest lines the rows go with
// them, and the rest still point at their lines.
void TestFilter::followsDroppedLines()
{
    ReceiveBox box;
    box.setMaxBytes(128 * 1024);
    FilterWindow window(&box);
    window.setPattern({QStringLiteral(R"(^sensor \d+ (warn|err))"), true, true});
    int line = 0;
    while (box.droppedBytes() == 0 || line < 20000) {
        QString block;
        for (int i = 0; i < 100; ++i, ++line)
            block += QStringLiteral("sensor %1 %2 value=%3\r\n")
                         .arg(line)
                         .arg(line % 7 == 0    ? "warn"
                              : line % 11 == 0 ? "err"
                                               : "ok")
                         .arg(line * 3);
        box.appendReceivedText(block, 1000 + line);
        if (line % 2000 == 0) {
            QVERIFY(waitCaughtUp(window));
            QCOMPARE(window.rows(), naiveRows(box.text(), window.filter()));
        }
    }
    QVERIFY(waitCaughtUp(window));
    const QList<qint64> rows = window.rows();
    QCOMPARE(rows, naiveRows(box.text(), window.filter()));
    QVERIFY(rows.size() > 100);
    QVERIFY(box.text().mid(rows.first(), 7) == QStringLiteral("sensor "));
}

// Typed as a user does: the list follows after a pause; a broken expression says so and lists
// nothing; empty lists nothing.
void TestFilter::typingAndBadExpressions()
{
    ReceiveBox box;
    box.appendReceivedText(u"alpha 1\r\nbeta 2\r\nalpha 3\r\n", 1000);
    FilterWindow window(&box);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *text = window.findChild<QLineEdit *>();
    QCheckBox *regex = nullptr;
    QCheckBox *invert = nullptr;
    for (QCheckBox *c : window.findChildren<QCheckBox *>()) {
        regex = c->text() == QStringLiteral("正则表达式") ? c : regex;
        invert = c->text().startsWith(QStringLiteral("反向")) ? c : invert;
    }
    QVERIFY(text && regex && invert);
    QVERIFY(window.rows().isEmpty());
    QTest::keyClicks(text, QStringLiteral("ALPHA"));
    QTRY_COMPARE(window.rows(), (QList<qint64>{0, 17}));
    QTest::mouseClick(invert, Qt::LeftButton);
    QTRY_COMPARE(window.rows(), (QList<qint64>{9}));
    QTest::mouseClick(invert, Qt::LeftButton);
    text->clear();
    QTest::keyClicks(text, QStringLiteral("(alpha"));
    QTest::mouseClick(regex, Qt::LeftButton);
    QTRY_VERIFY(window.status().startsWith(QStringLiteral("正则表达式有误")));
    QVERIFY(window.rows().isEmpty());
    QTest::keyClicks(text, QStringLiteral(")|beta"));
    QTRY_COMPARE(window.rows(), (QList<qint64>{0, 9, 17}));
    QCOMPARE(window.status(), QStringLiteral("3 行"));
}

// A double click on a row shows its line in the box, selected, and the box stays there while
// the board goes on.
void TestFilter::doubleClickShowsTheLine()
{
    ReceiveBox box;
    ReceiveBoxView::show(box);
    QObject::connect(&box, &ReceiveBox::Change, &box, [&box] {
        if (box.followsEnd())
            box.setSelStart(box.length());
    });
    QString text;
    for (int i = 0; i < 400; ++i)
        text += QStringLiteral("%1 line %2\r\n").arg(i % 50 == 7 ? "ERROR" : "info").arg(i);
    box.appendReceivedText(text, 1'700'000'000'000);
    FilterWindow window(&box);
    window.setPattern({QStringLiteral("ERROR"), false, true});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(waitCaughtUp(window));
    QCOMPARE(window.rows().size(), 8);
    auto *list = window.findChild<QTreeView *>();
    const QModelIndex third = list->model()->index(2, 1);
    QCOMPARE(third.data().toString(), QStringLiteral("ERROR line 107"));
    QVERIFY(!list->model()->index(2, 0).data().toString().isEmpty());
    list->scrollTo(third);
    const QPoint at = list->visualRect(third).center();
    // A double click as the system delivers it: a click, then the second press.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(box.selectedText(), QStringLiteral("ERROR line 107"));
    QVERIFY(!box.followsEnd());
    box.appendReceivedText(u"ERROR more\r\n", 1'700'000'001'000);
    QCOMPARE(box.selectedText(), QStringLiteral("ERROR line 107"));
    QTRY_COMPARE(window.rows().size(), 9);
}

QTEST_MAIN(TestFilter)
#include "tst_filter.moc"
