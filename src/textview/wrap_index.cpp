#include "textview/wrap_index.h"

#include "textview/char_widths.h"
#include "textview/text_store.h"

#include <QChar>

#include <algorithm>

namespace {

quint64 entry(qint64 start, int breakLength)
{
    return quint64(start) << 2 | quint64(breakLength);
}

qint64 entryStart(quint64 e)
{
    return qint64(e >> 2);
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == 0x3000;
}

// Chinese, Japanese and Korean text has no blanks between words: a line may break before and
// after each of its characters.
bool breaksAround(char32_t c)
{
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF) ||
           (c >= 0x20000 && c <= 0x3FFFF);
}

// Anything the scanner must look at more closely than "add its width".
bool isSpecial(char16_t c)
{
    return c == u'\r' || c == u'\n' || isBlank(c) || QChar::isSurrogate(c);
}

} // namespace

class WrapIndex::Scanner
{
public:
    Scanner(WrapIndex &index, WrapIndex::Lines &out, Tail state) : m_index(index), m_out(out)
    {
        st = state;
    }

    // While rescanning after an edit: stop as soon as a line starts where an old line of the
    // unchanged text after the edit started, since from there on the old lines still hold.
    void resyncWith(const WrapIndex::Lines &old, qint64 from, qint64 delta)
    {
        m_old = &old;
        m_resyncFrom = from;
        m_delta = delta;
    }

    template <typename Ch> bool feed(const Ch *p, qsizetype n)
    {
        const qint32 wrapWidth = m_index.m_wrapWidth;
        CharWidths &widths = *m_index.m_widths;
        const qint32 *latin1Widths = widths.latin1();
        qsizetype k = 0;
        while (k < n) {
            // The common case, kept tight: characters that still fit, and spaces.
            if (!st.pendingHigh && !st.afterCR) {
                qint32 x = st.x;
                qint64 breakPos = st.breakPos;
                qint32 breakX = st.breakX;
                while (k < n) {
                    const char16_t c = p[k];
                    qint32 w;
                    if (c < 256) {
                        w = latin1Widths[c];
                        if (c == u' ') {
                            if (x > wrapWidth)
                                break;
                            x += w;
                            ++k;
                            breakPos = st.pos + k;
                            breakX = x;
                            continue;
                        }
                        if (c <= u'\r' && (c == u'\t' || c == u'\n' || c == u'\r'))
                            break;
                    } else {
                        if (isSpecial(c))
                            break;
                        w = widths.of(c);
                        if (breaksAround(c) && x + w <= wrapWidth) {
                            x += w;
                            ++k;
                            breakPos = st.pos + k;
                            breakX = x;
                            continue;
                        }
                    }
                    if (x + w > wrapWidth)
                        break;
                    x += w;
                    ++k;
                }
                st.x = x;
                st.breakPos = breakPos;
                st.breakX = breakX;
                if (k == n)
                    break;
            }
            const qint64 i = st.pos + k;
            const char16_t c = p[k];
            ++k;
            if (!unit(i, c)) {
                synced = true;
                return false;
            }
        }
        st.pos += n;
        return true;
    }

    bool synced = false;
    size_t syncIndex = 0;
    Tail st;

private:
    // One UTF-16 unit at position i; false once resynchronised.
    bool unit(qint64 i, char16_t c)
    {
        if (st.pendingHigh) {
            const char16_t high = st.pendingHigh;
            st.pendingHigh = 0;
            if (QChar::isLowSurrogate(c))
                return place(i - 1, QChar::surrogateToUcs4(high, c));
            if (!place(i - 1, high))
                return false;
        }
        if (st.afterCR && c != u'\n') {
            st.afterCR = false;
            if (meets(m_out.back()))
                return false;
        }
        if (c == u'\r') {
            newParagraph(i + 1, 1);
            st.afterCR = true;
            return true;
        }
        if (c == u'\n') {
            if (st.afterCR) {
                st.afterCR = false;
                m_out.back() = entry(i + 1, 2);
                st.lineStart = i + 1;
            } else {
                newParagraph(i + 1, 1);
            }
            return !meets(m_out.back());
        }
        if (QChar::isHighSurrogate(c)) {
            st.pendingHigh = c;
            return true;
        }
        if (isBlank(c)) {
            // Only one blank hangs past the edge; a further one starts the next line.
            if (st.x > m_index.m_wrapWidth && i > st.lineStart) {
                st.x = 0;
                if (wrapAt(i))
                    return false;
            }
            if (c == u'\t')
                st.x = (st.x / m_index.m_tabStop + 1) * m_index.m_tabStop;
            else
                st.x += m_index.m_widths->of(c);
            st.breakPos = i + 1;
            st.breakX = st.x;
            return true;
        }
        return place(i, c);
    }

    bool place(qint64 i, char32_t c)
    {
        const qint32 w = m_index.m_widths->of(c);
        const qint32 wrapWidth = m_index.m_wrapWidth;
        const bool ideograph = breaksAround(c);
        if (ideograph && i > st.lineStart) {
            st.breakPos = i;
            st.breakX = st.x;
        }
        if (st.x + w > wrapWidth && i > st.lineStart) {
            if (st.breakPos > st.lineStart) {
                st.x -= st.breakX;
                if (wrapAt(st.breakPos))
                    return false;
            }
            if (st.x + w > wrapWidth && i > st.lineStart) {
                st.x = 0;
                if (wrapAt(i))
                    return false;
            }
        }
        st.x += w;
        if (ideograph) {
            st.breakPos = i + (c > 0xFFFF ? 2 : 1);
            st.breakX = st.x;
        }
        return true;
    }

    bool wrapAt(qint64 start)
    {
        st.lineStart = start;
        st.breakPos = -1;
        addLine(entry(start, 0));
        return meets(m_out.back());
    }

    void newParagraph(qint64 start, int breakLength)
    {
        st.lineStart = start;
        st.x = 0;
        st.breakPos = -1;
        addLine(entry(start, breakLength));
    }

    // A quarter more room at a time instead of twice as much: the receive box's limit counts
    // what is allocated.
    void addLine(quint64 e) { m_out.push_back(e); }

    bool meets(quint64 e)
    {
        if (!m_old || entryStart(e) < m_resyncFrom)
            return false;
        const quint64 target = e - (quint64(m_delta) << 2);
        const WrapIndex::Lines &old = *m_old;
        if (!m_oldSeeking) {
            m_oldSeeking = true;
            m_oldNext = size_t(std::lower_bound(old.begin(), old.end(), target) - old.begin());
        }
        while (m_oldNext < old.size() && (old[m_oldNext] >> 2) < (target >> 2))
            ++m_oldNext;
        if (m_oldNext < old.size() && old[m_oldNext] == target) {
            syncIndex = m_oldNext;
            return true;
        }
        return false;
    }

    WrapIndex &m_index;
    WrapIndex::Lines &m_out;
    const WrapIndex::Lines *m_old = nullptr;
    qint64 m_resyncFrom = 0;
    qint64 m_delta = 0;
    bool m_oldSeeking = false;
    size_t m_oldNext = 0;
};

WrapIndex::WrapIndex()
{
    clear();
}

void WrapIndex::setMetrics(qint32 wrapWidth, qint32 tabStop, std::shared_ptr<CharWidths> widths)
{
    m_wrapWidth = wrapWidth;
    m_tabStop = qMax(1, tabStop);
    m_widths = std::move(widths);
    clear();
}

void WrapIndex::setWrapWidth(qint32 wrapWidth)
{
    m_wrapWidth = wrapWidth;
    clear();
}

void WrapIndex::clear()
{
    // A fresh vector, not assign(): the lines of a long text would otherwise keep their memory.
    m_lines = Lines{entry(0, 0)};
    m_tail = Tail();
}

void WrapIndex::rebuild(const TextStore &store)
{
    clear();
    catchUp(store);
}

void WrapIndex::catchUp(const TextStore &store)
{
    Scanner scanner(*this, m_lines, m_tail);
    store.forEachRun(m_tail.pos, store.size(),
                     [&scanner](const auto *p, qsizetype n) { return scanner.feed(p, n); });
    m_tail = scanner.st;
}

void WrapIndex::replaced(const TextStore &store, qint64 pos, qint64 removed, qint64 inserted)
{
    // A line's wrap depends on its own text and on at most the start of the second line after
    // it, and a line break on the character before it: rescan from there.
    qint64 restart = lineAt(qMax<qint64>(0, pos - 1));
    if (!startsParagraph(restart))
        restart = startsParagraph(restart - 1) ? restart - 1 : restart - 2;

    Tail fresh;
    fresh.pos = fresh.lineStart = lineStart(restart);
    WrapIndex::Lines lines;
    Scanner scanner(*this, lines, fresh);
    const qint64 delta = inserted - removed;
    scanner.resyncWith(m_lines, pos + inserted + 2, delta);
    store.forEachRun(fresh.pos, store.size(),
                     [&scanner](const auto *p, qsizetype n) { return scanner.feed(p, n); });

    if (scanner.synced) {
        // The line that met the old index is the old entry itself, kept below.
        lines.pop_back();
    }
    const auto first = m_lines.begin() + qsizetype(restart) + 1;
    const auto last =
        scanner.synced ? m_lines.begin() + qsizetype(scanner.syncIndex) : m_lines.end();
    if (scanner.synced) {
        // Entries also move their break length bits along, unchanged.
        for (auto it = last; it != m_lines.end(); ++it)
            *it += quint64(delta) << 2;
        m_tail.pos += delta;
        m_tail.lineStart += delta;
        if (m_tail.breakPos >= 0)
            m_tail.breakPos += delta;
    } else {
        m_tail = scanner.st;
    }
    const qsizetype at = qsizetype(restart) + 1;
    const qsizetype replacedCount = last - first;
    const qsizetype common = qMin(replacedCount, qsizetype(lines.size()));
    std::copy(lines.begin(), lines.begin() + common, m_lines.begin() + at);
    if (qsizetype(lines.size()) > common) {
        m_lines.insert(at + common, lines.size() - common, 0);
        std::copy(lines.begin() + common, lines.end(), m_lines.begin() + at + common);
    } else
        m_lines.erase(m_lines.begin() + at + common, m_lines.begin() + at + replacedCount);
}

qint64 WrapIndex::lineEnd(qint64 line) const
{
    if (line + 1 >= lineCount())
        return m_tail.pos;
    const quint64 next = m_lines[size_t(line + 1)];
    return entryStart(next) - qint64(next & 3);
}

qint64 WrapIndex::lineAt(qint64 pos) const
{
    const auto it = std::upper_bound(m_lines.begin(), m_lines.end(), pos,
                                     [](qint64 p, quint64 e) { return p < entryStart(e); });
    return qMax<qint64>(0, qint64(it - m_lines.begin()) - 1);
}
