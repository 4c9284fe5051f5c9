#pragma once

#include "quicksend/auto_reply.h"

#include <QList>
#include <QStringList>

// Twenty rules as a user collects them for boot loaders, shells and modems: literals and
// expressions, none of which the streamed lines match.
inline QList<quicksend::Rule> twentyRules()
{
    const QStringList literals = {"Hit any key to stop autoboot",
                                  "login: ",
                                  "Password:",
                                  "Guru Meditation Error",
                                  "Brownout detector",
                                  "rst:0x",
                                  "+CME ERROR",
                                  "NO CARRIER",
                                  "Press Ctrl+C",
                                  "=> ",
                                  "Kernel panic",
                                  "Watchdog",
                                  "ERROR:",
                                  "Backtrace:"};
    const QStringList expressions = {"^E \\(\\d+\\) \\w+:",          "^\\[E\\]",        "<err>",
                                     "temp=(1[2-9]\\d|[2-9]\\d\\d)", "(?i)fatal|abort", "^#+\\s*$"};
    QList<quicksend::Rule> rules;
    for (const QString &pattern : literals + expressions) {
        quicksend::Rule rule;
        rule.pattern = pattern;
        rule.regex = expressions.contains(pattern);
        rule.page = QStringLiteral("P");
        rule.entry = QStringLiteral("reply");
        rules << rule;
    }
    return rules;
}
