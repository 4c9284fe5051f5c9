#pragma once

#include "quicksend/entries.h"
#include "quicksend/multi_match.h"

#include <QByteArrayView>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace quicksend {

// "When the text received since the last line break contains (or matches) pattern, send entry
// `entry` of page `page` after delayMs": once, or every time.
struct Rule
{
    bool enabled = true;
    bool regex = false;
    QString pattern;
    QString page;
    QString entry;
    int delayMs = 0;
    bool once = false;
    // How often it fired since the program started; not stored. A rule for once that fired is
    // done.
    int hits = 0;

    [[nodiscard]] bool done() const { return once && hits > 0; }
    friend bool operator==(const Rule &a, const Rule &b)
    {
        return a.enabled == b.enabled && a.regex == b.regex && a.pattern == b.pattern &&
               a.page == b.page && a.entry == b.entry && a.delayMs == b.delayMs &&
               a.once == b.once && a.hits == b.hits;
    }
};

// A rule as the fields of a stored row (启用,方式,内容,页,条目,延时ms,次数) and back.
[[nodiscard]] QStringList ruleFields(const Rule &rule);
[[nodiscard]] std::optional<Rule> ruleFromFields(const QStringList &fields);
[[nodiscard]] const QStringList &ruleModeNames();   // 包含, 正则
[[nodiscard]] const QStringList &ruleRepeatNames(); // 每次, 一次

// Why a rule cannot run: an empty pattern, an expression that does not compile (with where),
// a pattern that is no bytes in hex display, or an entry that is not there. Empty when it can.
[[nodiscard]] QString ruleProblem(const Rule &rule, const QList<Page> &pages, bool hex);

// Watches what arrives for every rule at once. Text is cut into lines at CR and LF; a
// backspace takes back the character before it, as a board rewriting a countdown means it. The
// line under way is checked again as it grows. Literal patterns go through one automaton,
// expressions through one combined expression first, so a line that matches nothing costs one
// pass whatever the number of rules. In hex display patterns are bytes, found across reads.
// A rule fires at most once per line (in hex display, per match) and at most once every
// max(delay, 100) ms; a rule for once fires once.
class ReplyMatcher
{
public:
    static constexpr int MinGapMs = 100;
    // Kept of a line that never ends, for the expressions.
    static constexpr qsizetype MaxLineChars = 4096;
    // The longest pattern: each character is a state of the automaton.
    static constexpr qsizetype MaxPatternChars = 1024;

    // The rules to watch for; those disabled, done or with a problem (ruleProblem) stay quiet.
    // What a rule has seen of the line under way and when it last fired are kept.
    void setRules(const QList<Rule> &rules, const QList<Page> &pages, bool hex);
    [[nodiscard]] bool isEmpty() const { return m_active.isEmpty(); }
    [[nodiscard]] bool hex() const { return m_hex; }
    // Forgets the line under way and any partial match (the display changed, rules switched on).
    void restart();

    // The rules that fire on this text or these bytes, received at nowMs (a steady clock).
    [[nodiscard]] QList<int> feed(QStringView text, qint64 nowMs);
    [[nodiscard]] QList<int> feed(QByteArrayView bytes, qint64 nowMs);

private:
    struct Active
    {
        int rule;
        bool regex;
        int minGapMs;
        QRegularExpression expression;
        quint64 firedLine = 0;
        std::optional<qint64> lastFire;
    };
    void tryFire(Active &active, qint64 nowMs, QList<int> &fired);
    void endLine();
    void checkExpressions(QStringView line, qint64 nowMs, QList<int> &fired);
    void rescanLine();
    void literalHits(int state, qint64 nowMs, QList<int> &fired);

    bool m_hex = false;
    QList<Active> m_active;
    QList<int> m_literalOwner; // automaton pattern id -> index in m_active
    MultiMatch m_literals;
    QRegularExpression m_anyExpression;
    bool m_hasExpressions = false;
    int m_state = 0;
    QString m_line;
    quint64 m_lineNumber = 1;
};

} // namespace quicksend
