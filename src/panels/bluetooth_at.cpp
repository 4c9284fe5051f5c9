#include "app/form1.h"

#include "ui_form1.h"

namespace {

struct AtCommand
{
    QPushButton *Ui::Form1::*button;
    const char *command;
    QStringList explanation;
};

const AtCommand commands[] = {
    {&Ui::Form1::CommandAT, "AT", {QStringLiteral("测试指令，返回OK表明模块基本通信正常")}},
    {&Ui::Form1::Command6,
     "AT+ROLE=1",
     {QStringLiteral(
         "设置主机指令，正确返回OK，重新上电后变为主机，此时可以搜索从机自动并连接。")}},
    {&Ui::Form1::Command7,
     "AT+ROLE=0",
     {QStringLiteral("设置从机模式，正确返回OK，重新上电变为从机，此时仅能被其他设备搜索。"
                     "比如安卓手机，蓝牙主机，蓝牙适配器等")}},
    {&Ui::Form1::Command8,
     "AT+ORGL",
     {QStringLiteral("恢复出厂设置，正确返回OK："),
      QStringLiteral(
          "设置次数过多导致不能确定蓝牙工作状态时恢复出厂设置，然后重新设置需要的参数。")}},
    {&Ui::Form1::Command9,
     "AT+ROLE?",
     {QStringLiteral("查询蓝牙角色，正确返回OK，格式如下："), QStringLiteral("返回值=0  从机"),
      QStringLiteral("返回值=1  主机"), QStringLiteral("返回值=2  回环角色")}},
    {&Ui::Form1::Command10,
     "AT+CMODE?",
     {QStringLiteral("查询连接模式，正确返回OK，格式如下："), QStringLiteral("返回值=0 指定模式"),
      QStringLiteral("返回值=1 任意模式"), QStringLiteral("返回值=2 回环角色")}},
    {&Ui::Form1::Command11,
     "AT+NAME?",
     {QStringLiteral("查询蓝牙名称，正确返回OK，格式如下："), QStringLiteral("返回蓝牙名称"),
      QStringLiteral("该指令特殊，需要一直按住按键点击此按钮才有效")}},
    {&Ui::Form1::Command12,
     "AT+UART?",
     {QStringLiteral("查询波特率参数，正确返回OK，格式如下："), QStringLiteral("参数1：波特率"),
      QStringLiteral("参数2：停止位"), QStringLiteral("参数3：校验位")}},
    {&Ui::Form1::Command13,
     "AT+CMODE=1",
     {QStringLiteral("设置模式指令，正确返回OK，设置连接模式："),
      QStringLiteral("0--指定蓝牙地址连接模式"), QStringLiteral("1--任意蓝牙地址连接模式"),
      QStringLiteral("此按钮设置任意模式。")}},
    {&Ui::Form1::Command14,
     "AT+ADDR?",
     {QStringLiteral("查询蓝牙地址，正确返回OK，和蓝牙地址数值："),
      QStringLiteral("此地址是唯一固定值。")}},
    {&Ui::Form1::Command15,
     "AT+UART=9600,0,0",
     {QStringLiteral("设置波特率指令，正确返回OK，格式如下："),
      QStringLiteral("AT+UART=<参数1>,<参数2>,<参数3>"),
      QStringLiteral("参数1--波特率 范围4800~115200"), QStringLiteral("参数2--停止位 0-1位 1-2位"),
      QStringLiteral("参数3--校验位 0-None 1-Odd 2-Even"),
      QStringLiteral(
          "此按钮设置9600,0,0 如需更改仅改动对应数字部分，其他勿动，然后点击<手动发送>。")}},
    {&Ui::Form1::Command16,
     "AT+PSWD?",
     {QStringLiteral("查询蓝配对密码，正确返回OK，格式如下："), QStringLiteral("返回4位数字")}},
    {&Ui::Form1::Command17,
     "AT+PSWD=5827",
     {QStringLiteral("设置配对密码，正确返回OK，格式如下："),
      QStringLiteral("默认5827，一般无需更改"),
      QStringLiteral("如需更改仅需要改动数字部分，然后点击<手动发送>")}},
    {&Ui::Form1::Command18,
     "AT+NAME=zelqo",
     {QStringLiteral("设置蓝牙名称，正确返回OK，格式如下："), QStringLiteral("默认zelqo"),
      QStringLiteral("如需更改仅需要改动名字部分，然后点击<手动发送>")}},
};

} // namespace

void Form1::connectBluetoothControls()
{
    for (const AtCommand &at : commands) {
        connect(ui->*at.button, &QPushButton::clicked, this,
                [this, &at] { bluetoothCommand(at.explanation, QString::fromLatin1(at.command)); });
    }
}

// Every AT button explains the answer to expect, switches to the module's 38400 baud and sends.
void Form1::bluetoothCommand(const QStringList &explanation, const QString &command)
{
    ui->Text1->setText(explanation.join(QLatin1String("\r\n")));
    ui->SendText->setText(command + QLatin1String("\r\n"));
    // The list is not searched first: every click adds one more entry.
    ui->BuadRate->addEntry(QStringLiteral("38400"));
    ui->BuadRate->setText(QStringLiteral("38400"));
    ManSend_Click();
}
