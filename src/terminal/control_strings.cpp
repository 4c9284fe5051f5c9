#include "terminal/control_strings.h"

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

} // namespace

QList<qsizetype> ControlStrings::cancelPoints(QByteArrayView bytes)
{
    QList<qsizetype> points;
    const char *data = bytes.data();
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        switch (m_state) {
        case State::Normal: {
            // Most of a stream is text: skip to the next ESC at once.
            const void *esc = std::memchr(data + i, Esc, size_t(size - i));
            if (!esc)
                return points;
            i = static_cast<const char *>(esc) - data;
            m_state = State::Escape;
            break;
        }
        case State::Escape:
            // The emulator takes OSC (ESC ]) and DCS (ESC P) as strings; other escapes end at
            // their final byte, and controls inside one do not end it.
            if (c == ']' || c == 'P')
                m_state = State::String;
            else if (c == Cancel || c == Sub)
                m_state = State::Normal;
            else if (c != Esc && static_cast<unsigned char>(c) >= 0x20)
                m_state = State::Normal;
            break;
        case State::String:
            if (c == Bel || c == Cancel || c == Sub) {
                m_state = State::Normal;
            } else if (c == Esc) {
                m_state = State::StringEscape;
            } else if (isLineBreak(c)) {
                points.append(i);
                m_state = State::Normal;
            }
            break;
        case State::StringEscape:
            // ESC \ ends the string; ESC and anything else ends it too and begins an escape.
            m_state = c == '\\' ? State::Normal : State::Escape;
            if (m_state == State::Escape && (c == ']' || c == 'P'))
                m_state = State::String;
            break;
        }
    }
    return points;
}

} // namespace term
