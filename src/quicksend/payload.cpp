#include "quicksend/payload.h"

#include <QStringEncoder>

namespace quicksend {

namespace {

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char(',') || c == QChar(0xFF0C) || c.isSpace();
}

Payload refuse(Payload payload, QString message, qsizetype position, qsizetype length)
{
    payload.error = std::move(message);
    payload.errorPosition = position;
    payload.errorLength = length;
    payload.bytes.clear();
    return payload;
}

Payload tooLong()
{
    return refuse({}, QStringLiteral("内容超过 64 KB，不能发送"), 0, 0);
}

// Characters as the counters count them: a character beyond U+FFFF is one.
qsizetype characters(QStringView text)
{
    qsizetype n = text.size();
    for (const QChar c : text) {
        if (c.isLowSurrogate())
            --n;
    }
    return n;
}

} // namespace

Payload parseText(QStringView text, TextEncoding encoding)
{
    QStringEncoder encoder = encoding == TextEncoding::Utf8 ? QStringEncoder(QStringEncoder::Utf8)
                                                            : QStringEncoder("GB18030");
    Payload out;
    QString piece;
    const auto flush = [&] {
        out.bytes += encoder.encode(piece);
        out.count += characters(piece);
        piece.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\')) {
            piece += c;
            continue;
        }
        const QChar next = i + 1 < text.size() ? text.at(i + 1) : QChar();
        switch (next.unicode()) {
        case 'r':
            piece += QLatin1Char('\r');
            break;
        case 'n':
            piece += QLatin1Char('\n');
            break;
        case 't':
            piece += QLatin1Char('\t');
            break;
        case '\\':
            piece += QLatin1Char('\\');
            break;
        case 'x':
        case 'X': {
            const int high = i + 2 < text.size() ? hexDigit(text.at(i + 2)) : -1;
            const int low = i + 3 < text.size() ? hexDigit(text.at(i + 3)) : -1;
            if (high < 0 || low < 0)
                return refuse(out,
                              QStringLiteral("第 %1 个字符起的“%2”：\\x 后应为两位十六进制数")
                                  .arg(i + 1)
                                  .arg(text.mid(i, 4).toString()),
                              i, qMin<qsizetype>(4, text.size() - i));
            flush();
            out.bytes += char(high * 16 + low);
            ++out.count;
            i += 2;
            break;
        }
        default:
            return refuse(
                out,
                next.isNull()
                    ? QStringLiteral(
                          "第 %1 个字符：末尾的“\\”后缺少转义字符（要发送“\\”请写“\\\\”）")
                          .arg(i + 1)
                    : QStringLiteral("第 %1 个字符起的“\\%2”不是可用的转义（可用 \\r \\n "
                                     "\\t \\\\ \\xHH）")
                          .arg(i + 1)
                          .arg(next),
                i, next.isNull() ? 1 : 2);
        }
        ++i;
        if (out.bytes.size() > MaxPayloadBytes)
            return tooLong();
    }
    flush();
    if (out.bytes.size() > MaxPayloadBytes)
        return tooLong();
    return out;
}

Payload parseHex(QStringView text)
{
    Payload out;
    qsizetype i = 0;
    while (i < text.size()) {
        if (isSeparator(text.at(i))) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && !isSeparator(text.at(end)))
            ++end;
        const QStringView token = text.mid(i, end - i);
        qsizetype digits = i;
        if (token.size() > 2 && token.at(0) == QLatin1Char('0') &&
            (token.at(1) == QLatin1Char('x') || token.at(1) == QLatin1Char('X')))
            digits += 2;
        for (qsizetype k = digits; k < end; ++k) {
            if (hexDigit(text.at(k)) < 0)
                return refuse(out,
                              QStringLiteral("第 %1 个字符起的“%2”中，“%3”不是十六进制数字")
                                  .arg(i + 1)
                                  .arg(token.toString(), text.at(k)),
                              i, token.size());
        }
        if ((end - digits) % 2 != 0)
            return refuse(out,
                          QStringLiteral("第 %1 个字符起的“%2”是奇数个十六进制数字，"
                                         "每个字节应为两位")
                              .arg(i + 1)
                              .arg(token.toString()),
                          i, token.size());
        for (qsizetype k = digits; k < end; k += 2)
            out.bytes += char(hexDigit(text.at(k)) * 16 + hexDigit(text.at(k + 1)));
        if (out.bytes.size() > MaxPayloadBytes)
            return tooLong();
        i = end;
    }
    out.count = out.bytes.size();
    return out;
}

QString hexBytes(QByteArrayView bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<quint8>(c);
        if (!text.isEmpty())
            text += QLatin1Char(' ');
        text += QLatin1Char(digits[b >> 4]);
        text += QLatin1Char(digits[b & 0xF]);
    }
    return text;
}

} // namespace quicksend
