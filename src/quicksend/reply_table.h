#pragma once

#include "quicksend/auto_reply.h"
#include "quicksend/entries.h"

#include <QList>
#include <QWidget>

#include <functional>

class QCheckBox;
class QTableWidget;

namespace quicksend {

// The auto-reply rules, one row each, with a switch for all of them, each rule's hits and what
// keeps it from running.
class ReplyTable : public QWidget
{
    Q_OBJECT
public:
    enum Column { Enabled, Mode, Pattern, Target, Delay, Repeat, Hits, Problem, ColumnCount };

    explicit ReplyTable(QWidget *parent = nullptr);

    void setRules(const QList<Rule> &rules);
    [[nodiscard]] const QList<Rule> &rules() const { return m_rules; }
    // The entries a rule can send.
    void setPages(const QList<Page> &pages);
    // Patterns are bytes in hex display.
    void setHexDisplay(bool hex);
    void setSwitchOn(bool on);
    [[nodiscard]] QTableWidget *table() const { return m_table; }

signals:
    void rulesEdited(const QList<Rule> &rules);
    void switched(bool on);

private:
    void rebuild();
    void fillRow(int row);
    void showState(int row);
    void edit(int row, const std::function<void(Rule &)> &change);
    void addRule();
    void removeRule();

    QList<Rule> m_rules;
    QList<Page> m_pages;
    bool m_hex = false;
    bool m_filling = false;
    QCheckBox *m_switch;
    QTableWidget *m_table;
};

} // namespace quicksend
