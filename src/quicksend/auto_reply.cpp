#include "quicksend/auto_reply.h"

#include "quicksend/payload.h"

namespace quicksend {

namespace {

QList<char16_t> symbols(QStringView text)
{
    return QList<char16_t>(text.utf16(), text.utf16() + text.size());
}

QList<char16_t> symbols(QByteArrayView bytes)
{
    QList<char16_t> out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        out.append(static_cast<quint8>(c));
    return out;
}

} // namespace

const QStringList &ruleModeNames()
{
    static const QStringList names{QStringLiteral("包含"), QStringLiteral("正则")};
    return names;
}

const QStringList &ruleRepeatNames()
{
    static const QStringList names{QStringLiteral("每次"), QStringLiteral("一次")};
    return names;
}

QStringList ruleFields(const Rule &rule)
{
    return {rule.enabled ? QStringLiteral("1") : QStringLiteral("0"),
            ruleModeNames().at(rule.regex ? 1 : 0),
            rule.pattern,
            rule.page,
            rule.entry,
            QString::number(rule.delayMs),
            ruleRepeatNames().at(rule.once ? 1 : 0)};
}

std::optional<Rule> ruleFromFields(const QStringList &fields)
{
    if (fields.size() != 7)
        return std::nullopt;
    Rule rule;
    rule.enabled = fields.at(0) != QLatin1String("0");
    const qsizetype mode = ruleModeNames().indexOf(fields.at(1));
    const qsizetype repeat = ruleRepeatNames().indexOf(fields.at(6));
    bool ok = false;
    rule.delayMs = fields.at(5).toInt(&ok);
    if (mode < 0 || repeat < 0 || !ok || rule.delayMs < 0 || rule.delayMs > MaxDelayMs)
        return std::nullopt;
    rule.regex = mode == 1;
    rule.once = repeat == 1;
    rule.pattern = fields.at(2);
    rule.page = fields.at(3);
    rule.entry = fields.at(4);
    return rule;
}

QString ruleProblem(const Rule &rule, const QList<Page> &pages, bool hex)
{
    if (rule.pattern.isEmpty())
        return QStringLiteral("内容为空");
    if (rule.pattern.size() > ReplyMatcher::MaxPatternChars)
        return QStringLiteral("内容超过 %1 个字符").arg(ReplyMatcher::MaxPatternChars);
    if (rule.regex) {
        if (hex)
            return QStringLiteral("十六进制显示时按字节匹配，不用正则表达式");
        const QRegularExpression expression(rule.pattern);
        if (!expression.isValid())
            return QStringLiteral("正则表达式有误（第 %1 个字符）：%2")
                .arg(expression.patternErrorOffset() + 1)
                .arg(expression.errorString());
    } else if (hex) {
        const Payload bytes = parseHex(rule.pattern);
        if (!bytes.ok())
            return QStringLiteral("十六进制显示时内容应为字节：") + bytes.error;
    }
    if (!findEntry(pages, rule.page, rule.entry))
        return QStringLiteral("找不到页“%1”的条目“%2”").arg(rule.page, rule.entry);
    return {};
}

void ReplyMatcher::setRules(const QList<Rule> &rules, const QList<Page> &pages, bool hex)
{
    QList<Active> kept;
    kept.swap(m_active);
    if (hex != m_hex) {
        m_hex = hex;
        m_line.clear();
    }
    QList<QList<char16_t>> literals;
    m_literalOwner.clear();
    QStringList expressions;
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const Rule &rule = rules.at(i);
        if (!rule.enabled || rule.done() || !ruleProblem(rule, pages, hex).isEmpty())
            continue;
        Active active{int(i), rule.regex, qMax(rule.delayMs, MinGapMs), {}, 0, std::nullopt};
        for (const Active &old : std::as_const(kept)) {
            if (old.rule == active.rule) {
                active.firedLine = old.firedLine;
                active.lastFire = old.lastFire;
            }
        }
        if (rule.regex) {
            active.expression = QRegularExpression(rule.pattern);
            expressions << QStringLiteral("(?:%1)").arg(rule.pattern);
        } else {
            literals << (hex ? symbols(parseHex(rule.pattern).bytes) : symbols(rule.pattern));
            m_literalOwner << int(m_active.size());
        }
        m_active << active;
    }
    m_literals.build(literals);
    m_hasExpressions = !expressions.isEmpty();
    // One expression for all, unless they cannot be joined: a backreference would point at
    // another rule's group, a name could be taken twice. Then every line asks each.
    static const QRegularExpression references(QStringLiteral("\\\\[1-9gk]|\\(\\?P?[=<'](?!=|!)"));
    const bool joinable =
        expressions.size() < 2 || !expressions.join(QString()).contains(references);
    // Patterns valid alone can still break the join: \Q quotes to the end, a (?x) comment
    // takes the closing parenthesis.
    if (joinable)
        m_anyExpression = QRegularExpression(expressions.join(QLatin1Char('|')));
    if (!joinable || !m_anyExpression.isValid())
        m_anyExpression = QRegularExpression(QStringLiteral("(?s).?"));
    m_anyExpression.optimize();
    rescanLine();
}

void ReplyMatcher::restart()
{
    m_line.clear();
    m_state = 0;
    ++m_lineNumber;
}

void ReplyMatcher::rescanLine()
{
    m_state = 0;
    for (const QChar c : std::as_const(m_line))
        m_state = m_literals.step(m_state, c.unicode());
}

void ReplyMatcher::tryFire(Active &active, qint64 nowMs, QList<int> &fired)
{
    if (active.firedLine == m_lineNumber)
        return;
    if (active.lastFire && nowMs - *active.lastFire < active.minGapMs)
        return;
    active.firedLine = m_lineNumber;
    active.lastFire = nowMs;
    if (!fired.contains(active.rule))
        fired << active.rule;
}

void ReplyMatcher::literalHits(int state, qint64 nowMs, QList<int> &fired)
{
    for (const int id : m_literals.endingAt(state))
        tryFire(m_active[m_literalOwner.at(id)], nowMs, fired);
}

void ReplyMatcher::checkExpressions(QStringView line, qint64 nowMs, QList<int> &fired)
{
    if (!m_hasExpressions || !m_anyExpression.match(line).hasMatch())
        return;
    for (Active &active : m_active) {
        if (active.regex && active.firedLine != m_lineNumber &&
            active.expression.match(line).hasMatch())
            tryFire(active, nowMs, fired);
    }
}

void ReplyMatcher::endLine()
{
    m_line.clear();
    m_state = 0;
    ++m_lineNumber;
}

QList<int> ReplyMatcher::feed(QStringView text, qint64 nowMs)
{
    QList<int> fired;
    if (m_active.isEmpty() || m_hex)
        return fired;
    qsizetype lineStart = 0;
    const char16_t *chars = text.utf16();
    const bool literals = !m_literals.isEmpty();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = chars[i];
        // Line breaks and backspaces are control characters: one comparison passes the rest.
        if (c > u'\r' || (c != u'\n' && c != u'\r' && c != u'\b')) {
            if (literals) {
                m_state = m_literals.step(m_state, c);
                if (m_literals.ends(m_state))
                    literalHits(m_state, nowMs, fired);
            }
            continue;
        }
        if (c != u'\b') {
            // A line that began in an earlier read is whole only in m_line.
            if (m_line.isEmpty()) {
                checkExpressions(text.mid(lineStart, i - lineStart), nowMs, fired);
            } else {
                m_line += text.mid(lineStart, i - lineStart);
                checkExpressions(m_line, nowMs, fired);
            }
            endLine();
            lineStart = i + 1;
            continue;
        }
        m_line += text.mid(lineStart, i - lineStart);
        m_line.chop(1);
        lineStart = i + 1;
        rescanLine();
        literalHits(m_state, nowMs, fired);
    }
    // The line under way: kept, and checked as it stands.
    if (lineStart < text.size() || !m_line.isEmpty()) {
        m_line += text.mid(lineStart);
        if (m_line.size() > MaxLineChars)
            m_line.remove(0, m_line.size() - MaxLineChars);
        checkExpressions(m_line, nowMs, fired);
    }
    return fired;
}

QList<int> ReplyMatcher::feed(QByteArrayView bytes, qint64 nowMs)
{
    QList<int> fired;
    if (m_active.isEmpty() || !m_hex)
        return fired;
    for (const char c : bytes) {
        m_state = m_literals.step(m_state, static_cast<quint8>(c));
        if (!m_literals.ends(m_state))
            continue;
        // Every match is a line of its own here: bytes have no lines.
        ++m_lineNumber;
        literalHits(m_state, nowMs, fired);
    }
    return fired;
}

} // namespace quicksend
