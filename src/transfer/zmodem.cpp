#include "transfer/zmodem.h"

#include <cstring>

#include <QRegularExpression>

namespace transfer {

namespace {

// "**", ZDLE, 'B' (a hex header), then the frame type's first digit; the second digit tells
// ZRQINIT (0) from ZRINIT (1).
constexpr char Shared[] = "**\x18"
                          "B0";
constexpr int SharedLength = int(sizeof Shared) - 1;

} // namespace

ZmodemStart::Seen ZmodemStart::feed(QByteArrayView bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        // Most of what a board prints holds no star at all.
        if (m_matched == 0) {
            const void *star = std::memchr(bytes.data() + i, '*', size_t(bytes.size() - i));
            if (!star)
                break;
            i = static_cast<const char *>(star) - bytes.data();
        }
        const char c = bytes[i];
        if (m_matched == SharedLength) {
            m_matched = 0;
            if (c == '0')
                return Seen::BoardSends;
            if (c == '1')
                return Seen::BoardReceives;
        }
        // The pattern overlaps itself only in its leading stars.
        if (c == Shared[m_matched])
            ++m_matched;
        else if (c == '*')
            m_matched = m_matched == 2 ? 2 : 1;
        else
            m_matched = 0;
    }
    return Seen::Nothing;
}

LrzszReport::Update LrzszReport::feed(QByteArrayView text)
{
    Update update;
    m_partial += text;
    qsizetype start = 0;
    for (qsizetype i = 0; i < m_partial.size(); ++i) {
        if (m_partial[i] == '\r' || m_partial[i] == '\n') {
            line(QByteArrayView(m_partial).sliced(start, i - start), update);
            start = i + 1;
        }
    }
    m_partial.remove(0, start);
    return update;
}

void LrzszReport::line(QByteArrayView text, Update &update)
{
    static const QRegularExpression progress(
        QStringLiteral("^Bytes (?:Sent|received):\\s*(\\d+)(?:/\\s*(\\d+))?"));
    static const QRegularExpression file(QStringLiteral("^(?:Sending|Receiving):\\s*(.+)$"));
    const QString s = QString::fromUtf8(text).trimmed();
    if (s.isEmpty())
        return;
    if (const auto m = progress.match(s); m.hasMatch()) {
        update.bytes = {m.captured(1).toLongLong(),
                        m.captured(2).isEmpty() ? -1 : m.captured(2).toLongLong()};
        return;
    }
    m_lastLine = s;
    if (const auto m = file.match(s); m.hasMatch())
        update.files.append(m.captured(1));
    else
        update.lines.append(s);
}

} // namespace transfer
