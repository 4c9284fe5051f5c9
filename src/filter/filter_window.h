#pragma once

#include "filter/line_filter.h"

#include <QBasicTimer>
#include <QWidget>

class FilterRowsModel;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTreeView;
class ReceiveBox;

// "过滤…": a window of its own listing, as they arrive, the lines of the receive box that match
// a text or a regular expression (or do not, inverted), with when each began to arrive and how
// many there are. It holds only where the lines begin, so it goes on with the box as old lines
// are dropped. A double click shows the line in the box, which then stays on it.
class FilterWindow : public QWidget
{
    Q_OBJECT

public:
    // Characters read at a time while the box is filtered anew, so the window stays responsive.
    static constexpr qint64 SliceChars = 2 << 20;
    // How long the window lets the box's text change before reading on.
    static constexpr int FollowMs = 100;

    explicit FilterWindow(ReceiveBox *box, QWidget *parent = nullptr);
    ~FilterWindow() override;

    void setPattern(const LineFilter::Pattern &pattern);
    [[nodiscard]] const LineFilter &filter() const { return m_filter; }
    // Where the listed lines begin, in the box's text, and the caption under the list.
    [[nodiscard]] QList<qint64> rows() const;
    [[nodiscard]] QString status() const;
    // Whether the whole text has been read.
    [[nodiscard]] bool isCaughtUp() const { return !m_reading.isActive(); }

signals:
    // The user double-clicked the line that begins at pos, and the box now shows it.
    void lineShown(qint64 pos);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void patternEdited();
    void textReplaced(qint64 pos, qint64 removed, qint64 inserted);
    void readOn();
    void updateStatus();
    void activated(const QModelIndex &index);

    ReceiveBox *m_box;
    LineFilter m_filter;
    FilterRowsModel *m_model;
    QLineEdit *m_text;
    QCheckBox *m_regex;
    QCheckBox *m_matchCase;
    QCheckBox *m_invert;
    QTreeView *m_list;
    QLabel *m_status;
    QString m_problem;
    QBasicTimer m_edited;
    QBasicTimer m_reading;
};
