#include "app/form1.h"

#include "app/captions.h"
#include "app/settings_keys.h"
#include "ui_form1.h"

void Form1::connectCarControls()
{
    connect(ui->Forward, &QPushButton::clicked, this, &Form1::Forward_Click);
    connect(ui->Backward, &QPushButton::clicked, this, &Form1::Backward_Click);
    connect(ui->TurnLeft, &QPushButton::clicked, this, &Form1::TurnLeft_Click);
    connect(ui->Right, &QPushButton::clicked, this, &Form1::Right_Click);
    connect(ui->StopCar, &QPushButton::clicked, this, &Form1::StopCar_Click);
    connect(ui->ManAuto, &QPushButton::clicked, this, &Form1::ManAuto_Click);
    connect(ui->add, &QPushButton::clicked, this, &Form1::add_Click);
    connect(ui->dec, &QPushButton::clicked, this, &Form1::dec_Click);

    for (const auto &[box, setting] : carCodes()) {
        connect(box, &LineBox::Change, this,
                [this, box = box, setting = setting] { setting->write(*m_settings, box->text()); });
    }

    QFont speedFont = ui->SpeedNum->font();
    speedFont.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
                           QStringLiteral("WenQuanYi Micro Hei"),
                           QStringLiteral("Noto Sans CJK SC")});
    speedFont.setPointSizeF(21.75);
    speedFont.setBold(true);
    ui->SpeedNum->setFont(speedFont);
}

// The six code boxes and where each is stored.
std::array<std::pair<LineBox *, const settingkeys::Setting *>, 6> Form1::carCodes() const
{
    return {{{ui->ForwardText, &settingkeys::forward},
             {ui->BackwardText, &settingkeys::backward},
             {ui->LeftText, &settingkeys::turnLeft},
             {ui->RightText, &settingkeys::turnRight},
             {ui->StopCarText, &settingkeys::stopCar},
             {ui->ManAutoText, &settingkeys::autoManual}}};
}

void Form1::carAction(const QString &code)
{
    ui->SendText->setText(code);
    ManSend_Click();
}

void Form1::Forward_Click()
{
    carAction(ui->ForwardText->text());
}

void Form1::Backward_Click()
{
    carAction(ui->BackwardText->text());
}

void Form1::TurnLeft_Click()
{
    carAction(ui->LeftText->text());
}

void Form1::Right_Click()
{
    carAction(ui->RightText->text());
}

void Form1::StopCar_Click()
{
    carAction(ui->StopCarText->text());
}

void Form1::ManAuto_Click()
{
    carAction(ui->ManAutoText->text());
}

// Both speed buttons send on every click, also at a bound where the value stays.
void Form1::speedStep(int step)
{
    const int value = ui->SpeedNum->text().toInt();
    const int next = value + step;
    if (next >= 0 && next <= 100)
        ui->SpeedNum->setText(QString::number(next));
    carAction(ui->SpeedText->text() + ui->SpeedNum->text());
}

void Form1::add_Click()
{
    speedStep(1);
}

void Form1::dec_Click()
{
    speedStep(-1);
}

// Seen before the focused control, which still gets the key afterwards.
void Form1::Form_KeyDown(int keyCode)
{
    if (ui->LabelExpand->text() != captions::wideMark)
        return;
    switch (keyCode) {
    case Qt::Key_W:
        Forward_Click();
        break;
    case Qt::Key_S:
        Backward_Click();
        break;
    case Qt::Key_A:
        TurnLeft_Click();
        break;
    case Qt::Key_D:
        Right_Click();
        break;
    case Qt::Key_Q:
        StopCar_Click();
        break;
    default:
        break;
    }
}
