#include "terminal/sequence_guard.h"

#include <cstring>

namespace term {

namespace {

constexpr char Esc = 0x1b;
constexpr char Bel = 0x07;
constexpr char Sub = 0x1a;

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isFinal(char c)
{
    return c >= 0x40 && c <= 0x7e;
}

} // namespace

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
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (m_state == State::Normal) {
            // Most of a stream is text: on to the next ESC at once.
            const void *esc = std::memchr(data + i, Esc, size_t(size - i));
            if (!esc)
                break;
            i = static_cast<const char *>(esc) - data;
            m_state = State::Escape;
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
            // The emulator takes OSC (ESC ]) and DCS (ESC P) as strings; controls inside an
            // escape do not end it.
            if (c == '[') {
                m_state = State::Csi;
                m_separators = 0;
            } else if (c == ']' || c == 'P') {
                m_state = State::String;
            } else if (c != Esc && static_cast<unsigned char>(c) >= 0x20) {
                m_state = State::Normal;
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
                m_state = State::Escape;
            } else if (isFinal(c)) {
                m_state = State::Normal;
            }
            break;
        case State::CsiDropped:
            // Up to its final byte. Controls inside act, as they would have, and an ESC begins
            // the next sequence.
            if (c == Esc) {
                m_state = State::Escape;
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
            // ESC \ ends the string; anything else ends it too and begins an escape.
            m_state = c == '\\' ? State::Normal : State::Escape;
            if (c == '[') {
                m_state = State::Csi;
                m_separators = 0;
            } else if (c == ']' || c == 'P') {
                m_state = State::String;
            }
            break;
        }
    }
    if (out)
        out->append(data + copiedTo, size - copiedTo);
    return out;
}

} // namespace term
