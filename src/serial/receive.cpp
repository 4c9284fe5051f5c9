#include "app/form1.h"

#include "app/captions.h"
#include "app/platform.h"
#include "app/settings_keys.h"
#include "port/capture_log.h"
#include "port/mscomm.h"
#include "transfer/transfer_session.h"
#include "ui_form1.h"

#include <QLocale>

#include <unistd.h>

namespace {

constexpr qint64 MB = 1024 * 1024;
// More than any machine this runs on has; larger settings are taken as this.
constexpr qint64 MaxKeptMB = 1024 * 1024;

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
    // The transfer has had these bytes, and counted them, as they were taken; it may have ended
    // on them.
    if (std::exchange(m_transferTook, false))
        return;
    const qint64 arrived = m_platform->nowMsecs();
    if (MSComm1->InputMode() == MSComm::comInputModeBinary) {
        const QByteArray bytes = block.toByteArray();
        autoReplyReceived(bytes);
        // Every byte received counts once, whichever way it is shown.
        ui->RevNum->add(bytes.size());
        ui->RevText->appendReceived(hexText(bytes), arrived);
        return;
    }
    const QString text = block.toString();
    ui->RevNum->add(characterCount(text));
    // The other readers get the text as shown, without its control sequences when they act.
    const QString shown = ui->RevText->appendReceivedText(text, arrived);
    plotReceived(shown, arrived);
    autoReplyReceived(shown);
}

void Form1::RevChrSel_Click()
{
    applyInputMode();
    ui->RevText->setStamping(ReceiveBox::Stamping::Lines);
    plotDisplayMode();
}

void Form1::RevHexSel_Click()
{
    applyInputMode();
    ui->RevText->setStamping(ReceiveBox::Stamping::Bursts);
    plotDisplayMode();
}

// A transfer that takes the protocol's bytes needs them undecoded, whichever display is chosen
// meanwhile; the choice applies once it ends.
void Form1::applyInputMode()
{
    const bool raw = ui->RevHexSel->isChecked() || (m_transfer && m_transfer->ownsReceivedBytes());
    MSComm1->setInputMode(raw ? MSComm::comInputModeBinary : MSComm::comInputModeText);
    // A transfer's protocol answers every block: its bytes are read as they come.
    MSComm1->setStreamGathering(!m_transfer);
}

// What arrives and how it shows. The times of received lines are kept whether or not they are
// shown; old text goes past the limit.
void Form1::connectReceiveBox()
{
    connect(MSComm1, &MSComm::OnComm, this, &Form1::MSComm1_OnComm);
    connect(ui->RevChrSel, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RevChrSel_Click();
    });
    connect(ui->RevHexSel, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RevHexSel_Click();
    });
    connect(ui->RevText, &ReceiveBox::Change, this, &Form1::RevText_Change);
    connect(ui->RevText, &ReceiveBox::fontSizeChanged, this, &Form1::RevText_FontSizeChanged);
    connect(ui->ClearRevText, &QPushButton::clicked, this, &Form1::ClearRevText_Click);
    connect(ui->ClearCounter, &QPushButton::clicked, this, &Form1::ClearCounter_Click);
    connect(ui->RevText, &ReceiveBox::timestampsShownChanged, this,
            &Form1::RevText_TimestampsShown);
    connect(ui->RevText, &ReceiveBox::dropped, this, &Form1::updateRevTextToolTip);
}

// The limit from the settings file, or a quarter of the machine's memory (16 to 2048 MB): a
// board left printing for a week must not make the system kill the program.
void Form1::applyKeptLimit()
{
    qint64 megabytes = settingkeys::maxKeptMB.read(*m_settings).toLongLong();
    if (megabytes > MaxKeptMB)
        megabytes = MaxKeptMB;
    if (megabytes <= 0) {
        const qint64 physical = qint64(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
        megabytes = qBound(qint64(16), physical / 4 / MB, qint64(2048));
    }
    ui->RevText->setMaxBytes(megabytes * MB);
}

// Where the bytes go while recording, and how much old text went for the limit.
void Form1::updateRevTextToolTip()
{
    QStringList lines;
    if (m_capture->isRecording())
        lines << QStringLiteral("正在记录到 %1").arg(m_capture->path());
    if (const QString lending = lendingToolTip(); !lending.isEmpty())
        lines << lending;
    if (m_transfer)
        lines << captions::transferRunning;
    if (ui->RevText->droppedBytes() > 0) {
        const QLocale grouped(QLocale::English);
        lines << QStringLiteral("最早的 %1 MB 已丢弃：接收区最多保留 %2 MB，可在设置文件 [接收区] "
                                "最大保留MB 中修改")
                     .arg(grouped.toString((ui->RevText->droppedBytes() + MB / 2) / MB),
                          grouped.toString(ui->RevText->maxBytes() / MB));
    }
    ui->RevText->setToolTip(lines.join(QLatin1Char('\n')));
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
