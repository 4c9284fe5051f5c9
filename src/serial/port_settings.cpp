#include "app/form1.h"

#include "app/settings_keys.h"
#include "port/mscomm.h"
#include "serial/reconnect_state.h"
#include "ui_form1.h"

#include <QTimer>

namespace {

// Parity letter for the parity box's text; empty when the text is none of the three entries.
QString parityLetter(const QString &text)
{
    for (const ParityChoice &choice : parityChoices) {
        if (text == choice.text)
            return choice.letter;
    }
    return {};
}

} // namespace

void Form1::connectPortSettings()
{
    connect(ui->CheckBit, &ListBox::Change, this, &Form1::CheckBit_Change);
    connect(ui->DataBits, &ListBox::Change, this, &Form1::DataBits_Change);
    connect(ui->StopBit, &ListBox::Change, this, &Form1::StopBit_Change);
    connect(ui->BuadRate, &ListBox::Click, this, &Form1::BuadRate_Click);
    connect(ui->ComPort, &ListBox::Click, this, &Form1::ComPort_Click);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
}

// Builds the line settings from the four boxes and hands them to the port. The boxes are not
// validated here: the component judges them, and only a refusal by the open port matters.
void Form1::CheckBit_Change()
{
    const QString parity = parityLetter(ui->CheckBit->text());
    if (parity.isEmpty())
        return;
    const QString settings = ui->BuadRate->text() + QLatin1Char(',') + parity + QLatin1Char(',') +
                             ui->DataBits->text() + QLatin1Char(',') + ui->StopBit->text();
    if (MSComm1->setSettings(settings) == MSComm::SetCommStateFailed) {
        (void)MSComm1->setPortOpen(false);
        showPortClosed();
    }
}

void Form1::DataBits_Change()
{
    CheckBit_Change();
}

void Form1::StopBit_Change()
{
    CheckBit_Change();
}

void Form1::Timer1_Timer()
{
    CheckBit_Change();
}

void Form1::BuadRate_Click()
{
    CheckBit_Change();
    settingkeys::baudRate.write(*m_settings, ui->BuadRate->text());
}

void Form1::ComPort_Click()
{
    // Another number picked by the user: the lost one is no longer waited for.
    if (!m_reconnectPicking && ui->ComPort->listIndex() + 1 != m_reconnect->commPort)
        stopWaiting();
    if (MSComm1->PortOpen()) {
        (void)MSComm1->setPortOpen(false);
        showPortClosed();
    }
    // No entry selected gives number 0, which the component refuses; nothing is stored then.
    if (MSComm1->setCommPort(ui->ComPort->listIndex() + 1) != MSComm::NoError)
        return;
    settingkeys::port.write(*m_settings, ui->ComPort->text());
    updateTerminal();
    updateFileTransfer();
}
