#include "textview/find_dialog.h"

#include "textview/receive_box.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

FindDialog::FindDialog(ReceiveBox *box)
    : QDialog(box), m_box(box), m_text(new QLineEdit(this)),
      m_matchCase(new QCheckBox(QStringLiteral("区分大小写"), this)), m_status(new QLabel(this))
{
    setWindowTitle(QStringLiteral("查找"));
    auto *next = new QPushButton(QStringLiteral("下一个"), this);
    auto *previous = new QPushButton(QStringLiteral("上一个"), this);
    next->setDefault(true);
    auto *layout = new QGridLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("查找内容："), this), 0, 0);
    layout->addWidget(m_text, 0, 1, 1, 2);
    layout->addWidget(m_matchCase, 1, 0, 1, 2);
    layout->addWidget(m_status, 1, 2);
    layout->addWidget(previous, 2, 1);
    layout->addWidget(next, 2, 2);
    connect(next, &QPushButton::clicked, this, &FindDialog::findNext);
    connect(previous, &QPushButton::clicked, this, &FindDialog::findPrevious);
    connect(m_text, &QLineEdit::textEdited, m_status, &QLabel::clear);
    m_text->setFocus();
}

// F3 and Shift+F3 reach the dialog from whichever of its controls has the focus.
void FindDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() != Qt::Key_F3) {
        QDialog::keyPressEvent(event);
        return;
    }
    find(!(event->modifiers() & Qt::ShiftModifier));
}

void FindDialog::findNext()
{
    find(true);
}

void FindDialog::findPrevious()
{
    find(false);
}

void FindDialog::find(bool forward)
{
    const QString needle = m_text->text();
    if (needle.isEmpty())
        return;
    const Qt::CaseSensitivity cs =
        m_matchCase->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const qint64 start = m_box->selStart();
    const qint64 from = forward ? start + m_box->selLength() : start - 1;
    qint64 at = from < 0 ? -1 : m_box->find(needle, from, forward, cs);
    if (at < 0)
        at = m_box->find(needle, forward ? 0 : m_box->length() - 1, forward, cs);
    if (at < 0) {
        m_status->setText(QStringLiteral("找不到"));
        return;
    }
    m_status->clear();
    m_box->setSelection(at, needle.size());
}
