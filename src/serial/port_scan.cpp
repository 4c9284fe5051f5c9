#include "app/form1.h"

#include "app/captions.h"
#include "port/mscomm.h"
#include "port/net_link.h"
#include "port/port_map.h"
#include "port/port_problem.h"
#include "ui_form1.h"

void Form1::connectPortScan()
{
    connect(ui->FindCom, &QPushButton::clicked, this, &Form1::FindCom_Click);
}

void Form1::FindCom_Click()
{
    if (ui->OpenCom->text() == captions::closePort) {
        (void)MSComm1->setPortOpen(false);
        showPortClosed();
    }
    // A network port being connected again in the background holds the number; its wait goes
    // on and tries again after the scan.
    if (MSComm1->opening())
        (void)MSComm1->setPortOpen(false);
    ui->RevText->setText(QStringLiteral("【柯澜欧】软件支持检测COM48以内端口号，扫描结果："));
    qint16 found = 0;
    // Probing moves the number; with no entry selected it goes back to where it was.
    const int before = MSComm1->CommPort();
    QStringList refused;
    for (int n = 1; n <= portmap::portCount; ++n) {
        // Connecting makes ser2net open the remote device, which resets an Arduino-style board.
        if (netport::isNetwork(portDevice(n)))
            continue;
        (void)MSComm1->setCommPort(n);
        if (MSComm1->setPortOpen(true) == MSComm::NoError) {
            ++found;
            ui->RevText->appendText(QStringLiteral("\r\n-> 串口号：COM%1").arg(n));
        } else if (const QString device = portDevice(n);
                   portproblem::diagnose(device) == portproblem::Cause::NoPermission) {
            refused << device;
        }
        // A port left open would make the next number fail to open and go unreported.
        (void)MSComm1->setPortOpen(false);
    }
    if (found == 0)
        ui->RevText->appendText(QStringLiteral("\r\n您计算机上没有串口，请检查是否插入串口设备！"));
    else
        ui->RevText->appendText(
            QStringLiteral("\r\n  您计算机上有%1个串口，请在COM口列表框选择对应的串口号。")
                .arg(found));
    // Without the dialout group every adapter refuses to open, and the summary alone would say
    // the computer has no serial port.
    if (!refused.isEmpty())
        ui->RevText->appendText(QStringLiteral("\r\n") + portproblem::noPermissionLine(refused));
    (void)MSComm1->setPortOpen(false);
    (void)MSComm1->setCommPort(before);
    ComPort_Click();
}
