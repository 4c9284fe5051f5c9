#include "send/quick_send_store.h"

#include "app/settings_keys.h"
#include "quicksend/csv.h"
#include "settings/settings_file.h"

#include <QHash>

namespace quicksendstore {

using namespace quicksend;

Book loadBook(const SettingsFile &file)
{
    Book book;
    QHash<QString, QString> values;
    for (const auto &[key, value] : file.readSection(settingkeys::quickSendSection))
        values.insert(key, value);
    book.place = values.value(settingkeys::quickSendPlaceKey);
    for (int n = 1; values.contains(settingkeys::quickSendPageKey(n)); ++n)
        book.pages << Page{values.value(settingkeys::quickSendPageKey(n)), {}};
    for (int n = 1; values.contains(settingkeys::quickSendEntryKey(n)); ++n) {
        const QStringList fields =
            parseCsv(values.value(settingkeys::quickSendEntryKey(n))).value(0).fields;
        // A hand-edited row that cannot be read is left out, not the rest with it.
        std::optional<Entry> entry =
            entryFromFields(fields.mid(1, fieldNames().size() - 1), nullptr);
        if (!entry || fields.size() != fieldNames().size() + 1)
            continue;
        entry->ticked = fields.last() == QLatin1String("1");
        addPages(book.pages, {Page{fields.first(), {*entry}}});
    }
    return book;
}

void storeBook(const SettingsFile &file, const Book &book)
{
    QList<std::pair<QString, QString>> entries;
    int row = 0;
    for (int n = 0; n < book.pages.size(); ++n) {
        const Page &page = book.pages.at(n);
        entries.append({settingkeys::quickSendPageKey(n + 1), page.name});
        for (const Entry &entry : page.entries) {
            const QStringList fields =
                QStringList{page.name} + entryFields(entry) +
                QStringList{entry.ticked ? QStringLiteral("1") : QStringLiteral("0")};
            entries.append({settingkeys::quickSendEntryKey(++row), csvLine(fields)});
        }
    }
    if (!book.place.isEmpty())
        entries.append({settingkeys::quickSendPlaceKey, book.place});
    file.writeSection(settingkeys::quickSendSection, entries);
}

Replies loadReplies(const SettingsFile &file)
{
    Replies replies;
    QHash<QString, QString> values;
    for (const auto &[key, value] : file.readSection(settingkeys::autoReplySection))
        values.insert(key, value);
    replies.on = values.value(settingkeys::autoReplyOnKey) == QLatin1String("1");
    for (int n = 1; values.contains(settingkeys::autoReplyRuleKey(n)); ++n) {
        const std::optional<Rule> rule = ruleFromFields(
            parseCsv(values.value(settingkeys::autoReplyRuleKey(n))).value(0).fields);
        if (rule)
            replies.rules << *rule;
    }
    return replies;
}

void storeReplies(const SettingsFile &file, const Replies &replies)
{
    QList<std::pair<QString, QString>> entries{
        {settingkeys::autoReplyOnKey, replies.on ? QStringLiteral("1") : QStringLiteral("0")}};
    for (int n = 0; n < replies.rules.size(); ++n)
        entries.append(
            {settingkeys::autoReplyRuleKey(n + 1), csvLine(ruleFields(replies.rules.at(n)))});
    file.writeSection(settingkeys::autoReplySection, entries);
}

} // namespace quicksendstore
