#include "quicksend/crc.h"

namespace quicksend {

quint32 reflect(quint32 value, int bits)
{
    quint32 out = 0;
    for (int i = 0; i < bits; ++i) {
        out = (out << 1) | (value & 1);
        value >>= 1;
    }
    return out;
}

Crc::Crc(const CrcModel &model)
    : m_model(model), m_mask(model.width >= 32 ? 0xFFFFFFFFu : (1u << model.width) - 1)
{
    // A reflected model runs its register backwards, so that each byte enters at the low end.
    const quint32 poly = model.refIn ? reflect(model.poly, model.width) : model.poly;
    const quint32 top = 1u << (model.width - 1);
    for (quint32 i = 0; i < 256; ++i) {
        quint32 reg = model.refIn ? i : i << (model.width - 8);
        for (int bit = 0; bit < 8; ++bit) {
            if (model.refIn)
                reg = (reg & 1) ? (reg >> 1) ^ poly : reg >> 1;
            else
                reg = (reg & top) ? (reg << 1) ^ poly : reg << 1;
        }
        m_table[i] = reg & m_mask;
    }
}

quint32 Crc::compute(QByteArrayView bytes) const
{
    const int shift = m_model.width - 8;
    quint32 reg = m_model.refIn ? reflect(m_model.init & m_mask, m_model.width) : m_model.init;
    reg &= m_mask;
    for (const char c : bytes) {
        const auto b = static_cast<quint8>(c);
        if (m_model.refIn)
            reg = m_table[(reg ^ b) & 0xFF] ^ (reg >> 8);
        else
            reg = (m_table[((reg >> shift) ^ b) & 0xFF] ^ (reg << 8)) & m_mask;
    }
    // The register holds the result reflected when the input was; refOut says how it is read.
    if (m_model.refIn != m_model.refOut)
        reg = reflect(reg, m_model.width);
    return (reg ^ m_model.xorOut) & m_mask;
}

} // namespace quicksend
