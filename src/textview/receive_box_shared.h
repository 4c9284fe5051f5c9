#pragma once

#include <QString>

// What the receive box's files share: where it puts things, and what a line and a burst are.
namespace boxshared {

constexpr int SideMargin = 4;
constexpr int TopMargin = 2;
// Between the times and the text.
constexpr int GutterGap = 8;
// The gutter's text for a line without a time, which also sets the gutter's width.
inline const QString NoTime = QStringLiteral("--:--:--.---");

// A block after this much silence starts a new burst.
constexpr qint64 BurstGapMs = 100;

// Gives the pages of a large text that went back to the system.
void releaseFreedMemory();

[[nodiscard]] inline bool isBreak(char16_t c)
{
    return c == u'\n' || c == u'\r';
}

} // namespace boxshared
