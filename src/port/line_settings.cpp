#include "port/line_settings.h"

#include <QStringList>

namespace {

std::optional<qint32> parseBaud(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    const int baud = text.toInt(&ok);
    if (!ok || baud <= 0)
        return std::nullopt;
    return baud;
}

std::optional<QSerialPort::Parity> parseParity(const QString &text)
{
    if (text.size() != 1)
        return std::nullopt;
    switch (text.at(0).toUpper().unicode()) {
    case 'N':
        return QSerialPort::NoParity;
    case 'O':
        return QSerialPort::OddParity;
    case 'E':
        return QSerialPort::EvenParity;
    case 'M':
        return QSerialPort::MarkParity;
    case 'S':
        return QSerialPort::SpaceParity;
    default:
        return std::nullopt;
    }
}

std::optional<QSerialPort::StopBits> parseStopBits(const QString &text)
{
    if (text == QLatin1String("1"))
        return QSerialPort::OneStop;
    if (text == QLatin1String("1.5"))
        return QSerialPort::OneAndHalfStop;
    if (text == QLatin1String("2"))
        return QSerialPort::TwoStop;
    return std::nullopt;
}

} // namespace

std::optional<LineSettings> parseLineSettings(const QString &text)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;
    const std::optional<qint32> baud = parseBaud(fields.at(0));
    const std::optional<QSerialPort::Parity> parity = parseParity(fields.at(1));
    const QString &data = fields.at(2);
    const bool dataOk =
        data.size() == 1 && data.at(0) >= QLatin1Char('4') && data.at(0) <= QLatin1Char('8');
    const std::optional<QSerialPort::StopBits> stop = parseStopBits(fields.at(3));
    if (!baud || !parity || !dataOk || !stop)
        return std::nullopt;
    return LineSettings{*baud, *parity, data.at(0).unicode() - '0', *stop};
}
