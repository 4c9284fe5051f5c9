#pragma once

#include "quicksend/checksum.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quicksend {

enum class Format { Text, Hex };
// Default: whatever the send box's "发送行尾" is at the moment of sending.
enum class Ending { Default, None, Cr, Lf, CrLf };

// A named command or frame the user keeps.
struct Entry
{
    QString name;
    Format format = Format::Text;
    QString content;
    Ending ending = Ending::Default; // text entries only
    Checksum checksum;
    QString hotkey; // as QKeySequence writes it ("F5", "Ctrl+3"); empty: none
    int delayMs = 0;
    bool ticked = false; // chosen for sending in order

    friend bool operator==(const Entry &a, const Entry &b)
    {
        return a.name == b.name && a.format == b.format && a.content == b.content &&
               a.ending == b.ending && a.checksum == b.checksum && a.hotkey == b.hotkey &&
               a.delayMs == b.delayMs && a.ticked == b.ticked;
    }
};

struct Page
{
    QString name;
    QList<Entry> entries;

    friend bool operator==(const Page &a, const Page &b)
    {
        return a.name == b.name && a.entries == b.entries;
    }
};

// The longest delay after an entry: a day.
constexpr int MaxDelayMs = 24 * 3600 * 1000;

// The words of each field, as the lists show them and the CSV file writes them.
[[nodiscard]] QString formatName(Format format);
[[nodiscard]] QString endingName(Ending ending);
[[nodiscard]] QString formName(bool hexText);
[[nodiscard]] QString orderName(bool lowFirst);
[[nodiscard]] const QStringList &endingNames();
[[nodiscard]] const QStringList &formNames();
[[nodiscard]] const QStringList &orderNames();
// The chars of an ending other than Default.
[[nodiscard]] QString endingChars(Ending ending);

// An entry as the fields of a row, in the order of fieldNames() after its first (the page),
// and back. A field that cannot be read names itself in error.
[[nodiscard]] const QStringList &fieldNames();
[[nodiscard]] QStringList entryFields(const Entry &entry);
[[nodiscard]] std::optional<Entry> entryFromFields(const QStringList &fields, QString *error);

// Where entry `name` of page `page` is, or nullopt: the first of that name.
struct EntryPlace
{
    qsizetype page;
    qsizetype entry;
};
[[nodiscard]] std::optional<EntryPlace> findEntry(const QList<Page> &pages, const QString &page,
                                                  const QString &name);

} // namespace quicksend
