#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

// The four values of a line settings string such as "9600,N,8,1".
struct LineSettings
{
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    int dataBits = 8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    friend bool operator==(const LineSettings &a, const LineSettings &b)
    {
        return a.baud == b.baud && a.parity == b.parity && a.dataBits == b.dataBits &&
               a.stopBits == b.stopBits;
    }
    friend bool operator!=(const LineSettings &a, const LineSettings &b) { return !(a == b); }
};

// The setting a device (or Linux) refused.
enum class RefusedSetting { None, Baud, Parity, DataBits, StopBits };

// The parity list's entries and the letter each stands for in a line settings string.
struct ParityChoice
{
    QString text;
    QString letter;
};
inline const ParityChoice parityChoices[] = {
    {QStringLiteral("无None"), QStringLiteral("N")},
    {QStringLiteral("奇Odd"), QStringLiteral("O")},
    {QStringLiteral("偶Even"), QStringLiteral("E")},
};

// "baud,parity,data bits,stop bits" with no blanks: baud a positive whole number, parity one of
// N O E M S (either case), data bits 4 to 8, stop bits 1, 1.5 or 2. Whether a device can take
// the values is not judged here. nullopt when the text does not have this form.
[[nodiscard]] std::optional<LineSettings> parseLineSettings(const QString &text);
