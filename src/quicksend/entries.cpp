#include "quicksend/entries.h"

#include "quicksend/line_endings.h"

namespace quicksend {

namespace {

const QString defaultEndingName = QStringLiteral("默认");
// Far beyond any frame: a range or position past it is a typing error.
constexpr int maxOffset = 1 << 20;

std::optional<int> integer(const QString &text, int min, int max)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

QString formatName(Format format)
{
    return format == Format::Text ? QStringLiteral("文本") : QStringLiteral("十六进制");
}

const QStringList &endingNames()
{
    static const QStringList names = [] {
        QStringList all{defaultEndingName};
        for (const send::LineEnding &ending : send::lineEndings)
            all << ending.name;
        return all;
    }();
    return names;
}

QString endingName(Ending ending)
{
    return endingNames().at(int(ending));
}

QString endingChars(Ending ending)
{
    return ending == Ending::Default ? QString() : send::lineEnding(endingName(ending)).chars;
}

const QStringList &formNames()
{
    static const QStringList names{QStringLiteral("字节"), QStringLiteral("十六进制文本")};
    return names;
}

QString formName(bool hexText)
{
    return formNames().at(hexText ? 1 : 0);
}

const QStringList &orderNames()
{
    static const QStringList names{QStringLiteral("高位在前"), QStringLiteral("低位在前")};
    return names;
}

QString orderName(bool lowFirst)
{
    return orderNames().at(lowFirst ? 1 : 0);
}

const QStringList &fieldNames()
{
    static const QStringList names = QStringLiteral("页,名称,格式,内容,行尾,校验,校验范围,校验位置,"
                                                    "校验形式,字节序,热键,延时ms")
                                         .split(QLatin1Char(','));
    return names;
}

QStringList entryFields(const Entry &entry)
{
    const Checksum &sum = entry.checksum;
    return {entry.name,
            formatName(entry.format),
            entry.content,
            endingName(entry.ending),
            checksumName(sum.algorithm, sum.custom),
            QStringLiteral("%1,%2").arg(sum.start).arg(sum.end),
            QString::number(sum.position),
            formName(sum.hexText),
            orderName(sum.lowFirst),
            entry.hotkey,
            QString::number(entry.delayMs)};
}

std::optional<Entry> entryFromFields(const QStringList &fields, QString *error)
{
    const auto refuse = [error](int field, const QString &why) {
        if (error)
            *error = QStringLiteral("%1“%2”").arg(fieldNames().at(field + 1), why);
        return std::nullopt;
    };
    if (fields.size() != fieldNames().size() - 1) {
        if (error)
            *error = QStringLiteral("应有 %1 列，实有 %2 列")
                         .arg(fieldNames().size())
                         .arg(fields.size() + 1);
        return std::nullopt;
    }
    Entry entry;
    entry.name = fields.at(0);
    if (fields.at(1) == formatName(Format::Text))
        entry.format = Format::Text;
    else if (fields.at(1) == formatName(Format::Hex))
        entry.format = Format::Hex;
    else
        return refuse(1, fields.at(1));
    entry.content = fields.at(2);
    const qsizetype ending = endingNames().indexOf(fields.at(3));
    if (ending < 0)
        return refuse(3, fields.at(3));
    entry.ending = Ending(ending);

    const std::optional<NamedChecksum> named = parseChecksumName(fields.at(4));
    if (!named)
        return refuse(4, fields.at(4));
    Checksum &sum = entry.checksum;
    sum.algorithm = named->algorithm;
    sum.custom = named->custom;
    const QStringList range = fields.at(5).split(QLatin1Char(','));
    const std::optional<int> start = integer(range.value(0), -maxOffset, maxOffset);
    const std::optional<int> end = integer(range.value(1), -maxOffset, maxOffset);
    if (range.size() != 2 || !start || !end)
        return refuse(5, fields.at(5));
    sum.start = *start;
    sum.end = *end;
    const std::optional<int> position = integer(fields.at(6), -maxOffset, maxOffset);
    if (!position)
        return refuse(6, fields.at(6));
    sum.position = *position;
    const qsizetype form = formNames().indexOf(fields.at(7));
    if (form < 0)
        return refuse(7, fields.at(7));
    sum.hexText = form == 1;
    const qsizetype order = orderNames().indexOf(fields.at(8));
    if (order < 0)
        return refuse(8, fields.at(8));
    sum.lowFirst = order == 1;
    entry.hotkey = fields.at(9).trimmed();
    const std::optional<int> delay = integer(fields.at(10), 0, MaxDelayMs);
    if (!delay)
        return refuse(10, fields.at(10));
    entry.delayMs = *delay;
    return entry;
}

std::optional<EntryPlace> findEntry(const QList<Page> &pages, const QString &page,
                                    const QString &name)
{
    for (qsizetype p = 0; p < pages.size(); ++p) {
        if (pages.at(p).name != page)
            continue;
        for (qsizetype e = 0; e < pages.at(p).entries.size(); ++e) {
            if (pages.at(p).entries.at(e).name == name)
                return EntryPlace{p, e};
        }
    }
    return std::nullopt;
}

} // namespace quicksend
