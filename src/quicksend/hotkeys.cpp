#include "quicksend/hotkeys.h"

namespace quicksend {

const QStringList &hotkeyChoices()
{
    static const QStringList keys = [] {
        QStringList all;
        for (int n = 1; n <= 12; ++n)
            all << QStringLiteral("F%1").arg(n);
        for (int n = 1; n <= 9; ++n)
            all << QStringLiteral("Ctrl+%1").arg(n);
        return all;
    }();
    return keys;
}

QString hotkeyRefusal(const QString &key, const QList<TakenKey> &taken, const QList<Page> &pages,
                      std::optional<EntryPlace> self)
{
    if (key.isEmpty())
        return {};
    if (!hotkeyChoices().contains(key))
        return QStringLiteral("热键“%1”不可用：只能用 F1–F12 或 Ctrl+1–Ctrl+9").arg(key);
    for (const TakenKey &use : taken) {
        if (use.key == key)
            return QStringLiteral("热键 %1 已用于%2").arg(key, use.use);
    }
    for (qsizetype p = 0; p < pages.size(); ++p) {
        for (qsizetype e = 0; e < pages.at(p).entries.size(); ++e) {
            if (self && self->page == p && self->entry == e)
                continue;
            const Entry &other = pages.at(p).entries.at(e);
            if (other.hotkey == key)
                return QStringLiteral("热键 %1 已用于条目“%2”（页“%3”）")
                    .arg(key, other.name, pages.at(p).name);
        }
    }
    return {};
}

} // namespace quicksend
