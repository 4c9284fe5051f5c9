#include "app/form1.h"

#include "app/platform.h"
#include "app/settings_keys.h"
#include "serial/mscomm.h"
#include "serial/net_link.h"
#include "serial/port_map.h"
#include "serial/port_problem.h"
#include "serial/port_watch.h"
#include "serial/reconnect_state.h"
#include "ui_form1.h"

#include <QFileInfo>
#include <QMenu>
#include <QScopedValueRollback>
#include <QTimer>

namespace {

// udev grants the dialout group a moment after the node appears, and ModemManager may probe a
// new ttyACM for up to about 10 s: a refused open is tried again, sooner at first.
constexpr int FirstPauseMs = 50;
constexpr int PatientMs = 10000;
constexpr int LatePauseMs = 2000;
// A server leaves no trace in the file system when it comes back: it is asked again.
constexpr int NetFirstPauseMs = 250;

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

// "断开后自动重连" in the receive box's menu; a lost port is then waited for and reopened.
void Form1::connectReconnect()
{
    connect(m_portWatch, &PortWatch::look, this, &Form1::PortWatch_Look);
    connect(m_retryTimer, &QTimer::timeout, this, [this] { reopen(m_reconnect->returned); });
    connect(MSComm1, &MSComm::openFinished, this, &Form1::MSComm1_OpenFinished);
    m_retryTimer->setSingleShot(true);
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        QAction *entry =
            menu->addAction(QStringLiteral("断开后自动重连"), this, &Form1::AutoReconnect_Click);
        entry->setCheckable(true);
        entry->setChecked(m_autoReconnect);
    });
}

void Form1::AutoReconnect_Click()
{
    m_autoReconnect = !m_autoReconnect;
    settingkeys::autoReconnect.write(*m_settings,
                                     m_autoReconnect ? QStringLiteral("1") : QStringLiteral("0"));
    if (!m_autoReconnect)
        stopWaiting();
}

// Who the device is, for knowing it again should it go away. Pseudo-terminals are known by
// their mapping alone, so the system's list is read only for real devices.
void Form1::rememberDevice()
{
    const QString mapping = portDevice(MSComm1->CommPort());
    if (netport::isNetwork(mapping)) {
        m_reconnect->opened = identity::DeviceIdentity{};
        m_reconnect->opened.mapping = mapping;
        return;
    }
    const bool pseudo = canonical(mapping).startsWith(QStringLiteral("/dev/pts/"));
    m_reconnect->opened = identity::identify(mapping, pseudo ? QList<identity::PortRecord>()
                                                             : identity::presentPorts());
}

void Form1::startWaiting()
{
    ReconnectState &state = *m_reconnect;
    state.waiting = true;
    state.commPort = MSComm1->CommPort();
    state.lost = state.opened;
    state.returned.clear();
    if (netport::isNetwork(state.lost.mapping)) {
        state.returned = state.lost.mapping;
        state.returnedFor.start();
        state.pauseMs = NetFirstPauseMs;
        m_retryTimer->start(state.pauseMs);
        showWaiting(QString());
        return;
    }
    // A mapped link lives in a folder of its own choosing; a pseudo-terminal under /dev/pts.
    QStringList folders = {QStringLiteral("/dev/pts")};
    if (QFileInfo(state.lost.mapping).isSymLink())
        folders << QFileInfo(state.lost.mapping).absolutePath();
    m_portWatch->start(folders);
    showWaiting(QString());
}

void Form1::stopWaiting()
{
    m_reconnect->waiting = false;
    if (m_reconnect->attempting) {
        m_reconnect->attempting = false;
        (void)MSComm1->setPortOpen(false);
    }
    m_portWatch->stop();
    m_retryTimer->stop();
    setWindowTitle(m_title);
}

void Form1::showWaiting(const QString &reason)
{
    const ReconnectState &state = *m_reconnect;
    QString suffix =
        QStringLiteral(" — 等待 COM%1 (%2) 重新连接").arg(state.commPort).arg(state.lost.mapping);
    if (!reason.isEmpty())
        suffix += QStringLiteral("：") + reason;
    setWindowTitle(m_title + suffix);
}

void Form1::PortWatch_Look(bool foldersChanged)
{
    ReconnectState &state = *m_reconnect;
    if (!state.waiting || m_retryTimer->isActive())
        return;
    if (foldersChanged && state.lost.record.hasIds)
        state.present = identity::presentPorts();
    const std::optional<QString> device =
        identity::returnedDevice(state.lost, portDevice(state.commPort), &state.present);
    if (device)
        reopen(*device);
}

// The device is back as `device`: opened under the number that names it, with the line
// settings of the window.
void Form1::reopen(const QString &device)
{
    ReconnectState &state = *m_reconnect;
    if (netport::isNetwork(device)) {
        reconnectNetwork();
        return;
    }
    int commPort = 0;
    const QString target = canonical(device);
    if (canonical(portDevice(state.commPort)) == target) {
        commPort = state.commPort;
    } else {
        for (int n = 1; n <= portmap::portCount && commPort == 0; ++n) {
            if (canonical(portDevice(n)) == target)
                commPort = n;
        }
    }
    if (commPort == 0) {
        showWaiting(QStringLiteral("设备以 %1 出现，但没有端口号指向它").arg(device));
        return;
    }
    if (commPort != MSComm1->CommPort()) {
        const QScopedValueRollback<bool> picking(m_reconnectPicking, true);
        ui->ComPort->select(commPort - 1);
    }
    CheckBit_Change();
    const int error = MSComm1->setPortOpen(true);
    if (error == MSComm::NoError) {
        reopened();
        return;
    }
    QString reason;
    if (error == MSComm::SetCommStateFailed) {
        reason = refusedSettingText();
    } else {
        const portproblem::Problem problem =
            portproblem::diagnoseOpen(device, m_platform->openError(device));
        // Gone again before it could be opened: back to watching.
        if (problem.cause == portproblem::Cause::Missing) {
            state.returned.clear();
            state.returnedFor.invalidate();
            return;
        }
        reason = portproblem::explain(device, problem);
    }
    if (state.returned != device || !state.returnedFor.isValid()) {
        state.returned = device;
        state.returnedFor.start();
        state.pauseMs = FirstPauseMs;
    }
    if (state.returnedFor.elapsed() >= PatientMs) {
        showWaiting(reason);
        state.pauseMs = LatePauseMs;
    }
    m_retryTimer->start(state.pauseMs);
    state.pauseMs = qMin(state.pauseMs * 2, LatePauseMs);
}

void Form1::reopened()
{
    stopWaiting();
    showPortOpen();
    applyControlLines(false);
    rememberDevice();
}

// Connecting takes a while: the attempt runs in the background and MSComm1_OpenFinished takes
// its outcome, so the window stays usable while a server is down.
void Form1::reconnectNetwork()
{
    ReconnectState &state = *m_reconnect;
    CheckBit_Change();
    state.attempting = true;
    const int error = MSComm1->beginOpen();
    if (state.attempting && !MSComm1->opening())
        MSComm1_OpenFinished(error);
}

void Form1::MSComm1_OpenFinished(int error)
{
    ReconnectState &state = *m_reconnect;
    if (!state.waiting || !state.attempting)
        return;
    state.attempting = false;
    if (error == MSComm::NoError) {
        reopened();
        return;
    }
    if (state.returnedFor.elapsed() >= PatientMs) {
        showWaiting(networkProblem());
        state.pauseMs = LatePauseMs;
    }
    m_retryTimer->start(state.pauseMs);
    state.pauseMs = qMin(state.pauseMs * 2, LatePauseMs);
}
