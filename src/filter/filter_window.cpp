#include "filter/filter_window.h"

#include "textview/receive_box.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTimerEvent>
#include <QTreeView>

namespace {

// Typing pauses this long before the box is filtered anew.
constexpr int EditedMs = 150;
// A row shows at most this much of its line.
constexpr qint64 ShownChars = 1000;

} // namespace

// The rows as the view last heard of them: the filter's rows change under it only through
// publish(), which tells the view exactly what went and came.
class FilterRowsModel : public QAbstractTableModel
{
public:
    FilterRowsModel(const LineFilter &filter, const ReceiveBox &box, QObject *parent)
        : QAbstractTableModel(parent), m_filter(filter), m_box(box)
    {}

    int rowCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : int(m_total);
    }
    int columnCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : 2; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        return section == 0 ? QStringLiteral("时间") : QStringLiteral("内容");
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole || index.row() >= m_total)
            return {};
        const qint64 pos = m_filter.row(index.row());
        if (pos < 0)
            return {};
        if (index.column() == 0) {
            const auto mark = m_box.arrivalTimes().firstIn(pos, pos + 1);
            return mark ? m_box.timeText(mark->msecs) : QString();
        }
        const TextStore &store = m_box.store();
        const qint64 end = LineFilter::breakFrom(store, pos);
        QString line = store.mid(pos, qMin(end - pos, ShownChars));
        if (end - pos > ShownChars)
            line += QStringLiteral("…");
        return line;
    }

    // After a change of the text: the rows the change took away, then the tail anew (the line
    // still being written, and rows read since).
    void publish(const LineFilter::Change &change)
    {
        if (change.reset) {
            beginResetModel();
            m_complete = m_filter.completeCount();
            m_total = m_filter.count();
            endResetModel();
            return;
        }
        if (change.removedFront > 0) {
            beginRemoveRows({}, 0, int(change.removedFront - 1));
            m_complete -= change.removedFront;
            m_total -= change.removedFront;
            endRemoveRows();
        }
        if (change.removedBack > 0 || m_total > m_complete) {
            const qint64 from = m_complete - change.removedBack;
            beginRemoveRows({}, int(from), int(m_total - 1));
            m_complete = m_total = from;
            endRemoveRows();
        }
        if (m_filter.count() > m_total) {
            beginInsertRows({}, int(m_total), int(m_filter.count() - 1));
            m_complete = m_filter.completeCount();
            m_total = m_filter.count();
            endInsertRows();
        }
    }

    void resetAll() { publish({0, 0, true}); }

private:
    const LineFilter &m_filter;
    const ReceiveBox &m_box;
    qint64 m_complete = 0;
    qint64 m_total = 0;
};

FilterWindow::FilterWindow(ReceiveBox *box, QWidget *parent)
    : QWidget(parent, Qt::Window), m_box(box), m_model(new FilterRowsModel(m_filter, *box, this)),
      m_text(new QLineEdit(this)), m_regex(new QCheckBox(QStringLiteral("正则表达式"), this)),
      m_matchCase(new QCheckBox(QStringLiteral("区分大小写"), this)),
      m_invert(new QCheckBox(QStringLiteral("反向（不含）"), this)), m_list(new QTreeView(this)),
      m_status(new QLabel(this))
{
    setWindowTitle(QStringLiteral("过滤"));
    m_text->setPlaceholderText(QStringLiteral("要列出的行所含的文字"));
    m_text->setClearButtonEnabled(true);
    m_list->setModel(m_model);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAlternatingRowColors(true);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->header()->setStretchLastSection(true);
    m_list->setFont(box->font());
    m_list->setColumnWidth(
        0, QFontMetrics(box->font()).horizontalAdvance(QStringLiteral("00:00:00.000  ")));

    auto *layout = new QGridLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("过滤："), this), 0, 0);
    layout->addWidget(m_text, 0, 1, 1, 3);
    layout->addWidget(m_regex, 1, 1);
    layout->addWidget(m_matchCase, 1, 2);
    layout->addWidget(m_invert, 1, 3);
    layout->addWidget(m_list, 2, 0, 1, 4);
    layout->addWidget(m_status, 3, 0, 1, 4);
    resize(640, 400);

    connect(m_text, &QLineEdit::textChanged, this, [this] { m_edited.start(EditedMs, this); });
    for (QCheckBox *option : {m_regex, m_matchCase, m_invert})
        connect(option, &QCheckBox::toggled, this, &FilterWindow::patternEdited);
    connect(m_list, &QTreeView::doubleClicked, this, &FilterWindow::activated);
    connect(box, &ReceiveBox::textReplaced, this, &FilterWindow::textReplaced);
    updateStatus();
}

FilterWindow::~FilterWindow() = default;

void FilterWindow::setPattern(const LineFilter::Pattern &pattern)
{
    const QSignalBlocker blockText(m_text);
    const QSignalBlocker blockRegex(m_regex);
    const QSignalBlocker blockCase(m_matchCase);
    const QSignalBlocker blockInvert(m_invert);
    m_text->setText(pattern.text);
    m_regex->setChecked(pattern.regex);
    m_matchCase->setChecked(pattern.matchCase);
    m_invert->setChecked(pattern.invert);
    patternEdited();
}

void FilterWindow::patternEdited()
{
    m_edited.stop();
    m_problem = m_filter.setPattern(
        {m_text->text(), m_regex->isChecked(), m_matchCase->isChecked(), m_invert->isChecked()});
    m_model->resetAll();
    // A pattern that does not compile is marked where it is typed.
    m_text->setStyleSheet(m_problem.isEmpty() ? QString()
                                              : QStringLiteral("QLineEdit { color: #C00000; }"));
    m_reading.start(0, this);
    updateStatus();
}

void FilterWindow::textReplaced(qint64 pos, qint64 removed, qint64 inserted)
{
    m_model->publish(m_filter.replaced(m_box->store(), pos, removed, inserted));
    if (!m_reading.isActive())
        m_reading.start(FollowMs, this);
}

void FilterWindow::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_edited.timerId()) {
        patternEdited();
    } else if (event->timerId() == m_reading.timerId()) {
        readOn();
    } else {
        QWidget::timerEvent(event);
    }
}

void FilterWindow::readOn()
{
    m_reading.stop();
    const bool more = m_filter.scan(m_box->store(), SliceChars);
    m_model->publish({});
    updateStatus();
    if (more)
        m_reading.start(0, this);
}

void FilterWindow::updateStatus()
{
    if (!m_problem.isEmpty())
        m_status->setText(m_problem);
    else if (!m_filter.isActive())
        m_status->setText(QStringLiteral("输入文字后列出含有它的行"));
    else
        m_status->setText(
            QStringLiteral("%1 行%2")
                .arg(m_filter.count())
                .arg(m_reading.isActive() ? QStringLiteral("（查找中…）") : QString()));
}

QList<qint64> FilterWindow::rows() const
{
    QList<qint64> out;
    for (qint64 i = 0; i < m_model->rowCount({}); ++i)
        out << m_filter.row(i);
    return out;
}

QString FilterWindow::status() const
{
    return m_status->text();
}

void FilterWindow::activated(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    const qint64 pos = m_filter.row(index.row());
    m_box->revealLine(pos);
    emit lineShown(pos);
}
