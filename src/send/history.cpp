#include "app/form1.h"

#include "app/settings_keys.h"
#include "send/send_history.h"
#include "ui_form1.h"

#include <QFontMetrics>
#include <QMenu>
#include <QScopedValueRollback>

namespace {

// Entries the "最近发送" menu lists, and the width an entry's caption is shortened to.
constexpr int MenuEntries = 20;
constexpr int CaptionPixels = 300;

} // namespace

// "最近发送" in the send box's context menu, and Ctrl+Up and Ctrl+Down in the box.
void Form1::connectSendHistory()
{
    connect(ui->SendText, &MemoBox::historyStep, this, &Form1::SendText_HistoryStep);
    connect(ui->SendText, &MemoBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        QMenu *recent = menu->addMenu(QStringLiteral("最近发送"));
        recent->setToolTipsVisible(true);
        const QFontMetrics metrics(recent->font());
        const QStringList &entries = m_history->entries();
        for (qsizetype i = 0; i < qMin<qsizetype>(MenuEntries, entries.size()); ++i) {
            const QString text = entries.at(i);
            // One line a caption; "&" would otherwise become a mnemonic.
            QString caption = text;
            caption.replace(QStringLiteral("\r\n"), QStringLiteral("⏎"))
                .replace(QLatin1Char('\n'), QStringLiteral("⏎"))
                .replace(QLatin1Char('\r'), QStringLiteral("⏎"))
                .replace(QLatin1Char('&'), QStringLiteral("&&"));
            caption = metrics.elidedText(caption, Qt::ElideRight, CaptionPixels);
            QAction *entry =
                recent->addAction(caption, this, [this, text] { SendHistory_Click(text); });
            entry->setToolTip(text);
        }
        recent->addSeparator();
        QAction *record =
            recent->addAction(QStringLiteral("记录发送历史"), this, &Form1::RecordHistory_Click);
        record->setCheckable(true);
        record->setChecked(m_recordHistory);
        recent->addAction(QStringLiteral("清除历史"), this, &Form1::ClearHistory_Click);
    });
}

void Form1::loadSendHistory()
{
    m_recordHistory = settingkeys::recordHistory.read(*m_settings) != QStringLiteral("0");
    QStringList entries;
    for (const auto &[key, text] : m_settings->readSection(settingkeys::sendHistorySection))
        entries << text;
    m_history->setEntries(entries);
}

void Form1::storeSendHistory()
{
    QList<std::pair<QString, QString>> entries;
    const QStringList &texts = m_history->entries();
    for (qsizetype i = 0; i < texts.size(); ++i)
        entries.append({QString::number(i + 1), texts.at(i)});
    m_settings->writeSection(settingkeys::sendHistorySection, entries);
}

void Form1::recordSent(const QString &text)
{
    if (m_recordHistory && m_history->add(text))
        storeSendHistory();
}

void Form1::SendText_HistoryStep(bool older)
{
    const std::optional<QString> text =
        older ? m_history->older(ui->SendText->text()) : m_history->newer();
    if (!text)
        return;
    const QScopedValueRollback<bool> stepping(m_steppingHistory, true);
    ui->SendText->setText(*text);
    ui->SendText->moveCursor(QTextCursor::End);
}

void Form1::SendHistory_Click(const QString &text)
{
    ui->SendText->setText(text);
    ui->SendText->moveCursor(QTextCursor::End);
}

void Form1::RecordHistory_Click()
{
    m_recordHistory = !m_recordHistory;
    settingkeys::recordHistory.write(*m_settings,
                                     m_recordHistory ? QStringLiteral("1") : QStringLiteral("0"));
}

// Sent texts can hold passwords (Wi-Fi credentials in AT commands): clearing leaves no trace
// in the settings file.
void Form1::ClearHistory_Click()
{
    m_history->clear();
    m_settings->writeSection(settingkeys::sendHistorySection, {});
}
