#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace term {

// Sits in front of the emulator and keeps what a board sends by accident (line noise, a wrong
// baud rate, a crashing firmware) from hiding or breaking the screen:
// - An escape sequence or control string (OSC, DCS) still open at a line break is cancelled
//   (CAN) before it: libvterm would swallow everything up to a terminator that may never come.
//   No program's sequence spans a line break.
// - A CSI with more than MaxSeparators parameter separators is cancelled and the rest of it
//   dropped: libvterm 0.1.4 writes past its 16 parameters and crashes.
// - A C1 control written as its code point (U+0080 to U+009F) goes as U+FFFD: libvterm acts
//   on them in UTF-8 (U+009B begins a CSI the rules here would not see), and no board means
//   them.
// - A repeat (CSI b) is cancelled unless the character printed last is ASCII: libvterm 0.1.4
//   repeats a character of no width before anything was printed and never ends, and writes
//   through a null pointer repeating a wide character past the line's end.
// - S8C1T (ESC SP G) becomes S7C1T (ESC SP F): the terminal would answer and send keys with
//   8-bit controls (0x9B for CSI), which no board on a UTF-8 line reads.
class SequenceGuard
{
public:
    static constexpr int MaxSeparators = 15;
    static constexpr char Cancel = 0x18;

    // The bytes for the emulator in place of bytes, or nothing when they go as they are (the
    // common case, without a copy). The state carries over to the next call.
    [[nodiscard]] std::optional<QByteArray> filter(QByteArrayView bytes);
    // The emulator was put back to its ground state (a CAN went in).
    void reset()
    {
        m_state = State::Normal;
        m_heldLead = false;
        m_intermediates = 0;
        m_space = false;
    }

private:
    enum class State { Normal, Escape, Csi, CsiDropped, String, StringEscape };

    // An ESC: a new escape sequence begins.
    void beginEscape();
    void escapeByte(char c);

    State m_state = State::Normal;
    int m_separators = 0;
    // Intermediate bytes of the escape sequence under way, and whether it is one space.
    int m_intermediates = 0;
    bool m_space = false;
    // The character printed last is ASCII, which libvterm repeats safely.
    bool m_repeatable = false;
    // The stream ended on the first byte of what may be a C1 control's code point.
    bool m_heldLead = false;
};

} // namespace term
