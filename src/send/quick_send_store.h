#pragma once

#include "quicksend/auto_reply.h"
#include "quicksend/entries.h"

#include <QList>
#include <QString>

class SettingsFile;

// The quick-send window's entries and the auto-reply rules in the settings file. Each section
// is written whole through the file's atomic section write: a failed write leaves the old
// entries as they were.
namespace quicksendstore {

struct Book
{
    QList<quicksend::Page> pages;
    QString place; // the window's geometry, base64
};
[[nodiscard]] Book loadBook(const SettingsFile &file);
void storeBook(const SettingsFile &file, const Book &book);

struct Replies
{
    bool on = false;
    QList<quicksend::Rule> rules;
};
[[nodiscard]] Replies loadReplies(const SettingsFile &file);
void storeReplies(const SettingsFile &file, const Replies &replies);

} // namespace quicksendstore
