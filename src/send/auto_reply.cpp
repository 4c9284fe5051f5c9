#include "app/form1.h"

#include "quicksend/quick_send_window.h"
#include "send/quick_send_state.h"
#include "send/quick_send_store.h"
#include "ui_form1.h"

#include <QTimer>

// The auto-reply rules of the quick-send window: received text (or bytes, in hex display) is
// matched as it arrives, whether or not the window is open.
void Form1::connectAutoReply()
{
    const quicksendstore::Replies replies = quicksendstore::loadReplies(*m_settings);
    m_quick->rules = replies.rules;
    m_quick->repliesOn = replies.on;
    m_quick->clock.start();
    applyAutoReplyRules();
}

// The block as MSComm1_OnComm took it: text, or bytes in hex display.
void Form1::autoReplyReceived(const QVariant &block)
{
    // Every rule is off while a file transfer runs: what paced text makes the board print is
    // not to be answered.
    if (!m_quick->repliesOn || m_transfer)
        return;
    const bool hex = block.typeId() == QMetaType::QByteArray;
    if (hex != m_quick->matcher.hex())
        m_quick->matcher.setRules(m_quick->rules, m_quick->pages, hex);
    if (m_quick->matcher.isEmpty())
        return;
    const qint64 now = m_quick->clock.elapsed();
    const QList<int> fired = hex ? m_quick->matcher.feed(QByteArrayView(block.toByteArray()), now)
                                 : m_quick->matcher.feed(QStringView(block.toString()), now);
    for (const int rule : fired)
        autoReplyFired(rule);
}

void Form1::autoReplyFired(int index)
{
    quicksend::Rule &rule = m_quick->rules[index];
    ++rule.hits;
    // The entry is looked up when the reply goes, so an edit meanwhile counts.
    QTimer::singleShot(rule.delayMs, Qt::PreciseTimer, this, [this, rule] {
        const std::optional<quicksend::EntryPlace> place =
            quicksend::findEntry(m_quick->pages, rule.page, rule.entry);
        if (!m_quick->repliesOn || !place)
            return;
        const QString failure =
            sendQuickEntry(m_quick->pages.at(place->page).entries.at(place->entry), true);
        if (m_quickWindow)
            m_quickWindow->setStatus(
                failure.isEmpty()
                    ? QStringLiteral("自动应答“%1”：已发送“%2”").arg(rule.pattern, rule.entry)
                    : QStringLiteral("自动应答“%1”：%2").arg(rule.pattern, failure));
    });
    if (rule.done())
        applyAutoReplyRules();
    if (m_quickWindow)
        m_quickWindow->setRules(m_quick->rules);
}

void Form1::AutoReply_RulesEdited(const QList<quicksend::Rule> &rules)
{
    m_quick->rules = rules;
    storeAutoReplies();
    applyAutoReplyRules();
}

void Form1::AutoReply_Switched(bool on)
{
    m_quick->repliesOn = on;
    m_quick->matcher.restart();
    storeAutoReplies();
}

void Form1::applyAutoReplyRules()
{
    m_quick->matcher.setRules(m_quick->rules, m_quick->pages, ui->RevHexSel->isChecked());
}

void Form1::storeAutoReplies()
{
    quicksendstore::storeReplies(*m_settings, {m_quick->repliesOn, m_quick->rules});
}
