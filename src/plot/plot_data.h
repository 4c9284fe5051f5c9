#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// What the plot window draws, without a widget: the numbers of a text line, the samples kept
// for each series, and their reduction to one column of pixels at a time.
namespace plot {

constexpr int MaxSeries = 16;

// The numbers of one line as Arduino's plotter and SerialPlot users print them: parts split by
// blanks, tabs or commas; "label:value" or "label=value" names its series (so does "label:"
// before a bare number); a bare number is series 1, 2, 3 … by its place among the bare numbers.
// Decimal, negative and exponent forms count; a unit right after the number ("21.5℃", "40%")
// is allowed. A time of day that begins the line ("12:34", "[12:34:56.789]") is not a value.
// At most MaxSeries values are taken.
struct ParsedLine
{
    struct Item
    {
        QStringView label; // empty: a bare number
        int position = 0;  // 1, 2, 3 … among the bare numbers
        double value = 0;
    };
    Item items[MaxSeries];
    int count = 0;
};
// False when the line holds no number.
bool parseLine(QStringView line, ParsedLine &out);

// The samples of every series, oldest first, in a ring that keeps the newest `capacity` lines:
// one time per line and one float per series and line (NaN where a line had no value for it, or
// a value beyond the range of a float). Times are seconds of a monotonic clock, so that the wall
// clock stepping back (NTP, a manual change, the end of daylight saving) neither reorders the
// samples nor blanks the picture; the wall clock is kept as an offset, noted where it stepped.
class Recorder
{
public:
    // Ten minutes at a thousand lines a second.
    static constexpr qint64 DefaultCapacity = 600000;

    explicit Recorder(qint64 capacity = DefaultCapacity);
    void clear();
    // Records a parsed line that arrived at t, when the wall clock read t + wallOffset (seconds
    // since the epoch); series are made as labels first appear.
    void add(double t, const ParsedLine &line, double wallOffset = 0);
    // The wall clock's reading, in seconds since the epoch, at time t.
    [[nodiscard]] double wallTime(double t) const;

    [[nodiscard]] int seriesCount() const { return int(m_labels.size()); }
    [[nodiscard]] const QStringList &labels() const { return m_labels; }
    [[nodiscard]] qint64 rows() const { return m_count; }
    [[nodiscard]] double time(qint64 row) const { return m_times[physical(row)]; }
    [[nodiscard]] float value(int series, qint64 row) const
    {
        return m_columns[size_t(series)][physical(row)];
    }
    // The first row at or after t (rows() when none).
    [[nodiscard]] qint64 rowAt(double t) const;
    [[nodiscard]] qint64 memoryBytes() const;

private:
    [[nodiscard]] size_t physical(qint64 row) const
    {
        return size_t((m_start + row) % qint64(m_times.size()));
    }
    int seriesFor(const ParsedLine::Item &item);
    void noteWallOffset(double t, double offset);

    qint64 m_capacity;
    std::vector<double> m_times;
    std::vector<std::vector<float>> m_columns;
    QStringList m_labels;
    qint64 m_start = 0;
    qint64 m_count = 0;
    // (from time, wall offset), ascending: one entry per step of the wall clock.
    std::vector<std::pair<double, double>> m_wallOffsets;
};

// One pixel column of one series: the smallest and largest sample in it, and the first and
// last, which join it to its neighbours.
struct Column
{
    float min = 0;
    float max = 0;
    float first = 0;
    float last = 0;
    bool any = false;
};
// The columns of series from column firstColumn on, column n holding the samples of
// [n * secondsPerColumn, (n + 1) * secondsPerColumn): numbered from time 0, so that a column
// holds the same samples however the picture is cut.
void decimate(const Recorder &recorder, int series, qint64 firstColumn, double secondsPerColumn,
              int width, std::vector<Column> &out);

// The recorded values as CSV: a header of "time" and the labels, then one row per line, its local
// wall-clock time to the millisecond and an empty cell where a line had no value for a series. A
// label that a spreadsheet would take for a formula (= + - @) is quoted as text.
[[nodiscard]] QByteArray toCsv(const Recorder &recorder);

} // namespace plot
