#include "app/controls.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTextDocument>
#include <QtMath>

#include <cmath>
#include <memory>
#include <utility>

namespace {

QString toCrLf(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}

QString toLf(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

} // namespace

LineBox::LineBox(QWidget *parent) : QLineEdit(parent)
{
    connect(this, &QLineEdit::textChanged, this, &LineBox::Change);
}

void LineBox::setText(const QString &text)
{
    if (text != QLineEdit::text())
        QLineEdit::setText(text);
}

MemoBox::MemoBox(QWidget *parent) : QPlainTextEdit(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    connect(document(), &QTextDocument::contentsChange, this, &MemoBox::onContentsChange);
}

QString MemoBox::text() const
{
    return toCrLf(toPlainText());
}

void MemoBox::setText(const QString &text)
{
    const QString plain = toLf(text);
    if (plain != toPlainText())
        setPlainText(plain);
}

void MemoBox::contextMenuEvent(QContextMenuEvent *event)
{
    const std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
    emit contextMenuAboutToShow(menu.get());
    menu->exec(event->globalPos());
}

void MemoBox::keyPressEvent(QKeyEvent *event)
{
    const bool step = (event->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier &&
                      (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down);
    if (!step) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    emit historyStep(event->key() == Qt::Key_Up);
    event->accept();
}

void MemoBox::onContentsChange(int, int removed, int added)
{
    if (removed == 0 && added == 0)
        return;
    // Format-only updates also arrive here; only a real change of the text counts.
    QString now = toPlainText();
    if (now == m_last)
        return;
    m_last = std::move(now);
    emit Change();
}

ListBox::ListBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(12);
    connect(this, &QComboBox::activated, this, &ListBox::Click);
    connect(lineEdit(), &QLineEdit::textEdited, this, &ListBox::Change);
}

void ListBox::setText(const QString &text)
{
    if (text == currentText())
        return;
    setEditText(text);
    emit Change();
}

void ListBox::fill(const QStringList &entries)
{
    const QString kept = currentText();
    const int selected = listIndex();
    const QSignalBlocker blocker(this);
    addItems(entries);
    // Adding to an empty list selects its first entry; a fill selects nothing.
    setCurrentIndex(selected);
    setEditText(kept);
}

void ListBox::addEntry(const QString &entry)
{
    fill({entry});
}

int ListBox::listIndex() const
{
    const int index = currentIndex();
    return index >= 0 && itemText(index) == currentText() ? index : -1;
}

void ListBox::select(int index)
{
    {
        const QSignalBlocker blocker(this);
        setCurrentIndex(index);
    }
    emit Click();
}

void ListBox::showPopup()
{
    emit popupAboutToShow();
    QComboBox::showPopup();
}

// Qt ends typing in an editable combo box by selecting the entry that equals the typed text and
// reporting it as activated, which would make the typed text a pick. With the line edit's
// signals held back for that moment the box keeps its text and its selection.
void ListBox::keyPressEvent(QKeyEvent *e)
{
    if (e->key() != Qt::Key_Return && e->key() != Qt::Key_Enter) {
        QComboBox::keyPressEvent(e);
        return;
    }
    const QSignalBlocker typingEnds(lineEdit());
    QComboBox::keyPressEvent(e);
}

void ListBox::focusOutEvent(QFocusEvent *e)
{
    const QSignalBlocker typingEnds(lineEdit());
    QComboBox::focusOutEvent(e);
}

ClickLabel::ClickLabel(QWidget *parent) : QLabel(parent) {}

void ClickLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit Click();
    QLabel::mouseReleaseEvent(event);
}

CounterLabel::CounterLabel(QWidget *parent) : QLabel(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setTextFormat(Qt::PlainText);
}

void CounterLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::PaletteChange ||
        event->type() == QEvent::ParentChange || event->type() == QEvent::EnabledChange)
        m_backdrop = QPixmap();
    QLabel::changeEvent(event);
}

void CounterLabel::resizeEvent(QResizeEvent *event)
{
    m_backdrop = QPixmap();
    // The label keeps its designed size whatever its caption; fixed, a new caption asks the
    // parent for no layout pass.
    setFixedSize(event->size());
    // QLabel repaints its contents rectangle on every new caption; the counter's is empty, so
    // that setText() repaints only what changed.
    setContentsMargins(0, 0, 0, event->size().height());
    QLabel::resizeEvent(event);
}

void CounterLabel::add(double amount)
{
    double value = m_count;
    if (!m_held) {
        const QString caption = text();
        bool ok = caption == m_countFor;
        value = ok ? m_count : caption.toDouble(&ok);
        // Only the program writes the counters; should one ever hold something else, it restarts.
        if (!ok)
            value = 0;
    }
    m_count = value + amount;
    if (m_holdMs > 0 && m_captionSet.isValid() && m_captionSet.elapsed() < m_holdMs) {
        if (!std::exchange(m_held, true))
            emit frameWanted();
        return;
    }
    showCount();
}

void CounterLabel::showCount()
{
    constexpr double exactIntegers = 9007199254740992.0; // 2^53
    m_held = false;
    m_countFor = std::abs(m_count) < exactIntegers && m_count == std::trunc(m_count)
                     ? QString::number(qint64(m_count))
                     : QString::number(m_count, 'f', QLocale::FloatingPointShortest);
    setText(m_countFor);
}

void CounterLabel::holdCountsWithin(int ms)
{
    m_holdMs = ms;
}

void CounterLabel::showHeldCount()
{
    if (m_held)
        showCount();
}

void CounterLabel::setText(const QString &caption)
{
    // A caption set from outside replaces whatever count was held back.
    m_held = false;
    const QString before = text();
    if (caption == before)
        return;
    QLabel::setText(caption);
    m_captionSet.start();
    if (isVisible())
        update(changedArea(before, caption));
}

// A count that keeps its length and its squeeze changes from its first changed digit on; the
// digits before it stay where they are.
QRect CounterLabel::changedArea(const QString &before, const QString &after)
{
    if (before.size() != after.size())
        return rect();
    qsizetype first = 0;
    while (first < before.size() && before[first] == after[first])
        ++first;
    const Digits &old = digits(before);
    if (old.lefts.size() != before.size())
        return rect();
    const qreal oldScale = old.scale;
    const qreal oldLeft = old.lefts[first];
    // Kept for the painting that follows.
    const Digits &now = digits(after);
    if (now.scale != oldScale || now.lefts.size() != after.size())
        return rect();
    // A pixel or two to the left for antialiasing and for a glyph leaning over its left edge.
    const int left = qMax(0, qFloor(digitsBox().left() + oldLeft * oldScale) - 2);
    return QRect(left, 0, width() - left, height());
}

QRect CounterLabel::digitsBox() const
{
    return rect().adjusted(margin(), margin(), -margin(), -margin());
}

// Digits need no shaping: their glyphs are drawn straight from the font, which spares the text
// layout that a label would redo on every count.
const CounterLabel::Digits &CounterLabel::digits(const QString &caption)
{
    if (!m_rawFont.isValid() || m_rawFontFor != font()) {
        m_rawFont = QRawFont::fromFont(font());
        m_rawFontFor = font();
        m_digitsWidth = -1;
    }
    const int width = digitsBox().width();
    if (width == m_digitsWidth && caption == m_digitsFor)
        return m_digits;
    const QList<quint32> glyphs = m_rawFont.glyphIndexesForString(caption);
    const QList<QPointF> advances = m_rawFont.advancesForGlyphIndexes(glyphs);
    Digits digits;
    QList<QPointF> positions;
    positions.reserve(glyphs.size());
    qreal advance = 0;
    for (const QPointF &step : advances) {
        positions.append(QPointF(advance, 0));
        digits.lefts.append(advance);
        advance += step.x();
    }
    digits.run.setRawFont(m_rawFont);
    digits.run.setGlyphIndexes(glyphs);
    digits.run.setPositions(positions);
    // A board streaming for a minute reaches nine digits; squeezing the digits sideways keeps
    // their height, and so their legibility, better than a smaller font would.
    if (advance > width)
        digits.scale = width / advance;
    m_digits = std::move(digits);
    m_digitsFor = caption;
    m_digitsWidth = width;
    return m_digits;
}

void CounterLabel::paintEvent(QPaintEvent *)
{
    QWidget *parent = parentWidget();
    if (parent && (m_backdrop.isNull() || m_backdrop.deviceIndependentSize() != size())) {
        m_backdrop = QPixmap(size() * devicePixelRatioF());
        m_backdrop.setDevicePixelRatio(devicePixelRatioF());
        m_backdrop.fill(palette().color(QPalette::Window));
        parent->render(&m_backdrop, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_backdrop);

    const Digits &shown = digits(text());
    const QRect box = digitsBox();
    const qreal ascent = m_rawFont.ascent();
    const qreal baseline = box.top() + (box.height() - ascent - m_rawFont.descent()) / 2 + ascent;
    painter.setPen(palette().color(foregroundRole()));
    painter.translate(box.left(), qRound(baseline));
    if (shown.scale < 1)
        painter.scale(shown.scale, 1.0);
    painter.drawGlyphRun(QPointF(0, 0), shown.run);
}

qsizetype characterCount(QStringView text)
{
    // Most boards send ASCII: Qt's check of that reads sixteen characters at a time.
    if (QtPrivate::isLatin1(text))
        return text.size();
    qsizetype count = text.size();
    for (qsizetype i = 1; i < text.size(); ++i) {
        if (text[i].isLowSurrogate() && text[i - 1].isHighSurrogate())
            --count;
    }
    return count;
}

Lamp::Lamp(QWidget *parent) : QWidget(parent) {}

void Lamp::setFillColor(quint32 bgr)
{
    if (bgr == m_bgr)
        return;
    m_bgr = bgr;
    update();
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setBrush(QColor(m_bgr & 0xFF, (m_bgr >> 8) & 0xFF, (m_bgr >> 16) & 0xFF));
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
