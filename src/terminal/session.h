#pragma once

#include "terminal/emulator.h"
#include "terminal/key_encoding.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringDecoder>
#include <QStringEncoder>

namespace term {

// How text is turned into bytes and back: UTF-8, or GB18030 (the superset of GBK and GB2312).
enum class Encoding { Utf8, Gb18030 };

struct Options
{
    Backspace backspace = Backspace::Del;
    Enter enter = Enter::Cr;
    bool localEcho = false;
    // Screen rows plus scrollback.
    int scrollbackLines = ScreenModel::DefaultLineLimit;
    // A paste of several lines goes one line at a time with this pause between (0: at once),
    // for REPLs that drop input arriving faster than they read it.
    int pasteLineIntervalMs = 0;

    static constexpr int MaxScrollbackLines = 100000;
    static constexpr int MaxPasteLineIntervalMs = 10000;
    // Values from outside (a hand-edited settings file) brought into range.
    [[nodiscard]] Options bounded() const;
};

// A terminal on a line to a board, without a widget: bytes from the board go through the
// emulator onto its screen; keys, typed text and pastes come out as bytes to send, encoded as
// the board reads text. Nothing is sent while sending is off (the port closed, a file transfer
// under way).
class Session : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultRows = 24;
    static constexpr int DefaultColumns = 80;

    explicit Session(QObject *parent = nullptr);

    [[nodiscard]] Emulator &emulator() { return m_emulator; }
    [[nodiscard]] const ScreenModel &screen() const { return m_emulator.screen(); }

    [[nodiscard]] const Options &options() const { return m_options; }
    void setOptions(const Options &options);
    [[nodiscard]] Encoding encoding() const { return m_encoding; }
    void setEncoding(Encoding encoding);
    [[nodiscard]] bool isSending() const { return m_sending; }
    // Turning it off also drops what a paced paste had left to send.
    void setSending(bool on);

    // Bytes from the board, in any cut.
    void receive(QByteArrayView bytes);

    // A key press; false when the key means nothing to the board (a modifier alone, say).
    bool pressKey(int qtKey, Qt::KeyboardModifiers modifiers, const QString &text);
    // Text committed by an input method.
    void typeText(const QString &text);
    // Line breaks become what Enter sends; other control characters are left out, so that a
    // pasted text never interrupts or resets the board. Inside the bracketed-paste marks when
    // the board asked for them.
    void paste(const QString &text);
    // MicroPython's paste mode: Ctrl+E, the text, Ctrl+D; the board compiles it as one block,
    // without auto-indent.
    void pasteMicroPython(const QString &text);
    // A paste is still being sent line by line.
    [[nodiscard]] bool isPasting() const { return !m_queue.isEmpty(); }

signals:
    // Everything typed, pasted or answered by the terminal, to go to the board.
    void send(const QByteArray &bytes);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    [[nodiscard]] QByteArray encode(QStringView text);
    // The text's lines, each with what Enter sends after it but the last (which has it only
    // when the text ends with a line break).
    [[nodiscard]] QList<QByteArray> pastedLines(const QString &text);
    void sendPaced(QList<QByteArray> chunks);
    void stopPaste();
    void sendNow(const QByteArray &bytes);
    void echo(const QByteArray &bytes);

    Emulator m_emulator;
    Options m_options;
    Encoding m_encoding = Encoding::Utf8;
    bool m_sending = true;
    QStringDecoder m_decoder;
    QStringDecoder m_echoDecoder;
    QStringEncoder m_encoder;
    QList<QByteArray> m_queue;
    // What a paste cut short still owes the board: the end of its bracketed-paste marks.
    QByteArray m_pasteClose;
    QBasicTimer m_pace;
};

} // namespace term
