#include "app/form1.h"

#include "port/mscomm.h"
#include "quicksend/quick_send_window.h"
#include "quicksend/sequence.h"
#include "send/quick_send_state.h"
#include "ui_form1.h"

// "按顺序发送": the ticked entries of a page in order, each followed by its delay. It stops with
// a message when the port closes or is lost.
void Form1::connectQuickSendSequence()
{
    m_sequence = new quicksend::SequenceRunner([this](int index) { return sequenceStep(index); },
                                               [this] { return MSComm1->OutBufferCount(); }, this);
    connect(m_sequence, &quicksend::SequenceRunner::stepStarted, this,
            &Form1::Sequence_StepStarted);
    connect(m_sequence, &quicksend::SequenceRunner::finished, this, &Form1::Sequence_Finished);
    connect(MSComm1, &MSComm::deviceLost, this,
            [this] { stopSequenceIfClosed(QStringLiteral("设备已断开")); });
    // After the open/close handler, which was connected first.
    connect(ui->OpenCom, &QPushButton::clicked, this,
            [this] { stopSequenceIfClosed(QStringLiteral("串口已关闭")); });
}

void Form1::Sequence_Start(int page, int rounds)
{
    if (m_sequence->isRunning() || page < 0 || page >= m_quick->pages.size())
        return;
    m_quick->sequence.clear();
    QList<int> delays;
    for (const quicksend::Entry &entry : m_quick->pages.at(page).entries) {
        if (entry.ticked) {
            m_quick->sequence << entry;
            delays << entry.delayMs;
        }
    }
    // The first step says "请打开串口" as any send does; later ones stop quietly with why.
    if (!MSComm1->PortOpen()) {
        (void)sendQuickEntry(m_quick->sequence.value(0), false);
        return;
    }
    if (m_quickWindow)
        m_quickWindow->setSequenceRunning(true);
    m_sequence->start(delays, rounds);
}

QString Form1::sequenceStep(int index)
{
    const QString failure = sendQuickEntry(m_quick->sequence.at(index), true);
    return failure.isEmpty() ? failure : QStringLiteral("已停止：") + failure;
}

void Form1::Sequence_StepStarted(int index, int round)
{
    if (m_quickWindow)
        m_quickWindow->setStatus(QStringLiteral("按顺序发送：第 %1 轮，第 %2/%3 条“%4”")
                                     .arg(round)
                                     .arg(index + 1)
                                     .arg(m_quick->sequence.size())
                                     .arg(m_quick->sequence.at(index).name));
}

void Form1::Sequence_Finished(const QString &why)
{
    if (!m_quickWindow)
        return;
    m_quickWindow->setSequenceRunning(false);
    m_quickWindow->setStatus(QStringLiteral("按顺序发送%1").arg(why));
}

void Form1::stopSequenceIfClosed(const QString &why)
{
    if (!MSComm1->PortOpen())
        m_sequence->stop(QStringLiteral("已停止：") + why);
}
