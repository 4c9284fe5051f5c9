#include "transfer/block_sender.h"

#include "transfer/files.h"

namespace transfer {

namespace {

// Sends of the transfer's last unit before a silent receiver is taken to have finished.
constexpr int LastUnitSends = 3;

bool startRequest(char c)
{
    return c == CrcStart || c == Nak;
}

// A board prints its menu or banner before its first 'C'; a 'C' inside that text is no start.
// The receiver waits after each request, so a real one is the last thing that arrived.
bool onlyRequestsFrom(QByteArrayView bytes, qsizetype i)
{
    for (; i < bytes.size(); ++i) {
        if (!startRequest(bytes[i]))
            return false;
    }
    return true;
}

} // namespace

BlockSender::BlockSender(const Options &options, FileSource *source)
    : m_options(options), m_source(source)
{
    m_progress.fileCount = source->count();
    qint64 total = 0;
    for (int i = 0; i < source->count(); ++i)
        total += source->file(i).size;
    m_progress.total = total;
    if (source->count() > 0) {
        m_progress.fileName = source->file(0).name;
        m_progress.fileSize = source->file(0).size;
    }
}

void BlockSender::start(qint64 now)
{
    log(QStringLiteral("等待接收方…"));
    m_state = State::WaitStart;
    setDeadline(now + m_options.timing.startMs);
    if (m_source->count() == 0)
        fail(QStringLiteral("没有要发送的文件"));
}

void BlockSender::receive(QByteArrayView bytes, qint64 now)
{
    // Once something went out in answer to this read, its other requests are older than that
    // answer: only an ACK among them still means something (it acknowledges an earlier copy).
    bool answered = false;
    for (qsizetype i = 0; i < bytes.size() && running(); ++i) {
        const char c = bytes[i];
        if (c == Can) {
            if (++m_cans >= 2)
                fail(QStringLiteral("接收方取消了传输"));
            continue;
        }
        m_cans = 0;
        switch (m_state) {
        case State::WaitStart:
            if (startRequest(c) && onlyRequestsFrom(bytes, i)) {
                m_check = c == CrcStart ? Check::Crc : Check::Sum;
                log(m_check == Check::Crc ? QStringLiteral("接收方已就绪（CRC 校验）")
                                          : QStringLiteral("接收方已就绪（累加和校验）"));
                reply(now, true);
                answered = true;
            }
            break;
        case State::WaitRequest:
            if (answered || !startRequest(c))
                break;
            answered = true;
            if (c == Nak && m_check == Check::Crc) {
                // A receiver that asks with 'C' and says NAK still wants the header or EOT it
                // answered: the ACK taken for it was an older one.
                m_repeating = true;
                ++m_progress.retries;
                log(QStringLiteral("%1重发：NAK").arg(unitName()));
                transmit(now);
            } else {
                reply(now, false);
            }
            break;
        case State::WaitAnswer: {
            // A receiver still asking for its first block did not get it whole. (One whose
            // request crossed the block on the line gets it twice, and the settling after it
            // swallows the second answer.)
            m_heard = true;
            const bool firstOfFile = m_unit == Unit::Header || m_unit == Unit::Closing ||
                                     (m_unit == Unit::Data && m_blockNumber == 1) ||
                                     (m_unit == Unit::Eot && m_blockNumber == 0);
            const bool askedAgain = c == CrcStart && firstOfFile;
            if (c == Ack) {
                acknowledged(now);
            } else if ((c == Nak || askedAgain) && !answered) {
                resend(now, c == Nak ? QStringLiteral("NAK") : QStringLiteral("重新请求"));
                answered = true;
            }
            break;
        }
        case State::Settle:
            if (c == CrcStart)
                m_requestSeen = true;
            break;
        case State::Reply:
            break;
        }
    }
}

void BlockSender::tick(qint64 now)
{
    if (!running() || !due(now))
        return;
    switch (m_state) {
    case State::WaitStart:
        fail(QStringLiteral("接收方没有应答"));
        break;
    case State::WaitAnswer:
        resend(now, {});
        break;
    case State::Settle:
        advance(now);
        break;
    case State::Reply:
        if (m_replyStarts)
            begin(now);
        else
            request(now);
        break;
    case State::WaitRequest:
        if (++m_sends > m_options.timing.retries) {
            abort(QStringLiteral("接收方没有应答"));
            return;
        }
        setDeadline(now + m_options.timing.answerMs);
        break;
    }
}

void BlockSender::begin(qint64 now)
{
    if (m_options.protocol == BlockProtocol::Ymodem) {
        sendHeader(now);
        return;
    }
    const OutgoingFile file = m_source->file(0);
    log(QStringLiteral("发送 %1（%2 字节）").arg(file.name).arg(file.size));
    sendData(now);
}

void BlockSender::reply(qint64 now, bool starts)
{
    // Receivers such as lrzsz's rb empty their input right after they ask or acknowledge: what
    // came back at once would be thrown away. A block costs a retry then; a file's first block,
    // its EOT and its header wait a moment instead.
    m_state = State::Reply;
    m_replyStarts = starts;
    setDeadline(now + m_options.timing.replyDelayMs);
}

void BlockSender::request(qint64 now)
{
    if (m_unit == Unit::Header || m_unit == Unit::Data)
        sendData(now);
    else
        sendHeader(now);
}

void BlockSender::acknowledged(qint64 now)
{
    if (m_sends == 1)
        m_slowestAnswer = qMax(m_slowestAnswer, now - m_sentAt);
    if (std::exchange(m_repeating, false)) {
        m_state = State::WaitRequest;
        setDeadline(now + m_options.timing.answerMs);
        return;
    }
    if (m_unit == Unit::Data) {
        m_offset = m_unitEnd;
        m_progress.fileDone = m_offset;
        m_progress.done = m_doneBefore + m_offset;
    }
    if (m_sends > 1 && m_unit != Unit::Eot) {
        m_state = State::Settle;
        m_requestSeen = false;
        setDeadline(now + qMax<qint64>(m_options.timing.settleMs, 2 * m_slowestAnswer + 100));
        return;
    }
    advance(now);
}

void BlockSender::advance(qint64 now)
{
    switch (m_unit) {
    case Unit::Header:
    case Unit::Eot:
        if (m_unit == Unit::Eot) {
            log(QStringLiteral("%1 发送完毕").arg(m_source->file(m_file).name));
            m_doneBefore += fileSize();
            if (m_options.protocol != BlockProtocol::Ymodem) {
                succeed(QStringLiteral("传输完成"));
                return;
            }
            ++m_file;
        }
        m_state = State::WaitRequest;
        m_sends = 0;
        setDeadline(now + m_options.timing.answerMs);
        if (std::exchange(m_requestSeen, false))
            reply(now, false);
        break;
    case Unit::Data:
        if (m_offset >= fileSize())
            reply(now, false);
        else
            sendData(now);
        break;
    case Unit::Closing:
        succeed(QStringLiteral("传输完成"));
        break;
    }
}

void BlockSender::resend(qint64 now, const QString &answer)
{
    const bool timedOut = answer.isEmpty();
    const bool routineEotNak = m_unit == Unit::Eot && m_sends == 1 && !timedOut;
    if (!timedOut)
        ++m_naks;
    // Every block is acknowledged; the last unit only ends the transfer. A receiver that
    // takes it and quits or restarts at once (rb and rx on a pseudo-terminal, a bootloader
    // jumping to its application over USB) can lose its ACK on the way; a living one answers
    // soon.
    if (lastUnit() && timedOut && !m_heard && m_sends >= LastUnitSends) {
        log(QStringLiteral("接收方没有确认结束，数据块均已确认收到"));
        succeed(QStringLiteral("传输完成"));
        return;
    }
    if (m_sends > m_options.timing.retries) {
        abort(m_naks == 0 ? QStringLiteral("接收方没有应答")
                          : QStringLiteral("%1重试 %2 次仍未成功")
                                .arg(unitName())
                                .arg(m_options.timing.retries));
        return;
    }
    if (!routineEotNak) {
        ++m_progress.retries;
        log(QStringLiteral("%1重发：%2")
                .arg(unitName(), timedOut ? QStringLiteral("超时") : answer));
    }
    transmit(now);
}

void BlockSender::sendHeader(qint64 now)
{
    if (m_file >= m_source->count()) {
        sendUnit(now, Unit::Closing, block(0, {}, ShortBlock, m_check, '\0'));
        return;
    }
    const OutgoingFile file = m_source->file(m_file);
    m_offset = 0;
    m_blockNumber = 0;
    m_progress.fileName = file.name;
    m_progress.fileIndex = m_file;
    m_progress.fileDone = 0;
    m_progress.fileSize = file.size;
    log(QStringLiteral("发送 %1（%2 字节）").arg(file.name).arg(file.size));
    const QByteArray data = headerData({file.name.toUtf8(), file.size, file.mtime});
    const qsizetype size = data.size() <= ShortBlock ? ShortBlock : LongBlock;
    if (data.size() > LongBlock) {
        abort(QStringLiteral("文件名太长：%1").arg(file.name));
        return;
    }
    sendUnit(now, Unit::Header, block(0, data, size, m_check, '\0'));
}

void BlockSender::sendData(qint64 now)
{
    const qint64 remaining = fileSize() - m_offset;
    if (remaining <= 0) {
        sendUnit(now, Unit::Eot, QByteArray(1, Eot));
        return;
    }
    const qsizetype size = dataBlockSize(remaining);
    const qsizetype n = qsizetype(qMin<qint64>(size, remaining));
    QByteArray data;
    const QString name = m_source->file(m_file).name;
    if (!m_source->read(m_file, m_offset, n, &data)) {
        abort(QStringLiteral("无法读取 %1：%2").arg(name, m_source->errorString()));
        return;
    }
    if (data.size() < n) {
        abort(QStringLiteral("%1 在发送中变短了").arg(name));
        return;
    }
    ++m_blockNumber;
    m_unitEnd = m_offset + n;
    sendUnit(now, Unit::Data, block(quint8(m_blockNumber), data, size, m_check));
}

void BlockSender::sendUnit(qint64 now, Unit unit, QByteArray bytes)
{
    m_repeating = false;
    m_heard = false;
    m_sends = 0;
    m_naks = 0;
    m_unit = unit;
    m_unitBytes = std::move(bytes);
    transmit(now);
}

void BlockSender::transmit(qint64 now)
{
    ++m_sends;
    m_sentAt = now;
    send(m_unitBytes);
    m_state = State::WaitAnswer;
    setDeadline(now + (lastUnit() ? m_options.timing.lastAnswerMs : m_options.timing.answerMs));
}

qsizetype BlockSender::dataBlockSize(qint64 remaining) const
{
    if (m_options.protocol == BlockProtocol::Xmodem)
        return ShortBlock;
    if (!m_options.only1K && remaining < LongBlock - ShortBlock + 1)
        return ShortBlock;
    return LongBlock;
}

QString BlockSender::unitName() const
{
    switch (m_unit) {
    case Unit::Header:
    case Unit::Closing:
        return QStringLiteral("块 0 ");
    case Unit::Data:
        return QStringLiteral("块 %1 ").arg(m_blockNumber);
    case Unit::Eot:
        break;
    }
    return QStringLiteral("EOT ");
}

bool BlockSender::lastUnit() const
{
    return m_unit == Unit::Closing ||
           (m_unit == Unit::Eot && m_options.protocol != BlockProtocol::Ymodem);
}

qint64 BlockSender::fileSize() const
{
    return m_source->file(m_file).size;
}

} // namespace transfer
