#pragma once

#include <QByteArray>

// The line break a new line of the settings file gets on this platform, and the UTF-8
// byte-order mark that Windows editors put first.
#ifdef Q_OS_WIN
inline const QByteArray NativeEol("\r\n");
#else
inline const QByteArray NativeEol("\n");
#endif

inline const QByteArray Bom("\xEF\xBB\xBF");
