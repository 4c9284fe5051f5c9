#include "transfer/transfer_options.h"

#include <QRegularExpression>
#include <QUrl>

namespace transfer {

QString protocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::Text:
        return QStringLiteral("文本");
    case Protocol::Xmodem:
        return QStringLiteral("XMODEM");
    case Protocol::Xmodem1K:
        return QStringLiteral("XMODEM-1K");
    case Protocol::Ymodem:
        return QStringLiteral("YMODEM");
    case Protocol::Zmodem:
        break;
    }
    return QStringLiteral("ZMODEM");
}

Protocol protocolFromName(const QString &name, Protocol fallback)
{
    for (const Protocol p : Protocols) {
        if (protocolName(p).compare(name.trimmed(), Qt::CaseInsensitive) == 0)
            return p;
    }
    return fallback;
}

QString lineEndingName(LineEnding ending)
{
    switch (ending) {
    case LineEnding::AsIs:
        return QStringLiteral("原样");
    case LineEnding::Cr:
        return QStringLiteral("CR");
    case LineEnding::Lf:
        return QStringLiteral("LF");
    case LineEnding::CrLf:
        break;
    }
    return QStringLiteral("CR+LF");
}

LineEnding lineEndingFromName(const QString &name, LineEnding fallback)
{
    for (const LineEnding e : LineEndings) {
        if (lineEndingName(e).compare(name.trimmed(), Qt::CaseInsensitive) == 0)
            return e;
    }
    return fallback;
}

bool canReceive(Protocol protocol)
{
    return protocol != Protocol::Text;
}

bool takesSeveralFiles(Protocol protocol)
{
    return protocol == Protocol::Ymodem || protocol == Protocol::Zmodem;
}

QByteArray decodeEscapes(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        const char next = in[i + 1];
        const char *simple = next == 'r'    ? "\r"
                             : next == 'n'  ? "\n"
                             : next == 't'  ? "\t"
                             : next == '\\' ? "\\"
                                            : nullptr;
        if (simple) {
            out += simple;
            ++i;
            continue;
        }
        bool ok = false;
        const int value = next == 'x' ? in.mid(i + 2, 2).toInt(&ok, 16) : 0;
        if (ok && in.mid(i + 2, 2).size() == 2) {
            out += char(value);
            i += 3;
            continue;
        }
        out += in[i];
    }
    return out;
}

QStringList splitFileField(const QString &text)
{
    QStringList paths;
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(QLatin1Char('"'))) {
        for (const QString &part : trimmed.split(QLatin1Char('"'))) {
            if (!part.trimmed().isEmpty())
                paths.append(part);
        }
        return paths;
    }
    const QStringList lines =
        trimmed.split(QRegularExpression(QStringLiteral("[\r\n]+")), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QString path = line.trimmed();
        const QUrl url(path);
        paths.append(url.isLocalFile() ? url.toLocalFile() : path);
    }
    return paths;
}

QString joinFileField(const QStringList &paths)
{
    if (paths.size() == 1)
        return paths.first();
    QStringList quoted;
    for (const QString &path : paths)
        quoted.append(QLatin1Char('"') + path + QLatin1Char('"'));
    return quoted.join(QLatin1Char(' '));
}

bool WindowSettings::operator==(const WindowSettings &o) const
{
    return protocol == o.protocol && startCommand == o.startCommand && only1K == o.only1K &&
           charDelayMs == o.charDelayMs && lineDelayMs == o.lineDelayMs &&
           lineEnding == o.lineEnding && prompt == o.prompt && folder == o.folder &&
           stripPadding == o.stripPadding && geometry == o.geometry;
}

Request requestFrom(const WindowSettings &settings)
{
    Request request;
    request.protocol = settings.protocol;
    request.folder = settings.folder;
    request.startCommand = decodeEscapes(settings.startCommand);
    request.only1K = settings.only1K;
    request.stripPadding = settings.stripPadding;
    request.text.charDelayMs = settings.charDelayMs;
    request.text.lineDelayMs = settings.lineDelayMs;
    request.text.ending = settings.lineEnding;
    request.text.prompt = decodeEscapes(settings.prompt);
    request.text.promptFirst = !request.startCommand.isEmpty();
    return request;
}

} // namespace transfer
