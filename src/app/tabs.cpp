#include "app/form1.h"

#include "app/captions.h"
#include "app/module_picture.h"
#include "app/twips.h"
#include "ui_form1.h"

namespace {

// What each tab sets, in twips.
struct TabLayout
{
    int revTextWidth;
    int revTextHeight;
    int clearLeft;
    int clearTop;
    int outerWidth;
};

constexpr TabLayout generalLayout{4935, 3135, 2750, 3600, twips::narrowWidth};
constexpr TabLayout bluetoothLayout{2000, 2655, 480, 3000, twips::wideWidth};

const QString bluetoothUsage = QStringLiteral(
    "  按下“功能按键”不松开，给蓝牙模块上电，“状态指示灯”变为2S慢闪，此时进入AT指令状态，"
    "可以直接点击“蓝牙AT指令“区按钮进行参数设置。最基本的使用仅需设置2个参数：1-主从机模式 "
    "2-波特率");

} // namespace

// The two tabs and ">>".
void Form1::connectTabs()
{
    ui->TabStrip->addTab(QStringLiteral("通用串口"));
    ui->TabStrip->setTabData(0, QStringLiteral("com"));
    ui->TabStrip->addTab(QStringLiteral("蓝牙串口"));
    ui->TabStrip->setTabData(1, QStringLiteral("bluetooth"));
    connect(ui->TabStrip, &QTabBar::currentChanged, this, &Form1::TabStrip_Click);
    // A click on the tab already selected is a click too.
    connect(ui->TabStrip, &QTabBar::tabBarClicked, this, [this](int index) {
        if (index >= 0 && index == ui->TabStrip->currentIndex())
            TabStrip_Click();
    });
    connect(ui->LabelExpand, &ClickLabel::Click, this, &Form1::LabelExpand_Click);
}

void Form1::TabStrip_Click()
{
    const bool general = ui->TabStrip->currentIndex() == 0;
    const TabLayout &layout = general ? generalLayout : bluetoothLayout;

    ui->Frame1->show();
    ui->Frame2->show();
    ui->Frame4->show();
    ui->FramePortSet->show();
    if (general)
        ui->Frame3->hide();
    for (QWidget *w :
         {static_cast<QWidget *>(ui->FindCom), static_cast<QWidget *>(ui->UpdataTime),
          static_cast<QWidget *>(ui->ReadMe), static_cast<QWidget *>(ui->Website),
          static_cast<QWidget *>(ui->Product), static_cast<QWidget *>(ui->LabelExpand)})
        w->show();
    ui->RevText->resize(twips::toPixels(layout.revTextWidth),
                        twips::toPixels(layout.revTextHeight));
    ui->ClearRevText->move(twips::toPixels(layout.clearLeft), twips::toPixels(layout.clearTop));
    if (general) {
        setOuterWidth(layout.outerWidth);
        ui->LabelExpand->show();
        return;
    }
    ui->Frame3->show();
    ui->FrameCarCtrl->hide();
    // Drawn the first time the tab shows: rendering it would cost every start several ms.
    if (ui->Picture1->pixmap().isNull())
        ui->Picture1->setPixmap(modulePicture(devicePixelRatioF()));
    ui->Picture1->show();
    ui->Text1->show();
    setOuterWidth(layout.outerWidth);
    ui->LabelExpand->hide();
    ui->Text1->setText(bluetoothUsage);
}

void Form1::LabelExpand_Click()
{
    if (ui->LabelExpand->text() == captions::wideMark) {
        ui->LabelExpand->setText(captions::narrowMark);
        ui->FrameCarCtrl->hide();
        setOuterWidth(twips::narrowWidth);
        return;
    }
    ui->LabelExpand->setText(captions::wideMark);
    ui->FrameCarCtrl->show();
    setOuterWidth(twips::wideWidth);
    ui->Picture1->hide();
    ui->Text1->hide();
}

void Form1::setOuterWidth(int outerTwips)
{
    setFixedSize(twips::clientPixels(outerTwips), twips::toPixels(twips::clientHeight));
}
