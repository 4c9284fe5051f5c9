#pragma once

#include "terminal/key_encoding.h"
#include "terminal/screen_model.h"
#include "terminal/sequence_guard.h"

#include <QByteArray>
#include <QObject>

struct VTerm;
struct VTermState;

namespace term {

// The VT100/xterm emulation, by libvterm: the one place that talks to it. Received text (UTF-8)
// goes in; libvterm's state layer parses it and says what to do to the screen (put a character,
// scroll, erase, move the cursor, switch screens), which the screen model does on its own rows,
// and what the terminal answers by itself (cursor position and device reports) comes out as
// replies. libvterm's own screen layer is not used: it moves the whole screen's cells for every
// line scrolled, where the model moves a few row handles.
class Emulator : public QObject
{
    Q_OBJECT
public:
    Emulator(int rows, int columns, int lineLimit = ScreenModel::DefaultLineLimit,
             QObject *parent = nullptr);
    ~Emulator() override;
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    [[nodiscard]] const ScreenModel &screen() const { return m_model; }
    // The rows changed since the last call (a view takes them once a frame).
    [[nodiscard]] Damage takeDamage() { return m_model.takeDamage(); }
    // What is known without reading cells: the screen's rows, and the lines pushed into the
    // scrollback, ever and kept now.
    [[nodiscard]] int rows() const { return m_model.rows(); }
    [[nodiscard]] qsizetype scrollbackCount() const { return m_model.scrollbackCount(); }
    [[nodiscard]] qint64 linesPushed() const
    {
        return m_model.droppedLines() + m_model.scrollbackCount();
    }
    void setLineLimit(int lines);
    void clearScrollback();

    // Text as the board sent it, in UTF-8; invalid sequences show as U+FFFD.
    void write(QByteArrayView utf8);
    // Nothing is sent: a serial line carries no window size.
    void resize(int rows, int columns);

    // The bytes for a key in the modes the board set (cursor keys, keypad).
    [[nodiscard]] QByteArray keyBytes(Key key, int modifiers);
    // What goes around a paste: the bracketed-paste marks when the board asked for them, else
    // nothing.
    [[nodiscard]] QByteArray pasteStart();
    [[nodiscard]] QByteArray pasteEnd();

signals:
    // After each write and resize; the model says which rows changed.
    void screenChanged();
    void reply(const QByteArray &bytes);
    void bell();

private:
    struct Callbacks;
    friend struct Callbacks;

    // Runs f with libvterm's output collected, and returns it.
    template <typename F> QByteArray capture(F f);
    void afterInput();
    // What erased cells become: a space in the pen's colours and attributes.
    [[nodiscard]] Cell blank() const;

    VTerm *m_vt;
    VTermState *m_state;
    ScreenModel m_model;
    // The colours and attributes characters are written with, as the board last set them.
    Cell m_pen;
    SequenceGuard m_guard;
    QByteArray m_output;
    bool m_bell = false;
};

} // namespace term
