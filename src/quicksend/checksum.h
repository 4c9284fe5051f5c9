#pragma once

#include "quicksend/crc.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace quicksend {

enum class Algorithm {
    None,
    Sum8,
    Xor8,
    Sum16,
    Lrc, // two's complement of the byte sum
    Crc8Smbus,
    Crc8MaximDow,
    Crc16Modbus,
    Crc16Xmodem,
    Crc16CcittFalse,
    Crc16Arc,
    Crc32,
    CustomCrc,
};

// One checksum of the catalogue: the name users know it by, and how it goes on the wire by
// default.
struct AlgorithmInfo
{
    Algorithm algorithm;
    QString name;
    int bytes;
    bool lowFirst;
    std::optional<CrcModel> crc;
};
// Every algorithm, None first and CustomCrc last, in the order the lists show them.
[[nodiscard]] const QList<AlgorithmInfo> &catalogue();
[[nodiscard]] const AlgorithmInfo &info(Algorithm algorithm);

// What an entry appends: the algorithm over a range of the frame (inclusive, a negative end
// counts from the end: -1 is the last byte), put in at a position (before that byte; a negative
// one counts from the end: -1 is after the last byte, -3 before a CR LF), as raw bytes or as
// ASCII hexadecimal digits, in a byte order.
struct Checksum
{
    Algorithm algorithm = Algorithm::None;
    CrcModel custom;
    int start = 0;
    int end = -1;
    int position = -1;
    bool hexText = false;
    bool lowFirst = false;

    friend bool operator==(const Checksum &a, const Checksum &b)
    {
        return a.algorithm == b.algorithm && a.custom == b.custom && a.start == b.start &&
               a.end == b.end && a.position == b.position && a.hexText == b.hexText &&
               a.lowFirst == b.lowFirst;
    }
};

// A checksum of algorithm with its usual byte order and placement.
[[nodiscard]] Checksum defaultChecksum(Algorithm algorithm);
[[nodiscard]] int checksumBytes(Algorithm algorithm, const CrcModel &custom);
[[nodiscard]] quint32 checksumValue(Algorithm algorithm, const CrcModel &custom,
                                    QByteArrayView bytes);

// The catalogue's name, "无" for none, or CRC(宽度,多项式,初值,输入反转,输出反转,结果异或) with
// the numbers in hexadecimal and the switches as 1 or 0.
[[nodiscard]] QString checksumName(Algorithm algorithm, const CrcModel &custom);
// The algorithm (and the custom model) a name stands for; nullopt for none of them. Accepts the
// custom form with blanks and 0x prefixes.
struct NamedChecksum
{
    Algorithm algorithm;
    CrcModel custom;
};
[[nodiscard]] std::optional<NamedChecksum> parseChecksumName(const QString &name);

} // namespace quicksend
