#include "app/form1.h"

#include "app/captions.h"
#include "app/frame_pacer.h"
#include "app/platform.h"
#include "app/settings_keys.h"
#include "app/window_font.h"
#include "filter/filter_window.h"
#include "plot/plot_window.h"
#include "port/capture_log.h"
#include "port/mscomm.h"
#include "port/open_watch.h"
#include "port/port_map.h"
#include "port/port_watch.h"
#include "quicksend/quick_send_window.h"
#include "quicksend/sequence.h"
#include "send/quick_send_state.h"
#include "send/send_history.h"
#include "serial/lending_state.h"
#include "serial/reconnect_state.h"
#include "settings/settings_file.h"
#include "terminal/terminal_window.h"
#include "textview/highlight_editor.h"
#include "transfer/transfer_window.h"
#include "transfer/zmodem.h"
#include "ui_form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QTimer>

Form1::Form1() : Form1(nullptr) {}

Form1::Form1(std::unique_ptr<Platform> platform, QWidget *parent)
    : QWidget(parent), ui(new Ui::Form1),
      m_platform(platform ? std::move(platform) : std::make_unique<Platform>()),
      m_settings(std::make_unique<SettingsFile>(m_platform->settingsPath())),
      m_capture(std::make_unique<CaptureLog>()), MSComm1(new MSComm(this)),
      Timer1(new QTimer(this)), AutoSendTimer(new QTimer(this)),
      m_history(std::make_unique<SendHistory>()), m_reconnect(std::make_unique<ReconnectState>()),
      m_portWatch(new PortWatch(this)), m_retryTimer(new QTimer(this)),
      m_quick(std::make_unique<QuickSendState>()), m_lending(std::make_unique<LendingState>()),
      m_openWatch(new OpenWatch(this)), m_yieldTimer(new QTimer(this))
{
    setFont(windowFont(font()));
    ui->setupUi(this);
    m_title = windowTitle();
    auto *pacer = new FramePacer(this);
    pacer->prepareFramesOf(ui->RevText);
    pacer->prepareFramesOf(ui->RevNum);

    // Named like the controls, so that each can be found by its name.
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    AutoSendTimer->setObjectName(QStringLiteral("AutoSendTimer"));
    MSComm1->setPortResolver([this](int commPort) { return portDevice(commPort); });
    MSComm1->setSocketFactory([this] { return m_platform->tcpSocket(); });
    Timer1->setInterval(100);
    AutoSendTimer->setTimerType(Qt::PreciseTimer);

    connectTabs();
    connectHelpLinks();
    connectPortSettings();
    connectPortList();
    connectPortScan();
    connectOpenClose();
    connectCaptureMenu();
    connectEncodingMenu();
    connectReceiveBox();
    connectSendControls();
    connectAutoSend();
    connectLineEndingMenu();
    connectSendHistory();
    connectReconnect();
    connectControlLines();
    connectPlot();
    connectQuickSend();
    connectQuickSendSequence();
    connectAutoReply();
    connectLogView();
    connectTerminal();
    connectLending();
    connectFileTransfer();
    connectCarControls();
    connectBluetoothControls();
    connectTimeSync();

    // Key preview: the window sees every key press before the control that has the focus.
    qApp->installEventFilter(this);
    Timer1->start();
    Form_Load();
}

Form1::~Form1()
{
    qApp->removeEventFilter(this);
    // The children go after the settings file and the rest of this window; nothing they say on
    // their way out (a window's last settings, a transfer's end) may reach it.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
    delete ui;
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (m_keyPreview && event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto *target = static_cast<QWidget *>(watched);
        // A key that the focused control ignores travels on to its parents; act on it once,
        // where it first arrives.
        QWidget *first = QApplication::focusWidget() ? QApplication::focusWidget() : this;
        if (target == first && (target == this || isAncestorOf(target)))
            Form_KeyDown(static_cast<QKeyEvent *>(event)->key());
    }
    return QWidget::eventFilter(watched, event);
}

// A network open under way stops; its failure is not shown once the window is gone.
void Form1::closeEvent(QCloseEvent *event)
{
    m_closed = true;
    if (MSComm1->opening())
        (void)MSComm1->setPortOpen(false);
    // Windows of their own keep their places, and a transfer tells the board it is over, only
    // when they are closed; the program's end would just destroy them.
    const QList<QWidget *> windows{m_plot,           m_quickWindow, m_terminal,
                                   m_transferWindow, m_filter,      m_highlightEditor};
    for (QWidget *window : windows) {
        if (window && window->isVisible())
            window->close();
    }
    QWidget::closeEvent(event);
}

void Form1::showEvent(QShowEvent *event)
{
    m_closed = false;
    QWidget::showEvent(event);
}

void Form1::message(const QString &text, const QString &title)
{
    if (!m_closed)
        m_platform->messageBox(this, text, title, QMessageBox::NoIcon);
}

void Form1::warning(const QString &text, const QString &title)
{
    if (!m_closed)
        m_platform->messageBox(this, text, title, QMessageBox::Warning);
}

// The window's own title and, each after " — ", what the window's states add to it. Composed in
// this one place so that no state's part overwrites another's.
void Form1::updateTitle()
{
    QStringList parts;
    // The port: lent to another program, or else awaited after it was lost.
    const QString port = m_lending->lent ? lendingTitle() : reconnectTitle();
    if (!port.isEmpty())
        parts << port;
    if (m_transfer)
        parts << captions::transferRunning;
    QString title = m_title;
    for (const QString &part : std::as_const(parts))
        title += QStringLiteral(" — ") + part;
    setWindowTitle(title);
}

QString Form1::portDevice(int commPort) const
{
    // The settings file may map any number to a device of its own, e.g. /dev/serial/by-id/...
    const QString mapped = settingkeys::portMapEntry(commPort).read(*m_settings);
    return mapped.isEmpty() ? portmap::defaultDevice(commPort) : mapped;
}
