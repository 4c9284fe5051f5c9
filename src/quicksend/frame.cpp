#include "quicksend/frame.h"

namespace quicksend {

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool allDigitPairs(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.size() % 2 != 0)
        return false;
    for (const char c : bytes) {
        if (!isHexDigit(c))
            return false;
    }
    return true;
}

Frame refuse(const QString &why)
{
    Frame frame;
    frame.error = why;
    return frame;
}

} // namespace

Frame insertChecksum(Frame frame, const Checksum &checksum)
{
    if (!frame.ok() || checksum.algorithm == Algorithm::None)
        return frame;
    const qsizetype n = frame.bytes.size();
    const qsizetype start = checksum.start < 0 ? n + checksum.start : checksum.start;
    const qsizetype end = checksum.end < 0 ? n + checksum.end : checksum.end;
    // An empty range (start just past end) is allowed: an empty frame's checksum.
    if (start < 0 || end >= n || start > end + 1)
        return refuse(QStringLiteral("校验范围 %1,%2 超出了 %3 字节的帧")
                          .arg(checksum.start)
                          .arg(checksum.end)
                          .arg(n));
    const qsizetype at = checksum.position < 0 ? n + checksum.position + 1 : checksum.position;
    if (at < 0 || at > n)
        return refuse(
            QStringLiteral("校验位置 %1 超出了 %2 字节的帧").arg(checksum.position).arg(n));

    QByteArray covered = frame.bytes.mid(start, end - start + 1);
    if (checksum.hexText && checksum.algorithm == Algorithm::Lrc && allDigitPairs(covered))
        covered = QByteArray::fromHex(covered);
    const quint32 value = checksumValue(checksum.algorithm, checksum.custom, covered);
    const int width = checksumBytes(checksum.algorithm, checksum.custom);
    QByteArray sum;
    for (int i = 0; i < width; ++i) {
        const int shift = 8 * (checksum.lowFirst ? i : width - 1 - i);
        sum += char((value >> shift) & 0xFF);
    }
    if (checksum.hexText)
        sum = sum.toHex().toUpper();
    frame.bytes.insert(at, sum);
    frame.count += sum.size();
    return frame;
}

Frame buildFrame(const Entry &entry, TextEncoding encoding, const QString &defaultEnding)
{
    Frame frame;
    if (entry.format == Format::Hex) {
        frame = parseHex(entry.content);
    } else {
        frame = parseText(entry.content, encoding);
        if (frame.ok()) {
            const QString ending =
                entry.ending == Ending::Default ? defaultEnding : endingChars(entry.ending);
            frame.bytes += ending.toLatin1();
            frame.count += ending.size();
        }
    }
    return insertChecksum(std::move(frame), entry.checksum);
}

} // namespace quicksend
