#include "transfer/block_receiver.h"

#include "transfer/files.h"

namespace transfer {

namespace {

// Inside a damaged block's remains, a pair of CAN is as likely data as an abort; a sender that
// gives up sends a longer run.
constexpr int CansWhilePurging = 5;
// A damaged block's remains are kept this far for the other check's try.
constexpr qsizetype PurgeKept = 2 * (LongBlock + 4);

} // namespace

BlockReceiver::BlockReceiver(const Options &options, FileSink *sink)
    : m_options(options), m_sink(sink)
{
    m_wantHeader = ymodem();
    m_progress.fileCount = ymodem() ? 0 : 1;
}

void BlockReceiver::start(qint64 now)
{
    log(QStringLiteral("等待发送方…"));
    if (!ymodem()) {
        if (!m_sink->begin({}, -1, -1)) {
            failHere(
                QStringLiteral("无法写入 %1：%2").arg(m_sink->currentName(), m_sink->errorString()),
                false);
            return;
        }
        m_fileOpen = true;
        m_name = m_progress.fileName = m_sink->currentName();
    }
    nakOrPoll(now, false);
}

void BlockReceiver::receive(QByteArrayView bytes, qint64 now)
{
    for (qsizetype i = 0; i < bytes.size() && running(); ++i)
        take(bytes[i], now);
}

void BlockReceiver::take(char c, qint64 now)
{
    // CAN inside a block is data.
    m_cans = c == Can && m_state != State::Body ? m_cans + 1 : 0;
    switch (m_state) {
    case State::Between:
        if (c == Soh || c == Stx) {
            m_blockSize = blockSizeFor(c);
            m_body.clear();
            m_state = State::Body;
            setDeadline(now + m_options.timing.byteGapMs);
        } else if (c == Eot) {
            if (m_wantHeader) {
                // The sender missed the ACK of its last EOT.
                send(QByteArray(1, Ack) + CrcStart);
            } else if (m_eots++ == 0) {
                // A lone EOT may be a damaged byte: a sender that means it sends it again.
                send(QByteArray(1, Nak));
                setDeadline(now + m_options.timing.answerMs);
            } else {
                endOfFile(now);
            }
        } else if (m_cans >= 2) {
            failHere(QStringLiteral("发送方取消了传输"), false);
        }
        break;
    case State::Body:
        m_body += c;
        setDeadline(now + m_options.timing.byteGapMs);
        if (m_body.size() == 2 + m_blockSize + checkSize(m_check))
            blockComplete(now);
        break;
    case State::Purge:
        if (m_body.size() < PurgeKept)
            m_body += c;
        if (m_cans >= CansWhilePurging) {
            failHere(QStringLiteral("发送方取消了传输"), false);
            return;
        }
        setDeadline(qMin(now + m_options.timing.purgeMs, m_purgeEnd));
        break;
    }
}

void BlockReceiver::tick(qint64 now)
{
    if (!running() || !due(now))
        return;
    switch (m_state) {
    case State::Between:
        nakOrPoll(now, false);
        break;
    case State::Body:
    case State::Purge:
        // The sender may check with the other method than asked: its block is one byte longer
        // or shorter.
        if (!m_checkKnown && salvage(m_body, now))
            return;
        if (m_state == State::Body)
            log(QStringLiteral("块 %1 不完整，请求重发").arg(m_blockCount + 1));
        nakOrPoll(now, true);
        break;
    }
}

void BlockReceiver::stop(const QString &message, bool tellPeer)
{
    if (running())
        failHere(message, tellPeer);
}

void BlockReceiver::nakOrPoll(qint64 now, bool damagedBlock)
{
    m_state = State::Between;
    if (damagedBlock || m_dataStarted) {
        setDeadline(now + m_options.timing.answerMs);
        if (++m_errors > m_options.timing.retries) {
            failHere(QStringLiteral("发送方没有应答"), true);
            return;
        }
        ++m_progress.retries;
        send(QByteArray(1, Nak));
        return;
    }
    setDeadline(now + m_options.timing.pollMs);
    // Until the sender is first heard, it may not have been started yet.
    if (m_polls++ >= (m_checkKnown ? m_options.timing.retries : m_options.timing.polls)) {
        failHere(QStringLiteral("发送方没有应答"), true);
        return;
    }
    if (!m_checkKnown)
        m_check = ymodem() || m_polls <= CrcPolls ? Check::Crc : Check::Sum;
    send(QByteArray(1, m_check == Check::Crc ? CrcStart : Nak));
}

void BlockReceiver::blockComplete(qint64 now)
{
    if (blockIntact(m_body, m_blockSize, m_check)) {
        accept(quint8(m_body[0]), QByteArrayView(m_body).sliced(2, m_blockSize), now);
        return;
    }
    log(QStringLiteral("块 %1 校验错误，请求重发").arg(m_blockCount + 1));
    m_state = State::Purge;
    m_purgeEnd = now + m_options.timing.answerMs;
    setDeadline(now + m_options.timing.purgeMs);
}

bool BlockReceiver::salvage(QByteArrayView bytes, qint64 now)
{
    const Check other = m_check == Check::Crc ? Check::Sum : Check::Crc;
    const qsizetype need = 2 + m_blockSize + checkSize(other);
    if (bytes.size() < need || !blockIntact(bytes.first(need), m_blockSize, other))
        return false;
    m_check = other;
    const QByteArray body = bytes.first(need).toByteArray();
    accept(quint8(body[0]), QByteArrayView(body).sliced(2, m_blockSize), now);
    return true;
}

void BlockReceiver::accept(quint8 number, QByteArrayView data, qint64 now)
{
    m_state = State::Between;
    m_checkKnown = true;
    m_errors = 0;
    m_eots = 0;
    setDeadline(now + m_options.timing.answerMs);
    if (m_wantHeader) {
        if (number != 0) {
            failHere(QStringLiteral("块序号错乱：期待 0，收到 %1").arg(number), true);
            return;
        }
        header(data, now);
        return;
    }
    if (number == m_expected) {
        if (!write(data))
            return;
        ++m_expected;
        ++m_blockCount;
        m_dataStarted = true;
        send(QByteArray(1, Ack));
        return;
    }
    if (number == quint8(m_expected - 1)) {
        // Our ACK was lost and the block came again. A repeated YMODEM header still wants its
        // request for data.
        send(number == 0 && m_blockCount == 0 && ymodem() ? QByteArray(1, Ack) + CrcStart
                                                          : QByteArray(1, Ack));
        return;
    }
    failHere(QStringLiteral("块序号错乱：期待 %1，收到 %2").arg(m_expected).arg(number), true);
}

void BlockReceiver::header(QByteArrayView data, qint64 now)
{
    const std::optional<Header> parsed = parseHeader(data);
    if (!parsed) {
        failHere(QStringLiteral("文件头无效"), true);
        return;
    }
    if (parsed->name.isEmpty()) {
        send(QByteArray(1, Ack));
        succeed(QStringLiteral("传输完成"));
        return;
    }
    if (!m_sink->begin(parsed->name, parsed->size, parsed->mtime)) {
        failHere(
            QStringLiteral("无法写入 %1：%2").arg(m_sink->currentName(), m_sink->errorString()),
            true);
        return;
    }
    m_fileOpen = true;
    m_name = m_sink->currentName();
    m_size = parsed->size;
    m_written = 0;
    m_wantHeader = false;
    m_expected = 1;
    m_blockCount = 0;
    m_dataStarted = false;
    m_polls = 0;
    m_progress.fileName = m_name;
    m_progress.fileDone = 0;
    m_progress.fileSize = m_size;
    log(m_size >= 0 ? QStringLiteral("接收 %1（%2 字节）").arg(m_name).arg(m_size)
                    : QStringLiteral("接收 %1").arg(m_name));
    send(QByteArray(1, Ack) + CrcStart);
    setDeadline(now + m_options.timing.pollMs);
}

bool BlockReceiver::write(QByteArrayView data)
{
    QByteArrayView out = data;
    if (ymodem()) {
        if (m_size >= 0)
            out = data.first(qsizetype(qBound<qint64>(0, m_size - m_written, data.size())));
    } else {
        out = m_held;
    }
    if (!out.isEmpty() && !m_sink->write(out)) {
        failHere(QStringLiteral("无法写入 %1：%2").arg(m_name, m_sink->errorString()), true);
        return false;
    }
    m_written += out.size();
    if (!ymodem())
        m_held = data.toByteArray();
    m_progress.fileDone = m_written + m_held.size();
    m_progress.done += data.size();
    return true;
}

void BlockReceiver::endOfFile(qint64 now)
{
    if (!ymodem()) {
        if (m_options.stripPadding) {
            while (m_held.endsWith(Sub))
                m_held.chop(1);
        }
        if (!m_held.isEmpty() && !m_sink->write(m_held)) {
            failHere(QStringLiteral("无法写入 %1：%2").arg(m_name, m_sink->errorString()), true);
            return;
        }
        m_written += m_held.size();
        m_held.clear();
    }
    if (!m_sink->end()) {
        failHere(QStringLiteral("无法写入 %1：%2").arg(m_name, m_sink->errorString()), true);
        return;
    }
    m_fileOpen = false;
    send(QByteArray(1, Ack));
    m_progress.fileDone = m_written;
    log(QStringLiteral("%1 接收完毕（%2 字节）").arg(m_name).arg(m_written));
    if (!ymodem()) {
        succeed(QStringLiteral("传输完成"));
        return;
    }
    ++m_progress.fileIndex;
    m_wantHeader = true;
    m_dataStarted = false;
    m_blockCount = 0;
    m_eots = 0;
    m_polls = 0;
    send(QByteArray(1, CrcStart));
    setDeadline(now + m_options.timing.pollMs);
}

void BlockReceiver::failHere(const QString &message, bool tellSender)
{
    if (m_fileOpen) {
        m_sink->abandon();
        m_fileOpen = false;
    }
    if (tellSender)
        abort(message);
    else
        fail(message);
}

} // namespace transfer
