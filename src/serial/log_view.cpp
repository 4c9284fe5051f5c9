#include "app/form1.h"

#include "app/settings_keys.h"
#include "app/window_keys.h"
#include "filter/filter_window.h"
#include "settings/settings_file.h"
#include "textview/highlight_editor.h"
#include "textview/highlight_rules.h"
#include "ui_form1.h"

#include <QActionGroup>
#include <QMenu>
#include <QShortcut>

namespace {

using Sequences = ReceiveBox::ControlSequences;

// "控制序列" and its entries, as stored in the settings file.
struct SequenceChoice
{
    Sequences mode;
    QString name;
};
const SequenceChoice sequenceChoices[] = {
    {Sequences::Shown, QStringLiteral("原样显示")},
    {Sequences::Rendered, QStringLiteral("解析")},
    {Sequences::Stripped, QStringLiteral("去除")},
};

} // namespace

// Reading a busy log in the receive box: "控制序列" (ANSI colours and line edits shown, rendered
// or stripped), "高亮规则…", and "过滤…" (also Ctrl+Shift+L anywhere in the window).
void Form1::connectLogView()
{
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        QMenu *sequences = menu->addMenu(QStringLiteral("控制序列"));
        auto *group = new QActionGroup(sequences);
        for (const SequenceChoice &choice : sequenceChoices) {
            QAction *entry = sequences->addAction(choice.name);
            entry->setCheckable(true);
            entry->setChecked(ui->RevText->controlSequences() == choice.mode);
            group->addAction(entry);
        }
        connect(group, &QActionGroup::triggered, this, &Form1::ControlSequences_Click);
        menu->addAction(QStringLiteral("高亮规则…"), this, &Form1::HighlightRules_Click);
        menu->addAction(QStringLiteral("过滤…"), this, &Form1::Filter_Click);
    });
    auto *filter = new QShortcut(QKeySequence(windowkeys::filter.key), this);
    filter->setContext(Qt::WindowShortcut);
    connect(filter, &QShortcut::activated, this, &Form1::Filter_Click);
}

void Form1::loadLogView()
{
    applyControlSequences(settingkeys::controlSequences.read(*m_settings));
    ui->RevText->setHighlightRules(
        highlightstore::fromPairs(m_settings->readSection(settingkeys::highlightSection)));
}

void Form1::applyControlSequences(const QString &name)
{
    Sequences mode = Sequences::Shown;
    for (const SequenceChoice &choice : sequenceChoices) {
        if (choice.name == name)
            mode = choice.mode;
    }
    ui->RevText->setControlSequences(mode);
}

void Form1::ControlSequences_Click(QAction *choice)
{
    applyControlSequences(choice->text());
    settingkeys::controlSequences.write(*m_settings, choice->text());
}

void Form1::HighlightRules_Click()
{
    if (!m_highlightEditor) {
        m_highlightEditor = new HighlightEditor(this);
        m_highlightEditor->setAttribute(Qt::WA_DeleteOnClose);
        m_highlightEditor->setRules(ui->RevText->highlightRules());
        connect(m_highlightEditor, &HighlightEditor::rulesChanged, this,
                &Form1::HighlightRules_Changed);
    }
    m_highlightEditor->show();
    m_highlightEditor->raise();
    m_highlightEditor->activateWindow();
}

void Form1::HighlightRules_Changed(const HighlightRules &rules)
{
    ui->RevText->setHighlightRules(rules);
    m_settings->writeSection(settingkeys::highlightSection, highlightstore::toPairs(rules));
}

void Form1::Filter_Click()
{
    if (!m_filter) {
        m_filter = new FilterWindow(ui->RevText, this);
        m_filter->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_filter->show();
    m_filter->raise();
    m_filter->activateWindow();
}
