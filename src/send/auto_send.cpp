#include "app/form1.h"

#include "app/captions.h"
#include "port/mscomm.h"
#include "send/send_rules.h"
#include "serial/reconnect_state.h"
#include "ui_form1.h"

#include <QTimer>

namespace {
const QString autoSendOff = QStringLiteral("自动发送");
const QString autoSendOn = QStringLiteral("关闭自动发送");
// A board that reads nothing, or a line slower than the period, would let the queue grow
// without end; past this a tick waits for the line.
constexpr qint64 maxQueuedBytes = 1 << 20;
} // namespace

void Form1::connectAutoSend()
{
    connect(ui->AutoSend, &QPushButton::clicked, this, &Form1::AutoSend_Click);
    connect(AutoSendTimer, &QTimer::timeout, this, &Form1::AutoSendTimer_Timer);
}

bool Form1::periodicSendOn() const
{
    return ui->AutoSend->text() == autoSendOn;
}

void Form1::AutoSend_Click()
{
    // The user's own choice; a port lost meanwhile does not turn it back on.
    m_reconnect->resumeAutoSend = false;
    CheckBit_Change();
    if (ui->AutoSend->text() != autoSendOff) {
        ui->AutoSend->setText(autoSendOff);
        AutoSendTimer->stop();
        return;
    }
    const std::optional<int> period = send::parsePeriod(ui->AutoSendCycle->text());
    if (!period) {
        warning(QStringLiteral("自动发送周期应为0到65535之间的毫秒数"), captions::appTitle);
        return;
    }
    ui->AutoSend->setText(autoSendOn);
    AutoSendTimer->setInterval(*period);
    // A zero-interval Qt timer would fire continuously; a period of 0 never ticks.
    if (*period > 0)
        AutoSendTimer->start();
}

void Form1::AutoSendTimer_Timer()
{
    if (ui->OpenCom->text() == captions::closePort) {
        // Paused while a file transfer has the port; it goes on once the transfer ends.
        if (m_sendRefusal.isEmpty() && MSComm1->OutBufferCount() <= maxQueuedBytes)
            ManSend_Click(SendFrom::Periodic);
        return;
    }
    ui->AutoSend->setText(autoSendOff);
    AutoSendTimer->stop();
}
