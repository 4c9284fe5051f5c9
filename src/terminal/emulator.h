#pragma once

#include "terminal/key_encoding.h"
#include "terminal/screen_model.h"
#include "terminal/sequence_guard.h"

#include <QByteArray>
#include <QObject>

struct VTerm;
struct VTermScreen;

namespace term {

// The VT100/xterm emulation, by libvterm: the one place that talks to it. Received text (UTF-8)
// goes in; the screen model follows what libvterm's screen reports (changed cells, the cursor,
// lines scrolled off the top and taken back, modes), and what the terminal answers by itself
// (cursor position and device reports) comes out as replies.
class Emulator : public QObject
{
    Q_OBJECT
public:
    Emulator(int rows, int columns, int lineLimit = ScreenModel::DefaultLineLimit,
             QObject *parent = nullptr);
    ~Emulator() override;
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    // The screen, its cells read from libvterm where they changed since the last look: a stream
    // scrolling the screen hundreds of times between two frames is read once.
    [[nodiscard]] const ScreenModel &screen() const;
    // The rows changed since the last call (a view takes them once a frame).
    [[nodiscard]] Damage takeDamage();
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
    // Reads the changed rectangle into the model.
    void readChanged() const;
    void afterInput();

    // Changed cells are read when the screen is looked at.
    struct Rect
    {
        int top = 0;
        int bottom = 0;
        int left = 0;
        int right = 0;
    };
    void changed(const Rect &rect);

    VTerm *m_vt;
    VTermScreen *m_screen;
    mutable ScreenModel m_model;
    mutable Rect m_changed;
    SequenceGuard m_guard;
    QByteArray m_output;
    bool m_bell = false;
};

} // namespace term
