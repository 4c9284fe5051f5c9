#include "app/form1.h"

#include "app/settings_keys.h"
#include "serial/mscomm.h"
#include "ui_form1.h"

#include <QActionGroup>
#include <QMenu>

namespace {

const QString utf8Name = QStringLiteral("UTF-8");
const QString gbkName = QStringLiteral("GBK");

} // namespace

// One choice for both directions, offered in the context menus of the receive and send boxes.
void Form1::connectEncodingMenu()
{
    m_encodingMenu = new QMenu(QStringLiteral("文字编码"), this);
    auto *choices = new QActionGroup(m_encodingMenu);
    for (const QString &name : {utf8Name, gbkName}) {
        QAction *choice = m_encodingMenu->addAction(name);
        choice->setCheckable(true);
        choices->addAction(choice);
    }
    connect(choices, &QActionGroup::triggered, this, &Form1::TextEncoding_Click);
    const auto offer = [this](QMenu *menu) {
        menu->addSeparator();
        menu->addMenu(m_encodingMenu);
    };
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, offer);
    connect(ui->SendText, &MemoBox::contextMenuAboutToShow, this, offer);
}

void Form1::TextEncoding_Click(QAction *choice)
{
    applyTextEncoding(choice->text());
    settingkeys::textEncoding.write(*m_settings, choice->text());
}

// Anything but "GBK" is UTF-8, so settings files from before the choice behave as they did.
void Form1::applyTextEncoding(const QString &name)
{
    const bool gbk = name == gbkName;
    MSComm1->setTextEncoding(gbk ? MSComm::TextEncoding::Gb18030 : MSComm::TextEncoding::Utf8);
    for (QAction *choice : m_encodingMenu->actions())
        choice->setChecked(choice->text() == (gbk ? gbkName : utf8Name));
}
