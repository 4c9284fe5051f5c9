#include "app/form1.h"

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
    if (MSComm1->InputMode() == MSComm::comInputModeBinary) {
        const QByteArray bytes = block.toByteArray();
        // Every byte received counts once, whichever way it is shown.
        ui->RevNum->add(bytes.size());
        ui->RevText->appendText(hexText(bytes));
        return;
    }
    const QString text = block.toString();
    ui->RevNum->add(characterCount(text));
    ui->RevText->appendText(text);
}

void Form1::RevChrSel_Click()
{
    MSComm1->setInputMode(MSComm::comInputModeText);
}

void Form1::RevHexSel_Click()
{
    MSComm1->setInputMode(MSComm::comInputModeBinary);
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
