#pragma once

#include <QByteArray>

// Bytes that look random and are the same on every run, for streams checked byte for byte.
inline QByteArray pseudoRandomBytes(qsizetype n, quint32 seed = 12345)
{
    QByteArray bytes(n, Qt::Uninitialized);
    for (char &b : bytes) {
        seed = seed * 1664525 + 1013904223;
        b = char(seed >> 24);
    }
    return bytes;
}
