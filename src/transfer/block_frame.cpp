#include "transfer/block_frame.h"

#include <array>

namespace transfer {

namespace {

constexpr std::array<quint16, 256> crcTable()
{
    std::array<quint16, 256> table{};
    for (int i = 0; i < 256; ++i) {
        quint16 crc = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
        table[size_t(i)] = crc;
    }
    return table;
}

constexpr auto CrcTable = crcTable();

// Digits in base from the start of text, skipping leading blanks; -1 when none.
qint64 number(QByteArrayView &text, int base)
{
    while (!text.isEmpty() && text.front() == ' ')
        text = text.sliced(1);
    qint64 value = 0;
    qsizetype used = 0;
    for (; used < text.size(); ++used) {
        const int digit = text[used] - '0';
        if (digit < 0 || digit >= base || value > (Q_INT64_C(1) << 56))
            break;
        value = value * base + digit;
    }
    if (used == 0)
        return -1;
    text = text.sliced(used);
    return value;
}

} // namespace

quint16 crc16(QByteArrayView data)
{
    quint16 crc = 0;
    for (const char c : data)
        crc = quint16((crc << 8) ^ CrcTable[((crc >> 8) ^ quint8(c)) & 0xFF]);
    return crc;
}

quint8 checksum(QByteArrayView data)
{
    quint8 sum = 0;
    for (const char c : data)
        sum = quint8(sum + quint8(c));
    return sum;
}

qsizetype blockSizeFor(char header)
{
    return header == Soh ? ShortBlock : header == Stx ? LongBlock : 0;
}

qsizetype checkSize(Check check)
{
    return check == Check::Crc ? 2 : 1;
}

QByteArray block(quint8 number, QByteArrayView data, qsizetype size, Check check, char pad)
{
    QByteArray out;
    out.reserve(3 + size + 2);
    out += size == LongBlock ? Stx : Soh;
    out += char(number);
    out += char(quint8(~number));
    const qsizetype dataStart = out.size();
    out += data.first(qMin(data.size(), size));
    out.append(size - qMin(data.size(), size), pad);
    const QByteArrayView payload = QByteArrayView(out).sliced(dataStart);
    if (check == Check::Crc) {
        const quint16 crc = crc16(payload);
        out += char(crc >> 8);
        out += char(crc & 0xFF);
    } else {
        out += char(checksum(payload));
    }
    return out;
}

bool blockIntact(QByteArrayView body, qsizetype dataSize, Check check)
{
    if (body.size() != 2 + dataSize + checkSize(check))
        return false;
    if (quint8(body[0]) != quint8(~quint8(body[1])))
        return false;
    const QByteArrayView payload = body.sliced(2, dataSize);
    if (check == Check::Crc) {
        const quint16 sent = quint16(quint8(body[2 + dataSize]) << 8 | quint8(body[3 + dataSize]));
        return crc16(payload) == sent;
    }
    return checksum(payload) == quint8(body[2 + dataSize]);
}

QByteArray abortSequence()
{
    return QByteArray(8, Can);
}

QByteArray headerData(const Header &header)
{
    QByteArray data = header.name;
    if (header.name.isEmpty())
        return data;
    data += '\0';
    data += QByteArray::number(qMax<qint64>(header.size, 0));
    if (header.mtime >= 0)
        data += ' ' + QByteArray::number(header.mtime, 8);
    return data;
}

std::optional<Header> parseHeader(QByteArrayView data)
{
    const qsizetype end = data.indexOf('\0');
    if (end < 0)
        return std::nullopt;
    Header header;
    header.name = data.first(end).toByteArray();
    QByteArrayView rest = data.sliced(end + 1);
    header.size = number(rest, 10);
    if (header.size >= 0)
        header.mtime = number(rest, 8);
    return header;
}

} // namespace transfer
