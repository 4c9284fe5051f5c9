#include "textview/highlight_editor.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QStringList headers{QStringLiteral("启用"), QStringLiteral("文字或正则表达式"),
                          QStringLiteral("正则"), QStringLiteral("区分大小写"),
                          QStringLiteral("整行"), QStringLiteral("文字颜色"),
                          QStringLiteral("背景"), QStringLiteral("粗体")};

QTableWidgetItem *checkItem(bool on)
{
    auto *item = new QTableWidgetItem;
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    return item;
}

QColor shown(const std::optional<quint32> &colour)
{
    return colour ? QColor(QRgb(*colour)) : QColor();
}

} // namespace

HighlightEditor::HighlightEditor(QWidget *parent)
    : QWidget(parent, Qt::Window), m_table(new QTableWidget(0, Columns, this)),
      m_firstMatch(new QCheckBox(QStringLiteral("每行只用第一条匹配的规则"), this))
{
    setWindowTitle(QStringLiteral("高亮规则"));
    m_table->setHorizontalHeaderLabels(headers);
    m_table->verticalHeader()->setVisible(false);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->horizontalHeader()->setSectionResizeMode(Pattern, QHeaderView::Stretch);

    auto *add = new QPushButton(QStringLiteral("添加"), this);
    auto *remove = new QPushButton(QStringLiteral("删除"), this);
    auto *up = new QPushButton(QStringLiteral("上移"), this);
    auto *down = new QPushButton(QStringLiteral("下移"), this);
    auto *presets = new QToolButton(this);
    presets->setText(QStringLiteral("预设"));
    presets->setPopupMode(QToolButton::InstantPopup);
    auto *presetMenu = new QMenu(presets);
    const QList<highlightpresets::Preset> &all = highlightpresets::all();
    for (int i = 0; i < all.size(); ++i)
        presetMenu->addAction(all.at(i).name, this, [this, i] { addPreset(i); });
    presets->setMenu(presetMenu);

    auto *buttons = new QHBoxLayout;
    for (QWidget *w : std::initializer_list<QWidget *>{add, remove, up, down, presets})
        buttons->addWidget(w);
    buttons->addStretch();
    buttons->addWidget(m_firstMatch);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
    resize(760, 320);

    connect(add, &QPushButton::clicked, this, &HighlightEditor::addRule);
    connect(remove, &QPushButton::clicked, this, [this] { removeRule(currentRow()); });
    connect(up, &QPushButton::clicked, this, [this] { moveRule(currentRow(), -1); });
    connect(down, &QPushButton::clicked, this, [this] { moveRule(currentRow(), 1); });
    connect(m_firstMatch, &QCheckBox::toggled, this, [this](bool on) {
        m_rules.firstMatchWins = on;
        changed();
    });
    connect(m_table, &QTableWidget::itemChanged, this, &HighlightEditor::itemChanged);
}

// A cell being edited is committed as the window closes, after the rules are gone.
HighlightEditor::~HighlightEditor()
{
    disconnect(m_table, nullptr, this, nullptr);
}

void HighlightEditor::setRules(const HighlightRules &rules)
{
    m_rules = rules;
    m_matcher.setRules(rules);
    fill();
}

void HighlightEditor::addPreset(int preset)
{
    m_rules.rules += highlightpresets::all().at(preset).rules;
    fill();
    changed();
}

void HighlightEditor::addRule()
{
    HighlightRule rule;
    rule.colour = 0xC00000;
    m_rules.rules.append(rule);
    fill();
    m_table->setCurrentCell(int(m_rules.rules.size() - 1), Pattern);
    m_table->editItem(m_table->currentItem());
    changed();
}

void HighlightEditor::removeRule(int row)
{
    if (row < 0 || row >= m_rules.rules.size())
        return;
    m_rules.rules.removeAt(row);
    fill();
    changed();
}

void HighlightEditor::moveRule(int row, int by)
{
    const int to = row + by;
    if (row < 0 || to < 0 || to >= m_rules.rules.size() || row >= m_rules.rules.size())
        return;
    m_rules.rules.move(row, to);
    fill();
    m_table->setCurrentCell(to, Pattern);
    changed();
}

void HighlightEditor::setColour(int row, Column column, std::optional<quint32> colour)
{
    if (row < 0 || row >= m_rules.rules.size())
        return;
    HighlightRule &rule = m_rules.rules[row];
    (column == Colour ? rule.colour : rule.background) = colour;
    fillRow(row);
    changed();
}

int HighlightEditor::currentRow() const
{
    return m_table->currentRow();
}

void HighlightEditor::fill()
{
    m_filling = true;
    const QSignalBlocker blockFirst(m_firstMatch);
    m_firstMatch->setChecked(m_rules.firstMatchWins);
    m_table->setRowCount(int(m_rules.rules.size()));
    for (int row = 0; row < m_rules.rules.size(); ++row)
        fillRow(row);
    m_filling = false;
}

void HighlightEditor::fillRow(int row)
{
    const bool filling = m_filling;
    m_filling = true;
    const HighlightRule &rule = m_rules.rules.at(row);
    m_table->setItem(row, On, checkItem(rule.enabled));
    auto *pattern = new QTableWidgetItem(rule.pattern);
    const QString problem = m_matcher.problem(row);
    if (!problem.isEmpty()) {
        pattern->setBackground(QColor(0xFF, 0xD0, 0xD0));
        pattern->setToolTip(problem);
    }
    m_table->setItem(row, Pattern, pattern);
    m_table->setItem(row, Regex, checkItem(rule.regex));
    m_table->setItem(row, MatchCase, checkItem(rule.matchCase));
    m_table->setItem(row, WholeLine, checkItem(rule.wholeLine));
    m_table->setItem(row, Bold, checkItem(rule.bold));
    for (const Column column : {Colour, Background}) {
        const QColor colour = shown(column == Colour ? rule.colour : rule.background);
        auto *button = new QToolButton;
        button->setText(colour.isValid() ? QString() : QStringLiteral("无"));
        button->setAutoFillBackground(true);
        if (colour.isValid())
            button->setStyleSheet(
                QStringLiteral("QToolButton { background: %1; }").arg(colour.name()));
        connect(button, &QToolButton::clicked, this,
                [this, row, column] { chooseColour(row, column); });
        m_table->setCellWidget(row, column, button);
    }
    m_filling = filling;
}

void HighlightEditor::itemChanged(QTableWidgetItem *item)
{
    if (m_filling)
        return;
    const int row = item->row();
    if (row < 0 || row >= m_rules.rules.size())
        return;
    HighlightRule &rule = m_rules.rules[row];
    const bool checked = item->checkState() == Qt::Checked;
    switch (item->column()) {
    case On:
        rule.enabled = checked;
        break;
    case Pattern:
        rule.pattern = item->text();
        break;
    case Regex:
        rule.regex = checked;
        break;
    case MatchCase:
        rule.matchCase = checked;
        break;
    case WholeLine:
        rule.wholeLine = checked;
        break;
    case Bold:
        rule.bold = checked;
        break;
    default:
        return;
    }
    changed();
}

void HighlightEditor::chooseColour(int row, Column column)
{
    if (row < 0 || row >= m_rules.rules.size())
        return;
    const std::optional<quint32> now =
        column == Colour ? m_rules.rules.at(row).colour : m_rules.rules.at(row).background;
    QMenu menu(this);
    QAction *pick = menu.addAction(QStringLiteral("选择颜色…"));
    QAction *none = menu.addAction(QStringLiteral("无"));
    QAction *chosen = menu.exec(QCursor::pos());
    if (chosen == none) {
        setColour(row, column, std::nullopt);
    } else if (chosen == pick) {
        const QColor colour = QColorDialog::getColor(shown(now).isValid() ? shown(now) : Qt::red,
                                                     this, headers.at(column));
        if (colour.isValid())
            setColour(row, column, colour.rgb() & 0xFFFFFF);
    }
}

// Every change goes out at once; marks of rules that do not compile follow the text.
void HighlightEditor::changed()
{
    m_matcher.setRules(m_rules);
    m_filling = true;
    for (int row = 0; row < m_rules.rules.size(); ++row) {
        QTableWidgetItem *pattern = m_table->item(row, Pattern);
        if (!pattern)
            continue;
        const QString problem = m_matcher.problem(row);
        pattern->setBackground(problem.isEmpty() ? QBrush() : QBrush(QColor(0xFF, 0xD0, 0xD0)));
        pattern->setToolTip(problem);
    }
    m_filling = false;
    emit rulesChanged(m_rules);
}
