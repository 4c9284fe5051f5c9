#include "quicksend/csv.h"

#include <QStringDecoder>

namespace quicksend {

QString csvLine(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &field : fields) {
        if (field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"')) ||
            field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r')) ||
            field != field.trimmed()) {
            QString escaped = field;
            escaped.replace(QLatin1Char('"'), QStringLiteral("\"\""));
            quoted << QLatin1Char('"') + escaped + QLatin1Char('"');
        } else {
            quoted << field;
        }
    }
    return quoted.join(QLatin1Char(','));
}

QList<CsvRow> parseCsv(QStringView text)
{
    QList<CsvRow> rows;
    CsvRow row;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    int line = 1;
    row.line = 1;
    const auto endField = [&] {
        row.fields << field;
        field.clear();
        fieldStarted = false;
    };
    const auto endRow = [&] {
        endField();
        // A blank line is no row.
        if (!(row.fields.size() == 1 && row.fields.first().isEmpty()))
            rows << row;
        row = CsvRow{};
        row.line = line;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == QLatin1Char('\n'))
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == QLatin1Char('"') && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (c == QLatin1Char(',')) {
            endField();
        } else if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < text.size() &&
                text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            ++line;
            endRow();
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (fieldStarted || !row.fields.isEmpty())
        endRow();
    return rows;
}

QByteArray exportCsv(const QList<Page> &pages)
{
    QString text = csvLine(fieldNames()) + QStringLiteral("\r\n");
    for (const Page &page : pages) {
        for (const Entry &entry : page.entries)
            text += csvLine(QStringList{page.name} + entryFields(entry)) + QStringLiteral("\r\n");
    }
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

Import importCsv(const QByteArray &file)
{
    Import result;
    QByteArray bytes = file;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QStringDecoder("GB18030").decode(bytes);
    const QList<CsvRow> rows = parseCsv(text);
    QStringList header;
    for (const QString &field : rows.value(0).fields)
        header << field.trimmed();
    if (rows.isEmpty() || header != fieldNames()) {
        result.problems << QStringLiteral(
                               "第 1 行不是快捷发送导出的表头（应为 %1），未导入任何条目")
                               .arg(fieldNames().join(QLatin1Char(',')));
        return result;
    }
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const CsvRow &row = rows.at(i);
        QString why;
        const std::optional<Entry> entry = entryFromFields(row.fields.mid(1), &why);
        if (!entry) {
            result.problems << QStringLiteral("第 %1 行：%2").arg(row.line).arg(why);
            continue;
        }
        addPages(result.pages, {Page{row.fields.at(0), {*entry}}});
    }
    return result;
}

void addPages(QList<Page> &into, const QList<Page> &pages)
{
    for (const Page &page : pages) {
        auto same = std::find_if(into.begin(), into.end(),
                                 [&](const Page &mine) { return mine.name == page.name; });
        if (same == into.end())
            into << page;
        else
            same->entries += page.entries;
    }
}

} // namespace quicksend
