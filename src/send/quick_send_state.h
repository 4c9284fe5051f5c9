#pragma once

#include "quicksend/auto_reply.h"
#include "quicksend/entries.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

class QShortcut;

// What the window keeps of quick-send whether or not its window is open: the entries (their
// hotkeys answer with the window closed), the auto-reply rules and their matcher, and the
// entries of a sequence under way.
struct QuickSendState
{
    QList<quicksend::Page> pages;
    QString place;
    QList<quicksend::Rule> rules;
    bool repliesOn = false;
    quicksend::ReplyMatcher matcher;
    // Steady time for the rules' gaps.
    QElapsedTimer clock;
    QList<quicksend::Entry> sequence;
    QList<QShortcut *> hotkeys;
};
