// The plot: the numbers of a line, the ring of samples and its reduction to pixel columns
// against a plain reference, what a frame draws (as segments, not pixels), and the window end
// to end with a pseudo-terminal board: the first partial line dropped, export, settings.
#include "plot/plot_data.h"
#include "plot/plot_view.h"
#include "plot/plot_window.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"
#include "support/window_fixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSpinBox>
#include <QWheelEvent>

#include <cmath>

namespace {

using Values = QList<std::pair<QString, double>>;

Values parsed(const QString &line)
{
    plot::ParsedLine out;
    Values values;
    if (!plot::parseLine(line, out))
        return values;
    for (int i = 0; i < out.count; ++i) {
        const auto &item = out.items[i];
        values.append(
            {item.label.isEmpty() ? QString::number(item.position) : item.label.toString(),
             item.value});
    }
    return values;
}

} // namespace

class TestPlot : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void ringAndDecimation_data();
    void ringAndDecimation();
    void frameStructure();
    void rangeSkipsValuesBeyondFloats();
    void csvQuotesFormulaLabels();
    void overlongLineIsNoSample();
    void wallClockStepsBack();
    void scrolledEqualsRedrawn();
    void windowEndToEnd();
    void controlsAsAUserUsesThem();

private:
    std::unique_ptr<WindowFixture> f;
};

void TestPlot::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Values>("expected");
    QTest::newRow("labels with colon and equals")
        << "a:0.123 b=-4.56\tc:1e-3" << Values{{"a", 0.123}, {"b", -4.56}, {"c", 0.001}};
    QTest::newRow("bare numbers by position, commas")
        << "1,-2.5, 3E2" << Values{{"1", 1}, {"2", -2.5}, {"3", 300}};
    QTest::newRow("mixed: bare ones count among themselves")
        << "x:5 7 y:6 8" << Values{{"x", 5}, {"1", 7}, {"y", 6}, {"2", 8}};
    QTest::newRow("label then a separate number") << "temp: 21.5" << Values{{"temp", 21.5}};
    QTest::newRow("units after the number")
        << "温度=21.3℃ 湿度=40% 计数=7" << Values{{"温度", 21.3}, {"湿度", 40}, {"计数", 7}};
    QTest::newRow("junk between") << "val:abc hello 3 0x1F 1.2.3 12abc +4"
                                  << Values{{"1", 3}, {"2", 4}};
    QTest::newRow("no number") << "Booting... done" << Values{};
    QTest::newRow("not finite") << "inf nan 1e999" << Values{};
    QTest::newRow("a time of day begins the line")
        << "12:34 temp:21.5 7" << Values{{"temp", 21.5}, {"1", 7}};
    QTest::newRow("a stamped line") << "[09:05:59.123] 3, 4" << Values{{"1", 3}, {"2", 4}};
    QTest::newRow("a time in parentheses") << "(23:59:01.5) x=1" << Values{{"x", 1}};
    QTest::newRow("a label and a number are no time")
        << "ch1:34 5" << Values{{"ch1", 34}, {"1", 5}};
    QStringList many;
    Values first16;
    for (int i = 1; i <= 20; ++i) {
        many << QString::number(i);
        if (i <= plot::MaxSeries)
            first16.append({QString::number(i), double(i)});
    }
    QTest::newRow("more than 16") << many.join(QLatin1Char(' ')) << first16;
}

void TestPlot::parse()
{
    QFETCH(QString, line);
    QFETCH(Values, expected);
    QCOMPARE(parsed(line), expected);
}

void TestPlot::ringAndDecimation_data()
{
    QTest::addColumn<qint64>("capacity");
    QTest::addColumn<int>("lines");
    QTest::newRow("not yet full") << qint64(1000) << 700;
    QTest::newRow("wrapped several times") << qint64(257) << 2000;
}

// The kept samples are the newest `capacity` lines; each column's min, max, first and last are
// those a plain scan of the kept samples finds.
void TestPlot::ringAndDecimation()
{
    QFETCH(qint64, capacity);
    QFETCH(int, lines);
    plot::Recorder recorder(capacity);
    QRandomGenerator random(7);
    std::vector<std::tuple<double, float, float>> all; // time, a, b (NaN when absent)
    double t = 1000;
    for (int i = 0; i < lines; ++i) {
        t += random.bounded(0.02);
        const float a = float(random.bounded(200.0) - 100);
        const bool withB = i % 3 != 0;
        const float b = withB ? float(i) : NAN;
        plot::ParsedLine line;
        line.items[0] = {QStringView(u"a"), 0, a};
        line.count = 1;
        if (withB)
            line.items[line.count++] = {QStringView(u"b"), 0, b};
        recorder.add(t, line);
        all.emplace_back(t, a, b);
    }
    const qint64 kept = qMin<qint64>(capacity, lines);
    QCOMPARE(recorder.rows(), kept);
    QCOMPARE(recorder.labels(), QStringList({"a", "b"}));
    const size_t offset = all.size() - size_t(kept);
    for (qint64 row = 0; row < kept; ++row) {
        const auto &[time, a, b] = all[offset + size_t(row)];
        QCOMPARE(recorder.time(row), time);
        QCOMPARE(recorder.value(0, row), a);
        QCOMPARE(std::isnan(recorder.value(1, row)), std::isnan(b));
    }

    const int width = 37;
    const double perColumn = (recorder.time(kept - 1) - recorder.time(kept / 4)) / 30;
    const qint64 column0 = qint64(std::floor(recorder.time(kept / 4) / perColumn));
    const double t0 = double(column0) * perColumn;
    for (int series = 0; series < 2; ++series) {
        std::vector<plot::Column> columns;
        plot::decimate(recorder, series, column0, perColumn, width, columns);
        std::vector<plot::Column> reference(static_cast<size_t>(width));
        for (size_t i = offset; i < all.size(); ++i) {
            const double time = std::get<0>(all[i]);
            const float v = series == 0 ? std::get<1>(all[i]) : std::get<2>(all[i]);
            const qint64 x = qint64(std::floor(time / perColumn)) - column0;
            if (x < 0 || x >= width || std::isnan(v))
                continue;
            plot::Column &c = reference[size_t(x)];
            c.min = c.any ? std::min(c.min, v) : v;
            c.max = c.any ? std::max(c.max, v) : v;
            c.first = c.any ? c.first : v;
            c.last = v;
            c.any = true;
        }
        for (int x = 0; x < width; ++x) {
            const plot::Column &c = columns[size_t(x)];
            const plot::Column &r = reference[size_t(x)];
            QCOMPARE(c.any, r.any);
            if (r.any) {
                QCOMPARE(c.min, r.min);
                QCOMPARE(c.max, r.max);
                QCOMPARE(c.first, r.first);
                QCOMPARE(c.last, r.last);
            }
        }
    }
}

// A constant series is one horizontal line at its height; a hidden one draws nothing; a fixed
// range clips what lies outside to the area's edge.
void TestPlot::frameStructure()
{
    PlotView view;
    view.resize(600, 300);
    plot::ParsedLine line;
    for (int i = 0; i < 200; ++i) {
        line.count = 3;
        line.items[0] = {QStringView(u"flat"), 0, 25};
        line.items[1] = {QStringView(u"hidden"), 0, double(i)};
        line.items[2] = {QStringView(u"high"), 0, 500};
        view.recorder().add(100 + i * 0.04, line);
    }
    view.setHiddenLabels({QStringLiteral("hidden")});
    view.setAutoRange(false);
    view.setFixedRange(0, 100);
    const PlotView::Frame frame = view.frame();
    QCOMPARE(frame.series.size(), 2);
    QCOMPARE(frame.series[0].first, 0);
    QCOMPARE(frame.series[1].first, 2);
    const double flatY = frame.area.bottom() - 0.25 * frame.area.height();
    const auto &flat = frame.series[0].second;
    QVERIFY(!flat.isEmpty());
    double left = frame.area.right();
    double right = frame.area.left();
    for (const QLineF &segment : flat) {
        QCOMPARE(segment.y1(), flatY);
        QCOMPARE(segment.y2(), flatY);
        left = qMin(left, segment.x1());
        right = qMax(right, segment.x2());
    }
    // The last 10 s: eight of them hold samples, reaching the right edge.
    QVERIFY(right > frame.area.right() - 2);
    QVERIFY(left < frame.area.right() - 0.7 * frame.area.width());
    for (const QLineF &segment : frame.series[1].second) {
        QCOMPARE(segment.y1(), frame.area.top());
        QCOMPARE(segment.y2(), frame.area.top());
    }
    // The automatic range holds every visible sample.
    view.setAutoRange(true);
    const PlotView::Frame automatic = view.frame();
    QVERIFY(automatic.y0 < 25 && automatic.y1 > 500);
}

// A value a float cannot hold is no sample: the automatic range stays finite and the curve is
// drawn.
void TestPlot::rangeSkipsValuesBeyondFloats()
{
    PlotView view;
    view.resize(600, 300);
    plot::ParsedLine line;
    const double values[] = {1, 1e39, -1e39, 3};
    for (int i = 0; i < 4; ++i) {
        line.count = 1;
        line.items[0] = {QStringView(u"x"), 0, values[i]};
        view.recorder().add(100 + i * 0.5, line);
    }
    QVERIFY(std::isnan(view.recorder().value(0, 1)));
    QVERIFY(std::isnan(view.recorder().value(0, 2)));
    const PlotView::Frame frame = view.frame();
    QVERIFY(std::isfinite(frame.y0) && std::isfinite(frame.y1));
    QVERIFY2(frame.y0 < 1 && frame.y1 > 3 && frame.y1 < 10,
             qPrintable(QStringLiteral("%1 %2").arg(frame.y0).arg(frame.y1)));
    QCOMPARE(frame.series.size(), 1);
    QVERIFY(!frame.series[0].second.isEmpty());
}

// A label a spreadsheet would run as a formula becomes text; the rest stays as it was.
void TestPlot::csvQuotesFormulaLabels()
{
    plot::Recorder recorder;
    plot::ParsedLine line;
    const char16_t *labels[] = {u"=SUM(A1)", u"@x", u"ok", u"-x", u"+y", u"温度"};
    line.count = 6;
    for (int i = 0; i < line.count; ++i)
        line.items[i] = {QStringView(labels[i]), 0, double(i)};
    recorder.add(10, line, 0);
    QVERIFY(plot::toCsv(recorder).startsWith(
        QStringLiteral("time,\"'=SUM(A1)\",\"'@x\",ok,\"'-x\",\"'+y\",温度\r\n").toUtf8()));
}

// A line without a break for longer than any printed sample is dropped up to its break instead of
// growing without end.
void TestPlot::overlongLineIsNoSample()
{
    PlotWindow window;
    window.addText(u"\r\n", 0, 0);
    window.addText(QString(PlotWindow::MaxLineChars, u'x') + QStringLiteral(" 7"), 10, 10);
    window.addText(u" 8\r\n9\r\n", 20, 20);
    QCOMPARE(window.view()->recorder().rows(), 1);
    QCOMPARE(window.view()->recorder().value(0, 0), 9.0f);
}

// The wall clock steps back an hour (NTP, the end of daylight saving) while a board prints: the
// samples stay in order and in the picture; the export gives each the wall time it came at.
void TestPlot::wallClockStepsBack()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
    QVERIFY(f->openBoard());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("波形图…")}).isEmpty());
    auto *window = f->window->findChild<PlotWindow *>(QStringLiteral("PlotWindow"));
    const plot::Recorder &recorder = window->view()->recorder();
    const QDate day(2026, 10, 25);
    f->platform->monotonic = 7000000;
    f->platform->moment = QDateTime(day, QTime(3, 0, 0, 0));
    QVERIFY(f->board.write("\r\nv:1\r\n"));
    QTRY_COMPARE(recorder.rows(), 1);
    f->platform->monotonic = 7001000;
    f->platform->moment = QDateTime(day, QTime(2, 0, 1, 0));
    QVERIFY(f->board.write("v:2\r\n"));
    QTRY_COMPARE(recorder.rows(), 2);

    QVERIFY(recorder.time(0) < recorder.time(1));
    const PlotView::Frame frame = window->view()->frame();
    QVERIFY(frame.t0 <= recorder.time(0) && recorder.time(1) <= frame.t1);
    QCOMPARE(frame.series.size(), 1);
    QVERIFY(!frame.series[0].second.isEmpty());
    const QString csv = f->dir.filePath(QStringLiteral("plot.csv"));
    f->platform->saveAnswers = {csv};
    window->findChild<QPushButton *>(QStringLiteral("PlotExportCsv"))->click();
    QCOMPARE(readBytes(csv), QByteArray("time,v\r\n2026-10-25 03:00:00.000,1\r\n"
                                        "2026-10-25 02:00:01.000,2\r\n"));
}

// While streaming, the picture scrolls and draws only its newest columns: after many such frames
// it is the very picture a full redraw makes.
void PlotView_feed(PlotView &view, int from, int to)
{
    plot::ParsedLine line;
    for (int i = from; i < to; ++i) {
        line.count = 2;
        line.items[0] = {QStringView(u"sin"), 0, 50 + 40 * std::sin(i * 0.05)};
        line.items[1] = {QStringView(u"steps"), 0, double((i / 37) % 5 * 20)};
        // Lines come in blocks of a few, as from a USB adapter, with a pause now and then.
        view.recorder().add(1000 + (i / 4) * 0.011 + (i / 300) * 0.4, line);
    }
}

void TestPlot::scrolledEqualsRedrawn()
{
    PlotView view;
    view.resize(500, 260);
    view.setAutoRange(false);
    view.setFixedRange(0, 100);
    view.setWindowSeconds(3);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    for (int i = 0; i < 60; ++i) {
        PlotView_feed(view, i * 40, (i + 1) * 40);
        view.repaint();
    }
    const QImage scrolled = view.grab().toImage();
    // Hiding and showing a series draws the whole picture anew.
    view.setHiddenLabels({QStringLiteral("steps")});
    view.repaint();
    QVERIFY(view.grab().toImage() != scrolled);
    view.setHiddenLabels({});
    view.repaint();
    QCOMPARE(view.grab().toImage(), scrolled);
}

// Right click, "波形图…", a board printing lines: the line under way when the window opened is
// dropped, the rest is recorded at its arrival time, exported exactly, and the window's
// settings outlive it.
void TestPlot::windowEndToEnd()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
    QVERIFY(f->openBoard());
    QVERIFY(f->board.write("a:9 b:9"));
    QTRY_COMPARE(f->counter("RevNum"), QStringLiteral("7"));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("波形图…")}).isEmpty());
    auto *window = f->window->findChild<PlotWindow *>(QStringLiteral("PlotWindow"));
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("波形图"));

    f->platform->moment = QDateTime(QDate(2026, 12, 8), QTime(12, 0, 0, 250));
    QVERIFY(f->board.write(" c:9\r\na:1 b:-2.5\r\n"));
    QTRY_COMPARE(window->view()->recorder().rows(), 1);
    f->platform->moment = QDateTime(QDate(2026, 12, 8), QTime(12, 0, 1, 0));
    QVERIFY(f->board.write("b:3e2\r\nno numbers\r\n4"));
    QTRY_COMPARE(window->view()->recorder().rows(), 2);

    const QString csv = f->dir.filePath(QStringLiteral("plot.csv"));
    f->platform->saveAnswers = {csv};
    window->findChild<QPushButton *>(QStringLiteral("PlotExportCsv"))->click();
    QCOMPARE(readBytes(csv), QByteArray("time,a,b\r\n2026-12-08 12:00:00.250,1,-2.5\r\n"
                                        "2026-12-08 12:00:01.000,,300\r\n"));
    const QString png = f->dir.filePath(QStringLiteral("plot.png"));
    f->platform->saveAnswers = {png};
    window->findChild<QPushButton *>(QStringLiteral("PlotExportImage"))->click();
    QVERIFY(QImage(png).size() == window->view()->size() * window->view()->devicePixelRatio());

    // Hex display plots nothing and says so.
    f->control<QRadioButton>("RevHexSel")->setChecked(true);
    QVERIFY(f->board.write("\r\nc:1\r\n"));
    QTRY_VERIFY(f->revText().endsWith(QStringLiteral("0A ")));
    QCOMPARE(window->view()->recorder().rows(), 2);

    window->findChild<QSpinBox *>(QStringLiteral("PlotSeconds"))->setValue(42);
    window->close();
    QCOMPARE(SettingsFile(f->iniPath()).read("波形图", "窗口秒数", "?"), QStringLiteral("42"));
    QVERIFY(!SettingsFile(f->iniPath()).read("波形图", "位置", {}).isEmpty());
    QTRY_VERIFY(!f->window->findChild<PlotWindow *>(QStringLiteral("PlotWindow")));
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("波形图…")}).isEmpty());
    window = f->window->findChild<PlotWindow *>(QStringLiteral("PlotWindow"));
    QCOMPARE(window->view()->windowSeconds(), 42.0);
    QCOMPARE(window->view()->recorder().rows(), 0);
}

// The window's controls reached the way a user does: typing a bound and leaving it with Return
// or the focus, the range box and the legend clicked, Space, the wheel and a drag on the plot.
void TestPlot::controlsAsAUserUsesThem()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->isValid());
    QVERIFY(f->showWindow(true));
    QVERIFY(f->openBoard());
    QVERIFY(!f->useMenu("RevText", {QStringLiteral("波形图…")}).isEmpty());
    auto *window = f->window->findChild<PlotWindow *>(QStringLiteral("PlotWindow"));
    QVERIFY(QTest::qWaitForWindowExposed(window));
    PlotView *view = window->view();
    QByteArray lines = "\r\n";
    for (int i = 0; i < 50; ++i)
        lines += "volt:" + QByteArray::number(i % 10) + " amp:" + QByteArray::number(i) + "\r\n";
    QVERIFY(f->board.write(lines));
    QTRY_COMPARE(view->recorder().rows(), 50);
    view->repaint();

    // The legend's first entry, "volt", hides its series; the setting follows.
    const PlotView::Frame shown = view->frame();
    QTest::mouseClick(view, Qt::LeftButton, {}, (shown.area.topLeft() + QPointF(14, 12)).toPoint());
    QCOMPARE(view->hiddenLabels(), QStringList{QStringLiteral("volt")});
    QCOMPARE(view->frame().series.size(), 1);
    QCOMPARE(SettingsFile(f->iniPath()).read("波形图", "隐藏", "?"), QStringLiteral("volt"));

    // A fixed range: the box unticked with the mouse, the bounds typed.
    auto *automatic = window->findChild<QCheckBox *>(QStringLiteral("PlotAutoRange"));
    QTest::mouseClick(automatic, Qt::LeftButton, {}, QPoint(4, automatic->height() / 2));
    QVERIFY(!automatic->isChecked());
    auto *min = window->findChild<QLineEdit *>(QStringLiteral("PlotMin"));
    auto *max = window->findChild<QLineEdit *>(QStringLiteral("PlotMax"));
    min->setFocus();
    min->selectAll();
    QTest::keyClicks(min, QStringLiteral("-5"));
    QTest::keyClick(min, Qt::Key_Return);
    max->setFocus();
    max->selectAll();
    QTest::keyClicks(max, QStringLiteral("60"));
    view->setFocus();
    QCOMPARE(view->frame().y0, -5.0);
    QCOMPARE(view->frame().y1, 60.0);
    // A bound beyond any number is not taken: the last good one comes back.
    max->setFocus();
    max->selectAll();
    QTest::keyClicks(max, QStringLiteral("1e400"));
    QTest::keyClick(max, Qt::Key_Return);
    QCOMPARE(max->text(), QStringLiteral("60"));
    QCOMPARE(view->frame().y1, 60.0);
    QCOMPARE(SettingsFile(f->iniPath()).read("波形图", "自动范围", "?"), QStringLiteral("0"));
    QCOMPARE(SettingsFile(f->iniPath()).read("波形图", "最大", "?"), QStringLiteral("60"));

    // Space freezes: data goes on being recorded, the picture stays; the wheel zooms and a drag
    // pans; Space again follows the board.
    QTest::keyClick(view, Qt::Key_Space);
    QVERIFY(view->isFrozen());
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("PlotFreeze"))->isChecked());
    const double frozenRight = view->frame().t1;
    f->platform->moment = QDateTime::currentDateTime().addSecs(30);
    QVERIFY(f->board.write("volt:1 amp:1\r\n"));
    QTRY_COMPARE(view->recorder().rows(), 51);
    QCOMPARE(view->frame().t1, frozenRight);
    const QPoint middle = shown.area.center().toPoint();
    QWheelEvent wheel(middle, view->mapToGlobal(middle), {}, QPoint(0, 120), Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
    QCOMPARE(view->windowSeconds(), 8.0);
    QCOMPARE(window->findChild<QSpinBox *>(QStringLiteral("PlotSeconds"))->value(), 8);
    const double zoomedRight = view->frame().t1;
    QTest::mousePress(view, Qt::LeftButton, {}, middle);
    QTest::mouseMove(view, middle + QPoint(300, 0));
    QTest::mouseRelease(view, Qt::LeftButton, {}, middle + QPoint(300, 0));
    QVERIFY(view->frame().t1 < zoomedRight - 1);
    QTest::keyClick(view, Qt::Key_Space);
    QVERIFY(!view->isFrozen());
    QVERIFY(view->frame().t1 > frozenRight + 20);
}

QTEST_MAIN(TestPlot)
#include "tst_plot.moc"
