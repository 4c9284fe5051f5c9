#include "textview/ansi_parser.h"

#include "textview/csi_params.h"

#include <algorithm>

namespace {

constexpr char16_t Esc = 0x1B;
constexpr char16_t Bel = 0x07;
constexpr char16_t Can = 0x18;
constexpr char16_t Sub = 0x1A;

bool isPrintable(char16_t c)
{
    return c >= 0x20 && c != 0x7F;
}

bool isLineBreak(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == 0x0B || c == 0x0C;
}

} // namespace

AnsiParser::AnsiParser(bool colours) : m_colours(colours), m_line(colours) {}

void AnsiParser::setColours(bool colours)
{
    m_colours = colours;
    m_line.setKeepsPens(colours);
}

void AnsiParser::reset()
{
    m_state = State::Ground;
    m_sequence.clear();
    m_pen = Pen();
    m_line.clear();
    m_savedColumn = 0;
    m_emitted = 0;
    m_afterCR = m_homed = m_separatorPending = false;
}

void AnsiParser::detach()
{
    m_line.clear();
    m_emitted = 0;
    m_afterCR = false;
}

AnsiBlock AnsiParser::feed(QStringView input)
{
    AnsiBlock out;
    out.plain.reserve(input.size());
    m_out = &out;
    m_firstLine = true;
    const qsizetype n = input.size();
    qsizetype i = 0;
    while (i < n) {
        if (m_state == State::Ground) {
            ground(input, i);
            continue;
        }
        // A character not taken ends a broken sequence and is taken again from the new state.
        const char16_t c = input[i].unicode();
        bool taken = true;
        if (m_state == State::String || m_state == State::StringEscape)
            taken = string(c);
        else if (c < 0x20)
            taken = controlInSequence(c);
        else if (m_state == State::Csi)
            taken = csi(c);
        else
            taken = escape(c);
        if (taken)
            ++i;
    }
    emitLine();
    m_emitted = int(m_line.text().size());
    m_line.markSeen();
    m_out = nullptr;
    return out;
}

void AnsiParser::ground(QStringView input, qsizetype &i)
{
    const qsizetype n = input.size();
    qsizetype j = i;
    while (j < n && isPrintable(input[j].unicode()))
        ++j;
    if (j > i) {
        const QStringView text = input.sliced(i, j - i);
        m_out->plain += text;
        writeText(text);
        i = j;
        return;
    }
    const char16_t c = input[i++].unicode();
    if (c == Esc) {
        m_sequence = QChar(Esc);
        m_state = State::Escape;
        return;
    }
    m_out->plain += QChar(c);
    switch (c) {
    case u'\r':
        m_line.moveTo(0);
        m_afterCR = true;
        break;
    case u'\n':
    case 0x0B:
    case 0x0C:
        endLine(m_afterCR ? QStringView(u"\r\n") : QStringView(u"\n"));
        break;
    case u'\b':
        m_line.moveBy(-1);
        m_afterCR = false;
        break;
    case u'\t':
        m_line.tab(m_pen);
        m_afterCR = m_homed = false;
        break;
    default:
        // NUL, BEL and the other controls show nothing on a terminal.
        break;
    }
}

// After ESC, and after ESC and intermediate characters.
bool AnsiParser::escape(char16_t c)
{
    if (c >= 0x7F) {
        abandon();
        return false;
    }
    if (c >= 0x20 && c <= 0x2F) {
        m_sequence += QChar(c);
        m_state = State::EscapeIntermediate;
        return true;
    }
    const bool intermediate = m_state == State::EscapeIntermediate;
    m_state = State::Ground;
    m_sequence.clear();
    if (intermediate)
        return true;
    switch (c) {
    case u'[':
        m_sequence = QStringLiteral("\x1b[");
        m_state = State::Csi;
        break;
    case u']':
    case u'P':
    case u'X':
    case u'^':
    case u'_':
        m_sequence = QChar(Esc);
        m_sequence += QChar(c);
        m_state = State::String;
        break;
    case u'c':
        m_pen = Pen();
        clearScreen();
        break;
    case u'7':
        m_savedColumn = m_line.column();
        break;
    case u'8':
        m_line.moveTo(m_savedColumn);
        m_afterCR = false;
        break;
    default:
        break;
    }
    return true;
}

bool AnsiParser::csi(char16_t c)
{
    if (c >= 0x7F) {
        abandon();
        return false;
    }
    m_sequence += QChar(c);
    if (c >= 0x40) {
        dispatchCsi();
        m_state = State::Ground;
        m_sequence.clear();
    } else if (m_sequence.size() >= MaxCsi) {
        abandon();
    }
    return true;
}

bool AnsiParser::string(char16_t c)
{
    if (m_state == State::StringEscape) {
        if (c == u'\\') {
            m_state = State::Ground;
            m_sequence.clear();
            return true;
        }
        // The ESC ended the string and begins the next sequence.
        m_sequence = QChar(Esc);
        m_state = State::Escape;
        return false;
    }
    if (c == Bel || c == Can || c == Sub) {
        m_state = State::Ground;
        m_sequence.clear();
    } else if (c == Esc) {
        m_state = State::StringEscape;
    } else if (isLineBreak(c)) {
        // No string sequence holds a line break: this one is broken.
        abandon();
        return false;
    } else if (c >= 0x20) {
        m_sequence += QChar(c);
        if (m_sequence.size() >= MaxString)
            abandon();
    }
    return true;
}

bool AnsiParser::controlInSequence(char16_t c)
{
    if (c == Esc) {
        // A new sequence: the one under way is dropped, as a terminal does.
        m_sequence = QChar(Esc);
        m_state = State::Escape;
        return true;
    }
    if (c == Can || c == Sub) {
        m_sequence.clear();
        m_state = State::Ground;
        return true;
    }
    if (isLineBreak(c)) {
        abandon();
        return false;
    }
    // NUL and the like inside a sequence are ignored.
    return true;
}

// A sequence that turned out broken is shown as it came.
void AnsiParser::abandon()
{
    const QString sequence = m_sequence;
    m_sequence.clear();
    m_state = State::Ground;
    m_out->plain += sequence;
    writeText(sequence);
}

void AnsiParser::dispatchCsi()
{
    const QStringView body = QStringView(m_sequence).sliced(2);
    const char16_t final = body.back().unicode();
    const QStringView params = body.chopped(1);
    const bool isPrivate = !params.isEmpty() && params.front() >= u'<' && params.front() <= u'?';
    const bool intermediates =
        std::any_of(params.begin(), params.end(), [](QChar c) { return c.unicode() < 0x30; });
    if (isPrivate || intermediates)
        return;
    switch (final) {
    case u'm':
        csi::applySgr(m_pen, csi::parse(params));
        break;
    case u'K': {
        const int mode = csi::param(params, 0, 0);
        if (mode <= 2) {
            m_line.erase(mode);
            m_afterCR = false;
        }
        break;
    }
    case u'C':
        m_line.moveBy(qMax(1, csi::param(params, 0, 1)));
        m_afterCR = false;
        break;
    case u'D':
        m_line.moveBy(-qMax(1, csi::param(params, 0, 1)));
        m_afterCR = false;
        break;
    case u'G':
    case u'`':
        m_line.moveTo(qMax(1, csi::param(params, 0, 1)) - 1);
        m_afterCR = false;
        break;
    case u'J': {
        // Erasing the screen below or above the cursor erases this line's part of it.
        const int mode = csi::param(params, 0, 0);
        if (mode == 2 || mode == 3 || (mode == 0 && m_homed)) {
            clearScreen();
        } else if (mode <= 1) {
            m_line.erase(mode);
            m_afterCR = false;
        }
        break;
    }
    case u'H':
    case u'f':
        m_homed = csi::param(params, 0, 1) <= 1 && csi::param(params, 1, 1) <= 1;
        break;
    case u's':
        m_savedColumn = m_line.column();
        break;
    case u'u':
        m_line.moveTo(m_savedColumn);
        m_afterCR = false;
        break;
    default:
        break;
    }
}

// Where a terminal would wipe its screen, the box keeps the history and marks where the new
// screen begins: the start of the line being written when it is empty, else the next one.
void AnsiParser::clearScreen()
{
    m_homed = false;
    if (!m_line.text().isEmpty()) {
        m_separatorPending = true;
        return;
    }
    const qint32 at = qint32(m_out->text.size());
    if (m_out->separators.empty() || m_out->separators.back() != at)
        m_out->separators.push_back(at);
}

void AnsiParser::endLine(QStringView breakChars)
{
    emitLine();
    m_out->text += breakChars;
    m_line.clear();
    m_emitted = 0;
    m_firstLine = false;
    m_afterCR = m_homed = false;
    m_out->openStart = qint32(m_out->text.size());
    if (m_separatorPending) {
        m_separatorPending = false;
        m_out->separators.push_back(m_out->openStart);
    }
}

void AnsiParser::writeText(QStringView text)
{
    m_line.write(text, m_pen);
    m_afterCR = m_homed = false;
    if (m_line.text().size() >= MaxLine)
        endLine({});
}

// What changed of the line goes to the block: for the line the box already holds, from its
// first change on; for a line begun in this block, all of it.
void AnsiParser::emitLine()
{
    const QString &text = m_line.text();
    int from = 0;
    if (m_firstLine) {
        from = qMin(m_line.changedFrom(), m_emitted);
        m_out->keep = from;
    }
    if (from >= text.size())
        return;
    if (m_colours) {
        const qint32 at = qint32(m_out->text.size());
        const std::vector<TerminalLine::Run> &runs = m_line.runs();
        auto run = runs.begin();
        Pen first;
        for (; run != runs.end() && run->at <= from; ++run)
            first = run->pen;
        addRun(at, first);
        for (; run != runs.end(); ++run)
            addRun(at + run->at - from, run->pen);
    }
    m_out->text += QStringView(text).sliced(from);
}

void AnsiParser::addRun(qint32 at, const Pen &pen)
{
    std::vector<AnsiBlock::Run> &runs = m_out->runs;
    if (!runs.empty() && runs.back().at == at)
        runs.pop_back();
    if (runs.empty() || runs.back().pen != pen)
        runs.push_back({at, pen});
}
