#include "app/form1.h"

#include "app/settings_keys.h"
#include "quicksend/line_endings.h"
#include "ui_form1.h"

#include <QActionGroup>
#include <QMenu>

// "发送行尾" in the send box's context menu: what goes out after each text sent from the box.
void Form1::connectLineEndingMenu()
{
    connect(ui->SendText, &MemoBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        QMenu *endings = menu->addMenu(QStringLiteral("发送行尾"));
        auto *group = new QActionGroup(endings);
        for (const send::LineEnding &ending : send::lineEndings) {
            QAction *choice = endings->addAction(ending.name);
            choice->setCheckable(true);
            choice->setChecked(ending.chars == m_lineEnding);
            group->addAction(choice);
        }
        connect(group, &QActionGroup::triggered, this, &Form1::LineEnding_Click);
    });
}

void Form1::LineEnding_Click(QAction *choice)
{
    applyLineEnding(choice->text());
    settingkeys::lineEnding.write(*m_settings, choice->text());
}

void Form1::applyLineEnding(const QString &name)
{
    const send::LineEnding &ending = send::lineEnding(name);
    m_lineEnding = ending.chars;
    ui->ManSend->setToolTip(QStringLiteral("发送行尾：%1").arg(ending.name));
    updateQuickSendWindow();
}
