#include "app/form1.h"

#include "app/captions.h"
#include "app/settings_keys.h"
#include "ui_form1.h"

// Each direction button: its handler, the box with the code it sends, where that code is stored
// and its key while the window is wide.
std::array<Form1::CarButton, 6> Form1::carButtons() const
{
    return {
        {{ui->Forward, &Form1::Forward_Click, ui->ForwardText, &settingkeys::forward, Qt::Key_W},
         {ui->Backward, &Form1::Backward_Click, ui->BackwardText, &settingkeys::backward,
          Qt::Key_S},
         {ui->TurnLeft, &Form1::TurnLeft_Click, ui->LeftText, &settingkeys::turnLeft, Qt::Key_A},
         {ui->Right, &Form1::Right_Click, ui->RightText, &settingkeys::turnRight, Qt::Key_D},
         {ui->StopCar, &Form1::StopCar_Click, ui->StopCarText, &settingkeys::stopCar, Qt::Key_Q},
         {ui->ManAuto, &Form1::ManAuto_Click, ui->ManAutoText, &settingkeys::autoManual, 0}}};
}

void Form1::connectCarControls()
{
    for (const CarButton &car : carButtons()) {
        connect(car.button, &QPushButton::clicked, this, car.handler);
        connect(car.code, &LineBox::Change, this, [this, box = car.code, setting = car.setting] {
            setting->write(*m_settings, box->text());
        });
    }
    connect(ui->add, &QPushButton::clicked, this, &Form1::add_Click);
    connect(ui->dec, &QPushButton::clicked, this, &Form1::dec_Click);

    QFont speedFont = ui->SpeedNum->font();
    speedFont.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
                           QStringLiteral("WenQuanYi Micro Hei"),
                           QStringLiteral("Noto Sans CJK SC")});
    speedFont.setPointSizeF(21.75);
    speedFont.setBold(true);
    ui->SpeedNum->setFont(speedFont);
}

void Form1::carAction(const QString &code)
{
    ui->SendText->setText(code);
    ManSend_Click();
}

// Sends the code of the button whose handler this is.
void Form1::carButtonAction(void (Form1::*handler)())
{
    for (const CarButton &car : carButtons()) {
        if (car.handler == handler)
            carAction(car.code->text());
    }
}

void Form1::Forward_Click()
{
    carButtonAction(&Form1::Forward_Click);
}

void Form1::Backward_Click()
{
    carButtonAction(&Form1::Backward_Click);
}

void Form1::TurnLeft_Click()
{
    carButtonAction(&Form1::TurnLeft_Click);
}

void Form1::Right_Click()
{
    carButtonAction(&Form1::Right_Click);
}

void Form1::StopCar_Click()
{
    carButtonAction(&Form1::StopCar_Click);
}

void Form1::ManAuto_Click()
{
    carButtonAction(&Form1::ManAuto_Click);
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
    for (const CarButton &car : carButtons()) {
        if (car.key != 0 && car.key == keyCode)
            (this->*car.handler)();
    }
}
