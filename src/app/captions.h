#pragma once

#include <QString>

// Texts and colours that more than one subsystem reads back from the controls.
namespace captions {

// Title of every message box that names none of its own.
inline const QString appTitle = QStringLiteral("串口调试程序");

// The open button's caption is the window's record of the port state.
inline const QString openPort = QStringLiteral("打开串口");
inline const QString closePort = QStringLiteral("关闭串口");
constexpr quint32 lampClosed = 0xFFFFC0; // 0x00BBGGRR: light cyan
constexpr quint32 lampOpen = 0x0000FF;   // red

// The expand label reads ">>" while the window is narrow and "<<" while it is wide.
inline const QString narrowMark = QStringLiteral(">>");
inline const QString wideMark = QStringLiteral("<<");

// A file transfer holds the line: what other senders are told, and what the title and the
// receive box's tooltip say meanwhile.
inline const QString transferRefusal = QStringLiteral("文件传输中");
inline const QString transferRunning = QStringLiteral("文件传输中…");

inline const QString forumSite = QStringLiteral("http://www.zelqo.com");
inline const QString webShop = QStringLiteral("http://shop.zelqo.com/");
inline const QString productShop = QStringLiteral("http://products.zelqo.com/");

} // namespace captions
