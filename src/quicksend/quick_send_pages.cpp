// The pages and their entries in the quick-send window: the page bar, the table, the editor
// below it and sending the ticked entries in order.
#include "quicksend/quick_send_window.h"

#include "quicksend/entry_editor.h"
#include "quicksend/frame.h"
#include "quicksend/reply_table.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTableWidget>

namespace quicksend {

void QuickSendWindow::showPages()
{
    const QSignalBlocker quiet(m_pageBar);
    const int current = qBound(0, m_pageBar->currentIndex(), int(m_pages.size()) - 1);
    while (m_pageBar->count() > 0)
        m_pageBar->removeTab(0);
    for (const Page &page : std::as_const(m_pages))
        m_pageBar->addTab(page.name);
    m_pageBar->setCurrentIndex(current);
    // A hidden tab bar does not tell its layout that it grew.
    m_pageBar->updateGeometry();
    showEntries();
}

void QuickSendWindow::showEntries()
{
    const int page = currentPage();
    const int current = m_table->currentRow();
    m_pageName->setText(page >= 0 ? m_pages.at(page).name : QString());
    {
        const QSignalBlocker quiet(m_table);
        m_table->setRowCount(page >= 0 ? int(m_pages.at(page).entries.size()) : 0);
        for (int row = 0; row < m_table->rowCount(); ++row)
            showRow(row);
    }
    const int row = qMin(current, m_table->rowCount() - 1);
    m_table->setCurrentCell(row, Name);
    pickEntry();
}

void QuickSendWindow::showRow(int row)
{
    const int page = currentPage();
    if (page < 0 || row >= m_pages.at(page).entries.size())
        return;
    const Entry &entry = m_pages.at(page).entries.at(row);
    m_filling = true;
    const auto cell = [this, row](int column, const QString &text) {
        QTableWidgetItem *item = m_table->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            m_table->setItem(row, column, item);
        }
        item->setText(text);
        return item;
    };
    QTableWidgetItem *tick = cell(Tick, QString());
    tick->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    tick->setCheckState(entry.ticked ? Qt::Checked : Qt::Unchecked);
    cell(Name, entry.name);
    cell(Content, QStringLiteral("%1：%2").arg(formatName(entry.format), entry.content));
    cell(Checksum, checksumName(entry.checksum.algorithm, entry.checksum.custom));
    cell(Hotkey, entry.hotkey);
    cell(Delay, QString::number(entry.delayMs));
    const Payload frame = buildFrame(entry, m_encoding, m_defaultEnding);
    QTableWidgetItem *bytes = cell(Bytes, previewText(frame));
    bytes->setForeground(frame.ok() ? palette().color(QPalette::Text) : QColor(0xC0, 0, 0));
    bytes->setToolTip(frame.ok() ? hexBytes(frame.bytes.left(1024)) : frame.error);
    if (!m_table->cellWidget(row, Send)) {
        auto *send = new QPushButton(QStringLiteral("发送"), m_table);
        send->setObjectName(QStringLiteral("SendEntry%1").arg(row + 1));
        connect(send, &QPushButton::clicked, this,
                [this, row] { emit sendEntryRequested(currentPage(), row); });
        m_table->setCellWidget(row, Send, send);
    }
    m_filling = false;
}

void QuickSendWindow::pickEntry()
{
    const int page = currentPage();
    const int row = m_table->currentRow();
    if (page < 0 || row < 0 || row >= m_pages.at(page).entries.size()) {
        m_editor->clear();
        return;
    }
    m_editor->setEntry(m_pages.at(page).entries.at(row));
}

void QuickSendWindow::entryEdited()
{
    const int page = currentPage();
    const int row = m_table->currentRow();
    if (page < 0 || row < 0 || row >= m_pages.at(page).entries.size())
        return;
    Entry &entry = m_pages[page].entries[row];
    const QString oldName = entry.name;
    entry = m_editor->entry();
    showRow(row);
    if (oldName != entry.name)
        retarget(m_pages.at(page).name, oldName, m_pages.at(page).name, entry.name);
    edited();
}

void QuickSendWindow::addEntry(const Entry &entry)
{
    const int page = currentPage();
    if (page < 0)
        return;
    Entry added = entry;
    // A copied hotkey would answer twice.
    added.hotkey.clear();
    m_pages[page].entries << added;
    showEntries();
    m_table->setCurrentCell(m_table->rowCount() - 1, Name);
    m_tabs->setCurrentIndex(0);
    edited();
}

void QuickSendWindow::removeEntry()
{
    const int page = currentPage();
    const int row = m_table->currentRow();
    if (page < 0 || row < 0)
        return;
    m_pages[page].entries.removeAt(row);
    m_table->removeRow(row);
    showEntries();
    edited();
}

void QuickSendWindow::moveEntry(int step)
{
    const int page = currentPage();
    const int row = m_table->currentRow();
    const int to = row + step;
    if (page < 0 || row < 0 || to < 0 || to >= m_pages.at(page).entries.size())
        return;
    m_pages[page].entries.move(row, to);
    showEntries();
    m_table->setCurrentCell(to, Name);
    edited();
}

void QuickSendWindow::addPage()
{
    QString name = QStringLiteral("页 %1").arg(m_pages.size() + 1);
    m_pages << Page{name, {}};
    showPages();
    m_pageBar->setCurrentIndex(int(m_pages.size()) - 1);
    m_pageName->setFocus();
    m_pageName->selectAll();
    edited();
}

void QuickSendWindow::removePage()
{
    const int page = currentPage();
    if (page < 0)
        return;
    if (!m_pages.at(page).entries.isEmpty() &&
        !m_confirm(QStringLiteral("删除页“%1”和它的 %2 个条目？")
                       .arg(m_pages.at(page).name)
                       .arg(m_pages.at(page).entries.size())))
        return;
    m_pages.removeAt(page);
    if (m_pages.isEmpty())
        m_pages << Page{QStringLiteral("常用"), {}};
    showPages();
    edited();
}

void QuickSendWindow::renamePage(const QString &name)
{
    const int page = currentPage();
    if (page < 0)
        return;
    const QString old = m_pages.at(page).name;
    m_pages[page].name = name;
    m_pageBar->setTabText(page, name);
    for (const Entry &entry : std::as_const(m_pages.at(page).entries))
        retarget(old, entry.name, name, entry.name);
    edited();
}

// Rules that send an entry follow it when it or its page is renamed.
void QuickSendWindow::retarget(const QString &oldPage, const QString &oldEntry, const QString &page,
                               const QString &entry)
{
    bool changed = false;
    for (Rule &rule : m_rules) {
        if (rule.page == oldPage && rule.entry == oldEntry) {
            rule.page = page;
            rule.entry = entry;
            changed = true;
        }
    }
    if (!changed)
        return;
    m_replies->setRules(m_rules);
    emit rulesEdited(m_rules);
}

void QuickSendWindow::pageMoved(int from, int to)
{
    m_pages.move(from, to);
    edited();
}

void QuickSendWindow::startSequence()
{
    const int page = currentPage();
    if (page < 0)
        return;
    bool any = false;
    for (const Entry &entry : std::as_const(m_pages.at(page).entries))
        any |= entry.ticked;
    if (!any) {
        emit refused(QStringLiteral("请先在“顺序”一列勾选要按顺序发送的条目"));
        return;
    }
    const int rounds = m_repeat->currentIndex() == 0   ? 1
                       : m_repeat->currentIndex() == 1 ? m_rounds->value()
                                                       : 0;
    emit sequenceRequested(page, rounds);
}

} // namespace quicksend
