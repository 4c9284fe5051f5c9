#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace quicksend {

// How text becomes bytes: UTF-8, or GB18030 (the superset of GBK) as the window's "文字编码".
enum class TextEncoding { Utf8, Gb18030 };

// The largest payload an entry may send.
constexpr qsizetype MaxPayloadBytes = 64 * 1024;

// A payload turned into bytes, and how the sent counter counts it: a text's characters (each
// escape one), or one per byte of hexadecimal. A refused payload says why and where: position
// and length in characters of the text typed, so that an editor can select the culprit.
struct Payload
{
    QByteArray bytes;
    qsizetype count = 0;
    QString error;
    qsizetype errorPosition = -1;
    qsizetype errorLength = 0;

    [[nodiscard]] bool ok() const { return error.isEmpty(); }
};

// Text with the escapes \r \n \t \\ and \xHH (one raw byte between the encoded pieces).
[[nodiscard]] Payload parseText(QStringView text, TextEncoding encoding);
// Hexadecimal bytes: "01 03 00 0A", "0103000A", commas and any blanks between them, each group
// an even number of digits, with or without 0x.
[[nodiscard]] Payload parseHex(QStringView text);

// Bytes as upper-case digit pairs separated by blanks, as the hex display shows them.
[[nodiscard]] QString hexBytes(QByteArrayView bytes);

} // namespace quicksend
