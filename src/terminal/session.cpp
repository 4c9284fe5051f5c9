#include "terminal/session.h"

#include <QTimerEvent>

namespace term {

namespace {

constexpr char CtrlD = 0x04;
constexpr char CtrlE = 0x05;

QStringDecoder decoderFor(Encoding encoding)
{
    return encoding == Encoding::Gb18030 ? QStringDecoder("GB18030")
                                         : QStringDecoder(QStringConverter::Utf8);
}

QStringEncoder encoderFor(Encoding encoding)
{
    return encoding == Encoding::Gb18030 ? QStringEncoder("GB18030")
                                         : QStringEncoder(QStringConverter::Utf8);
}

bool isLeftOut(QChar c)
{
    const char16_t u = c.unicode();
    return (u < 0x20 && u != u'\t') || u == 0x7f;
}

} // namespace

Options Options::bounded() const
{
    Options out = *this;
    out.scrollbackLines = qBound(0, scrollbackLines, MaxScrollbackLines);
    out.pasteLineIntervalMs = qBound(0, pasteLineIntervalMs, MaxPasteLineIntervalMs);
    return out;
}

Session::Session(QObject *parent)
    : QObject(parent), m_emulator(DefaultRows, DefaultColumns, ScreenModel::DefaultLineLimit),
      m_decoder(decoderFor(m_encoding)), m_echoDecoder(decoderFor(m_encoding)),
      m_encoder(encoderFor(m_encoding))
{
    connect(&m_emulator, &Emulator::reply, this, [this](const QByteArray &bytes) {
        if (m_sending)
            emit send(bytes);
    });
}

void Session::setOptions(const Options &options)
{
    m_options = options.bounded();
    m_emulator.setLineLimit(m_options.scrollbackLines);
}

void Session::setEncoding(Encoding encoding)
{
    if (encoding == m_encoding)
        return;
    m_encoding = encoding;
    m_decoder = decoderFor(encoding);
    m_echoDecoder = decoderFor(encoding);
    m_encoder = encoderFor(encoding);
}

void Session::setSending(bool on)
{
    m_sending = on;
    if (!on) {
        m_queue.clear();
        m_pasteClose.clear();
        m_pace.stop();
    }
}

// libvterm reads UTF-8 only, and only well-formed UTF-8 safely: its decoder runs on across
// controls in the middle of a character, so C2 NUL 95 would be a C1 control. What the board
// sends is decoded first, by a decoder that keeps a character split between two reads and
// makes anything malformed U+FFFD, and encoded again.
void Session::receive(QByteArrayView bytes)
{
    const QString text = m_decoder.decode(bytes);
    m_emulator.write(text.toUtf8());
}

QByteArray Session::encode(QStringView text)
{
    return m_encoder.encode(text);
}

bool Session::pressKey(int qtKey, Qt::KeyboardModifiers modifiers, const QString &text)
{
    const KeyAction action =
        encodeKey(qtKey, modifiers, text, m_options.backspace, m_options.enter);
    QByteArray bytes;
    switch (action.kind) {
    case KeyAction::Kind::Ignored:
        return false;
    case KeyAction::Kind::Bytes:
        bytes = action.bytes;
        break;
    case KeyAction::Kind::Text:
        bytes = (action.escape ? QByteArray("\x1b") : QByteArray()) + encode(action.text);
        break;
    case KeyAction::Kind::Special:
        bytes = m_emulator.keyBytes(action.key, action.modifiers);
        // libvterm gives the keypad's Enter as LF outside keypad application mode; there it is
        // Enter.
        if (action.key == Key::KeypadEnter && bytes == "\n")
            bytes = enterBytes(m_options.enter);
        break;
    }
    if (bytes.isEmpty())
        return false;
    // A key stops a paste still going out line by line: Ctrl+C must reach the board now.
    stopPaste();
    sendNow(bytes);
    return true;
}

void Session::typeText(const QString &text)
{
    QString kept = text;
    kept.removeIf(&isLeftOut);
    if (kept.isEmpty())
        return;
    stopPaste();
    sendNow(encode(kept));
}

QList<QByteArray> Session::pastedLines(const QString &text)
{
    QString normal = text;
    normal.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = normal.split(QLatin1Char('\n'));
    const bool endsWithBreak = lines.size() > 1 && lines.last().isEmpty();
    if (endsWithBreak)
        lines.removeLast();
    const QByteArray enter = enterBytes(m_options.enter);
    QList<QByteArray> out;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        lines[i].removeIf(&isLeftOut);
        QByteArray line = encode(lines[i]);
        if (i + 1 < lines.size() || endsWithBreak)
            line += enter;
        out.append(line);
    }
    return out;
}

void Session::paste(const QString &text)
{
    if (text.isEmpty())
        return;
    QList<QByteArray> lines = pastedLines(text);
    stopPaste();
    const QByteArray start = m_emulator.pasteStart();
    const QByteArray end = m_emulator.pasteEnd();
    lines.first().prepend(start);
    lines.last().append(end);
    m_pasteClose = end;
    sendPaced(std::move(lines));
}

void Session::pasteMicroPython(const QString &text)
{
    QList<QByteArray> chunks = pastedLines(text);
    stopPaste();
    chunks.prepend(QByteArray(1, CtrlE));
    chunks.append(QByteArray(1, CtrlD));
    sendPaced(std::move(chunks));
}

void Session::sendPaced(QList<QByteArray> chunks)
{
    if (!m_sending)
        return;
    if (m_options.pasteLineIntervalMs <= 0) {
        sendNow(chunks.join());
        m_pasteClose.clear();
        return;
    }
    sendNow(chunks.takeFirst());
    m_queue = std::move(chunks);
    if (m_queue.isEmpty())
        m_pasteClose.clear();
    else
        m_pace.start(m_options.pasteLineIntervalMs, this);
}

void Session::stopPaste()
{
    if (m_queue.isEmpty())
        return;
    m_queue.clear();
    m_pace.stop();
    sendNow(std::exchange(m_pasteClose, {}));
}

void Session::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_pace.timerId())
        return;
    if (m_queue.isEmpty()) {
        m_pace.stop();
        return;
    }
    sendNow(m_queue.takeFirst());
    if (m_queue.isEmpty()) {
        m_pace.stop();
        m_pasteClose.clear();
    }
}

void Session::sendNow(const QByteArray &bytes)
{
    if (!m_sending || bytes.isEmpty())
        return;
    emit send(bytes);
    if (m_options.localEcho)
        echo(bytes);
}

void Session::echo(const QByteArray &bytes)
{
    if (m_encoding == Encoding::Utf8)
        m_emulator.write(bytes);
    else
        m_emulator.write(QString(m_echoDecoder.decode(bytes)).toUtf8());
}

} // namespace term
