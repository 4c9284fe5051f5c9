#include "transfer/paced_text.h"

#include "transfer/files.h"

namespace transfer {

namespace {

constexpr qsizetype Piece = 4096;
// Without delays or a prompt the text goes in pieces of this size; the driver holds them back
// while the port's queue is full.
constexpr qsizetype Burst = 1024;
// What is kept of the board's output while waiting for the prompt.
constexpr qsizetype SeenKept = 512;

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

QByteArrayView trimmedEnd(QByteArrayView text)
{
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    return text;
}

} // namespace

QByteArrayView LineEndingConverter::ending() const
{
    switch (m_to) {
    case LineEnding::Cr:
        return "\r";
    case LineEnding::Lf:
        return "\n";
    case LineEnding::CrLf:
        return "\r\n";
    case LineEnding::AsIs:
        break;
    }
    return {};
}

QByteArray LineEndingConverter::convert(QByteArrayView piece)
{
    if (m_to == LineEnding::AsIs)
        return piece.toByteArray();
    QByteArray out;
    out.reserve(piece.size() + piece.size() / 8);
    for (const char c : piece) {
        if (m_pendingCr) {
            m_pendingCr = false;
            out += ending();
            if (c == '\n')
                continue;
        }
        if (c == '\r') {
            m_pendingCr = true;
        } else if (c == '\n') {
            out += ending();
            m_midLine = false;
        } else {
            out += c;
            m_midLine = true;
        }
        if (m_pendingCr)
            m_midLine = false;
    }
    return out;
}

QByteArray LineEndingConverter::finish()
{
    if (m_pendingCr || m_midLine) {
        m_pendingCr = m_midLine = false;
        return ending().toByteArray();
    }
    return {};
}

PacedText::PacedText(const Options &options, FileSource *source)
    : m_options(options), m_source(source), m_converter(options.ending)
{
    m_options.prompt = trimmedEnd(m_options.prompt).toByteArray();
    m_progress.fileCount = 1;
    if (source->count() > 0) {
        m_progress.fileName = source->file(0).name;
        m_progress.fileSize = m_progress.total = source->file(0).size;
    }
}

bool PacedText::endsWithPrompt(QByteArrayView seen, QByteArrayView prompt)
{
    // A prompt is the last thing a board prints before it reads; the echo of a line that holds
    // the prompt's text has more after it.
    return trimmedEnd(seen).endsWith(trimmedEnd(prompt));
}

bool PacedText::streams() const
{
    return m_options.charDelayMs <= 0 && m_options.lineDelayMs <= 0 && m_options.prompt.isEmpty();
}

void PacedText::start(qint64 now)
{
    if (m_source->count() == 0) {
        fail(QStringLiteral("没有要发送的文件"));
        return;
    }
    log(QStringLiteral("发送 %1（%2 字节）").arg(m_progress.fileName).arg(m_progress.total));
    if (m_options.promptFirst && !m_options.prompt.isEmpty()) {
        m_waitingForPrompt = true;
        setDeadline(now + m_options.promptTimeoutMs);
    } else {
        setDeadline(now);
    }
}

void PacedText::receive(QByteArrayView bytes, qint64 now)
{
    if (!running() || !m_waitingForPrompt)
        return;
    m_seen += bytes;
    if (m_seen.size() > SeenKept)
        m_seen.remove(0, m_seen.size() - SeenKept);
    if (!endsWithPrompt(m_seen, m_options.prompt))
        return;
    m_waitingForPrompt = false;
    setDeadline(qMax(now, m_nextAllowed));
}

void PacedText::tick(qint64 now)
{
    if (!running() || !due(now))
        return;
    if (m_waitingForPrompt) {
        fail(m_lines == 0 ? QStringLiteral("没有等到提示符")
                          : QStringLiteral("第 %1 行之后没有等到提示符").arg(m_lines));
        return;
    }
    if (!fill(2))
        return;
    if (m_buffer.isEmpty()) {
        log(QStringLiteral("%1 发送完毕").arg(m_progress.fileName));
        succeed(QStringLiteral("传输完成"));
        return;
    }
    const bool byLine = m_options.lineDelayMs > 0 || !m_options.prompt.isEmpty();
    if (m_options.charDelayMs > 0) {
        sent(1, lineEndsAt(0), now);
        return;
    }
    if (!byLine) {
        sent(qMin(Burst, m_buffer.size()), false, now);
        return;
    }
    for (qsizetype i = 0;; ++i) {
        if (i + 2 > m_buffer.size() && !fill(i + 2))
            return;
        if (i >= m_buffer.size()) {
            sent(m_buffer.size(), true, now);
            return;
        }
        if (lineEndsAt(i)) {
            sent(i + 1, true, now);
            return;
        }
    }
}

void PacedText::stop(const QString &message, bool)
{
    // A board reading text has no abort to be told.
    if (running())
        fail(message);
}

bool PacedText::fill(qsizetype want)
{
    while (m_buffer.size() < want && !m_eof) {
        QByteArray piece;
        if (!m_source->read(0, m_read, Piece, &piece)) {
            fail(QStringLiteral("无法读取 %1：%2")
                     .arg(m_progress.fileName, m_source->errorString()));
            return false;
        }
        m_read += piece.size();
        QByteArray converted = m_converter.convert(piece);
        if (piece.size() < Piece) {
            m_eof = true;
            converted += m_converter.finish();
        }
        m_converted += converted.size();
        m_buffer += converted;
    }
    return true;
}

bool PacedText::lineEndsAt(qsizetype i)
{
    const char c = m_buffer[i];
    if (c == '\n')
        return true;
    if (c != '\r')
        return false;
    if (i + 1 >= m_buffer.size() && !fill(i + 2))
        return false;
    return i + 1 >= m_buffer.size() || m_buffer[i + 1] != '\n';
}

void PacedText::sent(qsizetype n, bool lineEnded, qint64 now)
{
    send(QByteArrayView(m_buffer).first(n));
    m_buffer.remove(0, n);
    m_sent += n;
    // Progress in the file's bytes: the share sent of what was converted so far.
    m_progress.done = m_progress.fileDone =
        m_converted > 0 ? m_read * m_sent / m_converted : m_read;
    // The clock counts whole milliseconds: one more keeps every pause at least as long as asked.
    qint64 next = now + (m_options.charDelayMs > 0 ? m_options.charDelayMs + 1 : 0);
    if (lineEnded) {
        ++m_lines;
        if (m_options.lineDelayMs > 0)
            next += m_options.lineDelayMs + 1;
        if (!m_options.prompt.isEmpty() && fill(1) && !m_buffer.isEmpty()) {
            m_waitingForPrompt = true;
            m_seen.clear();
            m_nextAllowed = next;
            next = now + m_options.promptTimeoutMs;
        }
    }
    if (running())
        setDeadline(next);
}

} // namespace transfer
