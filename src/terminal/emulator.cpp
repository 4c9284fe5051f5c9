#include "terminal/emulator.h"

#include <vterm.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace term {

namespace {

// Converts libvterm's colours, remembering the last of each: neighbouring cells mostly share
// theirs.
class Colors
{
public:
    explicit Colors(const VTermScreen *screen) : m_screen(screen) {}

    Rgb fg(const VTermColor &color) { return convert(color, m_fg); }
    Rgb bg(const VTermColor &color) { return convert(color, m_bg); }

private:
    struct Last
    {
        VTermColor color{};
        Rgb rgb = 0;
        bool known = false;
    };
    Rgb convert(const VTermColor &color, Last &last)
    {
        if (last.known && std::memcmp(&color, &last.color, sizeof color) == 0)
            return last.rgb;
        VTermColor rgb = color;
        vterm_screen_convert_color_to_rgb(m_screen, &rgb);
        last = {color, Rgb(rgb.rgb.red) << 16 | Rgb(rgb.rgb.green) << 8 | rgb.rgb.blue, true};
        return last.rgb;
    }

    const VTermScreen *m_screen;
    Last m_fg;
    Last m_bg;
};

Cell toCell(Colors &colors, const VTermScreenCell &in, QString &marks)
{
    Cell cell;
    marks.clear();
    if (in.chars[0] == Cell::Continuation) {
        cell.ch = Cell::Continuation;
        cell.width = 0;
    } else if (in.chars[0] == 0) {
        // Erased. libvterm copies characters up to the first 0, so those after it are stale.
        cell.width = in.width == 2 ? 2 : 1;
    } else {
        cell.ch = char32_t(in.chars[0]);
        cell.width = in.width == 2 ? 2 : 1;
        for (int i = 1; i < VTERM_MAX_CHARS_PER_CELL && in.chars[i]; ++i) {
            const char32_t mark = in.chars[i];
            marks += QString::fromUcs4(&mark, 1);
        }
    }
    quint8 flags = 0;
    if (in.attrs.bold)
        flags |= Cell::Bold;
    if (in.attrs.underline)
        flags |= Cell::Underline;
    if (in.attrs.italic)
        flags |= Cell::Italic;
    if (in.attrs.reverse)
        flags |= Cell::Reverse;
    if (in.attrs.strike)
        flags |= Cell::Strike;
    if (VTERM_COLOR_IS_DEFAULT_FG(&in.fg))
        flags |= Cell::DefaultFg;
    if (VTERM_COLOR_IS_DEFAULT_BG(&in.bg))
        flags |= Cell::DefaultBg;
    cell.flags = flags;
    cell.fg = colors.fg(in.fg);
    cell.bg = colors.bg(in.bg);
    return cell;
}

VTermColor fromRgb(Rgb rgb, bool isDefault, uint8_t defaultFlag)
{
    VTermColor color;
    vterm_color_rgb(&color, uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
    if (isDefault)
        color.type |= defaultFlag;
    return color;
}

// A cell for libvterm to take back. Every width is 1 or 2 (libvterm steps by it), and the
// characters end with a 0 inside the array.
VTermScreenCell fromCell(const Cell &cell, const QString &marks)
{
    VTermScreenCell out{};
    if (cell.ch == Cell::Continuation) {
        out.chars[0] = uint32_t(-1);
        out.width = 1;
    } else {
        out.chars[0] = cell.ch;
        out.width = char(cell.width == 2 ? 2 : 1);
        int n = 1;
        for (const char32_t mark : marks.toUcs4()) {
            if (n >= VTERM_MAX_CHARS_PER_CELL - 1)
                break;
            out.chars[n++] = mark;
        }
    }
    out.attrs.bold = (cell.flags & Cell::Bold) != 0;
    out.attrs.underline = (cell.flags & Cell::Underline) ? VTERM_UNDERLINE_SINGLE : 0;
    out.attrs.italic = (cell.flags & Cell::Italic) != 0;
    out.attrs.reverse = (cell.flags & Cell::Reverse) != 0;
    out.attrs.strike = (cell.flags & Cell::Strike) != 0;
    out.fg = fromRgb(cell.fg, cell.flags & Cell::DefaultFg, VTERM_COLOR_DEFAULT_FG);
    out.bg = fromRgb(cell.bg, cell.flags & Cell::DefaultBg, VTERM_COLOR_DEFAULT_BG);
    return out;
}

// Erased or a space, with no background, reverse, underline or strike: what Cell::isBlank is.
bool isBlank(const VTermScreenCell &cell)
{
    return (cell.chars[0] == 0 || cell.chars[0] == ' ') && VTERM_COLOR_IS_DEFAULT_BG(&cell.bg) &&
           !cell.attrs.reverse && !cell.attrs.underline && !cell.attrs.strike;
}

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

    static int damage(VTermRect rect, void *user)
    {
        self(user)->changed({rect.start_row, rect.end_row, rect.start_col, rect.end_col});
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

    // Cells past the last one with anything to show are not converted: the model reads a line
    // as blank past its end.
    static int pushLine(int columns, const VTermScreenCell *cells, void *user)
    {
        Emulator *e = self(user);
        int used = qMax(0, columns);
        while (used > 0 && isBlank(cells[used - 1]))
            --used;
        Line line = e->m_model.recycledLine();
        line.cells.resize(size_t(used));
        QString marks;
        Colors colors(e->m_screen);
        for (int c = 0; c < used; ++c) {
            line.cells[size_t(c)] = toCell(colors, cells[c], marks);
            if (!marks.isEmpty())
                line.marks.insert(c, marks);
        }
        e->m_model.pushScrollback(std::move(line));
        return 1;
    }

    static int popLine(int columns, VTermScreenCell *cells, void *user)
    {
        Line line;
        if (!self(user)->m_model.popScrollback(line))
            return 0;
        for (int c = 0; c < columns; ++c)
            cells[c] = fromCell(line.at(c), line.marks.value(c));
        return 1;
    }

    static constexpr VTermScreenCallbacks screen = {
        &damage,
        nullptr, // moverect: a moved region is damage, read again once per write
        &moveCursor, &setTermProp, &bell,
        nullptr, // resize: the emulator resizes only when told to
        &pushLine,   &popLine,
    };
};

Emulator::Emulator(int rows, int columns, int lineLimit, QObject *parent)
    : QObject(parent), m_vt(vterm_new(qMax(1, rows), qMax(1, columns))),
      m_screen(vterm_obtain_screen(m_vt)), m_model(rows, columns, lineLimit)
{
    vterm_set_utf8(m_vt, 1);
    vterm_output_set_callback(m_vt, &Callbacks::output, this);
    vterm_screen_set_callbacks(m_screen, &Callbacks::screen, this);
    // Changes are gathered into one rectangle until the end of each write: a stream that
    // scrolls the screen a hundred times is read back once.
    vterm_screen_set_damage_merge(m_screen, VTERM_DAMAGE_SCREEN);
    vterm_screen_enable_altscreen(m_screen, 1);
    vterm_screen_reset(m_screen, 1);
    vterm_screen_flush_damage(m_screen);
}

Emulator::~Emulator()
{
    vterm_free(m_vt);
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
    const bool shrunk = rows < m_model.rows() || columns < m_model.columns();
    m_model.resize(rows, columns);
    vterm_set_size(m_vt, rows, columns);
    // libvterm 0.1.4 can leave the cursor above the screen when a shrink pushes the lines below
    // it off the top, and keeps a saved cursor (DECSC) that no longer fits: the next character
    // written there lands outside its buffers. Such a cursor goes home, and the saved one
    // becomes the cursor's place. A sequence the board had under way is lost with it.
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(m_vt), &pos);
    QByteArray repair;
    if (pos.row < 0 || pos.row >= rows || pos.col < 0 || pos.col >= columns)
        repair += "\x1b[H";
    if (shrunk)
        repair += "\x1b"
                  "7";
    if (!repair.isEmpty()) {
        repair.prepend(SequenceGuard::Cancel);
        vterm_input_write(m_vt, repair.constData(), size_t(repair.size()));
        m_guard.reset();
        vterm_state_get_cursorpos(vterm_obtain_state(m_vt), &pos);
    }
    CursorState cursor = m_model.cursor();
    cursor.row = pos.row;
    cursor.column = pos.col;
    m_model.setCursor(cursor);
    // Everything is read again, whatever libvterm reported.
    changed({0, rows, 0, columns});
    afterInput();
}

// Signals go out only once libvterm is done, so that a slot may write again.
void Emulator::afterInput()
{
    vterm_screen_flush_damage(m_screen);
    const QByteArray answer = std::exchange(m_output, {});
    const bool rang = std::exchange(m_bell, false);
    emit screenChanged();
    if (!answer.isEmpty())
        emit reply(answer);
    if (rang)
        emit bell();
}

void Emulator::changed(const Rect &rect)
{
    if (m_changed.top >= m_changed.bottom || m_changed.left >= m_changed.right) {
        m_changed = rect;
        return;
    }
    m_changed.top = qMin(m_changed.top, rect.top);
    m_changed.bottom = qMax(m_changed.bottom, rect.bottom);
    m_changed.left = qMin(m_changed.left, rect.left);
    m_changed.right = qMax(m_changed.right, rect.right);
}

void Emulator::readChanged() const
{
    const int top = std::clamp(m_changed.top, 0, m_model.rows());
    const int bottom = std::clamp(m_changed.bottom, top, m_model.rows());
    const int left = std::clamp(m_changed.left, 0, m_model.columns());
    const int right = std::clamp(m_changed.right, left, m_model.columns());
    m_changed = {};
    if (top >= bottom || left >= right)
        return;
    VTermScreenCell in;
    QString marks;
    Colors colors(m_screen);
    for (int r = top; r < bottom; ++r) {
        for (int c = left; c < right; ++c) {
            if (!vterm_screen_get_cell(m_screen, VTermPos{r, c}, &in))
                continue;
            const Cell cell = toCell(colors, in, marks);
            m_model.setCell(r, c, cell, marks);
        }
    }
    m_model.markDirty(top, bottom);
}

const ScreenModel &Emulator::screen() const
{
    readChanged();
    return m_model;
}

Damage Emulator::takeDamage()
{
    readChanged();
    return m_model.takeDamage();
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
