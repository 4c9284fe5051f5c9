#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The texts sent by hand from the send box, newest first, and a shell-like walk through them:
// stepping back from the text being typed keeps it, and stepping forward past the newest entry
// gives it back.
class SendHistory
{
public:
    static constexpr int MaxEntries = 50;

    [[nodiscard]] const QStringList &entries() const { return m_entries; }
    // Keeps the newest MaxEntries, without empty texts or a repeat of the entry before.
    void setEntries(const QStringList &entries);
    // Records a sent text; false when nothing changed (empty, or a repeat of the newest).
    bool add(const QString &text);
    void clear();

    // The entry one older than the one shown, remembering `typed` when the walk starts; nullopt
    // at the oldest.
    [[nodiscard]] std::optional<QString> older(const QString &typed);
    // The entry one newer, or the remembered text past the newest; nullopt when not walking.
    [[nodiscard]] std::optional<QString> newer();
    // The text was changed by something other than the walk: the next step starts afresh.
    void stopWalking() { m_walk = -1; }

private:
    QStringList m_entries;
    // The entry shown, or -1 while the text is the user's own.
    qsizetype m_walk = -1;
    QString m_typed;
};
