// What arrives: blocks handed out by Input, a character split between blocks held back, and
// the OnComm events that announce them in bursts.
#include "port/mscomm.h"

#include "port/link.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

// MSComm's buffer size, kept as the largest block one Input gives out.
constexpr qint64 blockSize = 4096;

// How long waiting blocks are handed out one after another before the event loop gets its turn.
constexpr qint64 burstMs = 8;

// Length of the trailing bytes that begin a valid UTF-8 sequence but stop short of its end; they
// wait for the rest. A malformed ending is not held back: it decodes to U+FFFD at once.
qsizetype incompleteTail(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto lead = static_cast<uchar>(bytes.at(size - back));
        if ((lead & 0xC0) == 0x80)
            continue;
        const int length = lead >= 0xF0 && lead <= 0xF4   ? 4
                           : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xC2 && lead <= 0xDF ? 2
                                                          : 1;
        if (length <= back)
            return 0;
        if (back >= 2) {
            // The second byte is narrower after these leads: no overlong forms, no surrogates,
            // nothing beyond U+10FFFF.
            const auto second = static_cast<uchar>(bytes.at(size - back + 1));
            const bool ok = lead == 0xE0   ? second >= 0xA0
                            : lead == 0xED ? second <= 0x9F
                            : lead == 0xF0 ? second >= 0x90
                            : lead == 0xF4 ? second <= 0x8F
                                           : true;
            if (!ok)
                return 0;
        }
        return back;
    }
    return 0;
}

// Length of the trailing bytes that begin a GB18030 character (two bytes, or four with digits
// second and fourth) but stop short of its end. Lead and trail bytes share a range, so the
// characters are walked from the start, which is always a character boundary here.
qsizetype incompleteGb18030Tail(const QByteArray &bytes)
{
    const auto at = [&bytes](qsizetype i) { return static_cast<uchar>(bytes.at(i)); };
    const auto isDigit = [](uchar b) { return b >= 0x30 && b <= 0x39; };
    const auto isLead = [](uchar b) { return b >= 0x81 && b <= 0xFE; };
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        if (!isLead(at(i))) {
            ++i;
            continue;
        }
        if (i + 1 >= size)
            return size - i;
        if (!isDigit(at(i + 1))) {
            i += 2;
            continue;
        }
        if (i + 2 >= size)
            return size - i;
        if (!isLead(at(i + 2))) {
            i += 2;
            continue;
        }
        if (i + 3 >= size)
            return size - i;
        i += 4;
    }
    return 0;
}

} // namespace

void MSComm::rescueUnread()
{
    m_rescued = m_rescued.mid(m_rescuedRead) + m_link->read(m_link->bytesAvailable());
    m_rescuedRead = 0;
}

int MSComm::InputMode() const
{
    return m_inputMode;
}

void MSComm::setInputMode(int mode)
{
    if (mode != comInputModeText && mode != comInputModeBinary)
        return;
    m_inputMode = mode;
    // A character held back for text is plain bytes now, and waits to be read.
    notifyIfWaiting();
}

void MSComm::setInputLen(int n)
{
    if (n >= 0)
        m_inputLen = n;
}

QVariant MSComm::Input()
{
    const qint64 limit = m_inputLen > 0 ? std::min<qint64>(m_inputLen, blockSize) : blockSize;
    QVariant result;
    if (m_inputMode == comInputModeBinary) {
        QByteArray bytes = m_heldBack.left(limit);
        m_heldBack.remove(0, bytes.size());
        bytes += takeBytes(limit - bytes.size());
        result = bytes;
    } else {
        // Always take at least one new byte, so that a held-back start can complete even when
        // InputLen is smaller than the character.
        QByteArray bytes = m_heldBack + takeBytes(std::max<qint64>(limit - m_heldBack.size(), 1));
        const bool utf8 = m_encoding == TextEncoding::Utf8;
        const qsizetype incomplete = utf8 ? incompleteTail(bytes) : incompleteGb18030Tail(bytes);
        m_heldBack = bytes.right(incomplete);
        bytes.chop(incomplete);
        if (utf8) {
            result = QString::fromUtf8(bytes);
        } else {
            result = QString(m_gbDecoder.decode(bytes));
        }
    }
    notifyIfWaiting();
    return result;
}

int MSComm::InBufferCount() const
{
    return int(std::min<qint64>(unreadBytes() + m_heldBack.size(), INT_MAX));
}

int MSComm::CommEvent() const
{
    return m_commEvent;
}

void MSComm::clearReceived()
{
    m_notifyTimer->stop();
    m_rescued.clear();
    m_rescuedRead = 0;
    m_heldBack.clear();
}

qint64 MSComm::unreadBytes() const
{
    const qint64 rescued = m_rescued.size() - m_rescuedRead;
    return rescued + (m_open ? m_link->bytesAvailable() : 0);
}

QByteArray MSComm::takeBytes(qint64 maxBytes)
{
    QByteArray bytes;
    if (maxBytes <= 0)
        return bytes;
    if (m_rescuedRead < m_rescued.size()) {
        bytes = m_rescued.mid(m_rescuedRead, maxBytes);
        m_rescuedRead += bytes.size();
        if (m_rescuedRead == m_rescued.size()) {
            m_rescued.clear();
            m_rescuedRead = 0;
        }
    }
    if (bytes.size() < maxBytes && m_open)
        bytes += m_link->read(maxBytes - bytes.size());
    if (!bytes.isEmpty())
        emit bytesTaken(bytes);
    return bytes;
}

// Announces waiting bytes once. An Input that leaves bytes behind asks again, so a handler that
// reads gets block after block, while one that reads nothing is not called in a loop.
void MSComm::notifyIfWaiting()
{
    if (readable() && !m_notifyTimer->isActive())
        m_notifyTimer->start();
}

// A block that finds nothing waiting before it is handed out at once, without another pass of
// the event loop: at a few hundred small reads a second that pass is much of what an arrival
// costs. Blocks that queue up behind it go through the event loop as before.
void MSComm::onReadyRead()
{
    if (m_delivering || m_notifyTimer->isActive())
        return;
    deliver();
}

// A held-back partial character counts only in byte mode: text mode cannot give it out yet.
bool MSComm::readable() const
{
    return unreadBytes() > 0 || (m_inputMode == comInputModeBinary && !m_heldBack.isEmpty());
}

// Blocks that wait go out one after another for a few milliseconds, then the event loop runs:
// clicks are still served at once, and a fast stream costs the window one repaint per burst
// instead of one per block.
void MSComm::deliver()
{
    const QScopedValueRollback<bool> delivering(m_delivering, true);
    QElapsedTimer burst;
    burst.start();
    while (readable()) {
        m_commEvent = comEvReceive;
        emit OnComm();
        // Input re-arms the timer when bytes remain; a handler that did not read waits for it.
        if (!m_notifyTimer->isActive() || burst.elapsed() >= burstMs)
            return;
        m_notifyTimer->stop();
    }
}
