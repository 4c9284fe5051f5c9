#include "serial/receive_box/receive_box.h"

#include "app/frame_pacer.h"
#include "serial/receive_box/find_dialog.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStyle>
#include <QStyleHints>
#include <QStyleOptionSlider>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QWheelEvent>
#include <QtMath>

#include <climits>
#include <optional>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// glibc keeps the freed pages of a cleared capture for reuse; a user who clears a long capture
// expects the memory back.
void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

constexpr int SideMargin = 4;
constexpr int TopMargin = 2;
constexpr int MinWrapWidth = 16;
// Widths in the index are in 1/64 pixel, as Qt's own text layout counts them.
constexpr qreal Units = 64;
// Input methods ask for the selection often; a huge one is not worth copying for them.
constexpr qint64 MaxSelectionForInputMethod = 4096;
constexpr int ScrollBarRange = 10000;
constexpr int FillBand = 64;
// Replacing a text this long gives its memory back to the system.
constexpr qint64 LargeText = 4 << 20;

bool isTextInput(const QKeyEvent *e)
{
    const QString text = e->text();
    if (text.isEmpty())
        return false;
    // Ctrl with a key is a command; Ctrl together with Alt is AltGr on Windows keyboards.
    const Qt::KeyboardModifiers mods = e->modifiers();
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier))
        return false;
    return std::none_of(text.begin(), text.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

const QKeySequence::StandardKey editKeys[] = {
    QKeySequence::Find,
    QKeySequence::SelectAll,
    QKeySequence::Copy,
    QKeySequence::Cut,
    QKeySequence::Paste,
    QKeySequence::Delete,
    QKeySequence::Backspace,
    QKeySequence::DeleteEndOfWord,
    QKeySequence::DeleteStartOfWord,
    QKeySequence::InsertParagraphSeparator,
    QKeySequence::InsertLineSeparator,
};

constexpr int MinFontPoints = 6;
constexpr int MaxFontPoints = 72;

// Ctrl+Plus (or Ctrl+=, the same key unshifted), Ctrl+Minus and Ctrl+0: a step of the font size,
// or 0 for the designed size; nothing for any other key.
std::optional<int> zoomKey(const QKeyEvent *e)
{
    if (!(e->modifiers() & Qt::ControlModifier))
        return std::nullopt;
    switch (e->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        return 1;
    case Qt::Key_Minus:
        return -1;
    case Qt::Key_0:
        return 0;
    default:
        return std::nullopt;
    }
}

// Qt repaints a scroll bar on every change of its range, page or value, and a stream changes
// them with every line it adds; most of those changes move the handle by no pixel at all.
class ScrollBar : public QScrollBar
{
public:
    ScrollBar() : QScrollBar(Qt::Vertical) {}

    // Range, page and value at once: in between, the handle would seem to have moved.
    void setState(int maximum, int pageStep, int value)
    {
        m_batch = true;
        setRange(0, maximum);
        setPageStep(pageStep);
        setSingleStep(1);
        setValue(value);
        m_batch = false;
        if (look() != m_painted)
            update();
    }

protected:
    void sliderChange(SliderChange change) override
    {
        if (!m_batch && look() != m_painted)
            QScrollBar::sliderChange(change);
    }
    void paintEvent(QPaintEvent *event) override
    {
        m_painted = look();
        QScrollBar::paintEvent(event);
    }

private:
    struct Look
    {
        QRect handle;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator!=(const Look &other) const
        {
            return handle != other.handle || atMinimum != other.atMinimum ||
                   atMaximum != other.atMaximum;
        }
    };
    [[nodiscard]] Look look() const
    {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider,
                                        this),
                value() == minimum(), value() == maximum()};
    }
    Look m_painted;
    bool m_batch = false;
};

} // namespace

ReceiveBox::ReceiveBox(QWidget *parent) : QAbstractScrollArea(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    // Always shown, so that its coming and going never rewraps the text.
    setVerticalScrollBar(new ScrollBar);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The bar paints all of itself; said so, a stream's every frame spares painting the frame
    // and the group box behind it.
    verticalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &ReceiveBox::scrollBarAction);
    setupFont();
}

ReceiveBox::~ReceiveBox() = default;

QString ReceiveBox::text() const
{
    return m_store.text();
}

void ReceiveBox::setText(const QString &text)
{
    if (textEquals(text))
        return;
    const bool large = m_store.size() >= LargeText;
    m_store.clear();
    m_spare.clear();
    m_spareValid = false;
    m_store.append(text);
    m_index.rebuild(m_store);
    if (large)
        releaseFreedMemory();
    m_anchor = m_caret = 0;
    m_wantedX = -1;
    m_top = 0;
    updateScrollRange();
    caretMoved();
    const QScopedValueRollback<bool> replacing(m_replacing, true);
    emit Change();
}

void ReceiveBox::appendText(QStringView piece)
{
    if (piece.isEmpty())
        return;
    const qint64 changedLine = m_index.lineCount() - 1;
    const bool follow = followsEnd();
    m_store.append(piece);
    m_index.catchUp(m_store);
    // A view showing the end follows it, as a terminal does; the scroll bar then stays put. One
    // the user has scrolled away, or that holds a selection, stays where it is.
    if (follow)
        m_top = maxTop();
    m_atEnd = m_top == maxTop();
    // A stream appends far more often than a screen shows; the bar catches up once a frame.
    if (!m_barSync.isActive())
        m_barSync.start(FramePacer::FrameMs, this);
    if (changedLine <= m_top + visibleLineCount())
        scheduleRepaint();
    emit Change();
}

bool ReceiveBox::followsEnd() const
{
    return m_replacing || (m_top >= maxTop() && selLength() == 0);
}

qint64 ReceiveBox::length() const
{
    return m_store.size();
}

qint64 ReceiveBox::selStart() const
{
    return qMin(m_anchor, m_caret);
}

void ReceiveBox::setSelStart(qint64 pos)
{
    m_wantedX = -1;
    moveCaret(qBound<qint64>(0, pos, m_store.size()), false);
}

qint64 ReceiveBox::selLength() const
{
    return qAbs(m_caret - m_anchor);
}

QString ReceiveBox::selectedText() const
{
    return m_store.mid(selStart(), selLength());
}

void ReceiveBox::setSelection(qint64 start, qint64 length)
{
    const qint64 size = m_store.size();
    start = qBound<qint64>(0, start, size);
    m_anchor = start;
    m_caret = qBound<qint64>(0, start + length, size);
    m_wantedX = -1;
    ensureCaretVisible();
    caretMoved();
}

QVariant ReceiveBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    const qint64 line = caretLine();
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    switch (query) {
    case Qt::ImEnabled:
        return isEnabled();
    case Qt::ImCursorRectangle:
        return QRectF(caretRect().translated(viewport()->pos()));
    case Qt::ImFont:
        return m_drawFont;
    case Qt::ImCursorPosition:
        return int(qMin(m_caret, end) - start);
    case Qt::ImAnchorPosition:
        return int(qBound(start, m_anchor, end) - start);
    case Qt::ImSurroundingText:
        return m_store.mid(start, end - start);
    case Qt::ImCurrentSelection:
        return selLength() <= MaxSelectionForInputMethod ? selectedText() : QString();
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

bool ReceiveBox::event(QEvent *e)
{
    // Keys this box handles must not trigger a shortcut of the window.
    if (e->type() == QEvent::ShortcutOverride && handlesKey(static_cast<QKeyEvent *>(e))) {
        e->accept();
        return true;
    }
    return QAbstractScrollArea::event(e);
}

void ReceiveBox::paintEvent(QPaintEvent *e)
{
    QPainter painter(viewport());
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    const QPalette &pal = palette();
    // In bands, because Qt hands a fill of a hundred rows or more to its thread pool, whose
    // wake-ups cost more than the fill itself at a few dozen frames a second.
    const QRect dirty = e->rect();
    for (int top = dirty.top(); top <= dirty.bottom(); top += FillBand)
        painter.fillRect(
            QRect(dirty.left(), top, dirty.width(), qMin(FillBand, dirty.bottom() + 1 - top)),
            pal.brush(group, QPalette::Base));
    const QColor textColor = pal.color(group, QPalette::Text);
    painter.setPen(textColor);

    QTextCharFormat selected;
    selected.setBackground(pal.brush(group, QPalette::Highlight));
    selected.setForeground(pal.brush(group, QPalette::HighlightedText));
    const qint64 selFrom = selStart();
    const qint64 selTo = selFrom + selLength();
    const qint64 caretAt = caretLine();
    const bool showCaret = hasFocus() && m_caretOn && isEnabled();

    const qint64 count = m_index.lineCount();
    const int height = viewport()->height();
    FastLine fast;
    int y = TopMargin;
    for (qint64 line = m_top; line < count && y < height; ++line, y += m_lineHeight) {
        if (y + m_lineHeight <= e->rect().top() || y > e->rect().bottom())
            continue;
        const qint64 start = m_index.lineStart(line);
        const qint64 end = m_index.lineEnd(line);
        const bool preeditHere = line == caretAt && !m_preedit.isEmpty();
        const qint64 lineSelFrom = qBound(start, selFrom, end);
        const qint64 lineSelTo = qBound(start, selTo, end);
        qreal endX = 0;
        qreal caretAtX = 0;

        if (!preeditHere && fastLine(line, fast)) {
            const auto xOf = [&fast](qint64 offset) { return fast.x[int(offset)] / Units; };
            if (lineSelFrom < lineSelTo) {
                const qreal from = xOf(lineSelFrom - start);
                painter.fillRect(
                    QRectF(SideMargin + from, y, xOf(lineSelTo - start) - from, m_lineHeight),
                    selected.background());
            }
            const auto glyphAt = [&fast](qint64 offset) {
                return int(std::lower_bound(fast.offsets.begin(), fast.offsets.end(), offset) -
                           fast.offsets.begin());
            };
            const int selGlyphFrom = glyphAt(lineSelFrom - start);
            const int selGlyphTo = glyphAt(lineSelTo - start);
            const QPointF origin(SideMargin, y + m_ascent);
            drawGlyphs(painter, origin, fast, 0, selGlyphFrom, textColor);
            drawGlyphs(painter, origin, fast, selGlyphFrom, selGlyphTo,
                       pal.color(group, QPalette::HighlightedText));
            drawGlyphs(painter, origin, fast, selGlyphTo, int(fast.glyphs.size()), textColor);
            endX = xOf(end - start);
            caretAtX = xOf(qBound(start, m_caret, end) - start);
        } else {
            const int preeditAt = int(qMin(m_caret, end) - start);
            // Position in the text to position in the layout, which holds the pre-edit text.
            const auto toLayout = [&](qint64 pos) {
                const int offset = int(qBound(start, pos, end) - start);
                return preeditHere && offset > preeditAt ? offset + int(m_preedit.size()) : offset;
            };
            QTextLayout layout;
            layoutLine(layout, line, true);
            QTextLine textLine = layout.lineAt(0);
            // Fallback fonts may have another ascent; keep every line on one baseline.
            textLine.setPosition(QPointF(0, m_ascent - textLine.ascent()));
            QList<QTextLayout::FormatRange> selections;
            if (lineSelFrom < lineSelTo) {
                const int from = toLayout(lineSelFrom);
                selections.append({from, toLayout(lineSelTo) - from, selected});
            }
            layout.draw(&painter, QPointF(SideMargin, y), selections);
            endX = textLine.cursorToX(toLayout(end));
            caretAtX = textLine.cursorToX(toLayout(m_caret) + (preeditHere ? m_preeditCursor : 0));
        }

        if (selFrom <= end && selTo > end && line + 1 < count && m_index.startsParagraph(line + 1))
            painter.fillRect(QRectF(SideMargin + endX, y, m_breakWidth, m_lineHeight),
                             selected.background());
        if (showCaret && line == caretAt)
            painter.fillRect(QRectF(SideMargin + caretAtX, y, 1, m_lineHeight), textColor);
    }
}

void ReceiveBox::drawGlyphs(QPainter &painter, QPointF origin, const FastLine &line, int from,
                            int to, const QColor &color) const
{
    if (from >= to)
        return;
    QVarLengthArray<QPointF, 256> positions;
    positions.reserve(to - from);
    for (int k = from; k < to; ++k)
        positions.append(QPointF(line.x[line.offsets[k]] / Units, 0));
    QGlyphRun run;
    run.setRawFont(m_rawFont);
    run.setRawData(line.glyphs.constData() + from, positions.constData(), to - from);
    painter.setPen(color);
    painter.drawGlyphRun(origin, run);
}

bool ReceiveBox::fastLine(qint64 line, FastLine &out) const
{
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    out.x.resize(qsizetype(end - start) + 1);
    out.glyphs.clear();
    out.offsets.clear();
    out.x[0] = 0;
    qint32 x = 0;
    int offset = 0;
    const qint32 tabStop = qint32(m_tabStop * Units);
    bool drawable = true;
    m_store.forEachRun(start, end, [&](const auto *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t c = p[i];
            if (c == u'\t') {
                x = (x / tabStop + 1) * tabStop;
            } else {
                const Glyph g = glyphFor(c);
                if (!g.drawable) {
                    drawable = false;
                    return false;
                }
                if (g.ink) {
                    out.glyphs.append(g.index);
                    out.offsets.append(offset);
                }
                x += g.advance;
            }
            out.x[++offset] = x;
        }
        return true;
    });
    return drawable;
}

ReceiveBox::Glyph ReceiveBox::glyphFor(char16_t c) const
{
    if (c >= 256 && m_bmpGlyphs.empty())
        m_bmpGlyphs.resize(0x10000);
    Glyph &g = c < 256 ? m_latin1Glyphs[c] : m_bmpGlyphs[c];
    if (g.known)
        return g;
    g.known = true;
    // Only characters that need no shaping and that the first font has: all else goes
    // through QTextLayout, which finds fallback fonts and shapes.
    static const QChar::Script plainScripts[] = {
        QChar::Script_Common,   QChar::Script_Latin,  QChar::Script_Greek,
        QChar::Script_Cyrillic, QChar::Script_Han,    QChar::Script_Hiragana,
        QChar::Script_Katakana, QChar::Script_Hangul, QChar::Script_Bopomofo,
    };
    const QChar::Category category = QChar::category(char32_t(c));
    if (category == QChar::Other_Control) {
        // Control characters take no room and show nothing, as in QTextLayout.
        g.drawable = true;
        return g;
    }
    const bool plain =
        !QChar::isSurrogate(c) && category != QChar::Other_Format &&
        category != QChar::Other_NotAssigned && category != QChar::Mark_NonSpacing &&
        category != QChar::Mark_SpacingCombining && category != QChar::Mark_Enclosing &&
        std::find(std::begin(plainScripts), std::end(plainScripts), QChar::script(char32_t(c))) !=
            std::end(plainScripts);
    if (!plain)
        return g;
    const QChar ch(c);
    quint32 index = 0;
    int count = 1;
    if (!m_rawFont.glyphIndexesForChars(&ch, 1, &index, &count) || count != 1 || index == 0)
        return g;
    g.index = index;
    g.advance = m_measure(char32_t(c));
    g.drawable = true;
    g.ink = c != u' ' && c != 0x3000;
    return g;
}

void ReceiveBox::resizeEvent(QResizeEvent *e)
{
    QAbstractScrollArea::resizeEvent(e);
    // A view that showed the end goes on showing it, whatever the new height.
    const bool atEnd = m_atEnd;
    rewrap();
    if (atEnd)
        m_top = maxTop();
    updateScrollRange();
}

void ReceiveBox::changeEvent(QEvent *e)
{
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange) {
        setupFont();
        updateScrollRange();
        ensureCaretVisible();
    }
    if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange ||
        e->type() == QEvent::EnabledChange || e->type() == QEvent::ActivationChange)
        viewport()->update();
}

void ReceiveBox::scrollContentsBy(int, int)
{
    if (m_syncingBar)
        return;
    // The user moved the bar. Its range may trail a stream by a frame, so the value is read
    // against the bar's own range: a line number, or a proportion past ScrollBarRange lines.
    const QScrollBar *bar = verticalScrollBar();
    const qint64 line = bar->maximum() > 0 ? qint64(bar->value()) * maxTop() / bar->maximum() : 0;
    if (line != m_top) {
        m_top = line;
        viewport()->update();
    }
}

void ReceiveBox::scrollBarAction(int action)
{
    if (m_barSync.isActive())
        updateScrollRange();
    // A proportional bar would step by far more than a line or a page: step by lines here.
    if (maxTop() <= ScrollBarRange)
        return;
    qint64 lines = 0;
    switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
        lines = 1;
        break;
    case QAbstractSlider::SliderSingleStepSub:
        lines = -1;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        lines = visibleLineCount();
        break;
    case QAbstractSlider::SliderPageStepSub:
        lines = -visibleLineCount();
        break;
    default:
        return;
    }
    setTop(m_top + lines);
}

void ReceiveBox::wheelEvent(QWheelEvent *e)
{
    if (e->modifiers() & Qt::ControlModifier) {
        m_zoomDelta += e->angleDelta().y();
        const int notches = m_zoomDelta / QWheelEvent::DefaultDeltasPerStep;
        m_zoomDelta -= notches * QWheelEvent::DefaultDeltasPerStep;
        if (notches != 0) {
            setFontPointSize(fontPointSize() + notches);
            emit fontSizeChanged(fontPointSize());
        }
        e->accept();
        return;
    }
    if (e->modifiers() & Qt::ShiftModifier) {
        e->ignore();
        return;
    }
    m_wheelDelta += e->angleDelta().y();
    const int notches = m_wheelDelta / QWheelEvent::DefaultDeltasPerStep;
    m_wheelDelta -= notches * QWheelEvent::DefaultDeltasPerStep;
    if (notches != 0)
        setTop(m_top - qint64(notches) * QGuiApplication::styleHints()->wheelScrollLines());
    e->accept();
}

// The caret keys, each with its selecting twin: what keyPressEvent does with them and what
// handlesKey claims from the window's shortcuts.
const ReceiveBox::Move ReceiveBox::moves[] = {
    {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, Step::Char, true},
    {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, Step::Char, false},
    {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, Step::Word, true},
    {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, Step::Word, false},
    {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Step::Line, true},
    {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Step::Line, false},
    {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, Step::Page, true},
    {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, Step::Page, false},
    {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, Step::LineEdge, false},
    {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, Step::LineEdge, true},
    {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, Step::Document,
     false},
    {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, Step::Document, true},
};

void ReceiveBox::keyPressEvent(QKeyEvent *e)
{
    for (const Move &move : moves) {
        const bool select = e->matches(move.select);
        if (!select && !e->matches(move.move))
            continue;
        const Step step = move.step;
        if (step != Step::Line && step != Step::Page)
            m_wantedX = -1;
        if (!select && step == Step::Char && m_anchor != m_caret) {
            moveCaret(move.forward ? qMax(m_anchor, m_caret) : qMin(m_anchor, m_caret), false);
        } else {
            const qint64 pos = moved(step, move.forward);
            if (step == Step::Page)
                setTop(m_top + (move.forward ? 1 : -1) * visibleLineCount());
            moveCaret(pos, select);
        }
        e->accept();
        return;
    }

    if (e->matches(QKeySequence::Find)) {
        openFind();
    } else if (const std::optional<int> zoom = zoomKey(e)) {
        if (*zoom == 0)
            setFontPointSize(0);
        else
            setFontPointSize(fontPointSize() + *zoom);
        emit fontSizeChanged(fontPointSize());
    } else if (e->matches(QKeySequence::SelectAll))
        selectAll();
    else if (e->matches(QKeySequence::Copy))
        copy();
    else if (e->matches(QKeySequence::Cut))
        cut();
    else if (e->matches(QKeySequence::Paste))
        paste();
    else if (e->matches(QKeySequence::DeleteEndOfWord))
        deleteStep(Step::Word, true);
    else if (e->matches(QKeySequence::DeleteStartOfWord))
        deleteStep(Step::Word, false);
    else if (e->matches(QKeySequence::Delete))
        deleteStep(Step::Char, true);
    else if (e->matches(QKeySequence::Backspace) ||
             (e->key() == Qt::Key_Backspace && !(e->modifiers() & Qt::ControlModifier)))
        deleteStep(Step::Char, false);
    else if (e->matches(QKeySequence::InsertParagraphSeparator) ||
             e->matches(QKeySequence::InsertLineSeparator))
        replaceSelection(u"\r\n");
    else if (isTextInput(e))
        replaceSelection(e->text());
    else {
        QAbstractScrollArea::keyPressEvent(e);
        return;
    }
    e->accept();
}

void ReceiveBox::inputMethodEvent(QInputMethodEvent *e)
{
    const QString preedit = e->preeditString();
    if (!e->commitString().isEmpty() || e->replacementLength() > 0) {
        qint64 from = selStart();
        qint64 length = selLength();
        if (length == 0 && e->replacementLength() > 0) {
            from = qBound<qint64>(0, m_caret + e->replacementStart(), m_store.size());
            length = qMin<qint64>(e->replacementLength(), m_store.size() - from);
        }
        m_preedit.clear();
        replaceRange(from, length, e->commitString());
    }
    m_preedit = preedit;
    m_preeditCursor = int(preedit.size());
    for (const QInputMethodEvent::Attribute &a : e->attributes()) {
        if (a.type == QInputMethodEvent::Cursor)
            m_preeditCursor = qBound(0, a.start, int(preedit.size()));
    }
    ensureCaretVisible();
    viewport()->update();
    e->accept();
}

void ReceiveBox::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton) {
        m_wantedX = -1;
        moveCaret(positionAt(e->position()), e->modifiers() & Qt::ShiftModifier);
        m_dragging = true;
        m_dragPoint = e->position();
        e->accept();
        return;
    }
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (e->button() == Qt::MiddleButton && clipboard->supportsSelection()) {
        const QString text = clipboard->text(QClipboard::Selection);
        if (!text.isEmpty()) {
            moveCaret(positionAt(e->position()), false);
            replaceSelection(text);
        }
        e->accept();
        return;
    }
    QAbstractScrollArea::mousePressEvent(e);
}

void ReceiveBox::mouseMoveEvent(QMouseEvent *e)
{
    if (!m_dragging || !(e->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(e);
        return;
    }
    m_dragPoint = e->position();
    const bool outside = m_dragPoint.y() < 0 || m_dragPoint.y() >= viewport()->height();
    if (outside && !m_dragScroll.isActive())
        m_dragScroll.start(50, this);
    else if (!outside)
        m_dragScroll.stop();
    moveCaret(positionAt(m_dragPoint), true);
    e->accept();
}

void ReceiveBox::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(e);
        return;
    }
    m_dragging = false;
    m_dragScroll.stop();
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (selLength() > 0 && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
    e->accept();
}

void ReceiveBox::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(e);
        return;
    }
    selectWordAt(positionAt(e->position()));
    e->accept();
}

void ReceiveBox::contextMenuEvent(QContextMenuEvent *e)
{
    QMenu menu(this);
    const bool hasSelection = selLength() > 0;
    QAction *cutAction = menu.addAction(QStringLiteral("剪切(&T)"));
    cutAction->setEnabled(hasSelection);
    QAction *copyAction = menu.addAction(QStringLiteral("复制(&C)"));
    copyAction->setEnabled(hasSelection);
    QAction *pasteAction = menu.addAction(QStringLiteral("粘贴(&P)"));
    pasteAction->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
    QAction *deleteAction = menu.addAction(QStringLiteral("删除(&D)"));
    deleteAction->setEnabled(hasSelection);
    menu.addSeparator();
    QAction *selectAllAction = menu.addAction(QStringLiteral("全选(&A)"));
    selectAllAction->setEnabled(m_store.size() > 0);
    menu.addSeparator();
    menu.addAction(QStringLiteral("查找…"), this, &ReceiveBox::openFind);
    emit contextMenuAboutToShow(&menu);

    QAction *chosen = menu.exec(e->globalPos());
    if (chosen == cutAction)
        cut();
    else if (chosen == copyAction)
        copy();
    else if (chosen == pasteAction)
        paste();
    else if (chosen == deleteAction)
        replaceSelection({});
    else if (chosen == selectAllAction)
        selectAll();
}

void ReceiveBox::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    caretMoved();
}

void ReceiveBox::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    m_blink.stop();
    viewport()->update();
}

void ReceiveBox::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        repaintLines(caretLine(), caretLine());
    } else if (e->timerId() == m_barSync.timerId()) {
        updateScrollRange();
    } else if (e->timerId() == m_dragScroll.timerId()) {
        moveCaret(positionAt(m_dragPoint), true);
    } else {
        QAbstractScrollArea::timerEvent(e);
    }
}

qint64 ReceiveBox::find(const QString &needle, qint64 from, bool forward,
                        Qt::CaseSensitivity cs) const
{
    constexpr qint64 Slice = 1 << 20;
    const qint64 size = m_store.size();
    const qint64 overlap = needle.size() - 1;
    if (needle.isEmpty() || from < 0 || from >= size)
        return -1;
    if (forward) {
        for (qint64 begin = from; begin < size; begin += Slice) {
            const QString slice = m_store.mid(begin, Slice + overlap);
            const qsizetype at = slice.indexOf(needle, 0, cs);
            if (at >= 0)
                return begin + at;
        }
        return -1;
    }
    // Backward: slices ending at from plus what a match starting at from still needs.
    for (qint64 end = from + 1; end > 0; end -= Slice) {
        const qint64 begin = qMax<qint64>(0, end - Slice);
        const QString slice = m_store.mid(begin, end - begin + overlap);
        const qsizetype at = slice.lastIndexOf(needle, end - begin - 1, cs);
        if (at >= 0)
            return begin + at;
    }
    return -1;
}

void ReceiveBox::openFind()
{
    if (!m_find)
        m_find = new FindDialog(this);
    m_find->show();
    m_find->raise();
    m_find->activateWindow();
}

int ReceiveBox::fontPointSize() const
{
    return font().pointSize();
}

void ReceiveBox::setFontPointSize(int points)
{
    if (points == 0) {
        // The font the window gives the box: its designed size.
        setFont(QFont());
        return;
    }
    QFont sized = font();
    sized.setPointSize(qBound(MinFontPoints, points, MaxFontPoints));
    setFont(sized);
}

void ReceiveBox::setupFont()
{
    // No kerning or ligatures: then a line is as wide as the sum of its characters, which is
    // what the wrap index adds up, and laying it out is faster.
    m_drawFont = font();
    m_drawFont.setKerning(false);
    m_drawFont.setStyleStrategy(
        QFont::StyleStrategy(m_drawFont.styleStrategy() | QFont::PreferNoShaping));
    const QFontMetricsF metrics(m_drawFont);
    m_lineHeight = qMax(1, qCeil(metrics.lineSpacing()));
    m_ascent = metrics.ascent();
    m_breakWidth = metrics.horizontalAdvance(QLatin1Char(' '));
    // Tab stops every eight average characters, as in a Windows edit box.
    m_tabStop = 8 * qMax(1, qRound(metrics.averageCharWidth()));
    m_option = QTextOption();
    m_option.setWrapMode(QTextOption::NoWrap);
    m_option.setTabStopDistance(m_tabStop);

    m_measure = [metrics](char32_t c) {
        return qint32(qRound(metrics.horizontalAdvance(QString::fromUcs4(&c, 1)) * Units));
    };
    m_rawFont = QRawFont::fromFont(m_drawFont);
    m_latin1Glyphs.fill(Glyph());
    m_bmpGlyphs.clear();
    // For wrapping, a character is at least a pixel wide, so that a stream of invisible
    // control characters still makes lines of a few hundred characters.
    const auto wrapMeasure = [measure = m_measure](char32_t c) {
        return qMax(qint32(Units), measure(c));
    };
    m_spare.setMetrics(0, qint32(m_tabStop * Units), wrapMeasure);
    m_spareValid = false;
    m_index.setMetrics(wrapWidthFor(viewport()->width()), qint32(m_tabStop * Units), wrapMeasure);
    m_index.rebuild(m_store);
}

void ReceiveBox::rewrap()
{
    const qint32 width = wrapWidthFor(viewport()->width());
    if (width == m_index.wrapWidth())
        return;
    const qint64 top = m_index.lineStart(qMin(m_top, m_index.lineCount() - 1));

    std::swap(m_index, m_spare);
    if (m_spareValid && m_index.wrapWidth() == width) {
        m_index.catchUp(m_store);
    } else {
        m_index.setWrapWidth(width);
        m_index.rebuild(m_store);
    }
    m_spareValid = true;

    m_top = m_index.lineAt(top);
    updateScrollRange();
    viewport()->update();
}

qint32 ReceiveBox::wrapWidthFor(int viewportWidth) const
{
    return qint32(qMax(MinWrapWidth, viewportWidth - 2 * SideMargin) * Units);
}

qint64 ReceiveBox::maxTop() const
{
    return qMax<qint64>(0, m_index.lineCount() - visibleLineCount());
}

void ReceiveBox::setTop(qint64 line)
{
    line = qBound<qint64>(0, line, maxTop());
    if (line == m_top)
        return;
    m_top = line;
    updateScrollRange();
    viewport()->update();
}

void ReceiveBox::updateScrollRange()
{
    m_barSync.stop();
    // Past ScrollBarRange lines the bar shows a proportion rather than a line number, so that
    // a stream arriving at the end leaves it unchanged instead of costing a repaint each block.
    const qint64 maximum = maxTop();
    m_top = qMin(m_top, maximum);
    m_atEnd = m_top == maximum;
    const int visible = visibleLineCount();
    const bool scaled = maximum > ScrollBarRange;
    const int barMaximum = scaled ? ScrollBarRange : int(maximum);
    const int pageStep =
        scaled ? int(qMax<qint64>(1, visible * ScrollBarRange / maximum)) : visible;
    const int value = scaled ? int(m_top * ScrollBarRange / maximum) : int(m_top);
    QScrollBar *bar = verticalScrollBar();
    // Most appends change nothing here; the bar's setters cost signals even then.
    if (bar->maximum() == barMaximum && bar->pageStep() == pageStep && bar->value() == value)
        return;
    m_syncingBar = true;
    static_cast<ScrollBar *>(bar)->setState(barMaximum, pageStep, value);
    m_syncingBar = false;
}

int ReceiveBox::visibleLineCount() const
{
    return qMax(1, (viewport()->height() - TopMargin) / m_lineHeight);
}

void ReceiveBox::ensureCaretVisible()
{
    const qint64 line = caretLine();
    const int visible = visibleLineCount();
    if (line < m_top)
        setTop(line);
    else if (line >= m_top + visible)
        setTop(line - visible + 1);
}

void ReceiveBox::caretMoved()
{
    m_caretOn = true;
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && flash > 0)
        m_blink.start(flash / 2, this);
    scheduleRepaint();
}

void ReceiveBox::scheduleRepaint()
{
    viewport()->update();
}

void ReceiveBox::repaintLines(qint64 from, qint64 to)
{
    const qint64 first = m_top;
    const qint64 top = qMax(from, first) - first;
    const qint64 bottom = to - first;
    if (bottom < 0 || top > visibleLineCount())
        return;
    viewport()->update(0, TopMargin + int(top) * m_lineHeight, viewport()->width(),
                       int(bottom - top + 1) * m_lineHeight);
}

void ReceiveBox::layoutLine(QTextLayout &layout, qint64 line, bool withPreedit) const
{
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    QString text = m_store.mid(start, end - start);
    if (withPreedit && !m_preedit.isEmpty() && caretLine() == line) {
        const int at = int(qMin(m_caret, end) - start);
        text.insert(at, m_preedit);
        QTextCharFormat underline;
        underline.setUnderlineStyle(QTextCharFormat::SingleUnderline);
        layout.setFormats({{at, int(m_preedit.size()), underline}});
    }
    layout.setText(text);
    layout.setFont(m_drawFont);
    layout.setTextOption(m_option);
    layout.beginLayout();
    QTextLine textLine = layout.createLine();
    textLine.setLineWidth(INT_MAX / 256);
    layout.endLayout();
}

qint64 ReceiveBox::caretLine() const
{
    return m_index.lineAt(m_caret);
}

qint64 ReceiveBox::lineCaretEnd(qint64 line) const
{
    if (!m_index.wraps(line))
        return m_index.lineEnd(line);
    const qint64 next = m_index.lineStart(line + 1);
    const bool pair = next - 2 >= m_index.lineStart(line) &&
                      QChar::isLowSurrogate(m_store.at(next - 1)) &&
                      QChar::isHighSurrogate(m_store.at(next - 2));
    return next - (pair ? 2 : 1);
}

qint64 ReceiveBox::positionAt(QPointF point) const
{
    const qint64 line = m_top + qint64(qFloor((point.y() - TopMargin) / m_lineHeight));
    return positionInLine(qBound<qint64>(0, line, m_index.lineCount() - 1), point.x() - SideMargin);
}

qint64 ReceiveBox::positionInLine(qint64 line, qreal x) const
{
    int offset = 0;
    FastLine fast;
    if (fastLine(line, fast)) {
        // The nearest character boundary.
        const qint32 target = qint32(x * Units);
        const auto it = std::lower_bound(fast.x.begin(), fast.x.end(), target);
        offset = int(it - fast.x.begin());
        if (it == fast.x.end() || (it != fast.x.begin() && target - *(it - 1) < *it - target))
            --offset;
        while (offset > 0 && fast.x[offset - 1] == fast.x[offset] && fast.x[offset] >= target)
            --offset;
    } else {
        QTextLayout layout;
        layoutLine(layout, line, false);
        offset = layout.lineAt(0).xToCursor(x);
    }
    return qMin(m_index.lineStart(line) + offset, lineCaretEnd(line));
}

qreal ReceiveBox::caretX() const
{
    const qint64 line = caretLine();
    const qint64 start = m_index.lineStart(line);
    const int offset = int(qMin(m_caret, m_index.lineEnd(line)) - start);
    FastLine fast;
    if (fastLine(line, fast))
        return fast.x[offset] / Units;
    QTextLayout layout;
    layoutLine(layout, line, false);
    return layout.lineAt(0).cursorToX(offset);
}

QRect ReceiveBox::caretRect() const
{
    const qint64 row = caretLine() - m_top;
    return QRect(SideMargin + qFloor(caretX()), TopMargin + int(row) * m_lineHeight, 1,
                 m_lineHeight);
}

qint64 ReceiveBox::nextPosition(qint64 pos) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    if (pos >= m_index.lineEnd(line))
        return line + 1 < m_index.lineCount() ? m_index.lineStart(line + 1) : m_store.size();
    QTextLayout layout;
    layoutLine(layout, line, false);
    return start + layout.nextCursorPosition(int(pos - start));
}

qint64 ReceiveBox::previousPosition(qint64 pos) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    if (pos > end)
        return end;
    QTextLayout layout;
    if (pos > start) {
        layoutLine(layout, line, false);
        return start + layout.previousCursorPosition(int(pos - start));
    }
    if (line == 0)
        return 0;
    if (m_index.startsParagraph(line))
        return m_index.lineEnd(line - 1);
    const qint64 previousStart = m_index.lineStart(line - 1);
    layoutLine(layout, line - 1, false);
    return previousStart + layout.previousCursorPosition(int(start - previousStart));
}

qint64 ReceiveBox::wordBoundary(qint64 pos, bool forward) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    if (forward ? pos >= end : pos <= start)
        return forward ? nextPosition(pos) : previousPosition(pos);
    const QString text = m_store.mid(start, end - start);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    finder.setPosition(qsizetype(pos - start));
    for (;;) {
        const qsizetype b = forward ? finder.toNextBoundary() : finder.toPreviousBoundary();
        if (b < 0)
            return forward ? end : start;
        if (b == 0 || b == text.size() ||
            (finder.boundaryReasons() & QTextBoundaryFinder::StartOfItem))
            return start + b;
    }
}

qint64 ReceiveBox::moved(Step step, bool forward)
{
    switch (step) {
    case Step::Char:
        return forward ? nextPosition(m_caret) : previousPosition(m_caret);
    case Step::Word:
        return wordBoundary(m_caret, forward);
    case Step::Line:
    case Step::Page: {
        if (m_wantedX < 0)
            m_wantedX = caretX();
        const qint64 line = caretLine();
        const qint64 lines = step == Step::Line ? 1 : visibleLineCount();
        const qint64 target = line + (forward ? lines : -lines);
        if (target < 0 || target >= m_index.lineCount()) {
            if (step == Step::Line)
                return m_caret;
            return forward ? m_store.size() : 0;
        }
        return positionInLine(target, m_wantedX);
    }
    case Step::LineEdge:
        return forward ? lineCaretEnd(caretLine()) : m_index.lineStart(caretLine());
    case Step::Document:
        return forward ? m_store.size() : 0;
    }
    return m_caret;
}

void ReceiveBox::moveCaret(qint64 pos, bool select)
{
    m_caret = pos;
    if (!select)
        m_anchor = pos;
    ensureCaretVisible();
    caretMoved();
}

bool ReceiveBox::textEquals(QStringView text) const
{
    if (text.size() != m_store.size())
        return false;
    const char16_t *other = text.utf16();
    bool same = true;
    m_store.forEachRun(0, m_store.size(), [&](const auto *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            if (p[i] != other[i]) {
                same = false;
                return false;
            }
        }
        other += n;
        return true;
    });
    return same;
}

void ReceiveBox::replaceSelection(QStringView text)
{
    replaceRange(selStart(), selLength(), text);
}

void ReceiveBox::replaceRange(qint64 pos, qint64 length, QStringView text)
{
    if (length == 0 && text.isEmpty())
        return;
    if (length == 0 && pos == m_store.size()) {
        m_store.append(text);
        m_index.catchUp(m_store);
    } else {
        m_store.replace(pos, length, text);
        m_index.replaced(m_store, pos, length, text.size());
        m_spareValid = false;
    }
    m_anchor = m_caret = pos + text.size();
    m_wantedX = -1;
    updateScrollRange();
    ensureCaretVisible();
    caretMoved();
    emit Change();
}

void ReceiveBox::deleteStep(Step step, bool forward)
{
    if (m_anchor != m_caret) {
        replaceSelection({});
        return;
    }
    const qint64 other = step == Step::Word ? wordBoundary(m_caret, forward)
                         : forward          ? nextPosition(m_caret)
                                            : previousPosition(m_caret);
    replaceRange(qMin(m_caret, other), qAbs(other - m_caret), {});
}

void ReceiveBox::copy() const
{
    if (selLength() > 0)
        QGuiApplication::clipboard()->setText(selectedText());
}

void ReceiveBox::cut()
{
    if (selLength() == 0)
        return;
    copy();
    replaceSelection({});
}

void ReceiveBox::paste()
{
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty())
        replaceSelection(text);
}

void ReceiveBox::selectAll()
{
    m_anchor = 0;
    m_caret = m_store.size();
    m_wantedX = -1;
    ensureCaretVisible();
    caretMoved();
}

void ReceiveBox::selectWordAt(qint64 pos)
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const QString text = m_store.mid(start, m_index.lineEnd(line) - start);
    if (text.isEmpty()) {
        moveCaret(pos, false);
        return;
    }
    qsizetype offset = qMin<qsizetype>(qsizetype(pos - start), text.size() - 1);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    finder.setPosition(offset);
    const qsizetype from = finder.isAtBoundary() ? offset : finder.toPreviousBoundary();
    finder.setPosition(offset);
    const qsizetype to = finder.toNextBoundary();
    m_anchor = start + qMax<qsizetype>(0, from);
    m_caret = start + (to < 0 ? text.size() : to);
    m_wantedX = -1;
    ensureCaretVisible();
    caretMoved();
}

bool ReceiveBox::handlesKey(QKeyEvent *e) const
{
    const auto matches = [e](QKeySequence::StandardKey key) { return e->matches(key); };
    const auto isMove = [e](const Move &move) {
        return e->matches(move.move) || e->matches(move.select);
    };
    return std::any_of(std::begin(moves), std::end(moves), isMove) ||
           std::any_of(std::begin(editKeys), std::end(editKeys), matches) || isTextInput(e) ||
           e->key() == Qt::Key_Backspace || zoomKey(e).has_value();
}
