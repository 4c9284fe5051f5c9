// The window's controls: their names, layout and ranges, and what each of them starts.
#include "transfer/transfer_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace transfer {

namespace {

constexpr int MaxDelayMs = 60000;
constexpr int LogLines = 5000;

} // namespace

void TransferWindow::build()
{
    const auto named = [](QWidget *w, const char *name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };
    m_send = new QRadioButton(QStringLiteral("发送"), this);
    m_receive = new QRadioButton(QStringLiteral("接收"), this);
    m_protocol = new QComboBox(this);
    m_files = new QLineEdit(this);
    m_chooseFilesButton = new QPushButton(QStringLiteral("选择…"), this);
    m_folder = new QLineEdit(this);
    m_chooseFolderButton = new QPushButton(QStringLiteral("选择…"), this);
    m_xmodemName = new QLineEdit(QStringLiteral("xmodem.bin"), this);
    m_startCommand = new QLineEdit(this);
    m_only1K = new QCheckBox(QStringLiteral("只用 1K 块"), this);
    m_stripPadding = new QCheckBox(QStringLiteral("去掉尾部 1A"), this);
    m_charDelay = new QSpinBox(this);
    m_lineDelay = new QSpinBox(this);
    m_lineEnding = new QComboBox(this);
    m_prompt = new QLineEdit(this);
    m_note = new QLabel(this);
    m_start = new QPushButton(QStringLiteral("开始"), this);
    m_cancel = new QPushButton(QStringLiteral("取消"), this);
    m_bar = new QProgressBar(this);
    m_stats = new QLabel(this);
    m_log = new QPlainTextEdit(this);
    named(m_send, "TransferSend");
    named(m_receive, "TransferReceive");
    named(m_protocol, "TransferProtocol");
    named(m_files, "TransferFiles");
    named(m_chooseFilesButton, "TransferChooseFiles");
    named(m_folder, "TransferFolder");
    named(m_chooseFolderButton, "TransferChooseFolder");
    named(m_xmodemName, "TransferXmodemName");
    named(m_startCommand, "TransferStartCommand");
    named(m_only1K, "TransferOnly1K");
    named(m_stripPadding, "TransferStripPadding");
    named(m_charDelay, "TransferCharDelay");
    named(m_lineDelay, "TransferLineDelay");
    named(m_lineEnding, "TransferLineEnding");
    named(m_prompt, "TransferPrompt");
    named(m_note, "TransferNote");
    named(m_start, "TransferStart");
    named(m_cancel, "TransferCancel");
    named(m_bar, "TransferProgress");
    named(m_stats, "TransferStats");
    named(m_log, "TransferLog");

    auto *direction = new QButtonGroup(this);
    direction->addButton(m_send);
    direction->addButton(m_receive);
    m_send->setChecked(true);
    for (const Protocol p : Protocols)
        m_protocol->addItem(protocolName(p), int(p));
    for (const LineEnding e : LineEndings)
        m_lineEnding->addItem(lineEndingName(e), int(e));
    for (QSpinBox *delay : {m_charDelay, m_lineDelay}) {
        delay->setRange(0, MaxDelayMs);
        delay->setSuffix(QStringLiteral(" ms"));
    }
    m_files->setPlaceholderText(QStringLiteral("输入、粘贴或拖入文件路径，回车开始"));
    m_startCommand->setPlaceholderText(QStringLiteral("开始前发送，如 loady\\r 或 1"));
    m_startCommand->setToolTip(QStringLiteral("可用 \\r、\\n、\\t 和 \\xHH"));
    m_prompt->setPlaceholderText(QStringLiteral("不等待；如 > 或 OK"));
    m_prompt->setToolTip(QStringLiteral("板子打印出它之后才发下一行；可用 \\r、\\n 和 \\xHH"));
    m_note->setWordWrap(true);
    m_note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(LogLines);
    m_bar->setRange(0, 1000);

    m_incoming = named(new QWidget(this), "TransferIncoming");
    auto *accept =
        named(new QPushButton(QStringLiteral("接收"), m_incoming), "TransferAcceptIncoming");
    auto *incomingRow = new QHBoxLayout(m_incoming);
    incomingRow->setContentsMargins(0, 0, 0, 0);
    incomingRow->addWidget(new QLabel(QStringLiteral("板子开始用 ZMODEM 发送文件。"), m_incoming),
                           1);
    incomingRow->addWidget(accept);
    m_incoming->hide();
    connect(static_cast<QPushButton *>(accept), &QPushButton::clicked, this, [this] {
        m_incoming->hide();
        start();
    });

    const auto pair = [this](QWidget *a, QWidget *b) {
        auto *row = new QHBoxLayout;
        row->addWidget(a, 1);
        row->addWidget(b);
        return row;
    };
    auto *directionRow = new QHBoxLayout;
    directionRow->addWidget(m_send);
    directionRow->addWidget(m_receive);
    directionRow->addStretch();
    m_form = new QFormLayout;
    m_form->addRow(QStringLiteral("方向"), directionRow);
    m_form->addRow(QStringLiteral("协议"), m_protocol);
    m_filesRow = pair(m_files, m_chooseFilesButton);
    m_folderRow = pair(m_folder, m_chooseFolderButton);
    m_form->addRow(QStringLiteral("文件"), m_filesRow);
    m_form->addRow(QStringLiteral("文件夹"), m_folderRow);
    m_form->addRow(QStringLiteral("文件名"), m_xmodemName);
    m_form->addRow(QStringLiteral("启动命令"), m_startCommand);
    m_form->addRow(QString(), m_only1K);
    m_form->addRow(QString(), m_stripPadding);
    m_form->addRow(QStringLiteral("字符间隔"), m_charDelay);
    m_form->addRow(QStringLiteral("行间隔"), m_lineDelay);
    m_form->addRow(QStringLiteral("行尾"), m_lineEnding);
    m_form->addRow(QStringLiteral("等待提示符"), m_prompt);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_bar, 1);
    buttons->addWidget(m_start);
    buttons->addWidget(m_cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_incoming);
    layout->addLayout(m_form);
    layout->addWidget(m_note);
    layout->addLayout(buttons);
    layout->addWidget(m_stats);
    layout->addWidget(m_log, 1);
    resize(560, 520);
}

void TransferWindow::wire()
{
    connect(m_start, &QPushButton::clicked, this, &TransferWindow::start);
    connect(m_cancel, &QPushButton::clicked, this, &TransferWindow::cancelRequested);
    connect(m_files, &QLineEdit::returnPressed, this, &TransferWindow::start);
    connect(m_folder, &QLineEdit::returnPressed, this, &TransferWindow::start);
    connect(m_xmodemName, &QLineEdit::returnPressed, this, &TransferWindow::start);
    connect(m_chooseFilesButton, &QPushButton::clicked, this, &TransferWindow::chooseFiles);
    connect(m_chooseFolderButton, &QPushButton::clicked, this, &TransferWindow::chooseFolder);
    connect(m_send, &QRadioButton::toggled, this, &TransferWindow::updateRows);
    connect(m_protocol, &QComboBox::currentIndexChanged, this, [this] {
        updateRows();
        changed();
    });
    for (QCheckBox *box : {m_only1K, m_stripPadding})
        connect(box, &QCheckBox::toggled, this, &TransferWindow::changed);
    for (QSpinBox *box : {m_charDelay, m_lineDelay})
        connect(box, &QSpinBox::valueChanged, this, &TransferWindow::changed);
    connect(m_lineEnding, &QComboBox::currentIndexChanged, this, &TransferWindow::changed);
    for (QLineEdit *edit : {m_startCommand, m_prompt, m_folder})
        connect(edit, &QLineEdit::editingFinished, this, &TransferWindow::changed);
}

} // namespace transfer
