#include "app/form1.h"

#include "app/captions.h"
#include "app/settings_keys.h"
#include "port/mscomm.h"
#include "send/send_history.h"
#include "send/send_rules.h"
#include "ui_form1.h"

void Form1::connectSendControls()
{
    connect(ui->ManSend, &QPushButton::clicked, this, [this] { ManSend_Click(SendFrom::SendBox); });
    connect(ui->ClearSendText, &QPushButton::clicked, this, &Form1::ClearSendText_Click);
    connect(ui->SendText, &MemoBox::Change, this, &Form1::SendText_Change);
}

// The one way anything reaches the line. Every sender comes here: the send box (by hand or
// periodically, and the panels that put their text into it), quick-send entries, sequences and
// auto-replies. compose is asked for the data once the port is known to be open; nullopt sends
// nothing (compose has said why, if anything needs saying). True when the data was queued.
bool Form1::sendToLine(const std::function<std::optional<QVariant>()> &compose)
{
    if (!m_sendRefusal.isEmpty()) {
        warning(m_sendRefusal, captions::appTitle);
        return false;
    }
    CheckBit_Change();
    if (!MSComm1->PortOpen()) {
        message(QStringLiteral("请打开串口"), captions::appTitle);
        return false;
    }
    const std::optional<QVariant> data = compose();
    if (!data)
        return false;
    // A refused write means the device has gone; the component has closed itself.
    if (MSComm1->Output(*data) != MSComm::NoError) {
        showPortClosed();
        return false;
    }
    return true;
}

// Sends the send box's text; text sent from the box itself, by hand or periodically, gets the
// chosen line ending.
void Form1::ManSend_Click(SendFrom from)
{
    QString text;
    QString counted;
    bool hex = false;
    const bool sent = sendToLine([&]() -> std::optional<QVariant> {
        text = ui->SendText->text();
        hex = ui->SendHexSel->isChecked();
        if (hex) {
            const std::optional<quint8> byte = send::parseHexByte(text);
            if (!byte) {
                warning(QStringLiteral("请输入一个00到FF之间的十六进制数"), captions::appTitle);
                return std::nullopt;
            }
            counted = text;
            return QByteArray(1, static_cast<char>(*byte));
        }
        if (text.isEmpty())
            return std::nullopt;
        counted = from == SendFrom::Program ? text : text + m_lineEnding;
        return counted;
    });
    if (!sent)
        return;
    ui->SendNum->add(characterCount(counted));
    if (from == SendFrom::SendBox && !hex)
        recordSent(text);
}

void Form1::ClearSendText_Click()
{
    ui->SendText->setText(QString());
}

void Form1::SendText_Change()
{
    if (!m_steppingHistory)
        m_history->stopWalking();
    settingkeys::sendText.write(*m_settings, ui->SendText->text());
}
