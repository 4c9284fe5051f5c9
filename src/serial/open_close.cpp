#include "app/form1.h"

#include "app/captions.h"
#include "serial/mscomm.h"
#include "serial/port_problem.h"
#include "ui_form1.h"

void Form1::showPortClosed()
{
    ui->OpenCom->setText(captions::openPort);
    ui->OnOffLed->setFillColor(captions::lampClosed);
}

void Form1::showPortOpen()
{
    ui->OpenCom->setText(captions::closePort);
    ui->OnOffLed->setFillColor(captions::lampOpen);
}

// The caption, not the component, decides whether a click opens or closes.
void Form1::OpenCom_Click()
{
    // A second line names the device and the cause where an open failed.
    const auto invalidPort = [this](const QString &detail) {
        warning(QStringLiteral("无效端口号") + detail, QStringLiteral("串口调试助手"));
    };
    if (ui->OpenCom->text() != captions::closePort) {
        CheckBit_Change();
        if (MSComm1->setPortOpen(true) != MSComm::NoError) {
            const QString device = portDevice(MSComm1->CommPort());
            invalidPort(QStringLiteral("\n") +
                        portproblem::explain(device, portproblem::diagnose(device)));
            return;
        }
        showPortOpen();
        return;
    }
    if (MSComm1->setPortOpen(false) != MSComm::NoError) {
        invalidPort(QString());
        return;
    }
    showPortClosed();
}

// The adapter was unplugged (or the line hung up): the component has closed itself already.
void Form1::MSComm1_DeviceLost()
{
    showPortClosed();
}
