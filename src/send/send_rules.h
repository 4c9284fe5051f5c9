#pragma once

#include <QString>

#include <optional>

namespace send {

// The send box read as one hexadecimal number from 0 to FF ("ff", "0041", "A"), blanks and
// line breaks around it allowed; nullopt for anything else.
[[nodiscard]] std::optional<quint8> parseHexByte(const QString &text);

// The period box in whole milliseconds, a fraction rounded half to even; nullopt unless the
// result lies in 0..65535.
[[nodiscard]] std::optional<int> parsePeriod(const QString &text);

} // namespace send
