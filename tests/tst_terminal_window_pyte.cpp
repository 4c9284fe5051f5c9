// Sequences fed straight to the window against python3-pyte drawing the same bytes on a screen
// of the same size: the screen's text, cursor and styles, the lines kept in the scrollback, and
// the alternate screen.
#include "tst_terminal_window.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

PyteScreen pyteScreen(const QByteArray &bytes, int rows, int columns, bool styles, bool history)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("stream")));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    QStringList arguments{QStringLiteral(ZELQO_TESTS_DIR "/support/pyte_screen.py"),
                          file.fileName(), QString::number(rows), QString::number(columns)};
    if (styles)
        arguments << QStringLiteral("styles");
    if (history)
        arguments << QStringLiteral("history");
    QProcess pyte;
    pyte.start(debianPython, arguments);
    if (!pyte.waitForFinished(programTimeoutMs) || pyte.exitCode() != 0) {
        qWarning("pyte: %s", pyte.readAllStandardError().constData());
        return {};
    }
    QStringList lines = QString::fromUtf8(pyte.readAllStandardOutput()).split(QLatin1Char('\n'));
    const QStringList cursor = lines.takeFirst().split(QLatin1Char(' '));
    lines.removeLast(); // after the last line's break
    PyteScreen out;
    out.cursor = QPoint(cursor.value(1).toInt(), cursor.value(0).toInt());
    out.rows = lines.mid(0, rows);
    const qsizetype styleCount = styles ? rows : 0;
    out.styles = lines.mid(rows, styleCount);
    if (history)
        out.history = lines.mid(rows + styleCount + 1, lines.value(rows + styleCount).toInt());
    return out;
}

namespace {

// The screen's styles spelled as pyte_screen.py spells pyte's.
QStringList styleRows(const term::ScreenModel &screen)
{
    QHash<term::Rgb, QChar> letters[2];
    auto letter = [&](int i, bool isDefault, term::Rgb rgb) {
        if (isDefault)
            return QChar(u'd');
        const auto found = letters[i].constFind(rgb);
        if (found != letters[i].cend())
            return *found;
        const QChar next(char16_t(u'A' + letters[i].size()));
        letters[i].insert(rgb, next);
        return next;
    };
    QStringList out;
    for (int r = 0; r < screen.rows(); ++r) {
        QList<std::pair<QString, int>> runs;
        for (int c = 0; c < screen.columns(); ++c) {
            const term::Cell cell = screen.row(r).at(c);
            if (cell.ch == term::Cell::Continuation)
                continue;
            QString key = QString(letter(0, cell.flags & term::Cell::DefaultFg, cell.fg)) + u'.' +
                          letter(1, cell.flags & term::Cell::DefaultBg, cell.bg) + u'.';
            for (const auto &[flag, name] : {std::pair{term::Cell::Bold, u'b'},
                                             {term::Cell::Italic, u'i'},
                                             {term::Cell::Underline, u'u'},
                                             {term::Cell::Strike, u's'},
                                             {term::Cell::Reverse, u'r'}}) {
                if (cell.flags & flag)
                    key += QChar(name);
            }
            if (!runs.isEmpty() && runs.last().first == key)
                ++runs.last().second;
            else
                runs.append({key, 1});
        }
        QStringList spelled;
        for (const auto &[key, count] : runs)
            spelled.append(key + u'*' + QString::number(count));
        out.append(spelled.join(u' '));
    }
    return out;
}

// Rows 1 to n, numbered, for the edits below to move about.
QByteArray numberedRows(int n)
{
    QByteArray out("\x1b[2J\x1b[H");
    for (int i = 1; i <= n; ++i)
        out += "row " + QByteArray::number(i) + (i < n ? "\r\n" : "");
    return out;
}

} // namespace

void TestTerminalWindow::screenMatchesPyte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("styles");
    const QByteArray rows20 = numberedRows(20);
    const QByteArray rows24 = numberedRows(24);
    QTest::newRow("lines off the top") << numberedRows(40) << false;
    QTest::newRow("a long line wraps") << QByteArray(200, 'x') + "end" << false;
    QTest::newRow("line feeds in a scroll region")
        << rows24 + "\x1b[5;10r\x1b[10;1H\n\n\nnew\x1b[r" << false;
    QTest::newRow("reverse index in a scroll region")
        << rows24 + "\x1b[5;10r\x1b[5;1H\x1bM\x1bMtop\x1b[r" << false;
    QTest::newRow("reverse index at the top") << rows24 + "\x1b[H\x1bM\x1bMtop" << false;
    QTest::newRow("insert and delete lines")
        << rows20 + "\x1b[5;1H\x1b[3L\x1b[12;1H\x1b[2M\x1b[30;1H\x1b[L" << false;
    QTest::newRow("more lines inserted and deleted than the region holds")
        << rows24 + "\x1b[3;6r\x1b[4;1H\x1b[30M\x1b[8;12r\x1b[9;1H\x1b[30L\x1b[r" << false;
    QTest::newRow("insert, delete and erase characters")
        << QByteArray("abcdefghij\x1b[1;3H\x1b[4@XY\x1b[1;8H\x1b[3P\r\n0123456789\x1b[2;4H"
                      "\x1b[3X\x1b[3;75Habcdef\x1b[3;78H\x1b[10P\x1b[4;78H\x1b[9@z\x1b[5;1H")
        << false;
    QTest::newRow("erase in line")
        << rows20 + "\x1b[3;5H\x1b[K\x1b[4;5H\x1b[1K\x1b[5;5H\x1b[2K" << false;
    QTest::newRow("erase below") << rows20 + "\x1b[8;3H\x1b[J" << false;
    QTest::newRow("erase above") << rows20 + "\x1b[8;3H\x1b[1J" << false;
    QTest::newRow("erase all") << rows20 + "\x1b[8;3H\x1b[2Jx" << false;
    QTest::newRow("insert mode") << QByteArray("abcdef\r\x1b[4hXY\x1b[4lZ\r\n") << false;
    QTest::newRow("tab stops") << QByteArray(
                                      "a\tb\tc\r\n\x1b[3g\x1b[2;5H\x1bH\x1b[2;30H\x1bH\r\tX\tY")
                               << false;
    QTest::newRow("cursor saved and restored") << QByteArray("ab\x1b"
                                                             "7\x1b[10;10Hcd\x1b"
                                                             "8ef")
                                               << false;
    QTest::newRow("origin mode") << rows24 + "\x1b[5;10r\x1b[?6h\x1b[1;1Htop\x1b[3;2Hthird"
                                             "\x1b[?6l\x1b[r"
                                 << false;
    QTest::newRow("cursor moves")
        << QByteArray("\x1b[10;10HA\x1b[2AB\x1b[3BC\x1b[5DD\x1b[2CE\x1b[20GF\x1b[3dG"
                      "\x1b[2EH\x1b[1FI\x1b[99;99fJ\x1b[2;2H")
        << false;
    QTest::newRow("backspace and carriage return") << QByteArray("hello\b\b\bXY\rZ") << false;
    QTest::newRow("new line mode") << QByteArray("ab\x1b[20h\ncd\x1b[20l\nef") << false;
    QTest::newRow("wide characters overwritten whole")
        << QByteArray("\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\r\x1b[1;3Hxy") << false;
    QTest::newRow("combining marks") << QByteArray("e\xcc\x81 a\xcc\x8a\xcc\x81 o") << false;
    QTest::newRow("alignment pattern") << QByteArray("\x1b#8\x1b[3;3Hx") << false;
    QTest::newRow("attributes and colours")
        << QByteArray("\x1b[1mbold\x1b[0m \x1b[3mit\x1b[23m \x1b[4mun\x1b[24m \x1b[9mst\x1b[29m "
                      "\x1b[7mrev\x1b[27m \x1b[31mred\x1b[32mgreen\x1b[39m \x1b[44mblue\x1b[49m "
                      "\x1b[38;5;200m256\x1b[38;2;1;2;3mrgb\x1b[0m\r\n\x1b[1;31;43mboth\x1b[22m"
                      "x\x1b[0m")
        << true;
    QTest::newRow("erased with the background colour")
        << rows20 + "\x1b[44m\x1b[3;3H\x1b[K\x1b[5;5H\x1b[1K\x1b[41m\x1b[7;3H\x1b[2K\x1b[8;3H"
                    "\x1b[4X\x1b[0m"
        << true;
    QTest::newRow("colours moved by insert and delete")
        << QByteArray("\x1b[31mred\x1b[32mgreen\x1b[0m plain\x1b[1;2H\x1b[2@\x1b[1;10H\x1b[3P")
        << true;
}

// Sequences fed straight to the window, against pyte drawing the same bytes on a screen of the
// same size: text, the cursor and, where asked, every cell's colours and attributes.
void TestTerminalWindow::screenMatchesPyte()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, styles);
    TerminalFixture f;
    f.window->receive(bytes);
    const term::ScreenModel &screen = f.screen();
    const PyteScreen pyte = pyteScreen(bytes, screen.rows(), screen.columns(), styles);
    QVERIFY(!pyte.rows.isEmpty());
    QStringList text = screen.screenText();
    for (QString &row : text)
        row = row.normalized(QString::NormalizationForm_C);
    QCOMPARE(text, pyte.rows);
    QCOMPARE(QPoint(screen.cursor().column, screen.cursor().row), pyte.cursor);
    if (styles)
        QCOMPARE(styleRows(screen), pyte.styles);
}

void TestTerminalWindow::scrollbackMatchesPyte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("limit");
    QByteArray log;
    for (int n = 0; n < 300; ++n)
        log += (n % 3 == 0 ? "\x1b[0;32mI (" + QByteArray::number(n * 17) + ") wifi\x1b[0m"
                           : "temp=" + QByteArray::number(n)) +
               "\r\n";
    QByteArray wrapped;
    for (int n = 0; n < 40; ++n)
        wrapped += QByteArray(100 + n, char('a' + n % 26)) + "\r\n";
    QByteArray region = numberedRows(24) + "\x1b[1;10r\x1b[10;1H";
    for (int n = 0; n < 30; ++n)
        region += "\nregion " + QByteArray::number(n);
    region += "\x1b[r";
    QByteArray wide;
    for (int n = 0; n < 40; ++n)
        wide += "\xe4\xb8\xad\xe6\x96\x87 " + QByteArray::number(n) + " e\xcc\x81\r\n";
    QTest::newRow("log lines") << log << 10000;
    QTest::newRow("log lines, the oldest dropped") << log << 100;
    QTest::newRow("long lines wrapped") << wrapped << 10000;
    QTest::newRow("coloured blanks at the ends")
        << QByteArray("\x1b[41m   \x1b[0m\r\n").repeated(30) +
               QByteArray("x\x1b[44m  \x1b[0m  \r\n").repeated(30)
        << 10000;
    QTest::newRow("a scroll region at the top") << region << 10000;
    QTest::newRow("index at the bottom")
        << numberedRows(24) + "\x1b" + "D\x1b" + "Dnext\r\x1b" + "Dline" << 10000;
    QTest::newRow("wide characters and combining marks") << wide << 10000;
}

// The lines that scrolled off the top, as pyte keeps them; a bound drops the oldest.
void TestTerminalWindow::scrollbackMatchesPyte()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, limit);
    TerminalFixture f;
    term::Options options;
    options.scrollbackLines = limit;
    f.window->setOptions(options);
    f.window->receive(bytes);
    const term::ScreenModel &screen = f.screen();
    const PyteScreen pyte = pyteScreen(bytes, screen.rows(), screen.columns(), false, true);
    QVERIFY(!pyte.rows.isEmpty());
    QStringList kept;
    for (qsizetype i = 0; i < screen.scrollbackCount(); ++i)
        kept.append(screen.scrollbackLine(i).text().normalized(QString::NormalizationForm_C));
    QCOMPARE(screen.droppedLines() + screen.scrollbackCount(), pyte.history.size());
    QCOMPARE(kept, pyte.history.mid(pyte.history.size() - kept.size()));
    QStringList text = screen.screenText();
    for (QString &row : text)
        row = row.normalized(QString::NormalizationForm_C);
    QCOMPARE(text, pyte.rows);
}

// A full-screen program's screen leaves nothing behind: the board's screen comes back as it was,
// with the cursor, and nothing the program drew went to the scrollback.
void TestTerminalWindow::alternateScreen()
{
    TerminalFixture f;
    f.window->receive(numberedRows(40) + "\x1b[3;4H");
    const QStringList primary = f.screen().screenText();
    const qint64 kept = f.screen().droppedLines() + f.screen().scrollbackCount();
    QByteArray program("\x1b[?1049h\x1b[H");
    for (int i = 0; i < 100; ++i)
        program += "full screen " + QByteArray::number(i) + "\r\n";
    f.window->receive(program);
    QVERIFY(f.shows(QStringLiteral("full screen 99")));
    QVERIFY(!f.shows(QStringLiteral("row 40")));
    f.window->receive("\x1b[?1049l");
    QCOMPARE(f.screen().screenText(), primary);
    QCOMPARE(QPoint(f.screen().cursor().column, f.screen().cursor().row), QPoint(3, 2));
    QCOMPARE(f.screen().droppedLines() + f.screen().scrollbackCount(), kept);
    f.window->receive("\r\nafter");
    QVERIFY(f.shows(QStringLiteral("after")));
}
