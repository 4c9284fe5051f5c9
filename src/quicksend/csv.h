#pragma once

#include "quicksend/entries.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Entries as a spreadsheet keeps them: UTF-8 with a byte-order mark, one header row, quotes
// where a field needs them (RFC 4180).
namespace quicksend {

[[nodiscard]] QString csvLine(const QStringList &fields);
struct CsvRow
{
    int line = 0; // where the row starts, from 1
    QStringList fields;
};
// Rows of text; a quoted field may hold commas, quotes ("") and line breaks.
[[nodiscard]] QList<CsvRow> parseCsv(QStringView text);

[[nodiscard]] QByteArray exportCsv(const QList<Page> &pages);

// What an import found: the pages of its good rows, and a sentence for each bad row (or for a
// file that is no export at all, when nothing is taken).
struct Import
{
    QList<Page> pages;
    QStringList problems;
};
// UTF-8 with or without a byte-order mark; a file that is not UTF-8 is read as GBK, as a
// spreadsheet on a Chinese system saves it.
[[nodiscard]] Import importCsv(const QByteArray &file);

// Adds pages to into: entries of a page that exists by name go after its own.
void addPages(QList<Page> &into, const QList<Page> &pages);

} // namespace quicksend
