#include "terminal/emulator.h"

#include <vterm.h>

#include <utility>

namespace term {

namespace {

Rgb toRgb(const VTermState *state, VTermColor color)
{
    vterm_state_convert_color_to_rgb(state, &color);
    return Rgb(color.rgb.red) << 16 | Rgb(color.rgb.green) << 8 | color.rgb.blue;
}

void setFlag(Cell &cell, quint8 flag, bool on)
{
    cell.flags = on ? quint8(cell.flags | flag) : quint8(cell.flags & ~flag);
}

// libvterm keeps a character and its combining marks in up to this many code points per cell;
// the marks of a longer run are dropped, as it drops them itself.
constexpr int MaxCharsPerCell = 6;

VTermKey vtermKey(Key key)
{
    switch (key) {
    case Key::Up:
        return VTERM_KEY_UP;
    case Key::Down:
        return VTERM_KEY_DOWN;
    case Key::Left:
        return VTERM_KEY_LEFT;
    case Key::Right:
        return VTERM_KEY_RIGHT;
    case Key::Insert:
        return VTERM_KEY_INS;
    case Key::Delete:
        return VTERM_KEY_DEL;
    case Key::Home:
        return VTERM_KEY_HOME;
    case Key::End:
        return VTERM_KEY_END;
    case Key::PageUp:
        return VTERM_KEY_PAGEUP;
    case Key::PageDown:
        return VTERM_KEY_PAGEDOWN;
    case Key::BackTab:
        return VTERM_KEY_TAB;
    case Key::KeypadEnter:
        return VTERM_KEY_KP_ENTER;
    case Key::None:
        return VTERM_KEY_NONE;
    default:
        break;
    }
    const int n = functionNumber(key);
    return n >= 1 && n <= 12 ? VTermKey(VTERM_KEY_FUNCTION(n)) : VTERM_KEY_NONE;
}

} // namespace

// libvterm's C callbacks, each handed the emulator as its user pointer.
struct Emulator::Callbacks
{
    static Emulator *self(void *user) { return static_cast<Emulator *>(user); }

    static void output(const char *bytes, size_t length, void *user)
    {
        self(user)->m_output.append(bytes, qsizetype(length));
    }

    static int putGlyph(VTermGlyphInfo *info, VTermPos pos, void *user)
    {
        Emulator *e = self(user);
        Cell cell = e->m_pen;
        cell.ch = info->chars[0];
        cell.width = info->width == 2 ? 2 : 1;
        setFlag(cell, Cell::Protected, info->protected_cell);
        char32_t marks[MaxCharsPerCell];
        int count = 0;
        if (info->chars[0] != 0) {
            for (int i = 1; i < MaxCharsPerCell && info->chars[i] != 0; ++i)
                marks[count++] = info->chars[i];
        }
        e->m_model.put(pos.row, pos.col, cell,
                       count == 0 ? QString() : QString::fromUcs4(marks, count));
        return 1;
    }

    static int moveCursor(VTermPos pos, VTermPos, int visible, void *user)
    {
        ScreenModel &model = self(user)->m_model;
        CursorState cursor = model.cursor();
        cursor.row = pos.row;
        cursor.column = pos.col;
        cursor.visible = visible != 0;
        model.setCursor(cursor);
        return 1;
    }

    static int scrollRect(VTermRect rect, int downward, int rightward, void *user)
    {
        Emulator *e = self(user);
        e->m_model.scroll({rect.start_row, rect.end_row, rect.start_col, rect.end_col}, downward,
                          rightward, e->blank());
        return 1;
    }

    static int erase(VTermRect rect, int selective, void *user)
    {
        Emulator *e = self(user);
        e->m_model.erase({rect.start_row, rect.end_row, rect.start_col, rect.end_col}, e->blank(),
                         selective != 0);
        return 1;
    }

    static int setPenAttr(VTermAttr attr, VTermValue *value, void *user)
    {
        Emulator *e = self(user);
        Cell &pen = e->m_pen;
        switch (attr) {
        case VTERM_ATTR_BOLD:
            setFlag(pen, Cell::Bold, value->boolean);
            break;
        case VTERM_ATTR_UNDERLINE:
            setFlag(pen, Cell::Underline, value->number != 0);
            break;
        case VTERM_ATTR_ITALIC:
            setFlag(pen, Cell::Italic, value->boolean);
            break;
        case VTERM_ATTR_REVERSE:
            setFlag(pen, Cell::Reverse, value->boolean);
            break;
        case VTERM_ATTR_STRIKE:
            setFlag(pen, Cell::Strike, value->boolean);
            break;
        case VTERM_ATTR_FOREGROUND:
            setFlag(pen, Cell::DefaultFg, VTERM_COLOR_IS_DEFAULT_FG(&value->color));
            pen.fg = toRgb(e->m_state, value->color);
            break;
        case VTERM_ATTR_BACKGROUND:
            setFlag(pen, Cell::DefaultBg, VTERM_COLOR_IS_DEFAULT_BG(&value->color));
            pen.bg = toRgb(e->m_state, value->color);
            break;
        default:
            // Blink and alternative fonts are not drawn.
            break;
        }
        return 1;
    }

    static int setTermProp(VTermProp prop, VTermValue *value, void *user)
    {
        ScreenModel &model = self(user)->m_model;
        CursorState cursor = model.cursor();
        switch (prop) {
        case VTERM_PROP_CURSORVISIBLE:
            cursor.visible = value->boolean != 0;
            model.setCursor(cursor);
            break;
        case VTERM_PROP_CURSORSHAPE:
            cursor.shape = value->number == VTERM_PROP_CURSORSHAPE_UNDERLINE
                               ? CursorState::Underline
                           : value->number == VTERM_PROP_CURSORSHAPE_BAR_LEFT ? CursorState::Bar
                                                                              : CursorState::Block;
            model.setCursor(cursor);
            break;
        case VTERM_PROP_REVERSE:
            model.setReverseScreen(value->boolean != 0);
            break;
        case VTERM_PROP_ALTSCREEN:
            model.setAltScreen(value->boolean != 0);
            break;
        default:
            // The title, the icon name and mouse reports have no use on a serial console.
            break;
        }
        return 1;
    }

    static int bell(void *user)
    {
        self(user)->m_bell = true;
        return 1;
    }

    // libvterm moves the cursor by delta after this.
    static int resize(int rows, int columns, VTermPos *delta, void *user)
    {
        Emulator *e = self(user);
        VTermPos cursor;
        vterm_state_get_cursorpos(e->m_state, &cursor);
        delta->row += e->m_model.resize(rows, columns, e->blank(), cursor.row);
        return 1;
    }

    // A double-width or double-height line (DECDWL, DECDHL) holds half as many characters: its
    // right half is erased when it becomes one.
    static int setLineInfo(int row, const VTermLineInfo *now, const VTermLineInfo *before,
                           void *user)
    {
        if (now->doublewidth &&
            (!before->doublewidth || now->doubleheight != before->doubleheight)) {
            Emulator *e = self(user);
            const int columns = e->m_model.columns();
            e->m_model.erase({row, row + 1, columns / 2, columns}, e->blank());
        }
        return 1;
    }

    static constexpr VTermStateCallbacks state = {
        &putGlyph,   &moveCursor,  &scrollRect,
        nullptr, // moverect: every scroll is done by scrollRect
        &erase,
        nullptr, // initpen: the pen's attributes are each set after it
        &setPenAttr, &setTermProp, &bell,       &resize, &setLineInfo,
    };
};

Emulator::Emulator(int rows, int columns, int lineLimit, QObject *parent)
    : QObject(parent), m_vt(vterm_new(qMax(1, rows), qMax(1, columns))),
      m_state(vterm_obtain_state(m_vt)), m_model(rows, columns, lineLimit)
{
    vterm_set_utf8(m_vt, 1);
    vterm_output_set_callback(m_vt, &Callbacks::output, this);
    vterm_state_set_callbacks(m_state, &Callbacks::state, this);
    vterm_state_reset(m_state, 1);
}

Emulator::~Emulator()
{
    vterm_free(m_vt);
}

Cell Emulator::blank() const
{
    Cell cell = m_pen;
    cell.ch = U' ';
    cell.width = 1;
    setFlag(cell, Cell::Protected, false);
    return cell;
}

void Emulator::setLineLimit(int lines)
{
    m_model.setLineLimit(lines);
    emit screenChanged();
}

void Emulator::clearScrollback()
{
    m_model.clearScrollback();
    emit screenChanged();
}

template <typename F> QByteArray Emulator::capture(F f)
{
    QByteArray before = std::exchange(m_output, {});
    f();
    return std::exchange(m_output, std::move(before));
}

void Emulator::write(QByteArrayView utf8)
{
    if (const std::optional<QByteArray> guarded = m_guard.filter(utf8))
        vterm_input_write(m_vt, guarded->constData(), size_t(guarded->size()));
    else
        vterm_input_write(m_vt, utf8.data(), size_t(utf8.size()));
    afterInput();
}

void Emulator::resize(int rows, int columns)
{
    rows = qMax(1, rows);
    columns = qMax(1, columns);
    if (rows == m_model.rows() && columns == m_model.columns())
        return;
    const bool fewerRows = rows < m_model.rows();
    const bool shrunk = fewerRows || columns < m_model.columns();
    vterm_set_size(m_vt, rows, columns);
    // When a shrink pushes more rows off the top than the cursor had above it (to keep the text
    // below it), libvterm 0.1.4 moves the cursor above the screen; it keeps a saved cursor
    // (DECSC) that no longer fits; and it keeps a scroll region whose top may now be below its
    // bottom. The next character written lands outside its buffers. Such a cursor goes home,
    // the saved one becomes the cursor's place and the scroll region the whole screen, as xterm
    // makes it on a resize. A sequence the board had under way is lost with it.
    VTermPos pos;
    vterm_state_get_cursorpos(m_state, &pos);
    QByteArray repair;
    if (pos.row < 0 || pos.row >= rows || pos.col < 0 || pos.col >= columns)
        repair += "\x1b[H";
    if (shrunk)
        repair += "\x1b"
                  "7";
    if (fewerRows)
        repair += "\x1b[r\x1b"
                  "8";
    if (!repair.isEmpty()) {
        repair.prepend(SequenceGuard::Cancel);
        vterm_input_write(m_vt, repair.constData(), size_t(repair.size()));
        m_guard.reset();
        vterm_state_get_cursorpos(m_state, &pos);
    }
    CursorState cursor = m_model.cursor();
    cursor.row = pos.row;
    cursor.column = pos.col;
    m_model.setCursor(cursor);
    afterInput();
}

// Signals go out only once libvterm is done, so that a slot may write again.
void Emulator::afterInput()
{
    const QByteArray answer = std::exchange(m_output, {});
    const bool rang = std::exchange(m_bell, false);
    emit screenChanged();
    if (!answer.isEmpty())
        emit reply(answer);
    if (rang)
        emit bell();
}

QByteArray Emulator::keyBytes(Key key, int modifiers)
{
    const VTermKey vkey = vtermKey(key);
    if (vkey == VTERM_KEY_NONE)
        return {};
    return capture(
        [&] { vterm_keyboard_key(m_vt, vkey, VTermModifier(modifiers & VTERM_ALL_MODS_MASK)); });
}

QByteArray Emulator::pasteStart()
{
    return capture([this] { vterm_keyboard_start_paste(m_vt); });
}

QByteArray Emulator::pasteEnd()
{
    return capture([this] { vterm_keyboard_end_paste(m_vt); });
}

} // namespace term
