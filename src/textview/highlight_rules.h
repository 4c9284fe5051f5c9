#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringView>

#include <optional>
#include <utility>
#include <vector>

// One rule that marks lines of the receive box: a text or a regular expression, and how what
// it finds (or the whole line it is on) is drawn. Colours are 0xRRGGBB.
struct HighlightRule
{
    QString pattern;
    bool regex = false;
    bool matchCase = false;
    bool wholeLine = false;
    std::optional<quint32> colour;
    std::optional<quint32> background;
    bool bold = false;
    bool enabled = true;

    friend bool operator==(const HighlightRule &a, const HighlightRule &b)
    {
        return a.pattern == b.pattern && a.regex == b.regex && a.matchCase == b.matchCase &&
               a.wholeLine == b.wholeLine && a.colour == b.colour && a.background == b.background &&
               a.bold == b.bold && a.enabled == b.enabled;
    }
};

// The rules in their order. With firstMatchWins, only the first rule that matches a line marks
// it; otherwise every rule that matches does.
struct HighlightRules
{
    QList<HighlightRule> rules;
    bool firstMatchWins = false;

    friend bool operator==(const HighlightRules &a, const HighlightRules &b)
    {
        return a.rules == b.rules && a.firstMatchWins == b.firstMatchWins;
    }
};

namespace highlightpresets {

struct Preset
{
    QString name;
    QList<HighlightRule> rules;
};
// The log formats of common firmware: ESP-IDF, Zephyr, Arduino-ESP32, RT-Thread's ulog, and
// the words that mean trouble.
[[nodiscard]] const QList<Preset> &all();

} // namespace highlightpresets

// The rules as key and value pairs for a settings section, and back: the switch under its own
// key, each rule under its number from 1. Entries that cannot be read are left out.
namespace highlightstore {

inline const QString firstMatchKey = QStringLiteral("先匹配者优先");
[[nodiscard]] QList<std::pair<QString, QString>> toPairs(const HighlightRules &rules);
[[nodiscard]] HighlightRules fromPairs(const QList<std::pair<QString, QString>> &pairs);

} // namespace highlightstore

// Matches the rules against a line in one pass: the enabled rules become the alternatives of
// one regular expression, so that at each place the first rule that matches there wins. A rule
// that does not compile is skipped and says why.
class HighlightMatcher
{
public:
    struct Span
    {
        qsizetype from;
        qsizetype to;
        int rule;
    };
    struct Result
    {
        // Matches of rules that mark what they find, in order.
        QList<Span> spans;
        // The rule that marks the whole line, or -1.
        int lineRule = -1;
    };

    void setRules(const HighlightRules &rules);
    [[nodiscard]] const HighlightRules &rules() const { return m_rules; }
    [[nodiscard]] bool isEmpty() const { return m_used.empty(); }
    // Why rule i is skipped, or empty when it is used (or switched off).
    [[nodiscard]] QString problem(int rule) const { return m_problems.value(rule); }

    [[nodiscard]] Result match(QStringView line) const;

private:
    struct Used
    {
        int rule;
        int group; // its capture group in the combined expression
    };
    [[nodiscard]] Result resolve(QList<Span> spans) const;
    [[nodiscard]] QList<Span> matchEach(QStringView line) const;

    HighlightRules m_rules;
    QStringList m_problems;
    std::vector<Used> m_used;
    QRegularExpression m_combined;
    // When the rules cannot share one expression (back references), each is matched alone.
    std::vector<QRegularExpression> m_each;
};
