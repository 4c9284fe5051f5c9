#include "app/form1.h"

#include "app/captions.h"
#include "app/settings_keys.h"
#include "app/window_keys.h"
#include "port/mscomm.h"
#include "settings/settings_file.h"
#include "terminal/terminal_window.h"
#include "transfer/transfer_session.h"
#include "transfer/transfer_window.h"
#include "transfer/zmodem.h"
#include "ui_form1.h"

#include <QMenu>
#include <QShortcut>
#include <QTimer>

namespace {

QString rectText(const QRect &rect)
{
    if (!rect.isValid())
        return {};
    return QStringLiteral("%1,%2,%3,%4")
        .arg(rect.x())
        .arg(rect.y())
        .arg(rect.width())
        .arg(rect.height());
}

QRect rectFromText(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return {};
    std::array<int, 4> values{};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[size_t(i)] = parts.at(i).trimmed().toInt(&ok);
        if (!ok)
            return {};
    }
    return {values[0], values[1], values[2], values[3]};
}

int numberSetting(const settingkeys::Setting &setting, const SettingsFile &file)
{
    bool ok = false;
    const int value = setting.read(file).trimmed().toInt(&ok);
    return ok && value >= 0 ? value : setting.fallback.toInt();
}

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

// "发送文件…" in the send and receive boxes' menus and Ctrl+Shift+Y anywhere in the window: files
// to and from the board over the open port. While a transfer runs, what the board sends belongs
// to it (paced text excepted) and every other sender is refused.
void Form1::connectFileTransfer()
{
    const auto offer = [this](QMenu *menu) {
        menu->addAction(QStringLiteral("发送文件…"), this, &Form1::FileTransfer_Click);
    };
    connect(ui->SendText, &MemoBox::contextMenuAboutToShow, this, offer);
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, offer);
    auto *shortcut = new QShortcut(QKeySequence(windowkeys::fileTransfer.key), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, &Form1::FileTransfer_Click);
    m_zmodemStart = std::make_unique<transfer::ZmodemStart>();
}

void Form1::FileTransfer_Click()
{
    if (!m_transferWindow) {
        m_transferWindow = new transfer::TransferWindow(this);
        m_transferWindow->setWindowFlag(Qt::Window);
        m_transferWindow->setAttribute(Qt::WA_DeleteOnClose);
        m_transferWindow->setSettings(transferSettings());
        connect(m_transferWindow, &transfer::TransferWindow::startRequested, this,
                &Form1::FileTransfer_Start);
        connect(m_transferWindow, &transfer::TransferWindow::settingsChanged, this,
                &Form1::storeTransferSettings);
        if (m_transfer)
            transfer::connectSessionToWindow(m_transfer, m_transferWindow);
        updateFileTransfer();
    }
    m_transferWindow->show();
    m_transferWindow->raise();
    m_transferWindow->activateWindow();
}

transfer::WindowSettings Form1::transferSettings() const
{
    const SettingsFile &file = *m_settings;
    transfer::WindowSettings s;
    s.protocol = transfer::protocolFromName(settingkeys::transferProtocol.read(file), s.protocol);
    s.startCommand = settingkeys::transferStartCommand.read(file);
    s.only1K = settingkeys::transferOnly1K.read(file).trimmed() != QStringLiteral("0");
    s.stripPadding = settingkeys::transferStripPadding.read(file).trimmed() != QStringLiteral("0");
    s.charDelayMs = numberSetting(settingkeys::transferCharDelay, file);
    s.lineDelayMs = numberSetting(settingkeys::transferLineDelay, file);
    s.lineEnding =
        transfer::lineEndingFromName(settingkeys::transferLineEnding.read(file), s.lineEnding);
    s.prompt = settingkeys::transferPrompt.read(file);
    s.folder = settingkeys::transferFolder.read(file);
    s.geometry = rectFromText(settingkeys::transferGeometry.read(file));
    return s;
}

void Form1::storeTransferSettings(const transfer::WindowSettings &s)
{
    const SettingsFile &file = *m_settings;
    settingkeys::transferProtocol.write(file, transfer::protocolName(s.protocol));
    settingkeys::transferStartCommand.write(file, s.startCommand);
    settingkeys::transferOnly1K.write(file, flag(s.only1K));
    settingkeys::transferStripPadding.write(file, flag(s.stripPadding));
    settingkeys::transferCharDelay.write(file, QString::number(s.charDelayMs));
    settingkeys::transferLineDelay.write(file, QString::number(s.lineDelayMs));
    settingkeys::transferLineEnding.write(file, transfer::lineEndingName(s.lineEnding));
    settingkeys::transferPrompt.write(file, s.prompt);
    settingkeys::transferFolder.write(file, s.folder);
    if (s.geometry.isValid())
        settingkeys::transferGeometry.write(file, rectText(s.geometry));
}

// The port's name as it is now; a transfer whose port closed, by the user or by itself, ends.
void Form1::updateFileTransfer()
{
    if (m_transferWindow)
        m_transferWindow->setPortName(QStringLiteral("COM%1").arg(MSComm1->CommPort()));
    if (m_transfer && m_transfer->running() && !MSComm1->PortOpen())
        m_transfer->portLost();
}

void Form1::FileTransfer_Start(const transfer::Request &request)
{
    if (m_transfer) {
        m_transferWindow->transferFinished(false, captions::transferRefusal);
        return;
    }
    if (!MSComm1->PortOpen()) {
        m_transferWindow->transferFinished(false, QStringLiteral("串口未打开"));
        return;
    }
    // Written straight to the port: the one send function refuses everyone while this runs.
    m_transfer = new transfer::TransferSession(
        [this](const QByteArray &bytes) {
            if (!MSComm1->PortOpen())
                return false;
            if (MSComm1->Output(bytes) != MSComm::NoError) {
                // The component has closed itself; the window shows it once the session is out
                // of its write.
                QTimer::singleShot(0, this, &Form1::showPortClosed);
                return false;
            }
            ui->SendNum->add(double(bytes.size()));
            return true;
        },
        this);
    m_transfer->setBacklog([this] { return MSComm1->OutBufferCount(); });
    m_transfer->setLineRate(MSComm1->Settings().section(QLatin1Char(','), 0, 0).toInt());
    transfer::connectSessionToWindow(m_transfer, m_transferWindow);
    connect(m_transfer, &transfer::TransferSession::finished, this, &Form1::FileTransfer_Finished);
    m_sendRefusal = captions::transferRefusal;
    if (!m_transfer->start(request))
        return;
    // The protocol's bytes as they come, none decoded or held back for a character, each at
    // once.
    applyInputMode();
    if (m_terminal)
        m_terminal->setTransferring(true);
    updateTitle();
    updateRevTextToolTip();
}

void Form1::FileTransfer_Finished()
{
    m_transfer->deleteLater();
    m_transfer = nullptr;
    m_sendRefusal.clear();
    applyInputMode();
    // The protocol's bytes left no pen or half sequence behind for what the board prints next.
    ui->RevText->resetControlSequences();
    m_zmodemStart->reset();
    if (m_terminal)
        m_terminal->setTransferring(false);
    updateTitle();
    updateRevTextToolTip();
}

// Every byte taken off the line. True when it belongs to the transfer, and to nobody else but
// the log.
bool Form1::fileTransferReceived(const QByteArray &bytes)
{
    if (m_transfer && m_transfer->running()) {
        const bool owned = m_transfer->ownsReceivedBytes();
        if (owned) {
            ui->RevNum->add(double(bytes.size()));
            m_transferTook = true;
        }
        m_transfer->receive(bytes);
        return owned;
    }
    if (m_zmodemStart->feed(bytes) == transfer::ZmodemStart::Seen::BoardSends) {
        // Asked once the read is over: the window's questions must not run inside it.
        QTimer::singleShot(0, this, [this] {
            if (m_transfer || !MSComm1->PortOpen())
                return;
            FileTransfer_Click();
            m_transferWindow->offerIncomingZmodem();
        });
    }
    return false;
}
