#include "app/form1.h"

#include "app/captions.h"
#include "app/platform.h"
#include "ui_form1.h"

#include <QUrl>

void Form1::connectHelpLinks()
{
    connect(ui->ReadMe, &QPushButton::clicked, this, &Form1::ReadMe_Click);
    connect(ui->Website, &QPushButton::clicked, this, &Form1::Website_Click);
    connect(ui->Product, &QPushButton::clicked, this, &Form1::Product_Click);
}

void Form1::ReadMe_Click()
{
    const QString host = QUrl(captions::forumSite).host();
    ui->RevText->setText(
        QStringLiteral("技术论坛 ") + host + QStringLiteral("（单片机爱好者）\r\n") +
        QStringLiteral("淘宝店铺：") + captions::webShop + QStringLiteral("\r\n") +
        QStringLiteral("柯澜欧品牌\r\n") +
        QStringLiteral("该软件是为串口调试通用软件，部分功能为柯澜欧产品定制，"
                       "不完全等同于其他串口调试软件，但基本使用原理和方法相同，"
                       "欢迎到论坛对此软件提出宝贵意见和建议！购买产品请点击淘宝店铺。"));
}

// A link that cannot be opened is skipped silently.
void Form1::Website_Click()
{
    (void)m_platform->openUrl(QUrl(captions::forumSite));
}

void Form1::Product_Click()
{
    (void)m_platform->openUrl(QUrl(captions::webShop));
    (void)m_platform->openUrl(QUrl(captions::productShop));
}
