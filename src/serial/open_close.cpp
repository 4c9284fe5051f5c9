#include "app/form1.h"

#include "app/captions.h"
#include "app/platform.h"
#include "port/mscomm.h"
#include "port/net_link.h"
#include "port/port_problem.h"
#include "serial/reconnect_state.h"
#include "ui_form1.h"

#include <QStringList>

void Form1::connectOpenClose()
{
    connect(ui->OpenCom, &QPushButton::clicked, this, &Form1::OpenCom_Click);
    connect(MSComm1, &MSComm::deviceLost, this, &Form1::MSComm1_DeviceLost);
}

void Form1::showPortClosed()
{
    ui->OpenCom->setText(captions::openPort);
    ui->OnOffLed->setFillColor(captions::lampClosed);
    updateTerminal();
    updateFileTransfer();
}

void Form1::showPortOpen()
{
    ui->OpenCom->setText(captions::closePort);
    ui->OnOffLed->setFillColor(captions::lampOpen);
    updateTerminal();
}

// The caption, not the component, decides whether a click opens or closes.
void Form1::OpenCom_Click()
{
    // A second line names the device and the cause where an open failed.
    const auto invalidPort = [this](const QString &detail) {
        warning(QStringLiteral("无效端口号") + detail, QStringLiteral("串口调试助手"));
    };
    // The user's own attempt ends any wait for a lost port.
    stopWaiting();
    forgetQuickLosses();
    if (ui->OpenCom->text() != captions::closePort) {
        CheckBit_Change();
        const int error = MSComm1->setPortOpen(true);
        if (error != MSComm::NoError) {
            invalidPort(QStringLiteral("\n") + openFailure(error));
            return;
        }
        showPortOpen();
        applyControlLines(false);
        rememberDevice();
        lendingAfterOpen();
        return;
    }
    if (MSComm1->setPortOpen(false) != MSComm::NoError) {
        invalidPort(QString());
        return;
    }
    showPortClosed();
}

// The real cause: a setting the device refuses, or what the system says when asked again.
QString Form1::openFailure(int error) const
{
    if (error == MSComm::SetCommStateFailed)
        return refusedSettingText();
    if (MSComm1->networkFailure() != netport::Failure::None)
        return networkProblem();
    const QString device = portDevice(MSComm1->CommPort());
    return portproblem::explain(device,
                                portproblem::diagnoseOpen(device, m_platform->openError(device)));
}

// Why a port on another machine could not be opened or went away.
QString Form1::networkProblem() const
{
    const QString mapping = portDevice(MSComm1->CommPort());
    const std::optional<netport::Address> address = netport::parse(mapping);
    const QString where = address ? netport::hostPort(*address) : mapping;
    switch (MSComm1->networkFailure()) {
    case netport::Failure::BadAddress:
        return QStringLiteral(
                   "%1 不是有效的网络端口，应写作 rfc2217://主机:端口 或 socket://主机:端口。")
            .arg(mapping);
    case netport::Failure::Refused:
        return QStringLiteral("%1 拒绝连接：那里没有 ser2net 或其他程序在监听这个端口。")
            .arg(where);
    case netport::Failure::HostNotFound:
        return QStringLiteral("找不到主机 %1。").arg(address ? address->host : mapping);
    case netport::Failure::Unreachable:
        return QStringLiteral("网络不可达：无法到达 %1。").arg(where);
    case netport::Failure::NoAnswer:
        return QStringLiteral("%1 在 %2 秒内没有应答。")
            .arg(where)
            .arg(NetLink::OpenTimeoutMs / 1000);
    case netport::Failure::OptionRefused:
        return QStringLiteral("%1 不接受 RFC 2217 串口设置；只传数据请写作 socket://%1。")
            .arg(where);
    case netport::Failure::Closed:
        return QStringLiteral("%1 关闭了连接。").arg(where);
    case netport::Failure::Protocol:
        return QStringLiteral("%1 说的不是 telnet（RFC 2217）。").arg(where);
    case netport::Failure::Other:
        return QStringLiteral("%1：%2").arg(where, MSComm1->networkFailureText());
    case netport::Failure::None:
        break;
    }
    return {};
}

QString Form1::refusedSettingText() const
{
    const QStringList parts = MSComm1->Settings().split(QLatin1Char(','));
    switch (MSComm1->refusedSetting()) {
    case MSComm::Refused::Baud:
        return QStringLiteral("此设备不支持波特率 %1。").arg(parts.value(0));
    case MSComm::Refused::Parity:
        return QStringLiteral("此设备不支持校验位 %1。").arg(parts.value(1));
    case MSComm::Refused::DataBits:
        return QStringLiteral("此设备不支持 %1 位数据位。").arg(parts.value(2));
    case MSComm::Refused::StopBits:
        return QStringLiteral("此设备不支持 %1 位停止位。").arg(parts.value(3));
    case MSComm::Refused::None:
        break;
    }
    return QStringLiteral("此设备不接受所设的串口参数。");
}

// The adapter was unplugged (or the line hung up): the component has closed itself already.
// The same device is then waited for, and reopened when it is back.
void Form1::MSComm1_DeviceLost()
{
    showPortClosed();
    if (m_autoReconnect && !m_reconnect->opened.mapping.isEmpty()) {
        startWaiting();
        m_reconnect->resumeAutoSend = periodicSendOn();
    }
}
