#include "textview/highlight_rules.h"

#include <algorithm>

namespace {

constexpr quint32 Red = 0xC00000;
constexpr quint32 Yellow = 0x9A6700;
constexpr quint32 Green = 0x007A00;
constexpr quint32 Dim = 0x808080;

HighlightRule lineRule(const QString &pattern, bool regex, quint32 colour, bool bold = false)
{
    HighlightRule rule;
    rule.pattern = pattern;
    rule.regex = regex;
    rule.matchCase = true;
    rule.wholeLine = true;
    rule.colour = colour;
    rule.bold = bold;
    return rule;
}

HighlightRule wordRule(const QString &text, quint32 colour)
{
    HighlightRule rule;
    rule.pattern = text;
    rule.colour = colour;
    rule.bold = true;
    return rule;
}

QString colourText(const std::optional<quint32> &colour)
{
    return colour ? QStringLiteral("#%1").arg(*colour, 6, 16, QLatin1Char('0')).toUpper()
                  : QString();
}

std::optional<quint32> colourFrom(QStringView text, bool *ok)
{
    if (text.isEmpty())
        return std::nullopt;
    bool valid = false;
    const uint value = text.startsWith(u'#') ? text.sliced(1).toUInt(&valid, 16) : 0;
    if (!valid || text.size() != 7)
        *ok = false;
    return value & 0xFFFFFF;
}

// What would make a rule mean something else inside the combined expression, where its groups
// are numbered after those of the rules before it.
bool refersToGroups(const QString &pattern)
{
    static const QRegularExpression references(
        QStringLiteral(R"(\\[1-9gk]|\(\?P[=>]|\(\?[-+]?[0-9R&])"));
    return references.match(pattern).hasMatch();
}

} // namespace

namespace highlightpresets {

const QList<Preset> &all()
{
    static const QList<Preset> presets = {
        {QStringLiteral("ESP-IDF"),
         {lineRule(QStringLiteral(R"(^E \([\d:.]+\) )"), true, Red),
          lineRule(QStringLiteral(R"(^W \([\d:.]+\) )"), true, Yellow),
          lineRule(QStringLiteral(R"(^I \([\d:.]+\) )"), true, Green),
          lineRule(QStringLiteral(R"(^[DV] \([\d:.]+\) )"), true, Dim)}},
        {QStringLiteral("Zephyr"),
         {lineRule(QStringLiteral("<err>"), false, Red),
          lineRule(QStringLiteral("<wrn>"), false, Yellow),
          lineRule(QStringLiteral("<inf>"), false, Green),
          lineRule(QStringLiteral("<dbg>"), false, Dim)}},
        {QStringLiteral("Arduino-ESP32"),
         {lineRule(QStringLiteral(R"(^(\[ *\d+\])?\[E\]\[)"), true, Red),
          lineRule(QStringLiteral(R"(^(\[ *\d+\])?\[W\]\[)"), true, Yellow),
          lineRule(QStringLiteral(R"(^(\[ *\d+\])?\[I\]\[)"), true, Green),
          lineRule(QStringLiteral(R"(^(\[ *\d+\])?\[[DV]\]\[)"), true, Dim)}},
        {QStringLiteral("RT-Thread ulog"),
         {lineRule(QStringLiteral(R"((^|[ \[])[AE]/[\w.-]+[:\]])"), true, Red),
          lineRule(QStringLiteral(R"((^|[ \[])W/[\w.-]+[:\]])"), true, Yellow),
          lineRule(QStringLiteral(R"((^|[ \[])I/[\w.-]+[:\]])"), true, Green),
          lineRule(QStringLiteral(R"((^|[ \[])D/[\w.-]+[:\]])"), true, Dim)}},
        {QStringLiteral("ERROR / WARN / 错误 / 失败 / 警告"),
         {wordRule(QStringLiteral("ERROR"), Red), wordRule(QStringLiteral("WARN"), Yellow),
          wordRule(QStringLiteral("错误"), Red), wordRule(QStringLiteral("失败"), Red),
          wordRule(QStringLiteral("警告"), Yellow)}},
    };
    return presets;
}

} // namespace highlightpresets

namespace highlightstore {

// Each rule as on,regex,case,whole line,colour,background,bold,pattern: flags 0 or 1, colours
// #RRGGBB or empty, and the pattern last, so that it may hold anything.
QList<std::pair<QString, QString>> toPairs(const HighlightRules &rules)
{
    const auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
    QList<std::pair<QString, QString>> pairs{{firstMatchKey, flag(rules.firstMatchWins)}};
    for (qsizetype i = 0; i < rules.rules.size(); ++i) {
        const HighlightRule &r = rules.rules.at(i);
        const QStringList fields{flag(r.enabled),      flag(r.regex),
                                 flag(r.matchCase),    flag(r.wholeLine),
                                 colourText(r.colour), colourText(r.background),
                                 flag(r.bold),         r.pattern};
        pairs.append({QString::number(i + 1), fields.join(QLatin1Char(','))});
    }
    return pairs;
}

HighlightRules fromPairs(const QList<std::pair<QString, QString>> &pairs)
{
    HighlightRules rules;
    QList<std::pair<int, HighlightRule>> numbered;
    for (const auto &[key, value] : pairs) {
        if (key == firstMatchKey) {
            rules.firstMatchWins = value == QLatin1String("1");
            continue;
        }
        bool ok = false;
        const int number = key.toInt(&ok);
        const QStringView rest(value);
        QList<QStringView> fields;
        qsizetype from = 0;
        for (int f = 0; f < 7; ++f) {
            const qsizetype comma = rest.indexOf(u',', from);
            if (comma < 0) {
                ok = false;
                break;
            }
            fields.append(rest.sliced(from, comma - from));
            from = comma + 1;
        }
        if (!ok || number < 1)
            continue;
        const auto flag = [&ok](QStringView f) {
            ok = ok && (f == u"0" || f == u"1");
            return f == u"1";
        };
        HighlightRule rule;
        rule.enabled = flag(fields[0]);
        rule.regex = flag(fields[1]);
        rule.matchCase = flag(fields[2]);
        rule.wholeLine = flag(fields[3]);
        rule.colour = colourFrom(fields[4], &ok);
        rule.background = colourFrom(fields[5], &ok);
        rule.bold = flag(fields[6]);
        rule.pattern = rest.sliced(from).toString();
        if (ok)
            numbered.append({number, rule});
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[number, rule] : numbered)
        rules.rules.append(rule);
    return rules;
}

} // namespace highlightstore

void HighlightMatcher::setRules(const HighlightRules &rules)
{
    m_rules = rules;
    m_problems.clear();
    m_used.clear();
    m_each.clear();
    m_combined = QRegularExpression();
    QStringList alternatives;
    int group = 1;
    bool apart = false;
    for (qsizetype i = 0; i < rules.rules.size(); ++i) {
        const HighlightRule &rule = rules.rules.at(i);
        m_problems.append(QString());
        if (!rule.enabled)
            continue;
        if (rule.pattern.isEmpty()) {
            m_problems[i] = QStringLiteral("规则为空");
            continue;
        }
        const QString pattern =
            rule.regex ? rule.pattern : QRegularExpression::escape(rule.pattern);
        const QRegularExpression alone(pattern, rule.matchCase
                                                    ? QRegularExpression::NoPatternOption
                                                    : QRegularExpression::CaseInsensitiveOption);
        if (!alone.isValid()) {
            m_problems[i] = QStringLiteral("正则表达式有误：") + alone.errorString();
            continue;
        }
        apart = apart || refersToGroups(pattern);
        m_used.push_back({int(i), group});
        m_each.push_back(alone);
        group += 1 + alone.captureCount();
        alternatives.append(QStringLiteral("(") +
                            (rule.matchCase ? QStringLiteral("(?-i:") : QStringLiteral("(?i:")) +
                            pattern + QStringLiteral("))"));
    }
    if (!apart && !alternatives.isEmpty()) {
        m_combined = QRegularExpression(alternatives.join(QLatin1Char('|')));
        if (m_combined.isValid())
            m_each.clear();
        else
            m_combined = QRegularExpression();
    }
}

HighlightMatcher::Result HighlightMatcher::match(QStringView line) const
{
    if (m_used.empty())
        return {};
    if (!m_each.empty())
        return resolve(matchEach(line));
    QList<Span> spans;
    QRegularExpressionMatchIterator it = m_combined.globalMatch(line);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        for (const Used &used : m_used) {
            if (m.capturedStart(used.group) >= 0) {
                spans.append({m.capturedStart(), m.capturedEnd(), used.rule});
                break;
            }
        }
    }
    return resolve(spans);
}

// Each rule on its own, then, as one expression would: at each place the first rule, and
// nothing that overlaps what was taken before.
QList<HighlightMatcher::Span> HighlightMatcher::matchEach(QStringView line) const
{
    QList<Span> all;
    for (size_t k = 0; k < m_used.size(); ++k) {
        QRegularExpressionMatchIterator it = m_each[k].globalMatch(line);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            all.append({m.capturedStart(), m.capturedEnd(), m_used[k].rule});
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const Span &a, const Span &b) {
        return a.from != b.from ? a.from < b.from : a.rule < b.rule;
    });
    QList<Span> spans;
    qsizetype taken = 0;
    for (const Span &span : all) {
        if (!spans.isEmpty() && span.from < taken)
            continue;
        spans.append(span);
        taken = qMax(span.to, span.from + 1);
    }
    return spans;
}

HighlightMatcher::Result HighlightMatcher::resolve(QList<Span> spans) const
{
    Result result;
    if (spans.isEmpty())
        return result;
    if (m_rules.firstMatchWins) {
        const int first =
            std::min_element(spans.begin(), spans.end(), [](const Span &a, const Span &b) {
                return a.rule < b.rule;
            })->rule;
        spans.removeIf([first](const Span &s) { return s.rule != first; });
    }
    for (const Span &span : spans) {
        const HighlightRule &rule = m_rules.rules.at(span.rule);
        if (rule.wholeLine) {
            if (result.lineRule < 0 || span.rule < result.lineRule)
                result.lineRule = span.rule;
        } else if (span.to > span.from) {
            result.spans.append(span);
        }
    }
    return result;
}
