#include "app/form1.h"

#include "app/captions.h"
#include "app/settings_keys.h"
#include "send/send_history.h"
#include "send/send_rules.h"
#include "serial/mscomm.h"
#include "ui_form1.h"

#include <QTimer>

void Form1::connectSendControls()
{
    connect(ui->ManSend, &QPushButton::clicked, this, [this] { ManSend_Click(SendFrom::SendBox); });
    connect(ui->ClearSendText, &QPushButton::clicked, this, &Form1::ClearSendText_Click);
    connect(ui->SendText, &MemoBox::Change, this, &Form1::SendText_Change);
}

// The one way anything reaches the line: every sender puts its text into the send box first.
// Text sent from the send box itself, by hand or periodically, gets the chosen line ending.
void Form1::ManSend_Click(SendFrom from)
{
    CheckBit_Change();
    if (!MSComm1->PortOpen()) {
        message(QStringLiteral("请打开串口"), captions::appTitle);
        return;
    }
    const QString text = ui->SendText->text();
    QVariant data = text;
    if (ui->SendHexSel->isChecked()) {
        const std::optional<quint8> byte = send::parseHexByte(text);
        if (!byte) {
            warning(QStringLiteral("请输入一个00到FF之间的十六进制数"), captions::appTitle);
            return;
        }
        data = QByteArray(1, static_cast<char>(*byte));
    } else if (text.isEmpty()) {
        return;
    } else if (from != SendFrom::Program) {
        data = text + m_lineEnding;
    }
    // A refused write means the device has gone; the component has closed itself.
    if (MSComm1->Output(data) != MSComm::NoError) {
        showPortClosed();
        return;
    }
    const bool hex = ui->SendHexSel->isChecked();
    ui->SendNum->add(characterCount(hex ? text : data.toString()));
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
