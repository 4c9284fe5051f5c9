#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The blocks of XMODEM and YMODEM: the control bytes, both checks and the YMODEM header that
// block 0 carries. Pure functions of bytes.
namespace transfer {

inline constexpr char Soh = 0x01; // a 128-byte block follows
inline constexpr char Stx = 0x02; // a 1024-byte block follows
inline constexpr char Eot = 0x04;
inline constexpr char Ack = 0x06;
inline constexpr char Nak = 0x15;
inline constexpr char Can = 0x18;
inline constexpr char Sub = 0x1A; // pads the last block
inline constexpr char CrcStart = 'C';

inline constexpr qsizetype ShortBlock = 128;
inline constexpr qsizetype LongBlock = 1024;

enum class Check { Sum, Crc };

// CRC-16 with polynomial 0x1021 and initial value 0, as XMODEM-CRC sends it (big-endian).
[[nodiscard]] quint16 crc16(QByteArrayView data);
[[nodiscard]] quint8 checksum(QByteArrayView data);

// One block on the wire: SOH or STX, the number and its complement, the data padded with
// pad to 128 or 1024 bytes, then the check.
[[nodiscard]] QByteArray block(quint8 number, QByteArrayView data, qsizetype size, Check check,
                               char pad = Sub);
// What a block's header byte announces: its data size, or 0 for no block header.
[[nodiscard]] qsizetype blockSizeFor(char header);
[[nodiscard]] qsizetype checkSize(Check check);
// Whether the data of a received block (number, complement, data, check) is intact.
[[nodiscard]] bool blockIntact(QByteArrayView body, qsizetype dataSize, Check check);

// The abort both protocols define: a run of CAN, more than any receiver waits for.
[[nodiscard]] QByteArray abortSequence();

// YMODEM's block 0: "name NUL size mtime" in decimal and octal, NUL padded. An empty name is
// the end of a batch.
struct Header
{
    QByteArray name;
    qint64 size = -1;  // -1: not given
    qint64 mtime = -1; // seconds since the epoch, -1: not given
};
[[nodiscard]] QByteArray headerData(const Header &header);
[[nodiscard]] std::optional<Header> parseHeader(QByteArrayView data);

} // namespace transfer
