// Received text with ANSI control sequences: shown as they came, rendered or stripped. The
// parser turns each block into a rewrite of the line the board is writing and the lines after
// it; the box applies it to its store, its times, its pens and its marks.
#include "textview/receive_box.h"

#include "textview/receive_box_shared.h"

using namespace boxshared;

void ReceiveBox::setControlSequences(ControlSequences mode)
{
    if (mode == m_sequences)
        return;
    m_sequences = mode;
    m_parser.reset();
    m_parser.setColours(mode == ControlSequences::Rendered);
    detachLine();
}

void ReceiveBox::resetControlSequences()
{
    m_parser.reset();
    detachLine();
}

void ReceiveBox::detachLine()
{
    m_parser.detach();
    m_openFrom = m_store.size();
}

QString ReceiveBox::appendReceivedText(QStringView piece, qint64 msecs)
{
    if (m_sequences == ControlSequences::Shown) {
        appendReceived(piece, msecs);
        return piece.toString();
    }
    AnsiBlock block = m_parser.feed(piece);
    applyBlock(block, msecs);
    return std::move(block.plain);
}

QString ReceiveBox::appendReceivedText(const QString &piece, qint64 msecs)
{
    if (m_sequences != ControlSequences::Shown)
        return appendReceivedText(QStringView(piece), msecs);
    appendReceived(piece, msecs);
    return piece;
}

void ReceiveBox::applyBlock(const AnsiBlock &block, qint64 msecs)
{
    const qint64 size = m_store.size();
    const qint64 pos = qMin(size, m_openFrom + block.keep);
    const qint64 removed = size - pos;
    if (removed == 0 && block.text.isEmpty() && block.separators.empty())
        return;
    const qint64 changedLine = m_index.lineAt(pos);
    const bool follow = followsEnd();
    if (removed > 0) {
        m_store.replace(pos, removed, {});
        m_index.replaced(m_store, pos, removed, 0);
        m_spareValid = false;
        // A line rewritten from its start keeps the time it began at.
        m_times.replaced(pos, removed, 0, pos + 1);
        m_colours.truncate(pos);
        m_separators.truncate(pos + 1);
        m_bookmarks.replaced(pos, removed, 0);
        m_highlighted.clear();
        m_anchor = qMin(m_anchor, pos);
        m_caret = qMin(m_caret, pos);
    }
    if (!block.text.isEmpty()) {
        if (m_stamping == Stamping::Lines)
            markLineStarts(block.text, pos, msecs);
        else if (m_lastArrival < 0 || msecs - m_lastArrival >= BurstGapMs)
            m_times.append(pos, msecs);
        m_store.append(block.text);
        m_index.catchUp(m_store);
        // Rendered text brings its pens (none for line breaks alone, which keep the pen before
        // them); stripped text has none.
        if (m_sequences == ControlSequences::Rendered) {
            for (const AnsiBlock::Run &run : block.runs)
                m_colours.append(pos + run.at, run.pen);
        } else if (!m_colours.isEmpty()) {
            m_colours.append(pos, Pen());
        }
    }
    for (const qint32 at : block.separators)
        m_separators.append(pos + at);
    if (block.openStart >= 0)
        m_openFrom = pos + block.openStart;
    m_lastArrival = msecs;
    appended(pos, removed, block.text.size(), changedLine, follow);
}
