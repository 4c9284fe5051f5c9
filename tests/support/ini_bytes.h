#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The line break a new line of the settings file gets on this platform, and the UTF-8
// byte-order mark that Windows editors put first.
#ifdef Q_OS_WIN
inline const QByteArray NativeEol("\r\n");
#else
inline const QByteArray NativeEol("\n");
#endif

inline const QByteArray Bom("\xEF\xBB\xBF");

// A whole file's bytes, or nothing when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
