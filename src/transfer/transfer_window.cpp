#include "transfer/transfer_window.h"

#include "transfer/transfer_session.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>

namespace transfer {

namespace {

QStringList defaultChooseFiles(QWidget *parent, bool several, const QString &folder)
{
    if (several)
        return QFileDialog::getOpenFileNames(parent, QStringLiteral("选择要发送的文件"), folder);
    const QString file =
        QFileDialog::getOpenFileName(parent, QStringLiteral("选择要发送的文件"), folder);
    return file.isEmpty() ? QStringList() : QStringList{file};
}

QString defaultChooseFolder(QWidget *parent, const QString &folder)
{
    return QFileDialog::getExistingDirectory(parent, QStringLiteral("选择接收文件夹"), folder);
}

void defaultAskExisting(QWidget *parent, const QString &name,
                        std::function<void(ExistingFile)> answer)
{
    auto *box = new QMessageBox(QMessageBox::Question, QStringLiteral("文件已存在"),
                                QStringLiteral("文件夹里已有 %1。").arg(name),
                                QMessageBox::NoButton, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *overwrite = box->addButton(QStringLiteral("覆盖"), QMessageBox::AcceptRole);
    QPushButton *both = box->addButton(QStringLiteral("另存为新文件"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("不保存"), QMessageBox::RejectRole);
    box->setDefaultButton(both);
    QObject::connect(box, &QMessageBox::finished, box, [box, overwrite, both, answer] {
        const QAbstractButton *clicked = box->clickedButton();
        answer(clicked == overwrite ? ExistingFile::Overwrite
               : clicked == both    ? ExistingFile::KeepBoth
                                    : ExistingFile::Discard);
    });
    box->open();
}

} // namespace

TransferWindow::TransferWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_chooseFiles(defaultChooseFiles),
      m_chooseFolder(defaultChooseFolder), m_askExisting(defaultAskExisting),
      m_lrzszPresent([] { return !QStandardPaths::findExecutable(QStringLiteral("sz")).isEmpty(); })
{
    setObjectName(QStringLiteral("TransferWindow"));
    setAcceptDrops(true);
    build();
    wire();
    setPortName({});
    setSettings({});
    setRunning(false);
    m_clock.start();
}

void TransferWindow::setLrzszPresent(std::function<bool()> present)
{
    m_lrzszPresent = std::move(present);
    updateRows();
}

void TransferWindow::setPortName(const QString &port)
{
    setWindowTitle(port.isEmpty() ? QStringLiteral("文件传输")
                                  : QStringLiteral("文件传输 — %1").arg(port));
}

void TransferWindow::setSettings(const WindowSettings &s)
{
    m_loading = true;
    m_protocol->setCurrentIndex(m_protocol->findData(int(s.protocol)));
    m_startCommand->setText(s.startCommand);
    m_only1K->setChecked(s.only1K);
    m_stripPadding->setChecked(s.stripPadding);
    m_charDelay->setValue(s.charDelayMs);
    m_lineDelay->setValue(s.lineDelayMs);
    m_lineEnding->setCurrentIndex(m_lineEnding->findData(int(s.lineEnding)));
    m_prompt->setText(s.prompt);
    m_folder->setText(s.folder.isEmpty()
                          ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)
                          : s.folder);
    m_geometry = s.geometry;
    if (s.geometry.isValid())
        setGeometry(s.geometry);
    m_loading = false;
    updateRows();
}

WindowSettings TransferWindow::settings() const
{
    WindowSettings s;
    s.protocol = protocol();
    s.startCommand = m_startCommand->text();
    s.only1K = m_only1K->isChecked();
    s.stripPadding = m_stripPadding->isChecked();
    s.charDelayMs = m_charDelay->value();
    s.lineDelayMs = m_lineDelay->value();
    s.lineEnding = LineEnding(m_lineEnding->currentData().toInt());
    s.prompt = m_prompt->text();
    s.folder = m_folder->text().trimmed();
    s.geometry = isVisible() ? geometry() : m_geometry;
    return s;
}

void TransferWindow::setDirection(Direction d)
{
    (d == Direction::Send ? m_send : m_receive)->setChecked(true);
}

void TransferWindow::setFiles(const QStringList &paths)
{
    m_files->setText(joinFileField(paths));
}

void TransferWindow::offerIncomingZmodem()
{
    if (m_running)
        return;
    setDirection(Direction::Receive);
    m_protocol->setCurrentIndex(m_protocol->findData(int(Protocol::Zmodem)));
    m_incoming->show();
}

Protocol TransferWindow::protocol() const
{
    return Protocol(m_protocol->currentData().toInt());
}

Direction TransferWindow::direction() const
{
    return m_send->isChecked() ? Direction::Send : Direction::Receive;
}

void TransferWindow::updateRows()
{
    const Protocol p = protocol();
    const bool send = direction() == Direction::Send;
    if (!canReceive(p) && !send)
        m_send->setChecked(true);
    m_receive->setEnabled(canReceive(p));
    const bool text = p == Protocol::Text;
    m_form->setRowVisible(m_filesRow, send);
    m_form->setRowVisible(m_folderRow, !send);
    m_form->setRowVisible(m_xmodemName,
                          !send && (p == Protocol::Xmodem || p == Protocol::Xmodem1K));
    m_form->setRowVisible(m_only1K, send && (p == Protocol::Xmodem1K || p == Protocol::Ymodem));
    m_form->setRowVisible(m_stripPadding,
                          !send && (p == Protocol::Xmodem || p == Protocol::Xmodem1K));
    for (QWidget *w : {static_cast<QWidget *>(m_charDelay), static_cast<QWidget *>(m_lineDelay),
                       static_cast<QWidget *>(m_lineEnding), static_cast<QWidget *>(m_prompt)})
        m_form->setRowVisible(w, send && text);
    const bool missing = p == Protocol::Zmodem && m_lrzszPresent && !m_lrzszPresent();
    m_note->setText(missing ? TransferSession::lrzszMissingText(QStringLiteral("sz 和 rz"))
                            : QString());
    m_note->setVisible(missing);
    if (p != Protocol::Zmodem || send)
        m_incoming->hide();
}

void TransferWindow::start()
{
    if (m_running)
        return;
    Request request = requestFrom(settings());
    request.direction = direction();
    if (request.direction == Direction::Send) {
        request.files = splitFileField(m_files->text());
        if (request.files.isEmpty()) {
            transferFinished(false, QStringLiteral("请选择要发送的文件"));
            return;
        }
    } else {
        request.xmodemName = m_xmodemName->text().trimmed();
        if (request.folder.isEmpty()) {
            transferFinished(false, QStringLiteral("请选择接收文件夹"));
            return;
        }
    }
    m_log->clear();
    m_incoming->hide();
    m_bar->setValue(0);
    m_stats->clear();
    m_rate.reset();
    setRunning(true);
    emit startRequested(request);
}

void TransferWindow::chooseFiles()
{
    const QStringList current = splitFileField(m_files->text());
    const QString folder = current.isEmpty() ? m_folder->text() : QFileInfo(current.first()).path();
    const QStringList chosen = m_chooseFiles(this, takesSeveralFiles(protocol()), folder);
    if (!chosen.isEmpty())
        setFiles(chosen);
}

void TransferWindow::chooseFolder()
{
    const QString chosen = m_chooseFolder(this, m_folder->text());
    if (chosen.isEmpty())
        return;
    m_folder->setText(chosen);
    changed();
}

void TransferWindow::setRunning(bool running)
{
    m_running = running;
    m_start->setEnabled(!running);
    m_cancel->setEnabled(running);
    for (QWidget *w : {static_cast<QWidget *>(m_send), static_cast<QWidget *>(m_receive),
                       static_cast<QWidget *>(m_protocol)})
        w->setEnabled(!running);
    if (!running)
        updateRows();
}

void TransferWindow::changed()
{
    if (!m_loading)
        emit settingsChanged(settings());
}

void TransferWindow::showProgress(const Progress &p)
{
    const qint64 total = p.total >= 0 ? p.total : p.fileSize;
    const qint64 done = p.total >= 0 ? p.done : p.fileDone;
    m_rate.add(m_clock.elapsed(), done);
    m_bar->setValue(total > 0 ? int(done * 1000 / total) : 0);
    m_bar->setFormat(total >= 0 ? QStringLiteral("%1 / %2").arg(humanBytes(double(done)),
                                                                humanBytes(double(total)))
                                : humanBytes(double(done)));
    QStringList parts;
    if (p.fileCount > 1)
        parts << QStringLiteral("文件 %1/%2").arg(p.fileIndex + 1).arg(p.fileCount);
    if (!p.fileName.isEmpty())
        parts << p.fileName;
    parts << QStringLiteral("%1/s").arg(humanBytes(m_rate.bytesPerSecond()));
    const qint64 left = total >= 0 ? m_rate.secondsLeft(total - done) : -1;
    parts << QStringLiteral("剩余 %1").arg(left >= 0 ? humanDuration(left) : QStringLiteral("—"));
    parts << QStringLiteral("重试 %1").arg(p.retries);
    m_stats->setText(parts.join(QStringLiteral("  ")));
}

void TransferWindow::appendLog(const QString &line)
{
    m_log->appendPlainText(line);
}

void TransferWindow::transferFinished(bool ok, const QString &message)
{
    if (ok)
        m_bar->setValue(m_bar->maximum());
    appendLog(message);
    setRunning(false);
}

void TransferWindow::askExisting(int id, const QString &name)
{
    m_questions.append({id, name});
    nextQuestion();
}

void TransferWindow::nextQuestion()
{
    if (m_asking || m_questions.isEmpty())
        return;
    m_asking = true;
    const auto [id, name] = m_questions.takeFirst();
    QPointer<TransferWindow> self(this);
    m_askExisting(this, name, [self, id](ExistingFile what) {
        if (!self)
            return;
        self->m_asking = false;
        emit self->existingFileAnswered(id, what);
        self->nextQuestion();
    });
}

// Destroyed while shown (with its parent), the window's fields lose the focus on the way out and
// say so after this part of the object is gone.
TransferWindow::~TransferWindow()
{
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
}

void TransferWindow::closeEvent(QCloseEvent *event)
{
    // Closing the window stops what it shows.
    if (m_running)
        emit cancelRequested();
    m_geometry = geometry();
    emit settingsChanged(settings());
    emit closed();
    event->accept();
}

void TransferWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls() && !m_running)
        event->acceptProposedAction();
}

void TransferWindow::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty())
        return;
    setDirection(Direction::Send);
    setFiles(takesSeveralFiles(protocol()) ? paths : paths.mid(0, 1));
    event->acceptProposedAction();
}

void connectSessionToWindow(TransferSession *session, TransferWindow *window)
{
    QObject::connect(session, &TransferSession::progressed, window, &TransferWindow::showProgress);
    QObject::connect(session, &TransferSession::logged, window, &TransferWindow::appendLog);
    QObject::connect(session, &TransferSession::finished, window,
                     &TransferWindow::transferFinished);
    QObject::connect(session, &TransferSession::existingFile, window, &TransferWindow::askExisting);
    QObject::connect(window, &TransferWindow::existingFileAnswered, session,
                     &TransferSession::answerExisting);
    QObject::connect(window, &TransferWindow::cancelRequested, session, &TransferSession::cancel);
}

} // namespace transfer
