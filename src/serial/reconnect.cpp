#include "app/form1.h"

#include "app/platform.h"
#include "app/settings_keys.h"
#include "port/mscomm.h"
#include "port/net_link.h"
#include "port/port_map.h"
#include "port/port_problem.h"
#include "port/port_watch.h"
#include "serial/lending_state.h"
#include "serial/reconnect_state.h"
#include "ui_form1.h"

#include <QFileInfo>
#include <QMenu>
#include <QRegularExpression>
#include <QScopedValueRollback>
#include <QStringDecoder>
#include <QTimer>

namespace {

// udev grants the dialout group a moment after the node appears, and ModemManager may probe a
// new ttyACM for up to about 10 s: a refused open is tried again, sooner at first.
constexpr int FirstPauseMs = 50;
constexpr int PatientMs = 10000;
constexpr int LatePauseMs = 2000;
// A server leaves no trace in the file system when it comes back: it is asked again.
constexpr int NetFirstPauseMs = 250;
// A reopened link that fails within this long, its device still there, was not really back.
constexpr int QuickLossMs = 3000;
// Such losses are retried after pauses doubling up to BackOffMs, and after a minute of them up to
// LateBackOffMs.
constexpr int FirstBackOffMs = 250;
constexpr int BackOffMs = 2000;
constexpr int BackOffLongMs = 60000;
constexpr int LateBackOffMs = 30000;
// How long after a folder changed the system's port list is read at each look.
constexpr int ListSettleMs = 3000;
// The end of the far end's words kept for the title.
constexpr int LastWordsBytes = 256;

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
    connect(MSComm1, &MSComm::bytesTaken, this, &Form1::noteLastWords);
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
    // A lent port comes back whatever the entry says.
    if (!m_autoReconnect && !m_lending->lent) {
        stopWaiting();
        forgetQuickLosses();
    }
}

void Form1::forgetQuickLosses()
{
    m_reconnect->reopenedAt.invalidate();
    m_reconnect->backingOffSince.invalidate();
    m_reconnect->backingOff = false;
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
                                                             : m_platform->presentPorts());
    m_reconnect->lastWords.clear();
}

// The far end's last words: ser2net says why it closes ("Port already in use").
// They are shown only for a loss soon after an automatic reopen, so a port streaming for longer
// keeps none and costs nothing per block.
void Form1::noteLastWords(const QByteArray &bytes)
{
    ReconnectState &state = *m_reconnect;
    const bool shownAfterALoss = state.waiting && state.backingOff;
    if (!shownAfterALoss &&
        (!state.reopenedAt.isValid() || state.reopenedAt.elapsed() >= QuickLossMs))
        return;
    QByteArray &words = state.lastWords;
    words += bytes.right(LastWordsBytes);
    if (words.size() > 4 * LastWordsBytes)
        words = words.right(LastWordsBytes);
    if (shownAfterALoss)
        showWaiting(lastLine());
}

QString Form1::lastLine() const
{
    const QByteArray words = m_reconnect->lastWords.right(LastWordsBytes);
    const QString text = MSComm1->textEncoding() == MSComm::TextEncoding::Utf8
                             ? QString::fromUtf8(words)
                             : QStringDecoder("GB18030").decode(words);
    const QStringList lines =
        text.split(QRegularExpression(QStringLiteral("[\\r\\n]+")), Qt::SkipEmptyParts);
    QString line = lines.isEmpty() ? QString() : lines.last().simplified();
    line.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    if (line.isEmpty())
        return {};
    if (line.size() > 60)
        line = QStringLiteral("…") + line.right(59);
    return QStringLiteral("“%1”").arg(line);
}

// A link reopened a moment ago failed again while its device is still there: the next attempt
// waits, longer each time.
bool Form1::lostSoonAfterReopen() const
{
    const ReconnectState &state = *m_reconnect;
    if (!state.reopenedAt.isValid() || state.reopenedAt.elapsed() >= QuickLossMs)
        return false;
    return netport::isNetwork(state.opened.mapping) || QFileInfo::exists(state.opened.resolved);
}

int Form1::nextBackOff()
{
    ReconnectState &state = *m_reconnect;
    if (!state.backingOffSince.isValid()) {
        state.backingOffSince.start();
        state.backOffMs = FirstBackOffMs;
        return state.backOffMs;
    }
    const int cap = state.backingOffSince.elapsed() >= BackOffLongMs ? LateBackOffMs : BackOffMs;
    state.backOffMs = qMin(state.backOffMs * 2, cap);
    return state.backOffMs;
}

void Form1::startWaiting()
{
    ReconnectState &state = *m_reconnect;
    state.waiting = true;
    state.commPort = MSComm1->CommPort();
    state.lost = state.opened;
    state.returned.clear();
    // A lent port is not lost: nothing is tried before the device is free again.
    state.backingOff = !m_lending->lent && lostSoonAfterReopen();
    state.reopenedAt.invalidate();
    if (!state.backingOff)
        state.backingOffSince.invalidate();
    const int backOff = state.backingOff ? nextBackOff() : 0;
    const QString reason = state.backingOff ? lastLine() : QString();
    if (netport::isNetwork(state.lost.mapping)) {
        state.returned = state.lost.mapping;
        state.returnedFor.start();
        state.pauseMs = state.backingOff ? backOff : NetFirstPauseMs;
        m_retryTimer->start(state.pauseMs);
        showWaiting(reason);
        return;
    }
    // A mapped link lives in a folder of its own choosing; a pseudo-terminal under /dev/pts.
    QStringList folders = {QStringLiteral("/dev/pts")};
    if (QFileInfo(state.lost.mapping).isSymLink())
        folders << QFileInfo(state.lost.mapping).absolutePath();
    m_portWatch->start(folders);
    // The device is still there: tried again after the pause, unless it goes away meanwhile.
    if (state.backingOff) {
        state.returned = state.lost.mapping;
        m_retryTimer->start(backOff);
    }
    showWaiting(reason);
}

void Form1::stopWaiting()
{
    m_reconnect->waiting = false;
    m_reconnect->resumeAutoSend = false;
    if (m_reconnect->attempting) {
        m_reconnect->attempting = false;
        (void)MSComm1->setPortOpen(false);
    }
    m_portWatch->stop();
    m_retryTimer->stop();
    m_reconnect->reason.clear();
    endLoan();
    updateTitle();
}

void Form1::showWaiting(const QString &reason)
{
    m_reconnect->reason = reason;
    updateTitle();
}

QString Form1::reconnectTitle() const
{
    const ReconnectState &state = *m_reconnect;
    if (!state.waiting)
        return {};
    QString part =
        QStringLiteral("等待 COM%1 (%2) 重新连接").arg(state.commPort).arg(state.lost.mapping);
    if (!state.reason.isEmpty())
        part += QStringLiteral("：") + state.reason;
    return part;
}

void Form1::PortWatch_Look(bool foldersChanged)
{
    ReconnectState &state = *m_reconnect;
    // A lent device is watched for its borrower's last close instead.
    if (!state.waiting || (m_lending->lent && !m_lending->returning))
        return;
    // A device that went away while the wait backed off is reopened as soon as it is back.
    if (state.backingOff && m_retryTimer->isActive() && !QFileInfo::exists(state.lost.resolved)) {
        m_retryTimer->stop();
        state.backingOff = false;
        state.returned.clear();
    }
    if (m_retryTimer->isActive())
        return;
    if (foldersChanged)
        state.folderChanged.start();
    const bool settling =
        state.folderChanged.isValid() && state.folderChanged.elapsed() < ListSettleMs;
    if (settling && state.lost.record.hasIds)
        state.present = m_platform->presentPorts();
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
        // Asked without opening the device again: every open pulses DTR.
        const portproblem::Problem problem = portproblem::diagnoseUnopened(device);
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
    const bool resume = m_reconnect->resumeAutoSend;
    stopWaiting();
    showPortOpen();
    applyControlLines(false);
    rememberDevice();
    lendingAfterOpen();
    m_reconnect->reopenedAt.start();
    if (resume && !periodicSendOn())
        AutoSend_Click();
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
