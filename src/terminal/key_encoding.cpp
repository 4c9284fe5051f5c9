#include "terminal/key_encoding.h"

namespace term {

namespace {

const QByteArray escape("\x1b");

int modifierBits(Qt::KeyboardModifiers modifiers)
{
    int bits = 0;
    if (modifiers & Qt::ShiftModifier)
        bits |= ShiftModifier;
    if (modifiers & Qt::AltModifier)
        bits |= AltModifier;
    if (modifiers & Qt::ControlModifier)
        bits |= CtrlModifier;
    return bits;
}

// The C0 byte Ctrl gives with this key, or -1.
int controlByte(int qtKey)
{
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return qtKey & 0x1f;
    switch (qtKey) {
    case Qt::Key_At:
    case Qt::Key_Space:
    case Qt::Key_2:
        return 0x00;
    case Qt::Key_BracketLeft:
    case Qt::Key_3:
        return 0x1b;
    case Qt::Key_Backslash:
    case Qt::Key_4:
        return 0x1c;
    case Qt::Key_BracketRight:
    case Qt::Key_5:
        return 0x1d;
    case Qt::Key_AsciiCircum:
    case Qt::Key_6:
        return 0x1e;
    case Qt::Key_Underscore:
    case Qt::Key_Minus:
    case Qt::Key_Slash:
    case Qt::Key_7:
        return 0x1f;
    case Qt::Key_Question:
    case Qt::Key_8:
        return 0x7f;
    default:
        return -1;
    }
}

Key specialKey(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Up:
        return Key::Up;
    case Qt::Key_Down:
        return Key::Down;
    case Qt::Key_Left:
        return Key::Left;
    case Qt::Key_Right:
        return Key::Right;
    case Qt::Key_Insert:
        return Key::Insert;
    case Qt::Key_Delete:
        return Key::Delete;
    case Qt::Key_Home:
        return Key::Home;
    case Qt::Key_End:
        return Key::End;
    case Qt::Key_PageUp:
        return Key::PageUp;
    case Qt::Key_PageDown:
        return Key::PageDown;
    case Qt::Key_Backtab:
        return Key::BackTab;
    case Qt::Key_Enter:
        return Key::KeypadEnter;
    default:
        if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F12)
            return functionKey(qtKey - Qt::Key_F1 + 1);
        return Key::None;
    }
}

KeyAction bytesAction(QByteArray bytes, bool alt)
{
    KeyAction action;
    action.kind = KeyAction::Kind::Bytes;
    action.bytes = alt ? escape + bytes : std::move(bytes);
    return action;
}

bool isPrintable(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return !text.isEmpty();
}

} // namespace

QByteArray backspaceBytes(Backspace backspace)
{
    return backspace == Backspace::Bs ? QByteArray("\x08") : QByteArray("\x7f");
}

QByteArray enterBytes(Enter enter)
{
    switch (enter) {
    case Enter::Lf:
        return "\n";
    case Enter::CrLf:
        return "\r\n";
    case Enter::Cr:
        break;
    }
    return "\r";
}

QString settingText(Backspace backspace)
{
    return backspace == Backspace::Bs ? QStringLiteral("BS") : QStringLiteral("DEL");
}

QString settingText(Enter enter)
{
    switch (enter) {
    case Enter::Lf:
        return QStringLiteral("LF");
    case Enter::CrLf:
        return QStringLiteral("CR+LF");
    case Enter::Cr:
        break;
    }
    return QStringLiteral("CR");
}

Backspace backspaceFromSetting(const QString &text)
{
    return text == QLatin1String("BS") ? Backspace::Bs : Backspace::Del;
}

Enter enterFromSetting(const QString &text)
{
    if (text == QLatin1String("LF"))
        return Enter::Lf;
    if (text == QLatin1String("CR+LF"))
        return Enter::CrLf;
    return Enter::Cr;
}

KeyAction encodeKey(int qtKey, Qt::KeyboardModifiers modifiers, const QString &text,
                    Backspace backspace, Enter enter)
{
    const int bits = modifierBits(modifiers);
    const bool alt = bits & AltModifier;
    switch (qtKey) {
    case Qt::Key_Backspace:
        return bytesAction(backspaceBytes(backspace), alt);
    case Qt::Key_Return:
        return bytesAction(enterBytes(enter), alt);
    case Qt::Key_Tab:
        // Shift+Tab arrives as Backtab; Ctrl+Tab is a plain Tab, as in xterm.
        return bytesAction("\t", alt);
    case Qt::Key_Escape:
        return bytesAction(escape, alt);
    default:
        break;
    }
    if (const Key key = specialKey(qtKey); key != Key::None) {
        KeyAction action;
        action.kind = KeyAction::Kind::Special;
        action.key = key;
        action.modifiers = bits;
        return action;
    }
    if (bits & CtrlModifier) {
        if (const int c0 = controlByte(qtKey); c0 >= 0)
            return bytesAction(QByteArray(1, char(c0)), alt);
    }
    if (!isPrintable(text))
        return {};
    KeyAction action;
    action.kind = KeyAction::Kind::Text;
    action.text = text;
    action.escape = alt;
    return action;
}

} // namespace term
