#pragma once

#include <QByteArrayView>

#include <array>

namespace quicksend {

// A CRC in the Rocksoft model: width 8, 16 or 32, the polynomial without its top bit, the
// register's start, whether input bytes and the result are reflected, and what the result is
// XORed with.
struct CrcModel
{
    int width = 16;
    quint32 poly = 0x8005;
    quint32 init = 0;
    bool refIn = false;
    bool refOut = false;
    quint32 xorOut = 0;

    friend bool operator==(const CrcModel &a, const CrcModel &b)
    {
        return a.width == b.width && a.poly == b.poly && a.init == b.init && a.refIn == b.refIn &&
               a.refOut == b.refOut && a.xorOut == b.xorOut;
    }
};

// A model's table, built once; a byte at a time.
class Crc
{
public:
    explicit Crc(const CrcModel &model);
    [[nodiscard]] quint32 compute(QByteArrayView bytes) const;

private:
    CrcModel m_model;
    quint32 m_mask;
    std::array<quint32, 256> m_table{};
};

[[nodiscard]] quint32 reflect(quint32 value, int bits);

} // namespace quicksend
