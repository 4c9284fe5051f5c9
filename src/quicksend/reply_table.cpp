#include "quicksend/reply_table.h"

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace quicksend {

namespace {

QString targetText(const QString &page, const QString &entry)
{
    return QStringLiteral("%1 / %2").arg(page, entry);
}

} // namespace

ReplyTable::ReplyTable(QWidget *parent)
    : QWidget(parent), m_switch(new QCheckBox(QStringLiteral("启用自动应答"), this)),
      m_table(new QTableWidget(0, ColumnCount, this))
{
    setObjectName(QStringLiteral("ReplyTable"));
    m_switch->setObjectName(QStringLiteral("RepliesOn"));
    m_switch->setToolTip(QStringLiteral("所有规则的总开关；每条规则每行最多触发一次，"
                                        "且两次之间至少相隔其延时（不少于 100 ms）"));
    m_table->setObjectName(QStringLiteral("RuleTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("启用"), QStringLiteral("方式"),
                                        QStringLiteral("收到的内容"), QStringLiteral("发送条目"),
                                        QStringLiteral("延时"), QStringLiteral("次数"),
                                        QStringLiteral("命中"), QStringLiteral("状态")});
    m_table->horizontalHeader()->setSectionResizeMode(Pattern, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(Problem, QHeaderView::ResizeToContents);
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    auto *add = new QPushButton(QStringLiteral("新建规则"), this);
    auto *remove = new QPushButton(QStringLiteral("删除规则"), this);
    add->setObjectName(QStringLiteral("AddRule"));
    remove->setObjectName(QStringLiteral("RemoveRule"));

    auto *bar = new QHBoxLayout;
    bar->addWidget(m_switch);
    bar->addStretch();
    bar->addWidget(add);
    bar->addWidget(remove);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_table, 1);
    layout->addWidget(
        new QLabel(QStringLiteral("收到的文字自上一个换行起（含未换行的部分）包含或匹配时，"
                                  "延时后发送所选条目；十六进制显示时按字节匹配。"),
                   this));

    connect(m_switch, &QCheckBox::toggled, this, &ReplyTable::switched);
    connect(add, &QPushButton::clicked, this, &ReplyTable::addRule);
    connect(remove, &QPushButton::clicked, this, &ReplyTable::removeRule);
    connect(m_table, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (m_filling)
            return;
        if (item->column() == Enabled)
            edit(item->row(),
                 [on = item->checkState() == Qt::Checked](Rule &rule) { rule.enabled = on; });
        else if (item->column() == Pattern)
            edit(item->row(), [text = item->text()](Rule &rule) { rule.pattern = text; });
    });
}

void ReplyTable::setRules(const QList<Rule> &rules)
{
    // Only the hits changed: the rows stay, with the focus in them.
    bool sameRules = rules.size() == m_rules.size();
    for (qsizetype i = 0; sameRules && i < rules.size(); ++i) {
        Rule counted = m_rules.at(i);
        counted.hits = rules.at(i).hits;
        sameRules = counted == rules.at(i);
    }
    m_rules = rules;
    if (sameRules) {
        for (int row = 0; row < m_rules.size(); ++row)
            showState(row);
    } else {
        rebuild();
    }
}

void ReplyTable::setPages(const QList<Page> &pages)
{
    m_pages = pages;
    rebuild();
}

void ReplyTable::setHexDisplay(bool hex)
{
    m_hex = hex;
    for (int row = 0; row < m_rules.size(); ++row)
        showState(row);
}

void ReplyTable::setSwitchOn(bool on)
{
    const QSignalBlocker quiet(m_switch);
    m_switch->setChecked(on);
}

void ReplyTable::rebuild()
{
    const int current = m_table->currentRow();
    m_table->setRowCount(int(m_rules.size()));
    for (int row = 0; row < m_rules.size(); ++row)
        fillRow(row);
    if (current >= 0 && current < m_table->rowCount())
        m_table->selectRow(current);
}

void ReplyTable::fillRow(int row)
{
    m_filling = true;
    const Rule &rule = m_rules.at(row);
    auto *enabled = new QTableWidgetItem;
    enabled->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    enabled->setCheckState(rule.enabled ? Qt::Checked : Qt::Unchecked);
    m_table->setItem(row, Enabled, enabled);
    m_table->setItem(row, Pattern, new QTableWidgetItem(rule.pattern));
    for (const int column : {int(Hits), int(Problem)}) {
        auto *item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        m_table->setItem(row, column, item);
    }

    auto *mode = new QComboBox(m_table);
    mode->addItems(ruleModeNames());
    mode->setCurrentIndex(rule.regex ? 1 : 0);
    connect(mode, &QComboBox::currentIndexChanged, this,
            [this, row](int index) { edit(row, [index](Rule &r) { r.regex = index == 1; }); });
    m_table->setCellWidget(row, Mode, mode);

    auto *target = new QComboBox(m_table);
    for (const Page &page : std::as_const(m_pages)) {
        for (const Entry &entry : page.entries)
            target->addItem(targetText(page.name, entry.name), QStringList{page.name, entry.name});
    }
    const QStringList chosen{rule.page, rule.entry};
    if (target->findData(chosen) < 0)
        target->addItem(targetText(rule.page, rule.entry), chosen);
    target->setCurrentIndex(target->findData(chosen));
    connect(target, &QComboBox::currentIndexChanged, this, [this, row, target] {
        const QStringList picked = target->currentData().toStringList();
        edit(row, [picked](Rule &r) {
            r.page = picked.value(0);
            r.entry = picked.value(1);
        });
    });
    m_table->setCellWidget(row, Target, target);

    auto *delay = new QSpinBox(m_table);
    delay->setRange(0, MaxDelayMs);
    delay->setSuffix(QStringLiteral(" ms"));
    delay->setValue(rule.delayMs);
    connect(delay, &QSpinBox::valueChanged, this,
            [this, row](int ms) { edit(row, [ms](Rule &r) { r.delayMs = ms; }); });
    m_table->setCellWidget(row, Delay, delay);

    auto *repeat = new QComboBox(m_table);
    repeat->addItems(ruleRepeatNames());
    repeat->setCurrentIndex(rule.once ? 1 : 0);
    connect(repeat, &QComboBox::currentIndexChanged, this,
            [this, row](int index) { edit(row, [index](Rule &r) { r.once = index == 1; }); });
    m_table->setCellWidget(row, Repeat, repeat);
    m_filling = false;
    showState(row);
}

// The hits and what keeps the rule off, if anything.
void ReplyTable::showState(int row)
{
    m_filling = true;
    const Rule &rule = m_rules.at(row);
    m_table->item(row, Hits)->setText(QString::number(rule.hits));
    QString state = ruleProblem(rule, m_pages, m_hex);
    const bool problem = !state.isEmpty();
    if (!problem)
        state = !rule.enabled ? QStringLiteral("关")
                : rule.done() ? QStringLiteral("已触发")
                              : QStringLiteral("就绪");
    QTableWidgetItem *item = m_table->item(row, Problem);
    item->setText(state);
    item->setForeground(problem ? QColor(0xC0, 0, 0) : palette().color(QPalette::Text));
    item->setToolTip(state);
    m_filling = false;
}

void ReplyTable::edit(int row, const std::function<void(Rule &)> &change)
{
    if (m_filling || row < 0 || row >= m_rules.size())
        return;
    change(m_rules[row]);
    // A changed rule starts counting afresh: a rule for once can fire again.
    m_rules[row].hits = 0;
    showState(row);
    emit rulesEdited(m_rules);
}

void ReplyTable::addRule()
{
    Rule rule;
    for (const Page &page : std::as_const(m_pages)) {
        if (!page.entries.isEmpty() && rule.entry.isEmpty()) {
            rule.page = page.name;
            rule.entry = page.entries.first().name;
        }
    }
    m_rules << rule;
    rebuild();
    m_table->setCurrentCell(int(m_rules.size()) - 1, Pattern);
    emit rulesEdited(m_rules);
}

void ReplyTable::removeRule()
{
    const int row = m_table->currentRow();
    if (row < 0 || row >= m_rules.size())
        return;
    m_rules.removeAt(row);
    rebuild();
    emit rulesEdited(m_rules);
}

} // namespace quicksend
