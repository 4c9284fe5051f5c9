#include "app/form1.h"

#include "app/captions.h"
#include "app/platform.h"
#include "app/settings_keys.h"
#include "port/capture_log.h"
#include "port/mscomm.h"
#include "settings/atomic_file.h"
#include "ui_form1.h"

#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QTimer>

// Entries after the receive box's own editing entries: keeping what the board said.
void Form1::connectCaptureMenu()
{
    connect(MSComm1, &MSComm::bytesTaken, this, &Form1::MSComm1_BytesTaken);
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        menu->addSeparator();
        menu->addAction(QStringLiteral("保存接收区…"), this, &Form1::SaveRevText_Click);
        menu->addAction(QStringLiteral("保存接收区（含时间戳）…"), this,
                        &Form1::SaveRevTextStamped_Click);
        menu->addAction(m_capture->isRecording() ? QStringLiteral("停止记录")
                                                 : QStringLiteral("记录到文件…"),
                        this, &Form1::RecordRevText_Click);
    });
}

// Asks where to write, starting in the folder used last (or the user's home) with a name that
// carries the time; the folder chosen is remembered. Empty when the user cancelled.
QString Form1::askCaptureFile(const QString &title, const QString &prefix, const QString &suffix)
{
    QString folder = settingkeys::captureFolder.read(*m_settings);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QString path = m_platform->saveFileName(
        this, title,
        QDir(folder).filePath(prefix + m_platform->now().toString(u"yyyyMMdd-hhmmss") + suffix));
    if (!path.isEmpty())
        settingkeys::captureFolder.write(*m_settings, QFileInfo(path).absolutePath());
    return path;
}

// Asks where, then writes what content gives, whole or not at all; the user is told of a
// failure. content runs only once a file was chosen.
void Form1::saveToAskedFile(const QString &title, const QString &prefix, const QString &suffix,
                            const std::function<QByteArray()> &content)
{
    const QString path = askCaptureFile(title, prefix, suffix);
    if (path.isEmpty())
        return;
    QString reason;
    if (!atomicfile::save(path, content(), &reason))
        warning(QStringLiteral("无法保存 %1：%2").arg(path, reason), captions::appTitle);
}

void Form1::SaveRevText_Click()
{
    saveToAskedFile(QStringLiteral("保存接收区"), QStringLiteral("接收区-"), QStringLiteral(".txt"),
                    [this] { return ui->RevText->text().toUtf8(); });
}

// Each line as "[HH:MM:SS.mmm] " and its text: for reading when something happened.
void Form1::SaveRevTextStamped_Click()
{
    saveToAskedFile(QStringLiteral("保存接收区（含时间戳）"), QStringLiteral("接收区-"),
                    QStringLiteral(".txt"),
                    [this] { return ui->RevText->stampedText(0, ui->RevText->length()).toUtf8(); });
}

void Form1::RecordRevText_Click()
{
    if (m_capture->isRecording()) {
        m_capture->stop();
        updateRevTextToolTip();
        return;
    }
    const QString path = askCaptureFile(QStringLiteral("记录到文件"), QStringLiteral("串口记录-"),
                                        QStringLiteral(".log"));
    if (path.isEmpty())
        return;
    QString reason;
    if (!m_capture->start(path, &reason)) {
        warning(QStringLiteral("无法记录到 %1：%2").arg(path, reason), captions::appTitle);
        return;
    }
    updateRevTextToolTip();
}

// Every byte taken off the line, whatever the display mode and encoding, in the order it came.
// Bytes as they came off the line, whatever the display: for the log and the terminal window.
void Form1::MSComm1_BytesTaken(const QByteArray &bytes)
{
    if (!fileTransferReceived(bytes))
        terminalReceived(bytes);
    if (!m_capture->isRecording())
        return;
    const QString path = m_capture->path();
    QString reason;
    if (m_capture->append(bytes, &reason))
        return;
    updateRevTextToolTip();
    // Told after the receive handler has finished: a modal box inside it would run the event loop
    // in the middle of a read.
    QTimer::singleShot(0, this, [this, path, reason] {
        warning(QStringLiteral("记录到 %1 时出错，记录已停止：%2").arg(path, reason),
                captions::appTitle);
    });
}
