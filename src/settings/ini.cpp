#include "settings/ini.h"

#include <QByteArrayView>
#include <QList>
#include <QStringDecoder>

// Values with line breaks are stored as one line: enclosed in double quotes, with \r, \n, \\ and
// \" escapes. The reader decodes a double-quoted value only when its content holds one of those
// four tokens, so settings files written without escapes read as they always did. The writer
// therefore also escapes a one-line value that would otherwise be decoded on reading (one that
// starts and ends with a double quote and holds a token), so that every value round-trips.

namespace ini {
namespace {

constexpr qsizetype MaxValueBytes = 255;
const QByteArray Utf8Bom("\xEF\xBB\xBF");

// UTF-8 as it is: QString::fromUtf8 drops a U+FEFF at the start, which a name or value may hold.
QString fromUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    return decoder.decode(bytes);
}

struct Line
{
    qsizetype begin = 0; // first byte of the content
    qsizetype end = 0;   // one past the content, where the line end starts
    qsizetype next = 0;  // first byte of the next line
};

enum class Kind { Other, Section, Key };

struct Entry
{
    Kind kind = Kind::Other;
    QString name;
    qsizetype afterEquals = 0; // Key only: first byte after "="
    qsizetype valueBegin = 0;  // Key only: first byte after "=" and the blanks behind it
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimBlanks(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

QList<Line> splitLines(const QByteArray &file)
{
    QList<Line> lines;
    qsizetype pos = file.startsWith(Utf8Bom) ? Utf8Bom.size() : 0;
    while (pos < file.size()) {
        Line line;
        line.begin = pos;
        while (pos < file.size() && file[pos] != '\r' && file[pos] != '\n')
            ++pos;
        line.end = pos;
        if (pos < file.size() && file[pos] == '\r')
            ++pos;
        if (pos < file.size() && file[pos] == '\n')
            ++pos;
        line.next = pos;
        lines.append(line);
    }
    return lines;
}

Entry classify(const QByteArray &file, const Line &line)
{
    Entry entry;
    const QByteArrayView content = QByteArrayView(file).sliced(line.begin, line.end - line.begin);
    const QByteArrayView text = trimBlanks(content);
    if (text.isEmpty() || text.front() == ';')
        return entry;
    if (text.front() == '[') {
        const qsizetype close = text.lastIndexOf(']');
        if (close > 0) {
            entry.kind = Kind::Section;
            entry.name = fromUtf8(trimBlanks(text.sliced(1, close - 1)));
            return entry;
        }
    }
    const qsizetype equals = content.indexOf('=');
    if (equals < 0)
        return entry;
    entry.kind = Kind::Key;
    entry.name = fromUtf8(trimBlanks(content.first(equals)));
    entry.afterEquals = line.begin + equals + 1;
    qsizetype value = entry.afterEquals;
    while (value < line.end && isBlank(file[value]))
        ++value;
    entry.valueBegin = value;
    return entry;
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Where a key stands in the file, by line index; -1 for what is not there.
struct Location
{
    qsizetype section = -1;
    qsizetype key = -1;
    qsizetype lastKey = -1; // last key line of the section, whatever its name
    Entry keyEntry;
};

Location locate(const QByteArray &file, const QList<Line> &lines, const QString &section,
                const QString &key)
{
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    Location where;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Entry entry = classify(file, lines[i]);
        if (entry.kind == Kind::Section) {
            // Only the first section of that name counts.
            if (where.section >= 0)
                break;
            if (sameName(entry.name, sectionName))
                where.section = i;
        } else if (entry.kind == Kind::Key && where.section >= 0) {
            where.lastKey = i;
            if (where.key < 0 && sameName(entry.name, keyName)) {
                where.key = i;
                where.keyEntry = entry;
            }
        }
    }
    return where;
}

bool isEscapeToken(QByteArrayView text, qsizetype i)
{
    if (text[i] != '\\' || i + 1 >= text.size())
        return false;
    const char c = text[i + 1];
    return c == 'r' || c == 'n' || c == '\\' || c == '"';
}

bool holdsEscapeToken(QByteArrayView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isEscapeToken(text, i))
            return true;
    }
    return false;
}

QByteArray unescape(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isEscapeToken(text, i)) {
            out.append(text[i]);
            continue;
        }
        ++i;
        switch (text[i]) {
        case 'r':
            out.append('\r');
            break;
        case 'n':
            out.append('\n');
            break;
        default:
            out.append(text[i]);
            break;
        }
    }
    return out;
}

bool isEncoded(QByteArrayView value)
{
    return value.size() >= 2 && value.front() == '"' && value.back() == '"' &&
           holdsEscapeToken(value.sliced(1, value.size() - 2));
}

QString decodeValue(QByteArrayView raw)
{
    const QByteArrayView value = trimBlanks(raw);
    if (isEncoded(value))
        return fromUtf8(unescape(value.sliced(1, value.size() - 2)));
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return fromUtf8(quoted ? value.sliced(1, value.size() - 2) : value);
}

// In double quotes, with \r, \n, \\ and \" escaped.
QByteArray quoteEscaped(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 8);
    out.append('"');
    for (const char c : bytes) {
        switch (c) {
        case '\r':
            out.append("\\r");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '"':
            out.append("\\\"");
            break;
        default:
            out.append(c);
            break;
        }
    }
    out.append('"');
    return out;
}

QByteArray encodeValue(const QString &value)
{
    const QByteArray bytes = value.toUtf8();
    const bool multiLine = bytes.contains('\r') || bytes.contains('\n');
    if (!multiLine && !isEncoded(trimBlanks(bytes)))
        return bytes;
    return quoteEscaped(bytes);
}

// The value ends before its first NUL, as a C string read back from the file would.
QString cutAtNul(QString text)
{
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        text.truncate(nul);
    return text;
}

QString cutToMaxBytes(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() <= MaxValueBytes)
        return text;
    qsizetype cut = MaxValueBytes;
    // Back up to the lead byte of the character the cut would split.
    while (cut > 0 && (static_cast<uchar>(bytes[cut]) & 0xC0) == 0x80)
        --cut;
    return fromUtf8(bytes.first(cut));
}

QByteArray lineEnding(const QByteArray &file)
{
    for (qsizetype i = 0; i < file.size(); ++i) {
        if (file[i] == '\n')
            return "\n";
        if (file[i] == '\r')
            return i + 1 < file.size() && file[i + 1] == '\n' ? "\r\n" : "\r";
    }
#ifdef Q_OS_WIN
    return "\r\n";
#else
    return "\n";
#endif
}

} // namespace

QString readValue(const QByteArray &file, const QString &section, const QString &key,
                  const QString &fallback)
{
    const QList<Line> lines = splitLines(file);
    const Location where = locate(file, lines, section, key);
    if (where.key < 0)
        return cutToMaxBytes(fallback);
    const Line &line = lines[where.key];
    const qsizetype begin = where.keyEntry.valueBegin;
    return cutToMaxBytes(
        cutAtNul(decodeValue(QByteArrayView(file).sliced(begin, line.end - begin))));
}

QByteArray removeKey(const QByteArray &file, const QString &section, const QString &key)
{
    const QList<Line> lines = splitLines(file);
    const Location where = locate(file, lines, section, key);
    if (where.key < 0)
        return file;
    const Line &line = lines[where.key];
    QByteArray result = file;
    return result.remove(line.begin, line.next - line.begin);
}

namespace {

// Line indexes [header, end) of the first section named section; header is -1 when it is missing.
std::pair<qsizetype, qsizetype> sectionLines(const QByteArray &file, const QList<Line> &lines,
                                             const QString &section)
{
    const QString name = section.trimmed();
    qsizetype header = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Entry entry = classify(file, lines[i]);
        if (entry.kind != Kind::Section)
            continue;
        if (header >= 0)
            return {header, i};
        if (sameName(entry.name, name))
            header = i;
    }
    return {header, lines.size()};
}

} // namespace

QList<std::pair<QString, QString>> readSection(const QByteArray &file, const QString &section)
{
    const QList<Line> lines = splitLines(file);
    const auto [header, end] = sectionLines(file, lines, section);
    QList<std::pair<QString, QString>> entries;
    for (qsizetype i = header + 1; header >= 0 && i < end; ++i) {
        const Entry entry = classify(file, lines[i]);
        if (entry.kind != Kind::Key)
            continue;
        const QByteArrayView raw =
            QByteArrayView(file).sliced(entry.valueBegin, lines[i].end - entry.valueBegin);
        entries.append({entry.name, cutAtNul(decodeValue(raw))});
    }
    return entries;
}

QByteArray writeSection(const QByteArray &file, const QString &section,
                        const QList<std::pair<QString, QString>> &entries)
{
    const QList<Line> lines = splitLines(file);
    const auto [header, end] = sectionLines(file, lines, section);
    const QByteArray eol = lineEnding(file);
    QByteArray body;
    if (!entries.isEmpty()) {
        body = '[' + section.toUtf8() + ']' + eol;
        for (const auto &[key, value] : entries) {
            // Whole sections hold texts that must come back exactly: blanks around them and
            // quotes of their own included, which the plain form would lose.
            QByteArray encoded = encodeValue(value);
            if (decodeValue(encoded) != value)
                encoded = quoteEscaped(value.toUtf8());
            body += key.toUtf8() + '=' + encoded + eol;
        }
    }
    if (header < 0) {
        if (body.isEmpty())
            return file;
        QByteArray result = file;
        if (!lines.isEmpty() && lines.last().next == lines.last().end)
            result.append(eol);
        return result.append(body);
    }
    // Comments and blank lines at the section's end belong to what follows it.
    qsizetype last = end;
    while (last > header + 1 && classify(file, lines[last - 1]).kind == Kind::Other)
        --last;
    const qsizetype from = lines[header].begin;
    const qsizetype to = last < lines.size() ? lines[last].begin : file.size();
    QByteArray result = file;
    return result.replace(from, to - from, body);
}

QByteArray writeValue(const QByteArray &file, const QString &section, const QString &key,
                      const QString &value)
{
    const QList<Line> lines = splitLines(file);
    const Location where = locate(file, lines, section, key);
    const QByteArray encoded = encodeValue(value);
    const QByteArray eol = lineEnding(file);
    QByteArray result = file;

    if (where.key >= 0) {
        // Blanks after "=" stay, unless the value brings its own: otherwise they would pile up,
        // one set more with every write of a value that starts with a blank.
        const qsizetype begin = !encoded.isEmpty() && isBlank(encoded.front())
                                    ? where.keyEntry.afterEquals
                                    : where.keyEntry.valueBegin;
        return result.replace(begin, lines[where.key].end - begin, encoded);
    }

    const QByteArray keyLine = key.toUtf8() + '=' + encoded + eol;
    if (where.section >= 0) {
        const Line &anchor = lines[where.lastKey >= 0 ? where.lastKey : where.section];
        const QByteArray lead = anchor.next == anchor.end ? eol : QByteArray();
        return result.insert(anchor.next, lead + keyLine);
    }

    const bool endsOpen = !lines.isEmpty() && lines.last().next == lines.last().end;
    if (endsOpen)
        result.append(eol);
    return result.append('[' + section.toUtf8() + ']' + eol + keyLine);
}

} // namespace ini
