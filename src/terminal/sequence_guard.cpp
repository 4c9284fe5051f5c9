#include "terminal/sequence_guard.h"

#include <cstring>

namespace term {

namespace {

constexpr char Esc = 0x1b;
constexpr char Bel = 0x07;
constexpr char Sub = 0x1a;
// U+0080 to U+009F in UTF-8: this byte, then one of 0x80 to 0x9F.
constexpr char C1Lead = '\xc2';
constexpr char Replacement[] = "\xef\xbf\xbd"; // U+FFFD

bool isC1Second(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 && u < 0xa0;
}

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isFinal(char c)
{
    return c >= 0x40 && c <= 0x7e;
}

// Whether the last character printed in [from, to) is ASCII; nullopt when nothing there is
// printed (controls only). Bytes of UTF-8 beyond ASCII are all 0x80 or more.
std::optional<bool> lastPrintedIsAscii(const char *from, const char *to)
{
    while (to > from) {
        const auto u = static_cast<unsigned char>(*--to);
        if (u >= 0x20 && u != 0x7f)
            return u < 0x7f;
    }
    return std::nullopt;
}

} // namespace

void SequenceGuard::beginEscape()
{
    m_state = State::Escape;
    m_intermediates = 0;
    m_space = false;
}

// After ESC, as libvterm 0.1.4 reads it: intermediates, controls and bytes outside ASCII leave
// the escape open (another ESC begins it anew), and [, ] and P begin a CSI, an OSC and a DCS
// even after intermediates.
void SequenceGuard::escapeByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (m_state != State::Escape || c == Esc)
        beginEscape();
    if (u >= 0x20 && u < 0x30) {
        ++m_intermediates;
        m_space = m_intermediates == 1 && c == ' ';
    }
    if (c == '[') {
        m_state = State::Csi;
        m_separators = 0;
    } else if (c == ']' || c == 'P') {
        m_state = State::String;
    } else if (u >= 0x30 && u < 0x7f) {
        m_state = State::Normal;
    }
}

std::optional<QByteArray> SequenceGuard::filter(QByteArrayView bytes)
{
    const char *data = bytes.data();
    const qsizetype size = bytes.size();
    std::optional<QByteArray> out;
    // Everything before i that is not in out yet goes as it came.
    qsizetype copiedTo = 0;
    auto edit = [&](qsizetype i) -> QByteArray & {
        if (!out)
            out.emplace().reserve(size + 16);
        out->append(data + copiedTo, i - copiedTo);
        copiedTo = i;
        return *out;
    };
    // A C1 control's code point goes as U+FFFD; the lead byte of one held back at the end of the
    // last call comes first.
    const auto replaceC1 = [&](qsizetype at) {
        if (at + 1 == size) {
            edit(at);
            copiedTo = size;
            m_heldLead = true;
        } else if (isC1Second(data[at + 1])) {
            edit(at).append(Replacement);
            copiedTo = at + 2;
        }
    };
    qsizetype i = 0;
    if (m_heldLead && size > 0) {
        m_heldLead = false;
        if (isC1Second(data[0])) {
            edit(0).append(Replacement);
            copiedTo = i = 1;
        } else {
            edit(0).append(C1Lead);
        }
    }
    for (; i < size; ++i) {
        const char c = data[i];
        if (m_state == State::Normal) {
            // Most of a stream is text: on to the next ESC at once.
            const void *esc = std::memchr(data + i, Esc, size_t(size - i));
            const char *text = esc ? static_cast<const char *>(esc) : data + size;
            const qsizetype end = text - data;
            for (qsizetype at = i; at < end;) {
                const void *lead = std::memchr(data + at, C1Lead, size_t(end - at));
                if (!lead)
                    break;
                at = static_cast<const char *>(lead) - data;
                replaceC1(at);
                ++at;
            }
            if (const std::optional<bool> ascii = lastPrintedIsAscii(data + i, text))
                m_repeatable = *ascii;
            if (!esc)
                break;
            i = end;
            beginEscape();
            continue;
        }
        // Inside a sequence too: U+009B there would begin another. What a dropped CSI holds
        // goes anyway.
        if (c == C1Lead && m_state != State::CsiDropped) {
            replaceC1(i);
            continue;
        }
        if (c == Cancel || c == Sub) {
            m_state = State::Normal;
            continue;
        }
        if (isLineBreak(c)) {
            if (m_state != State::CsiDropped)
                edit(i).append(Cancel);
            m_state = State::Normal;
            continue;
        }
        switch (m_state) {
        case State::Normal:
            break;
        case State::Escape:
            if (c == 'G' && m_intermediates == 1 && m_space) {
                edit(i).append('F');
                copiedTo = i + 1;
                m_state = State::Normal;
            } else {
                escapeByte(c);
            }
            break;
        case State::Csi:
            if (c == ';' || c == ':') {
                if (++m_separators > MaxSeparators) {
                    edit(i).append(Cancel);
                    copiedTo = i + 1;
                    m_state = State::CsiDropped;
                }
            } else if (c == Esc) {
                beginEscape();
            } else if (isFinal(c)) {
                if (c == 'b' && !m_repeatable) {
                    edit(i).append(Cancel);
                    copiedTo = i + 1;
                }
                m_state = State::Normal;
            }
            break;
        case State::CsiDropped:
            // Up to its final byte. Controls inside act, as they would have, and an ESC begins
            // the next sequence.
            if (c == Esc) {
                beginEscape();
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                edit(i);
                copiedTo = i + 1;
                if (isFinal(c))
                    m_state = State::Normal;
            }
            break;
        case State::String:
            if (c == Bel)
                m_state = State::Normal;
            else if (c == Esc)
                m_state = State::StringEscape;
            break;
        case State::StringEscape:
            // ESC \ ends the string; anything else ends it too, and the ESC begins a sequence.
            if (c == '\\')
                m_state = State::Normal;
            else
                escapeByte(c);
            break;
        }
    }
    if (out)
        out->append(data + copiedTo, size - copiedTo);
    return out;
}

} // namespace term
