#pragma once

#include "textview/highlight_rules.h"

#include <QWidget>

class QCheckBox;
class QTableWidget;
class QTableWidgetItem;

// "高亮规则…": the rules in a table, one a row, in the order they apply; a preset adds the rules
// for a firmware's log format with one click. Every change is told at once (rulesChanged); a
// rule whose regular expression does not compile is marked and says why.
class HighlightEditor : public QWidget
{
    Q_OBJECT

public:
    enum Column { On, Pattern, Regex, MatchCase, WholeLine, Colour, Background, Bold, Columns };

    explicit HighlightEditor(QWidget *parent = nullptr);
    ~HighlightEditor() override;

    void setRules(const HighlightRules &rules);
    [[nodiscard]] const HighlightRules &rules() const { return m_rules; }
    // Why rule i is skipped, or empty.
    [[nodiscard]] QString problem(int rule) const { return m_matcher.problem(rule); }

    void addPreset(int preset);
    void addRule();
    void removeRule(int row);
    void moveRule(int row, int by);
    // The colour of a rule's text or background; none without a value.
    void setColour(int row, Column column, std::optional<quint32> colour);

signals:
    void rulesChanged(const HighlightRules &rules);

private:
    void fill();
    void fillRow(int row);
    void itemChanged(QTableWidgetItem *item);
    void changed();
    void chooseColour(int row, Column column);
    [[nodiscard]] int currentRow() const;

    HighlightRules m_rules;
    HighlightMatcher m_matcher;
    QTableWidget *m_table;
    QCheckBox *m_firstMatch;
    bool m_filling = false;
};
