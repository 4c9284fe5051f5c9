#include "app/form1.h"

#include "app/captions.h"
#include "app/platform.h"
#include "app/settings_keys.h"
#include "port/mscomm.h"
#include "ui_form1.h"

#include <QMenu>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace {

// The classic auto-reset: ESP32 and Arduino boards restart on this pulse.
constexpr int ResetPulseMs = 100;

const QString openPulse =
    QStringLiteral("Linux 在每次打开串口时都会先拉高 DTR 和 RTS：保存为“关”也挡不住打开时的这一下，"
                   "打开后才改为所选状态。");
const QString esp32Hold = QStringLiteral("注意：DTR 关、RTS 开会让 ESP32 一直处于复位状态。");

} // namespace

// "控制线" in the receive box's menu: DTR and RTS as they should be after each open, and a reset
// pulse for the board.
void Form1::connectControlLines()
{
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        QMenu *lines = menu->addMenu(QStringLiteral("控制线"));
        lines->setToolTipsVisible(true);
        const QString tip =
            !m_dtr && m_rts ? openPulse + QStringLiteral("\n") + esp32Hold : openPulse;
        QAction *dtr =
            lines->addAction(QStringLiteral("DTR"), this, [this] { ControlLine_Click(true); });
        dtr->setCheckable(true);
        dtr->setChecked(m_dtr);
        dtr->setToolTip(tip);
        QAction *rts =
            lines->addAction(QStringLiteral("RTS"), this, [this] { ControlLine_Click(false); });
        rts->setCheckable(true);
        rts->setChecked(m_rts);
        rts->setToolTip(tip);
        lines->addSeparator();
        lines->addAction(QStringLiteral("复位板子"), this, &Form1::ResetBoard_Click);
    });
}

void Form1::ControlLine_Click(bool dtr)
{
    bool &line = dtr ? m_dtr : m_rts;
    line = !line;
    (dtr ? settingkeys::dtr : settingkeys::rts)
        .write(*m_settings, line ? QStringLiteral("1") : QStringLiteral("0"));
    applyControlLines(true);
}

void Form1::ResetBoard_Click()
{
    if (!MSComm1->PortOpen()) {
        message(QStringLiteral("请打开串口"), captions::appTitle);
        return;
    }
    if (!setControlLines(false, true, true))
        return;
    QTimer::singleShot(ResetPulseMs, this, [this] { applyControlLines(true); });
}

void Form1::applyControlLines(bool tell)
{
    (void)setControlLines(m_dtr, m_rts, tell);
}

// Both lines at once: one after the other would pass through RTS on with DTR off, which
// resets an ESP32. A device without the lines (a pseudo-terminal) is told only when the user
// asked for them.
bool Form1::setControlLines(bool dtr, bool rts, bool tell)
{
    int error = 0;
    if (MSComm1->isNetwork()) {
        // A port on another machine gets them as RFC 2217 commands; raw TCP carries none.
        if (!MSComm1->PortOpen())
            return false;
        error = MSComm1->sendControlLines(dtr, rts) ? 0 : EOPNOTSUPP;
    } else {
        const int fd = MSComm1->handle();
        if (fd < 0)
            return false;
        error = m_platform->setControlLines(fd, dtr, rts);
    }
    if (error != 0 && tell)
        warning(QStringLiteral("设备 %1 不能设置 DTR/RTS 控制线：%2")
                    .arg(MSComm1->devicePath(), QString::fromLocal8Bit(std::strerror(error))),
                captions::appTitle);
    return error == 0;
}
