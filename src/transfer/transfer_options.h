#pragma once

#include "transfer/paced_text.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <QStringList>

namespace transfer {

enum class Protocol { Text, Xmodem, Xmodem1K, Ymodem, Zmodem };
enum class Direction { Send, Receive };

// The names a protocol and a line ending go by in the window and in the settings file.
[[nodiscard]] QString protocolName(Protocol protocol);
[[nodiscard]] Protocol protocolFromName(const QString &name, Protocol fallback);
[[nodiscard]] QString lineEndingName(LineEnding ending);
[[nodiscard]] LineEnding lineEndingFromName(const QString &name, LineEnding fallback);
inline constexpr Protocol Protocols[] = {Protocol::Text, Protocol::Xmodem, Protocol::Xmodem1K,
                                         Protocol::Ymodem, Protocol::Zmodem};
inline constexpr LineEnding LineEndings[] = {LineEnding::AsIs, LineEnding::Cr, LineEnding::Lf,
                                             LineEnding::CrLf};

[[nodiscard]] bool canReceive(Protocol protocol);
// Several files at once (a batch).
[[nodiscard]] bool takesSeveralFiles(Protocol protocol);

// Text as typed with \r, \n, \t, \\ and \xHH escapes, as bytes (the rest in UTF-8). An escape
// that is not one stays as typed.
[[nodiscard]] QByteArray decodeEscapes(const QString &text);

// The file field: one path, or several in double quotes as the file dialog writes them, or
// file:// addresses pasted from a file manager, one a line.
[[nodiscard]] QStringList splitFileField(const QString &text);
[[nodiscard]] QString joinFileField(const QStringList &paths);

// What the window keeps between runs, each field under a key of its own in [文件传输].
struct WindowSettings
{
    Protocol protocol = Protocol::Ymodem;
    QString startCommand; // as typed, with escapes
    bool only1K = true;
    int charDelayMs = 0;
    int lineDelayMs = 0;
    LineEnding lineEnding = LineEnding::Cr;
    QString prompt; // as typed, with escapes; empty: no waiting
    QString folder; // where received files go
    bool stripPadding = true;
    QRect geometry; // the window's place; empty: the toolkit's choice

    bool operator==(const WindowSettings &other) const;
};

// One transfer, as the user asked for it.
struct Request
{
    Direction direction = Direction::Send;
    Protocol protocol = Protocol::Ymodem;
    QStringList files;       // to send
    QString folder;          // to receive into
    QString xmodemName;      // the received file's name, XMODEM having none
    QByteArray startCommand; // sent before anything else
    bool only1K = true;
    bool stripPadding = true;
    PacedText::Options text;
};

// The request the window's values make, less the files and the direction.
[[nodiscard]] Request requestFrom(const WindowSettings &settings);

} // namespace transfer
