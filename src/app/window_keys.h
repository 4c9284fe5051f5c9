#pragma once

#include "quicksend/hotkeys.h"

#include <QList>

// The keys the program answers in its windows, each with what it does there: the one place to
// look before a key is given a new use, and what a refused quick-send hotkey names.
namespace windowkeys {

using Key = quicksend::TakenKey;

inline const Key quickSend{QStringLiteral("Ctrl+Shift+M"), QStringLiteral("打开快捷发送窗口")};
inline const Key plot{QStringLiteral("Ctrl+Shift+P"), QStringLiteral("打开波形图")};
inline const Key terminal{QStringLiteral("Ctrl+Shift+T"), QStringLiteral("打开终端窗口")};
inline const Key fileTransfer{QStringLiteral("Ctrl+Shift+Y"), QStringLiteral("打开文件传输窗口")};
inline const Key filter{QStringLiteral("Ctrl+Shift+L"), QStringLiteral("打开过滤窗口")};

// Besides those above: the find bar's and the receive box's keys, bookmarks and the send box's
// history.
inline const QList<Key> taken = {
    quickSend,
    plot,
    terminal,
    fileTransfer,
    filter,
    {QStringLiteral("Ctrl+F"), QStringLiteral("接收区的查找")},
    {QStringLiteral("F3"), QStringLiteral("查找栏的“查找下一个”")},
    {QStringLiteral("Shift+F3"), QStringLiteral("查找栏的“查找上一个”")},
    {QStringLiteral("F2"), QStringLiteral("书签的“下一个书签”")},
    {QStringLiteral("Shift+F2"), QStringLiteral("书签的“上一个书签”")},
    {QStringLiteral("Ctrl+F2"), QStringLiteral("书签的“设置书签”")},
    {QStringLiteral("Ctrl+0"), QStringLiteral("接收区的“恢复字号”")},
    {QStringLiteral("Ctrl+Up"), QStringLiteral("发送区的“上一条发送历史”")},
    {QStringLiteral("Ctrl+Down"), QStringLiteral("发送区的“下一条发送历史”")},
};

} // namespace windowkeys
