#include "app/form1.h"

#include "app/settings_keys.h"
#include "port/mscomm.h"
#include "ui_form1.h"

#include <QActionGroup>
#include <QMenu>

namespace {

const QString utf8Name = QStringLiteral("UTF-8");
const QString gbkName = QStringLiteral("GBK");

} // namespace

// One choice for both directions, offered in the context menus of the receive and send boxes.
// Each menu gets a submenu of its own, so that each is a child of the menu that shows it.
void Form1::connectEncodingMenu()
{
    const auto offer = [this](QMenu *menu) {
        menu->addSeparator();
        QMenu *encodings = menu->addMenu(QStringLiteral("文字编码"));
        auto *choices = new QActionGroup(encodings);
        const bool gbk = MSComm1->textEncoding() == MSComm::TextEncoding::Gb18030;
        for (const QString &name : {utf8Name, gbkName}) {
            QAction *choice = encodings->addAction(name);
            choice->setCheckable(true);
            choice->setChecked(name == (gbk ? gbkName : utf8Name));
            choices->addAction(choice);
        }
        connect(choices, &QActionGroup::triggered, this, &Form1::TextEncoding_Click);
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
    MSComm1->setTextEncoding(name == gbkName ? MSComm::TextEncoding::Gb18030
                                             : MSComm::TextEncoding::Utf8);
    updateQuickSendWindow();
    updateTerminal();
}
