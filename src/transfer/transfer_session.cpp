#include "transfer/transfer_session.h"

#include "transfer/block_frame.h"
#include "transfer/block_receiver.h"
#include "transfer/block_sender.h"
#include "transfer/lrzsz_process.h"
#include "transfer/paced_text.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace transfer {

namespace {

BlockProtocol blockProtocol(Protocol protocol)
{
    switch (protocol) {
    case Protocol::Xmodem:
        return BlockProtocol::Xmodem;
    case Protocol::Xmodem1K:
        return BlockProtocol::Xmodem1K;
    default:
        break;
    }
    return BlockProtocol::Ymodem;
}

// How often a held-back output looks at the port's queue again.
constexpr int BacklogPollMs = 5;

} // namespace

TransferSession::TransferSession(Writer write, QObject *parent)
    : QObject(parent), m_write(std::move(write)),
      m_findProgram([](const QString &name) { return QStandardPaths::findExecutable(name); })
{
    qRegisterMetaType<transfer::Progress>();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TransferSession::onTimer);
    m_backlogTimer.setInterval(BacklogPollMs);
    connect(&m_backlogTimer, &QTimer::timeout, this, &TransferSession::watchBacklog);
    m_clock.start();
}

TransferSession::~TransferSession()
{
    if (m_lrzsz)
        m_lrzsz->kill();
}

void TransferSession::setLineRate(int baud)
{
    m_timing.settleMs = Timing::settleFor(baud);
}

QString TransferSession::lrzszMissingText(const QString &program)
{
    return QStringLiteral("没有找到 %1：请安装 lrzsz 软件包（sudo apt install lrzsz）")
        .arg(program);
}

bool TransferSession::start(const Request &request)
{
    if (m_running)
        return false;
    m_running = true;
    m_portGone = false;
    m_settling = false;
    m_ok = false;
    m_message.clear();
    m_progress = {};
    m_lrzszFiles.clear();
    if (request.direction == Direction::Send && request.files.size() > 1 &&
        !takesSeveralFiles(request.protocol)) {
        end(false, QStringLiteral("%1 一次只能发送一个文件").arg(protocolName(request.protocol)));
        return false;
    }
    if (request.direction == Direction::Receive) {
        if (!canReceive(request.protocol)) {
            end(false, QStringLiteral("文本只能发送"));
            return false;
        }
        if (!QFileInfo(request.folder).isDir()) {
            end(false, QStringLiteral("文件夹 %1 不存在").arg(request.folder));
            return false;
        }
        DiskSink::Hooks hooks;
        hooks.ask = [this](int id, const QString &name) {
            // Asked from inside the protocol's step: the answer must not come back into it.
            QMetaObject::invokeMethod(
                this, [this, id, name] { emit existingFile(id, name); }, Qt::QueuedConnection);
        };
        hooks.log = [this](const QString &line) { emit logged(line); };
        m_sink = std::make_unique<DiskSink>(request.folder, request.xmodemName, std::move(hooks));
    } else {
        auto source = std::make_unique<DiskSource>();
        if (!source->open(request.files)) {
            end(false, source->errorString());
            return false;
        }
        m_source = std::move(source);
    }
    if (!request.startCommand.isEmpty()) {
        emit logged(QStringLiteral("发送启动命令"));
        if (!write(request.startCommand)) {
            end(false, portLostText());
            return false;
        }
    }
    return request.protocol == Protocol::Zmodem ? startLrzsz(request) : startEngine(request);
}

bool TransferSession::startEngine(const Request &request)
{
    if (request.direction == Direction::Receive) {
        m_engine = std::make_unique<BlockReceiver>(
            BlockReceiver::Options{blockProtocol(request.protocol) == BlockProtocol::Ymodem
                                       ? BlockProtocol::Ymodem
                                       : BlockProtocol::Xmodem,
                                   request.stripPadding, m_timing},
            m_sink.get());
    } else if (request.protocol == Protocol::Text) {
        m_engine = std::make_unique<PacedText>(request.text, m_source.get());
    } else {
        m_engine = std::make_unique<BlockSender>(
            BlockSender::Options{blockProtocol(request.protocol), request.only1K, m_timing},
            m_source.get());
    }
    const qint64 t = now();
    m_engine->start(t);
    pump(t);
    return m_running;
}

bool TransferSession::ownsReceivedBytes() const
{
    return m_running && (m_lrzsz || m_settling || (m_engine && m_engine->ownsReceivedBytes()));
}

void TransferSession::receive(const QByteArray &bytes)
{
    if (!m_running || bytes.isEmpty())
        return;
    if (m_lrzsz) {
        m_lrzsz->write(bytes);
    } else if (m_engine && m_engine->outcome() == Outcome::Running) {
        const qint64 t = now();
        m_engine->receive(bytes, t);
        pump(t);
    }
}

void TransferSession::cancel()
{
    if (!m_running)
        return;
    if (m_settling) {
        m_sink->discardWaiting();
        end(false, cancelledText());
        return;
    }
    stopWith(cancelledText(), true);
}

void TransferSession::portLost()
{
    if (!m_running)
        return;
    m_portGone = true;
    if (!m_settling)
        stopWith(portLostText(), false);
}

void TransferSession::answerExisting(int id, ExistingFile what)
{
    if (!m_sink)
        return;
    m_sink->answer(id, what);
    if (m_settling)
        finishWhenSettled();
}

bool TransferSession::write(const QByteArray &bytes)
{
    if (m_portGone)
        return false;
    if (!m_write(bytes)) {
        m_portGone = true;
        return false;
    }
    return true;
}

void TransferSession::pump(qint64 stepTime)
{
    const QByteArray out = m_engine->takeOutput();
    if (!out.isEmpty() && !write(out))
        m_engine->stop(portLostText(), false);
    for (const QString &line : m_engine->takeLog())
        emit logged(line);
    if (m_engine->progress() != m_progress) {
        m_progress = m_engine->progress();
        emit progressed(m_progress);
    }
    if (m_engine->outcome() != Outcome::Running) {
        engineDone();
        return;
    }
    // Counted from now, after the write, rather than from the step's time: a pause the engine
    // asks for after a write is never shortened by the time the write took.
    const qint64 deadline = m_engine->deadline();
    if (deadline < 0)
        m_timer.stop();
    else
        m_timer.start(int(qBound(qint64(0), deadline - stepTime, qint64(24 * 3600 * 1000))));
}

void TransferSession::onTimer()
{
    if (!m_engine || m_engine->outcome() != Outcome::Running)
        return;
    if (m_engine->streams() && m_backlog && m_backlog() > BacklogLimit) {
        m_timer.start(BacklogPollMs);
        return;
    }
    const qint64 t = now();
    if (t < m_engine->deadline()) {
        m_timer.start(int(m_engine->deadline() - t));
        return;
    }
    m_engine->tick(t);
    pump(t);
}

void TransferSession::engineDone()
{
    m_timer.stop();
    m_ok = m_engine->outcome() == Outcome::Succeeded;
    m_message = m_engine->message();
    finishWhenSettled();
}

void TransferSession::stopWith(const QString &message, bool tellBoard)
{
    if (m_lrzsz) {
        m_lrzsz->kill();
        if (tellBoard)
            (void)write(abortSequence());
        adoptReceived(false);
        m_ok = false;
        m_message = message;
        finishWhenSettled();
        return;
    }
    if (m_engine && m_engine->outcome() == Outcome::Running) {
        const qint64 t = now();
        m_engine->stop(message, tellBoard);
        pump(t);
    }
}

void TransferSession::finishWhenSettled()
{
    if (m_sink && !m_sink->settled()) {
        if (!m_settling)
            emit logged(QStringLiteral("等待回答：是否覆盖同名文件"));
        m_settling = true;
        return;
    }
    end(m_ok, m_message);
}

void TransferSession::end(bool ok, const QString &message)
{
    m_running = false;
    m_settling = false;
    m_timer.stop();
    m_backlogTimer.stop();
    if (m_lrzsz) {
        m_lrzsz->kill();
        m_lrzsz->deleteLater();
        m_lrzsz = nullptr;
    }
    m_lrzszFolder.reset();
    m_engine.reset();
    m_sink.reset();
    m_source.reset();
    emit finished(ok, message);
}

bool TransferSession::startLrzsz(const Request &request)
{
    const bool sending = request.direction == Direction::Send;
    const QString name = sending ? QStringLiteral("sz") : QStringLiteral("rz");
    const QString program = m_findProgram(name);
    if (program.isEmpty()) {
        end(false, lrzszMissingText(name));
        return false;
    }
    // -vv: progress on standard error; -b: binary, nothing converted.
    QStringList arguments{QStringLiteral("-vv"), QStringLiteral("-b")};
    QString folder = QDir::currentPath();
    if (sending) {
        m_progress.fileCount = m_source->count();
        m_progress.total = 0;
        for (int i = 0; i < m_source->count(); ++i)
            m_progress.total += m_source->file(i).size;
        arguments += request.files;
    } else {
        // rz writes under the names it is sent, whole or not: into a folder of its own, whence
        // whole files move to their names as the protocols' own receivers do.
        m_lrzszFolder = std::make_unique<QTemporaryDir>(
            QDir(request.folder).filePath(QStringLiteral(".zelqo-zmodem-XXXXXX")));
        if (!m_lrzszFolder->isValid()) {
            end(false, QStringLiteral("无法写入 %1：%2")
                           .arg(request.folder, m_lrzszFolder->errorString()));
            return false;
        }
        folder = m_lrzszFolder->path();
        // -R: no name with "../" or a leading "/"; -u: names as sent, upper case included.
        arguments += {QStringLiteral("-R"), QStringLiteral("-u")};
    }
    m_lrzsz = new LrzszProcess(this);
    connect(m_lrzsz, &LrzszProcess::output, this, &TransferSession::lrzszOutput);
    connect(m_lrzsz, &LrzszProcess::fileStarted, this, &TransferSession::lrzszFileStarted);
    connect(m_lrzsz, &LrzszProcess::progress, this, &TransferSession::lrzszProgress);
    connect(m_lrzsz, &LrzszProcess::message, this, &TransferSession::logged);
    connect(m_lrzsz, &LrzszProcess::finished, this, &TransferSession::lrzszFinished);
    if (!m_lrzsz->start(program, arguments, folder)) {
        const QString why = m_lrzsz->errorString();
        end(false, QStringLiteral("无法启动 %1：%2").arg(program, why));
        return false;
    }
    emit logged(sending ? QStringLiteral("已启动 sz，等待接收方…")
                        : QStringLiteral("已启动 rz，等待发送方…"));
    emit progressed(m_progress);
    return true;
}

void TransferSession::lrzszOutput(const QByteArray &bytes)
{
    if (!write(bytes)) {
        stopWith(portLostText(), false);
        return;
    }
    if (m_backlog && m_backlog() > BacklogLimit) {
        m_lrzsz->pause(true);
        m_backlogTimer.start();
    }
}

void TransferSession::watchBacklog()
{
    if (!m_lrzsz || !m_backlog || m_backlog() <= BacklogLimit / 2) {
        m_backlogTimer.stop();
        if (m_lrzsz)
            m_lrzsz->pause(false);
    }
}

void TransferSession::lrzszFileStarted(const QString &name)
{
    if (!m_lrzszFiles.isEmpty())
        m_progress.done +=
            qMax<qint64>(m_progress.fileSize, m_progress.fileDone) - m_progress.fileDone;
    m_lrzszFiles.append(name);
    m_progress.fileName = name;
    m_progress.fileIndex = int(m_lrzszFiles.size() - 1);
    m_progress.fileDone = 0;
    m_progress.fileSize = -1;
    emit logged((m_lrzszFolder ? QStringLiteral("接收 %1") : QStringLiteral("发送 %1")).arg(name));
    emit progressed(m_progress);
}

void TransferSession::lrzszProgress(qint64 done, qint64 total)
{
    m_progress.done += done - m_progress.fileDone;
    m_progress.fileDone = done;
    if (total >= 0)
        m_progress.fileSize = total;
    emit progressed(m_progress);
}

void TransferSession::lrzszFinished(bool ok, const QString &lastLine)
{
    adoptReceived(ok);
    m_ok = ok;
    m_message = ok ? QStringLiteral("传输完成")
                   : QStringLiteral("ZMODEM 传输失败：%1")
                         .arg(lastLine.isEmpty() ? QStringLiteral("lrzsz 异常结束") : lastLine);
    if (ok && m_progress.total >= 0)
        m_progress.done = m_progress.total;
    emit progressed(m_progress);
    m_lrzsz->deleteLater();
    m_lrzsz = nullptr;
    finishWhenSettled();
}

void TransferSession::adoptReceived(bool all)
{
    if (!m_lrzszFolder || !m_sink)
        return;
    // After a failure the file under way is not whole.
    const QString unfinished = all || m_lrzszFiles.isEmpty() ? QString() : m_lrzszFiles.last();
    const QDir folder(m_lrzszFolder->path());
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden, QDir::Time);
    for (const QString &name : names) {
        if (name.compare(unfinished, Qt::CaseInsensitive) != 0)
            m_sink->adopt(folder.filePath(name), name);
    }
}

} // namespace transfer
