#pragma once

#include <QByteArray>
#include <QString>
#include <Qt>

// How a key press becomes bytes for the board, without a widget or an emulator. Keys whose
// bytes depend on what the board asked for (cursor-key and keypad modes) come out as a Key for
// the emulator to encode; everything else as bytes or text here.
namespace term {

// What Backspace sends, and what Enter sends.
enum class Backspace { Del, Bs };
enum class Enter { Cr, Lf, CrLf };

[[nodiscard]] QByteArray backspaceBytes(Backspace backspace);
[[nodiscard]] QByteArray enterBytes(Enter enter);

// As stored in the settings file: "DEL" or "BS"; "CR", "LF" or "CR+LF". Anything else reads as
// the default (DEL, CR).
[[nodiscard]] QString settingText(Backspace backspace);
[[nodiscard]] QString settingText(Enter enter);
[[nodiscard]] Backspace backspaceFromSetting(const QString &text);
[[nodiscard]] Enter enterFromSetting(const QString &text);

enum Modifier : int { ShiftModifier = 1, AltModifier = 2, CtrlModifier = 4 };

enum class Key {
    None,
    Up,
    Down,
    Left,
    Right,
    Insert,
    Delete,
    Home,
    End,
    PageUp,
    PageDown,
    BackTab,
    KeypadEnter,
    F1, // F1 + n - 1 is Fn, up to F12
};
[[nodiscard]] constexpr Key functionKey(int n)
{
    return Key(int(Key::F1) + n - 1);
}
[[nodiscard]] constexpr int functionNumber(Key key)
{
    return int(key) - int(Key::F1) + 1;
}

struct KeyAction
{
    enum class Kind { Ignored, Bytes, Text, Special };
    Kind kind = Kind::Ignored;
    QByteArray bytes;    // Bytes: sent as they are
    QString text;        // Text: encoded as the board reads text
    bool escape = false; // Text: ESC before it (Alt)
    Key key = Key::None; // Special: encoded by the emulator in the board's modes
    int modifiers = 0;   // Special: Modifier bits
};

// Ctrl with a letter or one of @ [ \ ] ^ _ (and their usual keys: Space and 2 for @, 3 to 7
// for [ \ ] ^ _, 8 and ? for DEL) is that C0 byte, as in every terminal since the VT100, with
// ESC before it for Alt. Alt before text is ESC. Backspace and Enter send what options say;
// Tab and Esc their byte. Qt reports the letters upper-case, with or without Shift.
[[nodiscard]] KeyAction encodeKey(int qtKey, Qt::KeyboardModifiers modifiers, const QString &text,
                                  Backspace backspace, Enter enter);

} // namespace term
