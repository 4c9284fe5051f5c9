#include "plot/plot_data.h"

#include <QDateTime>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace plot {

namespace {

bool isSeparator(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u',' || c == u'\r' || c == u'\n';
}

// The number at the start of part, which may be followed by a unit but not by more of a word
// or a number ("12abc" and "1.2.3" are not numbers).
bool parseNumber(QStringView part, double &value)
{
    char buffer[64];
    qsizetype n = 0;
    qsizetype i = 0;
    if (i < part.size() && part[i] == u'+')
        ++i;
    for (; i < part.size() && n < qsizetype(sizeof buffer); ++i) {
        const char16_t c = part[i].unicode();
        const bool numeric = (c >= u'0' && c <= u'9') || c == u'.' || c == u'-' || c == u'+' ||
                             c == u'e' || c == u'E';
        if (!numeric)
            break;
        buffer[n++] = char(c);
    }
    if (n == 0)
        return false;
    const auto [end, error] = std::from_chars(buffer, buffer + n, value);
    if (error != std::errc() || end != buffer + n || !std::isfinite(value))
        return false;
    // A unit may follow ("℃", "%"), but no ASCII letter or digit: "12abc" is a word.
    for (; i < part.size(); ++i) {
        const char16_t c = part[i].unicode();
        const char16_t lower = c | 0x20;
        if ((c >= u'0' && c <= u'9') || (lower >= u'a' && lower <= u'z'))
            return false;
    }
    return true;
}

// "12:34", "12:34:56", "12:34:56.789", in brackets or parentheses or not.
bool isTimeOfDay(QStringView part)
{
    if (!part.isEmpty() && (part.front() == u'[' || part.front() == u'('))
        part = part.sliced(1);
    if (!part.isEmpty() && (part.back() == u']' || part.back() == u')'))
        part.chop(1);
    const auto digits = [&part](qsizetype at, qsizetype n) {
        if (at + n > part.size())
            return false;
        for (qsizetype i = at; i < at + n; ++i) {
            if (part[i] < u'0' || part[i] > u'9')
                return false;
        }
        return true;
    };
    const qsizetype hour = part.size() > 1 && part[1] == u':' ? 1 : 2;
    if (!digits(0, hour) || part.size() < hour + 3 || part[hour] != u':' || !digits(hour + 1, 2))
        return false;
    qsizetype at = hour + 3;
    if (at == part.size())
        return true;
    if (part[at] != u':' || !digits(at + 1, 2))
        return false;
    at += 3;
    if (at == part.size())
        return true;
    if (part[at] != u'.' || at + 1 == part.size())
        return false;
    return digits(at + 1, part.size() - at - 1);
}

} // namespace

bool parseLine(QStringView line, ParsedLine &out)
{
    out.count = 0;
    bool first = true;
    int position = 0;
    QStringView pendingLabel;
    qsizetype i = 0;
    const qsizetype n = line.size();
    while (i < n && out.count < MaxSeries) {
        while (i < n && isSeparator(line[i].unicode()))
            ++i;
        const qsizetype begin = i;
        while (i < n && !isSeparator(line[i].unicode()))
            ++i;
        if (begin == i)
            break;
        const QStringView part = line.sliced(begin, i - begin);
        const bool atStart = std::exchange(first, false);
        if (atStart && isTimeOfDay(part))
            continue;
        qsizetype named = -1;
        for (qsizetype k = 0; k < part.size(); ++k) {
            if (part[k] == u':' || part[k] == u'=') {
                named = k;
                break;
            }
        }
        double value = 0;
        if (named >= 0) {
            const QStringView label = part.first(named);
            const QStringView rest = part.sliced(named + 1);
            if (rest.isEmpty()) {
                pendingLabel = label;
                continue;
            }
            if (!label.isEmpty() && parseNumber(rest, value))
                out.items[out.count++] = {label, 0, value};
            pendingLabel = {};
            continue;
        }
        if (!parseNumber(part, value)) {
            pendingLabel = {};
            continue;
        }
        if (!pendingLabel.isEmpty())
            out.items[out.count++] = {pendingLabel, 0, value};
        else
            out.items[out.count++] = {{}, ++position, value};
        pendingLabel = {};
    }
    return out.count > 0;
}

Recorder::Recorder(qint64 capacity) : m_capacity(qMax<qint64>(1, capacity)) {}

void Recorder::clear()
{
    m_times = {};
    m_columns = {};
    m_labels.clear();
    m_start = 0;
    m_count = 0;
    m_wallOffsets.clear();
}

void Recorder::noteWallOffset(double t, double offset)
{
    // Only a step counts: the two clocks drift apart by far less as NTP slews.
    constexpr double StepSeconds = 0.5;
    if (m_wallOffsets.empty() || std::abs(offset - m_wallOffsets.back().second) > StepSeconds)
        m_wallOffsets.emplace_back(t, offset);
    // Steps before the oldest kept line are no longer needed, but the one in force then.
    const double oldest = time(0);
    size_t stale = 0;
    while (stale + 1 < m_wallOffsets.size() && m_wallOffsets[stale + 1].first <= oldest)
        ++stale;
    if (stale > 0)
        m_wallOffsets.erase(m_wallOffsets.begin(), m_wallOffsets.begin() + qsizetype(stale));
}

double Recorder::wallTime(double t) const
{
    const auto after =
        std::upper_bound(m_wallOffsets.begin(), m_wallOffsets.end(), t,
                         [](double v, const std::pair<double, double> &e) { return v < e.first; });
    if (after == m_wallOffsets.begin())
        return m_wallOffsets.empty() ? t : t + m_wallOffsets.front().second;
    return t + std::prev(after)->second;
}

int Recorder::seriesFor(const ParsedLine::Item &item)
{
    const QString label =
        item.label.isEmpty() ? QString::number(item.position) : item.label.toString();
    const qsizetype found = m_labels.indexOf(label);
    if (found >= 0)
        return int(found);
    if (m_labels.size() >= MaxSeries)
        return -1;
    m_labels << label;
    m_columns.emplace_back(m_times.size(), std::numeric_limits<float>::quiet_NaN());
    return int(m_labels.size() - 1);
}

void Recorder::add(double t, const ParsedLine &line, double wallOffset)
{
    int series[MaxSeries];
    for (int k = 0; k < line.count; ++k)
        series[k] = seriesFor(line.items[k]);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    size_t slot;
    if (qint64(m_times.size()) < m_capacity) {
        slot = m_times.size();
        m_times.push_back(t);
        for (std::vector<float> &column : m_columns)
            column.push_back(nan);
        ++m_count;
    } else {
        // Full: the oldest line makes room.
        slot = size_t(m_start);
        m_start = (m_start + 1) % m_capacity;
        m_times[slot] = t;
        for (std::vector<float> &column : m_columns)
            column[slot] = nan;
    }
    for (int k = 0; k < line.count; ++k) {
        // A value a float cannot hold would make the automatic range infinite.
        const double value = line.items[k].value;
        if (series[k] >= 0 && std::abs(value) <= double(std::numeric_limits<float>::max()))
            m_columns[size_t(series[k])][slot] = float(value);
    }
    noteWallOffset(t, wallOffset);
}

qint64 Recorder::rowAt(double t) const
{
    qint64 low = 0;
    qint64 high = m_count;
    while (low < high) {
        const qint64 mid = (low + high) / 2;
        if (time(mid) < t)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

qint64 Recorder::memoryBytes() const
{
    qint64 bytes = qint64(m_times.capacity() * sizeof(double));
    for (const std::vector<float> &column : m_columns)
        bytes += qint64(column.capacity() * sizeof(float));
    return bytes;
}

void decimate(const Recorder &recorder, int series, qint64 firstColumn, double secondsPerColumn,
              int width, std::vector<Column> &out)
{
    out.assign(size_t(qMax(0, width)), Column());
    if (width <= 0 || secondsPerColumn <= 0)
        return;
    for (qint64 row = recorder.rowAt(double(firstColumn) * secondsPerColumn - secondsPerColumn);
         row < recorder.rows(); ++row) {
        const qint64 x = qint64(std::floor(recorder.time(row) / secondsPerColumn)) - firstColumn;
        if (x >= width)
            break;
        const float v = recorder.value(series, row);
        if (x < 0 || std::isnan(v))
            continue;
        Column &c = out[size_t(x)];
        if (!c.any) {
            c = {v, v, v, v, true};
            continue;
        }
        c.min = std::min(c.min, v);
        c.max = std::max(c.max, v);
        c.last = v;
    }
}

QByteArray toCsv(const Recorder &recorder)
{
    // Times are seconds since the epoch; the file gives them in local time, to the millisecond.
    QByteArray out = "time";
    for (const QString &label : recorder.labels()) {
        QString cell = label;
        // A spreadsheet runs a cell beginning with one of these as a formula: a leading
        // apostrophe makes it text.
        const bool formula = !cell.isEmpty() && QStringView(u"=+-@\t\r").contains(cell.front());
        if (formula)
            cell.prepend(QLatin1Char('\''));
        // A label with a comma or a quote is quoted, as CSV readers expect.
        if (formula || cell.contains(QLatin1Char(',')) || cell.contains(QLatin1Char('"')))
            cell = QLatin1Char('"') + cell.replace(QLatin1String("\""), QLatin1String("\"\"")) +
                   QLatin1Char('"');
        out += ',' + cell.toUtf8();
    }
    out += "\r\n";
    for (qint64 row = 0; row < recorder.rows(); ++row) {
        out += QDateTime::fromMSecsSinceEpoch(
                   qint64(std::llround(recorder.wallTime(recorder.time(row)) * 1000)))
                   .toString(u"yyyy-MM-dd HH:mm:ss.zzz")
                   .toLatin1();
        for (int s = 0; s < recorder.seriesCount(); ++s) {
            out += ',';
            const float v = recorder.value(s, row);
            if (!std::isnan(v))
                out += QByteArray::number(double(v), 'g', 7);
        }
        out += "\r\n";
    }
    return out;
}

} // namespace plot
