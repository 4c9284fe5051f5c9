#pragma once

#include <QString>

// The endings a text can get: "发送行尾" of the send box, and a quick-send entry's own.
namespace send {

struct LineEnding
{
    QString name;
    QString chars;
};
inline const LineEnding lineEndings[] = {
    {QStringLiteral("无"), QString()},
    {QStringLiteral("CR"), QStringLiteral("\r")},
    {QStringLiteral("LF"), QStringLiteral("\n")},
    {QStringLiteral("CR+LF"), QStringLiteral("\r\n")},
};

// The ending named name; anything unknown is "无".
[[nodiscard]] inline const LineEnding &lineEnding(const QString &name)
{
    for (const LineEnding &ending : lineEndings) {
        if (ending.name == name)
            return ending;
    }
    return lineEndings[0];
}

} // namespace send
