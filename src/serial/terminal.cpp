#include "app/form1.h"

#include "app/platform.h"
#include "app/settings_keys.h"
#include "app/window_font.h"
#include "app/window_keys.h"
#include "port/mscomm.h"
#include "port/net_link.h"
#include "settings/settings_file.h"
#include "terminal/key_encoding.h"
#include "terminal/terminal_window.h"
#include "ui_form1.h"

#include <QFileInfo>
#include <QMenu>
#include <QShortcut>
#include <QTimer>

namespace {

// How long "发送 Break" holds the line, as the boards' consoles that watch for one expect.
constexpr int BreakMs = 250;

} // namespace

// "终端…" in the receive box's menu and Ctrl+Shift+T anywhere in the window: a terminal screen on
// the open port, for REPLs and shells that want every key as it is typed. The receive box, the
// counters, the log and the plot go on getting the same bytes.
void Form1::connectTerminal()
{
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        menu->addAction(QStringLiteral("终端…"), this, &Form1::Terminal_Click);
    });
    auto *shortcut = new QShortcut(QKeySequence(windowkeys::terminal.key), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, &Form1::Terminal_Click);
}

void Form1::Terminal_Click()
{
    if (!m_terminal) {
        m_terminal = new TerminalWindow(this);
        m_terminal->setAttribute(Qt::WA_DeleteOnClose);
        // The font sets the window's first size, which the kept place then overrides.
        m_terminal->setTerminalFont(windowFont(font()));
        const QByteArray geometry =
            QByteArray::fromBase64(settingkeys::terminalGeometry.read(*m_settings).toLatin1());
        if (!geometry.isEmpty())
            m_terminal->restoreGeometry(geometry);
        term::Options options;
        options.backspace =
            term::backspaceFromSetting(settingkeys::terminalBackspace.read(*m_settings));
        options.enter = term::enterFromSetting(settingkeys::terminalEnter.read(*m_settings));
        options.localEcho = settingkeys::terminalEcho.read(*m_settings) == QStringLiteral("1");
        options.scrollbackLines = settingkeys::terminalScrollback.read(*m_settings).toInt();
        options.pasteLineIntervalMs = settingkeys::terminalPasteInterval.read(*m_settings).toInt();
        m_terminal->setOptions(options.bounded());
        connect(m_terminal, &TerminalWindow::sendRequested, this, &Form1::Terminal_Send);
        connect(m_terminal, &TerminalWindow::breakRequested, this, &Form1::Terminal_Break);
        connect(m_terminal, &TerminalWindow::optionsChanged, this, &Form1::storeTerminalOptions);
        connect(m_terminal, &TerminalWindow::closed, this, &Form1::TerminalWindow_Closed);
        m_terminal->setTransferring(m_transfer != nullptr);
        updateTerminal();
    }
    m_terminal->show();
    m_terminal->raise();
    m_terminal->activateWindow();
}

// The port's name, state and encoding, and whether it can send a Break, as they are now.
void Form1::updateTerminal()
{
    if (!m_terminal)
        return;
    m_terminal->setPortName(QStringLiteral("COM%1").arg(MSComm1->CommPort()));
    m_terminal->setEncoding(MSComm1->textEncoding() == MSComm::TextEncoding::Gb18030
                                ? term::Encoding::Gb18030
                                : term::Encoding::Utf8);
    m_terminal->setPortOpen(MSComm1->PortOpen());
    // Decided by the kind of port, not by a call's result: a pseudo-terminal accepts a break
    // and carries nothing.
    const QString device = MSComm1->devicePath();
    QString refusal;
    if (!MSComm1->PortOpen())
        refusal = QStringLiteral("串口未打开");
    else if (netport::isNetwork(device) &&
             !device.startsWith(QStringLiteral("rfc2217"), Qt::CaseInsensitive))
        refusal = QStringLiteral("socket:// 端口只传数据，不能发送 Break");
    else if (QFileInfo(device).canonicalFilePath().startsWith(QStringLiteral("/dev/pts/")))
        refusal = QStringLiteral("伪终端不能发送 Break");
    m_terminal->setBreakAvailable(refusal.isEmpty(), refusal);
}

// What the board sent, as it came off the line.
void Form1::terminalReceived(const QByteArray &bytes)
{
    if (m_terminal)
        m_terminal->receive(bytes);
}

// Typed and pasted bytes go out as they are, one counted per byte.
void Form1::Terminal_Send(const QByteArray &bytes)
{
    if (sendToLine([&bytes]() -> std::optional<QVariant> { return bytes; }))
        ui->SendNum->add(double(bytes.size()));
}

void Form1::Terminal_Break()
{
    if (!MSComm1->PortOpen())
        return;
    if (MSComm1->isNetwork()) {
        if (MSComm1->sendBreak(true))
            QTimer::singleShot(BreakMs, this, [this] { (void)MSComm1->sendBreak(false); });
        return;
    }
    const int fd = MSComm1->handle();
    if (fd < 0 || m_platform->setBreak(fd, true) != 0)
        return;
    // The same descriptor still: a port closed and opened meanwhile has ended the break.
    QTimer::singleShot(BreakMs, this, [this, fd] {
        if (MSComm1->handle() == fd)
            (void)m_platform->setBreak(fd, false);
    });
}

void Form1::storeTerminalOptions()
{
    const term::Options &options = m_terminal->options();
    settingkeys::terminalBackspace.write(*m_settings, term::settingText(options.backspace));
    settingkeys::terminalEnter.write(*m_settings, term::settingText(options.enter));
    settingkeys::terminalEcho.write(*m_settings,
                                    options.localEcho ? QStringLiteral("1") : QStringLiteral("0"));
    settingkeys::terminalScrollback.write(*m_settings, QString::number(options.scrollbackLines));
    settingkeys::terminalPasteInterval.write(*m_settings,
                                             QString::number(options.pasteLineIntervalMs));
}

void Form1::TerminalWindow_Closed()
{
    settingkeys::terminalGeometry.write(*m_settings,
                                        QString::fromLatin1(m_terminal->saveGeometry().toBase64()));
}
