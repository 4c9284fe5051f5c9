#include "app/controls.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTextDocument>

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

CounterLabel::CounterLabel(QWidget *parent) : QLabel(parent) {}

void CounterLabel::add(double amount)
{
    bool ok = false;
    const double value = text().toDouble(&ok);
    // Only the program writes the counters; should one ever hold something else, it restarts.
    setText(QString::number((ok ? value : 0.0) + amount, 'f', QLocale::FloatingPointShortest));
}

void CounterLabel::paintEvent(QPaintEvent *event)
{
    const QRect box = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const qreal advance = fontMetrics().horizontalAdvance(text());
    if (advance <= box.width()) {
        QLabel::paintEvent(event);
        return;
    }
    // A board streaming for a minute reaches nine digits; squeezing the digits sideways keeps
    // their height, and so their legibility, better than a smaller font would.
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.translate(box.left(), box.top());
    painter.scale(box.width() / advance, 1.0);
    painter.drawText(QRectF(0, 0, advance, box.height()), int(alignment() & Qt::AlignVertical_Mask),
                     text());
}

qsizetype characterCount(QStringView text)
{
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
