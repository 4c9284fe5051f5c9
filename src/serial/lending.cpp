#include "app/form1.h"

#include "app/captions.h"
#include "app/settings_keys.h"
#include "port/mscomm.h"
#include "port/open_watch.h"
#include "port/port_problem.h"
#include "port/port_requests.h"
#include "serial/lending_state.h"
#include "serial/reconnect_state.h"
#include "ui_form1.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMenu>
#include <QTimer>

namespace {

// Another program that still holds the device this long after it opened it is lent the port;
// one gone by then (a probe, stty -F, another instance's start-up scan) leaves the port as it
// was, so that no close of the program's drops DTR and resets an auto-reset board.
constexpr int BorrowerMs = 100;

bool samePath(const QString &a, const QString &b)
{
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    return a == b || (!canonicalA.isEmpty() && canonicalA == QFileInfo(b).canonicalFilePath());
}

// Whether a request's port ("COM5" or a device's path) names this number or device.
bool namesPort(const QString &requested, int commPort, const QString &device)
{
    if (const int n = portrequest::portNumber(requested))
        return n == commPort;
    return samePath(requested, device);
}

} // namespace

// "让出端口" and "自动让出" in the receive box's menu, after the other entries; requests from
// `zelqo-serial --yield` and `--reclaim`.
void Form1::connectLending()
{
    m_yieldTimer->setSingleShot(true);
    m_yieldTimer->setInterval(BorrowerMs);
    connect(m_yieldTimer, &QTimer::timeout, this, &Form1::YieldTimer_Timer);
    connect(m_openWatch, &OpenWatch::othersChanged, this, &Form1::OpenWatch_Changed);
    connect(m_openWatch, &OpenWatch::gone, this, &Form1::OpenWatch_Gone);
    ui->OpenCom->setToolTip(QStringLiteral(
        "烧录程序要用这个串口时不必关闭它：在接收区右键菜单中选“让出端口”，或勾选“自动让出”。"));
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        QAction *lend = menu->addAction(QStringLiteral("让出端口"), this, &Form1::LendPort_Click);
        lend->setEnabled(lendable());
        QAction *autoYield =
            menu->addAction(QStringLiteral("自动让出"), this, &Form1::AutoYield_Click);
        autoYield->setCheckable(true);
        autoYield->setChecked(m_autoYield);
    });
    PortRequestServer::instance()->addHandler(
        this, [this](const portrequest::Request &request) { return PortRequest(request); });
}

// An open port on this machine; a network port has nothing to lend here.
bool Form1::lendable() const
{
    return MSComm1->PortOpen() && !MSComm1->isNetwork();
}

void Form1::LendPort_Click()
{
    if (lendable())
        lendPort();
}

void Form1::AutoYield_Click()
{
    m_autoYield = !m_autoYield;
    settingkeys::autoYield.write(*m_settings,
                                 m_autoYield ? QStringLiteral("1") : QStringLiteral("0"));
    MSComm1->setShared(m_autoYield);
    if (m_autoYield) {
        if (!m_lending->lent && !m_openWatch->isWatching())
            lendingAfterOpen();
        return;
    }
    if (m_lending->lent)
        return;
    m_openWatch->stop();
    m_yieldTimer->stop();
    MSComm1->resumeReading();
}

// After every open: the return of a lent port is marked, and with "自动让出" other programs'
// opens of the device are watched for.
void Form1::lendingAfterOpen()
{
    if (m_lending->returnUnmarked) {
        m_lending->returnUnmarked = false;
        markLending();
    }
    if (m_autoYield && lendable())
        m_openWatch->start(MSComm1->devicePath());
}

void Form1::OpenWatch_Changed(int others)
{
    if (m_lending->lent) {
        if (others > 0)
            nameBorrower();
        else if (m_openWatch->seenOthers())
            loanOver();
        return;
    }
    // The watch outlived the port it was started for.
    if (!MSComm1->PortOpen() || MSComm1->devicePath() != m_openWatch->device()) {
        m_openWatch->stop();
        m_yieldTimer->stop();
        return;
    }
    // What arrives meanwhile is the other program's.
    if (others > 0) {
        if (MSComm1->pauseReading() && !m_yieldTimer->isActive())
            m_yieldTimer->start();
        return;
    }
    m_yieldTimer->stop();
    MSComm1->resumeReading();
}

void Form1::YieldTimer_Timer()
{
    m_openWatch->readEvents();
    if (!m_lending->lent && m_openWatch->others() > 0 && MSComm1->readingPaused())
        lendPort();
}

// The device's node went away once nobody held it (a board that re-enumerates as it is
// flashed): the reconnect path follows it by its identity.
void Form1::OpenWatch_Gone()
{
    if (!m_lending->lent)
        return;
    m_lending->returning = true;
    m_lending->borrower.clear();
    updateTitle();
}

// Closes the port for another program, leaving the line as that program sets it, and waits for
// the device to be free again.
void Form1::lendPort()
{
    const QString device = MSComm1->devicePath();
    // Counting starts before the close, so that the program's own close is told from others'.
    if (m_openWatch->device() != device)
        (void)m_openWatch->start(device);
    m_openWatch->readEvents();
    // Free again means: whoever holds the device now, or opens it from now on, has closed it.
    m_openWatch->forgetSeen();
    m_openWatch->expectOwnClose();
    m_yieldTimer->stop();
    const bool resumeSend = periodicSendOn();
    const int commPort = MSComm1->CommPort();
    if (MSComm1->lend() != MSComm::NoError)
        return;
    showPortClosed();
    LendingState &loan = *m_lending;
    loan.lent = true;
    loan.commPort = commPort;
    loan.device = device;
    loan.borrower.clear();
    loan.returning = false;
    loan.returnUnmarked = true;
    markLending();
    // The reconnect path's wait, which opens nothing before the device is free again.
    startWaiting();
    m_reconnect->resumeAutoSend = resumeSend;
    m_openWatch->readEvents();
    if (!m_lending->lent)
        return;
    if (m_openWatch->others() > 0)
        nameBorrower();
    updateRevTextToolTip();
    updateTitle();
}

// Nobody else holds the device any more: it is opened again, whether or not "断开后自动重连"
// is ticked and without the reconnect's back-off.
void Form1::loanOver()
{
    LendingState &loan = *m_lending;
    if (!loan.lent || loan.returning)
        return;
    loan.returning = true;
    loan.borrower.clear();
    m_openWatch->stop();
    updateTitle();
    if (QFileInfo::exists(loan.device))
        reopen(loan.device);
}

// `zelqo-serial --reclaim`: now, whoever still holds the device; a busy device is tried again
// as on any reconnect.
void Form1::reclaimPort()
{
    LendingState &loan = *m_lending;
    if (!loan.lent)
        return;
    loan.returning = true;
    loan.borrower.clear();
    m_openWatch->stop();
    m_retryTimer->stop();
    updateTitle();
    if (QFileInfo::exists(loan.device))
        reopen(loan.device);
}

// The wait for the lent port ended: it is open again, or the user opened or picked a port.
void Form1::endLoan()
{
    if (!m_lending->lent)
        return;
    m_lending->lent = false;
    m_lending->returning = false;
    m_lending->borrower.clear();
    m_openWatch->stop();
    updateRevTextToolTip();
}

void Form1::nameBorrower()
{
    const portproblem::Problem holder =
        portproblem::findHolder(m_lending->device, portproblem::lockFolders());
    m_lending->borrower = holder.holder.isEmpty()
                              ? QString()
                              : QStringLiteral("%1（进程 %2）").arg(holder.holder).arg(holder.pid);
    updateTitle();
    updateRevTextToolTip();
}

// Where the text ends now, for the time gutter's mark: never in the text itself, so the log
// and the box stay byte for byte what the board sent.
void Form1::markLending()
{
    ui->RevText->addGutterMark();
}

QString Form1::lendingTitle() const
{
    const LendingState &loan = *m_lending;
    if (!loan.lent)
        return {};
    QString part = QStringLiteral("已让出 COM%1").arg(loan.commPort);
    if (!loan.borrower.isEmpty())
        part += QStringLiteral("：已让给 ") + loan.borrower;
    else if (!m_reconnect->reason.isEmpty())
        part += QStringLiteral("：") + m_reconnect->reason;
    return part;
}

QString Form1::lendingToolTip() const
{
    const LendingState &loan = *m_lending;
    if (!loan.lent)
        return {};
    return QStringLiteral("COM%1 已让出：%2关闭它后自动收回；按“%3”可提前收回")
        .arg(loan.commPort)
        .arg(loan.borrower.isEmpty() ? QStringLiteral("另一个程序") : loan.borrower)
        .arg(captions::openPort);
}

portrequest::Answer Form1::PortRequest(const portrequest::Request &request)
{
    using portrequest::Outcome;
    const LendingState &loan = *m_lending;
    const bool lentHere = loan.lent && namesPort(request.port, loan.commPort, loan.device);
    const QString self =
        QStringLiteral("zelqo-serial（进程 %1）").arg(QCoreApplication::applicationPid());
    if (request.verb == portrequest::Verb::Yield) {
        if (lentHere)
            return {Outcome::Done,
                    QStringLiteral("COM%1 (%2) 已经让出。").arg(loan.commPort).arg(loan.device)};
        if (!lendable() || !namesPort(request.port, MSComm1->CommPort(), MSComm1->devicePath()))
            return {Outcome::NotHeld, {}};
        lendPort();
        if (!loan.lent)
            return {Outcome::Failed, QStringLiteral("%1没能关闭 %2。").arg(self, request.port)};
        return {Outcome::Done, QStringLiteral("已让出 COM%1 (%2)：%3已关闭它，设备空闲后自动收回。")
                                   .arg(loan.commPort)
                                   .arg(loan.device, self)};
    }
    if (!lentHere)
        return {Outcome::NotHeld, {}};
    const int commPort = loan.commPort;
    const QString device = loan.device;
    reclaimPort();
    if (MSComm1->PortOpen())
        return {Outcome::Done, QStringLiteral("已收回 COM%1 (%2)。").arg(commPort).arg(device)};
    return {Outcome::Done,
            QStringLiteral("正在收回 COM%1 (%2)：%3")
                .arg(commPort)
                .arg(device, portproblem::explain(device, portproblem::diagnoseUnopened(device)))};
}
