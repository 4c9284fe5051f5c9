#include "app/form1.h"

#include "app/settings_keys.h"
#include "app/twips.h"
#include "port/line_settings.h"
#include "port/mscomm.h"
#include "port/port_map.h"
#include "ui_form1.h"

namespace {

QStringList portNames()
{
    QStringList names;
    for (int n = 1; n <= portmap::portCount; ++n)
        names << QStringLiteral("COM%1").arg(n);
    return names;
}

} // namespace

void Form1::Form_Load()
{
    setOuterWidth(twips::narrowWidth);
    m_keyPreview = true;
    FindCom_Click();
    TabStrip_Click();
    ui->Frame3->hide();
    if (MSComm1->PortOpen())
        (void)MSComm1->setPortOpen(false);
    // What stands behind each number is read when the list opens, not here: asking the system
    // for its ports costs a start about 20 ms.
    ui->ComPort->fill(portNames());

    ui->SendText->setText(settingkeys::sendText.read(*m_settings));
    for (const CarButton &car : carButtons())
        car.code->setText(car.setting->read(*m_settings));

    ui->ComPort->setText(settingkeys::port.read(*m_settings));
    const int entry =
        ui->ComPort->findText(ui->ComPort->text(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (entry >= 0)
        ui->ComPort->select(entry);
    ui->BuadRate->setText(settingkeys::baudRate.read(*m_settings));
    applyTextEncoding(settingkeys::textEncoding.read(*m_settings));
    const int points = settingkeys::fontSize.read(*m_settings).toInt();
    if (points > 0 && points != ui->RevText->fontPointSize())
        ui->RevText->setFontPointSize(points);
    applyKeptLimit();
    ui->RevText->setTimestampsShown(settingkeys::timestamps.read(*m_settings) ==
                                    QStringLiteral("1"));
    loadLogView();
    applyLineEnding(settingkeys::lineEnding.read(*m_settings));
    m_autoReconnect = settingkeys::autoReconnect.read(*m_settings) != QStringLiteral("0");
    m_dtr = settingkeys::dtr.read(*m_settings) != QStringLiteral("0");
    m_rts = settingkeys::rts.read(*m_settings) != QStringLiteral("0");
    m_autoYield = settingkeys::autoYield.read(*m_settings) == QStringLiteral("1");
    MSComm1->setShared(m_autoYield);
    loadSendHistory();
    // A hand-edited port name that matches no entry gives number 0, which the component refuses;
    // the port then stays on the number it had, and opening it tells the user.
    (void)MSComm1->setCommPort(ui->ComPort->listIndex() + 1);
    CheckBit_Change();
    showPortClosed();
    ui->RevChrSel->setChecked(true);
    ui->SendChrSel->setChecked(true);

    ui->BuadRate->fill({QStringLiteral("256000"), QStringLiteral("128000"),
                        QStringLiteral("115200"), QStringLiteral("57600"), QStringLiteral("38400"),
                        QStringLiteral("28800"), QStringLiteral("19200"), QStringLiteral("9600"),
                        QStringLiteral("4800"), QStringLiteral("2400"), QStringLiteral("1200"),
                        QStringLiteral("600")});
    QStringList parities;
    for (const ParityChoice &choice : parityChoices)
        parities << choice.text;
    ui->CheckBit->fill(parities);
    ui->DataBits->fill({QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("6"),
                        QStringLiteral("7"), QStringLiteral("8")});
    ui->StopBit->fill({QStringLiteral("1"), QStringLiteral("2")});
}
