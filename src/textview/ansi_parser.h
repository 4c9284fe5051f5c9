#pragma once

#include "textview/pen.h"
#include "textview/terminal_line.h"

#include <QString>
#include <QStringView>

#include <vector>

// What one received block makes of the receive box's text. The box's text ends with the line the
// board is still writing; the block may rewrite it (a CR and a progress bar's next value), so
// the box keeps `keep` characters of that line, replaces the rest with `text`, and from then on
// the line the board writes begins at `openStart` in `text` (or where it began, when -1).
struct AnsiBlock
{
    struct Run
    {
        qint32 at;
        Pen pen;
    };

    qint32 keep = 0;
    QString text;
    // The pen from each run's offset in text on; the first at 0. Empty without colours.
    std::vector<Run> runs;
    // Offsets in text where a line begins that follows a cleared screen.
    std::vector<qint32> separators;
    qint32 openStart = -1;
    // The block without its control sequences, line breaks and the like kept: what readers of
    // the received stream other than the box take.
    QString plain;
};

// Turns the text a board prints with ANSI and VT100 control sequences into what a terminal
// shows, line by line: SGR colours and styles; CR, BS, the cursor moving left and right and
// erasing within the line; a cleared screen becomes a mark between lines. Other sequences are
// swallowed, but one that never ends is shown as it came after a cap, so broken input cannot
// hide what follows. Only ESC introduces a sequence (C1 code points are text). Its state runs
// from block to block, so a stream gives the same result however it is cut.
class AnsiParser
{
public:
    // A CSI still open after this many characters, and an OSC or DCS after this many, are
    // shown as they came.
    static constexpr int MaxCsi = 64;
    static constexpr int MaxString = 4096;
    // A line without a break longer than this goes to the box as it stands, and what follows
    // is a new line as far as CR is concerned.
    static constexpr int MaxLine = 16384;

    explicit AnsiParser(bool colours = true);

    // Without colours (stripping): the same text, no runs.
    void setColours(bool colours);
    [[nodiscard]] bool colours() const { return m_colours; }

    [[nodiscard]] AnsiBlock feed(QStringView input);
    // Starts clean: no sequence under way, the default pen, no line.
    void reset();
    // The box no longer holds the line as it was given: what follows starts a line of its own
    // at the end of the box's text.
    void detach();

    [[nodiscard]] const Pen &pen() const { return m_pen; }

private:
    enum class State { Ground, Escape, EscapeIntermediate, Csi, String, StringEscape };

    void ground(QStringView input, qsizetype &i);
    // Each takes c in its state and says whether it did: a broken sequence leaves c to the
    // state it ends in.
    [[nodiscard]] bool escape(char16_t c);
    [[nodiscard]] bool csi(char16_t c);
    [[nodiscard]] bool string(char16_t c);
    [[nodiscard]] bool controlInSequence(char16_t c);
    void abandon();
    void dispatchCsi();
    void clearScreen();
    void endLine(QStringView breakChars);
    void writeText(QStringView text);
    void emitLine();
    void addRun(qint32 at, const Pen &pen);

    bool m_colours;
    State m_state = State::Ground;
    // The sequence so far, as it came.
    QString m_sequence;
    Pen m_pen;
    TerminalLine m_line;
    int m_savedColumn = 0;
    // Characters of the line that the box holds.
    int m_emitted = 0;
    // CR put the cursor at the start and nothing has happened since: an LF then ends the line
    // with CR LF, as it came.
    bool m_afterCR = false;
    // The cursor went home after the screen was last written: ESC[J clears it.
    bool m_homed = false;
    bool m_separatorPending = false;

    // While feeding.
    AnsiBlock *m_out = nullptr;
    bool m_firstLine = true;
};
