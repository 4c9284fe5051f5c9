#include "terminal/terminal_window.h"

#include "terminal/terminal_view.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QVBoxLayout>

namespace {

const QString closedText = QStringLiteral("串口未打开：键入的内容不会发送，打开后显示收到的数据。");
const QString transferText = QStringLiteral("文件传输中…");

} // namespace

TerminalWindow::TerminalWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_view(new TerminalView(&m_session, this)),
      m_state(new QLabel(this)), m_break(new QAction(QStringLiteral("发送 Break"), this))
{
    setObjectName(QStringLiteral("TerminalWindow"));
    m_view->setObjectName(QStringLiteral("TerminalView"));
    m_view->setAccessibleName(QStringLiteral("终端"));
    m_state->setObjectName(QStringLiteral("TerminalState"));
    m_state->setContentsMargins(6, 3, 6, 3);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_state);
    layout->addWidget(m_view, 1);
    setFocusProxy(m_view);
    setPortName(QString());
    setTerminalFont(font());
    updateState();

    connect(&m_session, &term::Session::send, this, &TerminalWindow::sendRequested);
    connect(m_view, &TerminalView::contextMenuAboutToShow, this, &TerminalWindow::addMenuEntries);
    connect(m_break, &QAction::triggered, this, &TerminalWindow::breakRequested);
}

void TerminalWindow::setPortName(const QString &name)
{
    setWindowTitle(name.isEmpty() ? QStringLiteral("终端") : QStringLiteral("终端 — ") + name);
}

// The window opens at 80 x 24 cells of the font, and may be resized freely after.
void TerminalWindow::setTerminalFont(const QFont &font)
{
    m_view->setTerminalFont(font);
    const QSize cells =
        m_view->viewportSizeFor(term::Session::DefaultRows, term::Session::DefaultColumns);
    const QSize frame = m_view->size() - m_view->viewport()->size();
    resize(cells.width() + frame.width(),
           cells.height() + frame.height() + m_state->sizeHint().height());
}

void TerminalWindow::setEncoding(term::Encoding encoding)
{
    m_session.setEncoding(encoding);
}

void TerminalWindow::setOptions(const term::Options &options)
{
    m_session.setOptions(options);
}

void TerminalWindow::changeOptions(const term::Options &options)
{
    m_session.setOptions(options);
    emit optionsChanged();
}

void TerminalWindow::setPortOpen(bool open)
{
    m_open = open;
    updateState();
}

void TerminalWindow::setTransferring(bool transferring)
{
    m_transferring = transferring;
    updateState();
}

void TerminalWindow::updateState()
{
    m_session.setSending(m_open && !m_transferring);
    m_state->setText(m_transferring ? transferText : closedText);
    m_state->setVisible(m_transferring || !m_open);
}

void TerminalWindow::setBreakAvailable(bool available, const QString &toolTip)
{
    m_break->setEnabled(available);
    m_break->setToolTip(toolTip);
}

void TerminalWindow::receive(QByteArrayView bytes)
{
    if (!m_transferring)
        m_session.receive(bytes);
}

void TerminalWindow::addMenuEntries(QMenu *menu)
{
    menu->addSeparator();
    menu->addAction(m_break);
    menu->addSeparator();
    const term::Options current = m_session.options();

    QMenu *backspace = menu->addMenu(QStringLiteral("退格键发送"));
    auto *backspaceGroup = new QActionGroup(backspace);
    for (const auto &[value, caption] :
         {std::pair{term::Backspace::Del, QStringLiteral("DEL (7F)")},
          std::pair{term::Backspace::Bs, QStringLiteral("BS (08)")}}) {
        QAction *action = backspace->addAction(caption);
        action->setCheckable(true);
        action->setChecked(current.backspace == value);
        backspaceGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, value = value] {
            term::Options options = m_session.options();
            options.backspace = value;
            changeOptions(options);
        });
    }

    QMenu *enter = menu->addMenu(QStringLiteral("回车键发送"));
    auto *enterGroup = new QActionGroup(enter);
    for (const term::Enter value : {term::Enter::Cr, term::Enter::Lf, term::Enter::CrLf}) {
        QAction *action = enter->addAction(term::settingText(value));
        action->setCheckable(true);
        action->setChecked(current.enter == value);
        enterGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, value] {
            term::Options options = m_session.options();
            options.enter = value;
            changeOptions(options);
        });
    }

    QAction *echo = menu->addAction(QStringLiteral("本地回显"));
    echo->setCheckable(true);
    echo->setChecked(current.localEcho);
    connect(echo, &QAction::toggled, this, [this](bool on) {
        term::Options options = m_session.options();
        options.localEcho = on;
        changeOptions(options);
    });

    QMenu *interval = menu->addMenu(QStringLiteral("粘贴行间隔"));
    auto *intervalGroup = new QActionGroup(interval);
    for (const int ms : PasteIntervalChoicesMs) {
        QAction *action = interval->addAction(ms == 0 ? QStringLiteral("不停顿")
                                                      : QStringLiteral("%1 毫秒").arg(ms));
        action->setCheckable(true);
        action->setChecked(current.pasteLineIntervalMs == ms);
        intervalGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, ms] {
            term::Options options = m_session.options();
            options.pasteLineIntervalMs = ms;
            changeOptions(options);
        });
    }
}

void TerminalWindow::closeEvent(QCloseEvent *event)
{
    emit closed();
    QWidget::closeEvent(event);
}
