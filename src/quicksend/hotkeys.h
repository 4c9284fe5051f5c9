#pragma once

#include "quicksend/entries.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quicksend {

// A key the program already answers, and what it does there.
struct TakenKey
{
    QString key; // as QKeySequence writes it
    QString use;
};

// The keys an entry can have: F1 to F12 and Ctrl+1 to Ctrl+9.
[[nodiscard]] const QStringList &hotkeyChoices();

// Why key cannot be the hotkey of the entry at self: not one of the choices, taken by the
// program, or by another entry (named). Empty when it can.
[[nodiscard]] QString hotkeyRefusal(const QString &key, const QList<TakenKey> &taken,
                                    const QList<Page> &pages, std::optional<EntryPlace> self);

} // namespace quicksend
