#pragma once

#include <QList>
#include <QtGlobal>

#include <memory>
#include <vector>

class CharWidths;
class TextStore;

// Where each visual line of the receive box starts: the text broken at CR LF, lone LF and
// lone CR, and wrapped greedily at a width, after a blank where the line has one and
// anywhere otherwise. One blank at the end of a line may hang past the width; tabs advance to
// the next multiple of the tab stop.
//
// Appending only extends the last line, and an edit rescans from a little before it until
// the lines meet the old index again, so neither cost grows with the text.
class WrapIndex
{
public:
    WrapIndex();

    // Forgets the lines; rebuild() before use.
    void setMetrics(qint32 wrapWidth, qint32 tabStop, std::shared_ptr<CharWidths> widths);
    // Keeps the widths and forgets the lines.
    void setWrapWidth(qint32 wrapWidth);
    [[nodiscard]] qint32 wrapWidth() const { return m_wrapWidth; }

    void clear();
    void rebuild(const TextStore &store);
    // Indexes what was appended to the store since the index last saw it.
    void catchUp(const TextStore &store);
    // The store's range [pos, pos + removed) has just been replaced by `inserted` characters.
    void replaced(const TextStore &store, qint64 pos, qint64 removed, qint64 inserted);

    [[nodiscard]] qint64 lineCount() const { return qint64(m_lines.size()); }
    [[nodiscard]] qint64 lineStart(qint64 line) const { return qint64(m_lines[line] >> 2); }
    // End of the line's characters, before any line break.
    [[nodiscard]] qint64 lineEnd(qint64 line) const;
    // The line begins after a line break (or is the first line), as opposed to a wrap.
    [[nodiscard]] bool startsParagraph(qint64 line) const
    {
        return line == 0 || (m_lines[line] & 3) != 0;
    }
    // The next line continues this one after a wrap.
    [[nodiscard]] bool wraps(qint64 line) const
    {
        return line + 1 < lineCount() && !startsParagraph(line + 1);
    }
    [[nodiscard]] qint64 lineAt(qint64 pos) const;

    // Bytes allocated for the lines, spare room included.
    [[nodiscard]] qint64 memoryBytes() const
    {
        return qint64(m_lines.capacity() * sizeof(quint64));
    }
    // Gives back the spare room, as after old lines went.
    void squeeze() { m_lines.squeeze(); }

private:
    struct Tail
    {
        qint64 pos = 0; // next character to scan
        qint64 lineStart = 0;
        qint32 x = 0;
        qint64 breakPos = -1; // just after the last blank of the line, or -1
        qint32 breakX = 0;
        bool afterCR = false;     // a CR ended the text, an LF may still join it
        char16_t pendingHigh = 0; // a high surrogate at pos - 1, placed with its low half
    };
    class Scanner;

    qint32 m_wrapWidth = 0;
    qint32 m_tabStop = 1;
    std::shared_ptr<CharWidths> m_widths;

    // Each entry is start << 2 | the number of line-break characters just before it. A QList
    // grows by realloc, which moves large blocks by remapping their pages instead of copying
    // and touching a new block; and old lines leave its front without moving the rest.
    using Lines = QList<quint64>;
    Lines m_lines;
    Tail m_tail;
};
