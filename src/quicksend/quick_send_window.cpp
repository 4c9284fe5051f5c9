#include "quicksend/quick_send_window.h"

#include "quicksend/entry_editor.h"
#include "quicksend/frame.h"
#include "quicksend/reply_table.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace quicksend {

QuickSendWindow::QuickSendWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_frame(new QLineEdit(this)),
      m_frameChecksum(new QComboBox(this)), m_frameFormat(new QComboBox(this)),
      m_framePreview(new QLabel(this)), m_tabs(new QTabWidget(this)), m_pageBar(new QTabBar(this)),
      m_pageName(new QLineEdit(this)), m_table(new QTableWidget(0, ColumnCount, this)),
      m_editor(new EntryEditor(this)), m_repeat(new QComboBox(this)), m_rounds(new QSpinBox(this)),
      m_run(new QPushButton(QStringLiteral("按顺序发送"), this)),
      m_stop(new QPushButton(QStringLiteral("停止"), this)), m_replies(new ReplyTable(this)),
      m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("QuickSendWindow"));
    setPortName(QString());
    m_confirm = [this](const QString &question) {
        return QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
    };
    m_tabs->setObjectName(QStringLiteral("QuickSendTabs"));
    m_tabs->addTab(buildEntries(), QStringLiteral("发送条目"));
    m_tabs->addTab(m_replies, QStringLiteral("自动应答"));
    m_status->setObjectName(QStringLiteral("QuickSendStatus"));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(buildFrameLine());
    layout->addWidget(m_tabs, 1);
    layout->addWidget(m_status);
    resize(900, 640);
    // The frame line first, its checksum list next.
    setFocusProxy(m_frame);
    setTabOrder(m_frame, m_frameChecksum);
    setTabOrder(m_frameChecksum, m_frameFormat);

    connect(m_replies, &ReplyTable::rulesEdited, this, [this](const QList<Rule> &rules) {
        m_rules = rules;
        emit rulesEdited(rules);
    });
    connect(m_replies, &ReplyTable::switched, this, &QuickSendWindow::repliesSwitched);
    m_editor->setHotkeyCheck([this](const QString &key) {
        const int page = currentPage();
        return hotkeyRefusal(key, m_takenKeys, m_pages,
                             EntryPlace{page, qsizetype(m_table->currentRow())});
    });
    connect(m_editor, &EntryEditor::edited, this, &QuickSendWindow::entryEdited);
    connect(m_editor, &EntryEditor::refused, this, &QuickSendWindow::refused);
    setPages({});
}

QWidget *QuickSendWindow::buildFrameLine()
{
    auto *line = new QWidget(this);
    m_frame->setObjectName(QStringLiteral("FrameLine"));
    m_frame->setPlaceholderText(QStringLiteral("帧，如 01 03 00 0A 00 02；回车发送"));
    m_frameChecksum->setObjectName(QStringLiteral("FrameChecksum"));
    for (const AlgorithmInfo &algorithm : catalogue()) {
        if (algorithm.algorithm != Algorithm::CustomCrc)
            m_frameChecksum->addItem(algorithm.name);
    }
    m_frameFormat->setObjectName(QStringLiteral("FrameFormat"));
    m_frameFormat->addItems({formatName(Format::Hex), formatName(Format::Text)});
    auto *send = new QPushButton(QStringLiteral("发送"), line);
    auto *save = new QPushButton(QStringLiteral("保存为条目"), line);
    send->setObjectName(QStringLiteral("FrameSend"));
    save->setObjectName(QStringLiteral("FrameSave"));
    m_framePreview->setObjectName(QStringLiteral("FramePreview"));
    m_framePreview->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *row = new QHBoxLayout;
    row->addWidget(m_frame, 1);
    row->addWidget(new QLabel(QStringLiteral("校验"), line));
    row->addWidget(m_frameChecksum);
    row->addWidget(m_frameFormat);
    row->addWidget(send);
    row->addWidget(save);
    auto *layout = new QVBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(row);
    layout->addWidget(m_framePreview);

    connect(m_frame, &QLineEdit::textChanged, this, &QuickSendWindow::updateFramePreview);
    connect(m_frameChecksum, &QComboBox::currentIndexChanged, this,
            &QuickSendWindow::updateFramePreview);
    connect(m_frameFormat, &QComboBox::currentIndexChanged, this,
            &QuickSendWindow::updateFramePreview);
    connect(m_frame, &QLineEdit::returnPressed, this, &QuickSendWindow::sendFrame);
    connect(send, &QPushButton::clicked, this, &QuickSendWindow::sendFrame);
    connect(save, &QPushButton::clicked, this, &QuickSendWindow::saveFrame);
    return line;
}

QWidget *QuickSendWindow::buildEntries()
{
    auto *page = new QWidget(this);
    m_pageBar->setObjectName(QStringLiteral("PageBar"));
    m_pageBar->setMovable(true);
    m_pageBar->setExpanding(false);
    m_pageName->setObjectName(QStringLiteral("PageName"));
    m_pageName->setPlaceholderText(QStringLiteral("页名"));
    m_pageName->setMaximumWidth(160);
    auto *addPage = new QPushButton(QStringLiteral("新建页"), page);
    auto *removePage = new QPushButton(QStringLiteral("删除页"), page);
    addPage->setObjectName(QStringLiteral("AddPage"));
    removePage->setObjectName(QStringLiteral("RemovePage"));

    m_table->setObjectName(QStringLiteral("EntryTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("顺序"), QStringLiteral("名称"),
                                        QStringLiteral("内容"), QStringLiteral("校验"),
                                        QStringLiteral("热键"), QStringLiteral("延时"),
                                        QStringLiteral("将发送"), QString()});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->setWordWrap(false);
    QHeaderView *header = m_table->horizontalHeader();
    for (const int column : {int(Tick), int(Checksum), int(Hotkey), int(Delay), int(Send)})
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(Content, QHeaderView::Stretch);
    header->setSectionResizeMode(Bytes, QHeaderView::Stretch);
    m_table->setToolTip(QStringLiteral("双击或按行尾的“发送”发送一条；勾选“顺序”后可按顺序发送"));

    auto *newEntry = new QPushButton(QStringLiteral("新建条目"), page);
    auto *removeEntry = new QPushButton(QStringLiteral("删除条目"), page);
    auto *up = new QPushButton(QStringLiteral("上移"), page);
    auto *down = new QPushButton(QStringLiteral("下移"), page);
    auto *import = new QPushButton(QStringLiteral("导入…"), page);
    auto *exportAll = new QPushButton(QStringLiteral("导出…"), page);
    newEntry->setObjectName(QStringLiteral("AddEntry"));
    removeEntry->setObjectName(QStringLiteral("RemoveEntry"));
    up->setObjectName(QStringLiteral("MoveUp"));
    down->setObjectName(QStringLiteral("MoveDown"));
    import->setObjectName(QStringLiteral("ImportCsv"));
    exportAll->setObjectName(QStringLiteral("ExportCsv"));
    m_repeat->setObjectName(QStringLiteral("SequenceRepeat"));
    m_repeat->addItems({QStringLiteral("一次"), QStringLiteral("次数"), QStringLiteral("循环")});
    m_rounds->setObjectName(QStringLiteral("SequenceRounds"));
    m_rounds->setRange(1, 1000000);
    m_rounds->setValue(3);
    m_rounds->setEnabled(false);
    m_run->setObjectName(QStringLiteral("SequenceRun"));
    m_stop->setObjectName(QStringLiteral("SequenceStop"));
    m_stop->setEnabled(false);

    auto *pages = new QHBoxLayout;
    pages->addWidget(m_pageBar, 1);
    pages->addWidget(m_pageName);
    pages->addWidget(addPage);
    pages->addWidget(removePage);
    auto *buttons = new QHBoxLayout;
    for (QPushButton *button : {newEntry, removeEntry, up, down})
        buttons->addWidget(button);
    buttons->addSpacing(16);
    buttons->addWidget(m_repeat);
    buttons->addWidget(m_rounds);
    buttons->addWidget(m_run);
    buttons->addWidget(m_stop);
    buttons->addStretch();
    buttons->addWidget(import);
    buttons->addWidget(exportAll);
    auto *top = new QWidget(page);
    auto *topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addLayout(pages);
    topLayout->addWidget(m_table, 1);
    topLayout->addLayout(buttons);
    auto *split = new QSplitter(Qt::Vertical, page);
    split->addWidget(top);
    split->addWidget(m_editor);
    split->setStretchFactor(0, 1);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(split);

    connect(m_pageBar, &QTabBar::currentChanged, this, &QuickSendWindow::showEntries);
    connect(m_pageBar, &QTabBar::tabMoved, this, &QuickSendWindow::pageMoved);
    connect(m_pageName, &QLineEdit::textEdited, this, &QuickSendWindow::renamePage);
    connect(addPage, &QPushButton::clicked, this, &QuickSendWindow::addPage);
    connect(removePage, &QPushButton::clicked, this, &QuickSendWindow::removePage);
    connect(m_table, &QTableWidget::currentCellChanged, this, &QuickSendWindow::pickEntry);
    connect(m_table, &QTableWidget::cellDoubleClicked, this,
            [this](int row) { emit sendEntryRequested(currentPage(), row); });
    connect(m_table, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        const int page = currentPage();
        if (m_filling || item->column() != Tick || page < 0)
            return;
        m_pages[page].entries[item->row()].ticked = item->checkState() == Qt::Checked;
        edited();
    });
    connect(newEntry, &QPushButton::clicked, this, [this] {
        Entry entry;
        entry.name = QStringLiteral("条目 %1").arg(m_table->rowCount() + 1);
        addEntry(entry);
    });
    connect(removeEntry, &QPushButton::clicked, this, &QuickSendWindow::removeEntry);
    connect(up, &QPushButton::clicked, this, [this] { moveEntry(-1); });
    connect(down, &QPushButton::clicked, this, [this] { moveEntry(1); });
    connect(import, &QPushButton::clicked, this, &QuickSendWindow::importRequested);
    connect(exportAll, &QPushButton::clicked, this, &QuickSendWindow::exportRequested);
    connect(m_repeat, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_rounds->setEnabled(index == 1); });
    connect(m_run, &QPushButton::clicked, this, &QuickSendWindow::startSequence);
    connect(m_stop, &QPushButton::clicked, this, &QuickSendWindow::stopRequested);
    return page;
}

void QuickSendWindow::setPages(const QList<Page> &pages)
{
    m_pages = pages;
    // There is always a page to put entries on.
    if (m_pages.isEmpty())
        m_pages << Page{QStringLiteral("常用"), {}};
    showPages();
    m_replies->setPages(m_pages);
}

int QuickSendWindow::currentPage() const
{
    const int page = m_pageBar->currentIndex();
    return page >= 0 && page < m_pages.size() ? page : -1;
}

void QuickSendWindow::setRules(const QList<Rule> &rules)
{
    m_rules = rules;
    m_replies->setRules(rules);
}

void QuickSendWindow::setRepliesOn(bool on)
{
    m_replies->setSwitchOn(on);
}

void QuickSendWindow::setSendContext(TextEncoding encoding, const QString &defaultEnding)
{
    m_encoding = encoding;
    m_defaultEnding = defaultEnding;
    m_editor->setSendContext(encoding, defaultEnding);
    updateFramePreview();
    for (int row = 0; row < m_table->rowCount(); ++row)
        showRow(row);
}

void QuickSendWindow::setHexDisplay(bool hex)
{
    m_replies->setHexDisplay(hex);
}

void QuickSendWindow::setPortName(const QString &port)
{
    setWindowTitle(port.isEmpty() ? QStringLiteral("快捷发送")
                                  : QStringLiteral("快捷发送 — %1").arg(port));
}

void QuickSendWindow::setSequenceRunning(bool running)
{
    m_run->setEnabled(!running);
    m_stop->setEnabled(running);
}

void QuickSendWindow::setStatus(const QString &text)
{
    m_status->setText(text);
}

void QuickSendWindow::closeEvent(QCloseEvent *event)
{
    emit closed();
    QWidget::closeEvent(event);
}

Entry QuickSendWindow::frameEntry() const
{
    Entry entry;
    entry.format = m_frameFormat->currentIndex() == 0 ? Format::Hex : Format::Text;
    entry.content = m_frame->text();
    entry.name = entry.content.left(24);
    const std::optional<NamedChecksum> named = parseChecksumName(m_frameChecksum->currentText());
    entry.checksum = defaultChecksum(named ? named->algorithm : Algorithm::None);
    return entry;
}

QString QuickSendWindow::frameText(const Entry &entry) const
{
    return previewText(buildFrame(entry, m_encoding, m_defaultEnding));
}

void QuickSendWindow::updateFramePreview()
{
    const Payload frame = buildFrame(frameEntry(), m_encoding, m_defaultEnding);
    m_framePreview->setText(m_frame->text().isEmpty() ? QString() : previewText(frame));
    m_framePreview->setStyleSheet(frame.ok() ? QString() : QStringLiteral("color: #c00000"));
}

void QuickSendWindow::sendFrame()
{
    if (!m_frame->text().isEmpty())
        emit sendFrameRequested(frameEntry());
}

void QuickSendWindow::saveFrame()
{
    if (!m_frame->text().isEmpty())
        addEntry(frameEntry());
}

void QuickSendWindow::edited()
{
    m_replies->setPages(m_pages);
    emit pagesEdited(m_pages);
}

} // namespace quicksend
