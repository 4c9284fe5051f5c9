#include "panels/time_sync.h"

#include "app/form1.h"
#include "app/platform.h"
#include "ui_form1.h"

namespace timesync {

QString timeString(const QDateTime &moment)
{
    // QDate::dayOfWeek() already counts Monday 1 to Sunday 7.
    return moment.toString(QStringLiteral("yyyyMMddHHmmss")) +
           QStringLiteral("%1").arg(moment.date().dayOfWeek(), 2, 10, QLatin1Char('0'));
}

QString receiveNote(const QDateTime &moment)
{
    const QDate d = moment.date();
    const QTime t = moment.time();
    return QStringLiteral("%1时%2分%3秒  %4年%5月%6日\r\n")
               .arg(t.hour())
               .arg(t.minute())
               .arg(t.second())
               .arg(d.year())
               .arg(d.month())
               .arg(d.day()) +
           QStringLiteral("时间已经更新，并通过串口发送，并接收返回值，返回值应等于发送区的值，"
                          "如果返回值不正确，请检查下位机程序和波特率是否正确！\r\n");
}

} // namespace timesync

void Form1::connectTimeSync()
{
    connect(ui->UpdataTime, &QPushButton::clicked, this, &Form1::UpdataTime_Click);
}

void Form1::UpdataTime_Click()
{
    // One reading of the clock for both texts, so they never straddle a second.
    const QDateTime moment = m_platform->now();
    ui->RevText->setText(timesync::receiveNote(moment));
    ui->SendText->setText(timesync::timeString(moment));
    ManSend_Click();
}
