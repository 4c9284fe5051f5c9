#include "app/form1.h"

#include "app/platform.h"
#include "app/settings_keys.h"
#include "serial/mscomm.h"
#include "ui_form1.h"

namespace {

// Each byte as two upper-case hexadecimal digits and a blank.
QString hexText(const QByteArray &bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    QString text(bytes.size() * 3, Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = QLatin1Char(digits[b >> 4]);
        *out++ = QLatin1Char(digits[b & 0xF]);
        *out++ = QLatin1Char(' ');
    }
    return text;
}

} // namespace

void Form1::MSComm1_OnComm()
{
    if (MSComm1->CommEvent() != MSComm::comEvReceive)
        return;
    MSComm1->setInputLen(0);
    const QVariant block = MSComm1->Input();
    const qint64 arrived = m_platform->now().toMSecsSinceEpoch();
    if (MSComm1->InputMode() == MSComm::comInputModeBinary) {
        const QByteArray bytes = block.toByteArray();
        // Every byte received counts once, whichever way it is shown.
        ui->RevNum->add(bytes.size());
        ui->RevText->appendReceived(hexText(bytes), arrived);
        return;
    }
    const QString text = block.toString();
    ui->RevNum->add(characterCount(text));
    ui->RevText->appendReceived(text, arrived);
    plotReceived(text, arrived);
}

void Form1::RevChrSel_Click()
{
    MSComm1->setInputMode(MSComm::comInputModeText);
    ui->RevText->setStamping(ReceiveBox::Stamping::Lines);
    plotDisplayMode();
}

void Form1::RevHexSel_Click()
{
    MSComm1->setInputMode(MSComm::comInputModeBinary);
    ui->RevText->setStamping(ReceiveBox::Stamping::Bursts);
    plotDisplayMode();
}

// The times of received lines are kept whether or not they are shown.
void Form1::connectTimestamps()
{
    connect(ui->RevText, &ReceiveBox::timestampsShownChanged, this,
            &Form1::RevText_TimestampsShown);
}

void Form1::RevText_TimestampsShown(bool shown)
{
    settingkeys::timestamps.write(*m_settings, shown ? QStringLiteral("1") : QStringLiteral("0"));
}

void Form1::RevText_Change()
{
    if (ui->RevText->followsEnd())
        ui->RevText->setSelStart(ui->RevText->length());
}

void Form1::RevText_FontSizeChanged(int points)
{
    settingkeys::fontSize.write(*m_settings, QString::number(points));
}

void Form1::ClearRevText_Click()
{
    ui->RevText->setText(QString());
}

void Form1::ClearCounter_Click()
{
    ui->RevNum->setText(QStringLiteral("0"));
    ui->SendNum->setText(QStringLiteral("0"));
}
