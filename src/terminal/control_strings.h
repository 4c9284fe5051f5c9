#pragma once

#include <QByteArrayView>
#include <QList>

namespace term {

// Watches the received stream for a control string (OSC, DCS) left open. The emulator swallows
// everything up to the string's terminator, so a board that sent ESC ] by accident (line noise,
// a wrong baud rate) would otherwise hide all it prints afterwards. A control string never holds
// a line break: where one meets it, the string is cancelled (CAN) and the line shows.
class ControlStrings
{
public:
    static constexpr char Cancel = 0x18;

    // The offsets in bytes before which a CAN goes; the state carries over to the next call.
    [[nodiscard]] QList<qsizetype> cancelPoints(QByteArrayView bytes);
    [[nodiscard]] bool insideString() const { return m_state == State::String; }

private:
    enum class State { Normal, Escape, String, StringEscape };
    State m_state = State::Normal;
};

} // namespace term
