#include "quicksend/checksum.h"

#include <QRegularExpression>

namespace quicksend {

namespace {

CrcModel model(int width, quint32 poly, quint32 init, bool reflected, quint32 xorOut)
{
    return {width, poly, init, reflected, reflected, xorOut};
}

// A table per catalogue CRC, built once.
const Crc &tableFor(Algorithm algorithm)
{
    static const QList<Crc> tables = [] {
        QList<Crc> built;
        for (const AlgorithmInfo &entry : catalogue())
            built.append(Crc(entry.crc.value_or(CrcModel{})));
        return built;
    }();
    return tables.at(int(algorithm));
}

} // namespace

const QList<AlgorithmInfo> &catalogue()
{
    static const QList<AlgorithmInfo> all = {
        {Algorithm::None, QStringLiteral("无"), 0, false, std::nullopt},
        {Algorithm::Sum8, QStringLiteral("SUM8"), 1, false, std::nullopt},
        {Algorithm::Xor8, QStringLiteral("XOR8"), 1, false, std::nullopt},
        {Algorithm::Sum16, QStringLiteral("SUM16"), 2, false, std::nullopt},
        {Algorithm::Lrc, QStringLiteral("LRC"), 1, false, std::nullopt},
        {Algorithm::Crc8Smbus, QStringLiteral("CRC-8/SMBUS"), 1, false,
         model(8, 0x07, 0x00, false, 0x00)},
        {Algorithm::Crc8MaximDow, QStringLiteral("CRC-8/MAXIM-DOW"), 1, false,
         model(8, 0x31, 0x00, true, 0x00)},
        {Algorithm::Crc16Modbus, QStringLiteral("CRC-16/MODBUS"), 2, true,
         model(16, 0x8005, 0xFFFF, true, 0x0000)},
        {Algorithm::Crc16Xmodem, QStringLiteral("CRC-16/XMODEM"), 2, false,
         model(16, 0x1021, 0x0000, false, 0x0000)},
        {Algorithm::Crc16CcittFalse, QStringLiteral("CRC-16/CCITT-FALSE"), 2, false,
         model(16, 0x1021, 0xFFFF, false, 0x0000)},
        {Algorithm::Crc16Arc, QStringLiteral("CRC-16/ARC"), 2, true,
         model(16, 0x8005, 0x0000, true, 0x0000)},
        {Algorithm::Crc32, QStringLiteral("CRC-32"), 4, true,
         model(32, 0x04C11DB7, 0xFFFFFFFF, true, 0xFFFFFFFF)},
        {Algorithm::CustomCrc, QStringLiteral("自定义 CRC"), 2, false, std::nullopt},
    };
    return all;
}

const AlgorithmInfo &info(Algorithm algorithm)
{
    return catalogue().at(int(algorithm));
}

Checksum defaultChecksum(Algorithm algorithm)
{
    Checksum checksum;
    checksum.algorithm = algorithm;
    checksum.lowFirst = info(algorithm).lowFirst;
    return checksum;
}

int checksumBytes(Algorithm algorithm, const CrcModel &custom)
{
    return algorithm == Algorithm::CustomCrc ? custom.width / 8 : info(algorithm).bytes;
}

quint32 checksumValue(Algorithm algorithm, const CrcModel &custom, QByteArrayView bytes)
{
    quint32 sum = 0;
    quint8 parity = 0;
    switch (algorithm) {
    case Algorithm::None:
        return 0;
    case Algorithm::Sum8:
    case Algorithm::Sum16:
    case Algorithm::Lrc:
        for (const char c : bytes)
            sum += static_cast<quint8>(c);
        if (algorithm == Algorithm::Lrc)
            return (0x100 - (sum & 0xFF)) & 0xFF;
        return sum & (algorithm == Algorithm::Sum8 ? 0xFF : 0xFFFF);
    case Algorithm::Xor8:
        for (const char c : bytes)
            parity ^= static_cast<quint8>(c);
        return parity;
    case Algorithm::CustomCrc:
        return Crc(custom).compute(bytes);
    default:
        return tableFor(algorithm).compute(bytes);
    }
}

QString checksumName(Algorithm algorithm, const CrcModel &custom)
{
    if (algorithm != Algorithm::CustomCrc)
        return info(algorithm).name;
    const int digits = custom.width / 4;
    const auto hex = [digits](quint32 value) {
        return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
    };
    return QStringLiteral("CRC(%1,%2,%3,%4,%5,%6)")
        .arg(custom.width)
        .arg(hex(custom.poly), hex(custom.init),
             custom.refIn ? QStringLiteral("1") : QStringLiteral("0"),
             custom.refOut ? QStringLiteral("1") : QStringLiteral("0"), hex(custom.xorOut));
}

std::optional<NamedChecksum> parseChecksumName(const QString &name)
{
    const QString trimmed = name.trimmed();
    for (const AlgorithmInfo &entry : catalogue()) {
        if (entry.algorithm != Algorithm::CustomCrc &&
            trimmed.compare(entry.name, Qt::CaseInsensitive) == 0)
            return NamedChecksum{entry.algorithm, CrcModel{}};
    }
    if (trimmed.isEmpty())
        return NamedChecksum{Algorithm::None, CrcModel{}};
    static const QRegularExpression custom(
        QStringLiteral(
            "^CRC\\s*\\(\\s*(8|16|32)\\s*,\\s*(?:0x)?([0-9A-F]{1,8})\\s*,\\s*(?:0x)?"
            "([0-9A-F]{1,8})\\s*,\\s*([01])\\s*,\\s*([01])\\s*,\\s*(?:0x)?([0-9A-F]{1,8})"
            "\\s*\\)$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = custom.match(trimmed);
    if (!match.hasMatch())
        return std::nullopt;
    CrcModel model;
    model.width = match.captured(1).toInt();
    model.poly = match.captured(2).toUInt(nullptr, 16);
    model.init = match.captured(3).toUInt(nullptr, 16);
    model.refIn = match.captured(4) == QLatin1String("1");
    model.refOut = match.captured(5) == QLatin1String("1");
    model.xorOut = match.captured(6).toUInt(nullptr, 16);
    const quint32 mask = model.width == 32 ? 0xFFFFFFFFu : (1u << model.width) - 1;
    if ((model.poly | model.init | model.xorOut) & ~mask)
        return std::nullopt;
    return NamedChecksum{Algorithm::CustomCrc, model};
}

} // namespace quicksend
