#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// Private-profile (INI) rules over the bytes of a UTF-8 settings file. No file access here, so
// the rules can be tested and fuzzed on their own.
namespace ini {

// Value of key in section, private-profile rules; fallback when the section or key is missing.
// The result is cut to its first 255 bytes of UTF-8, never splitting a character: a stored value
// is at most 255 bytes as read back.
[[nodiscard]] QString readValue(const QByteArray &file, const QString &section, const QString &key,
                                const QString &fallback);

// The whole file after setting key in section to value; every other byte stays as it was.
[[nodiscard]] QByteArray writeValue(const QByteArray &file, const QString &section,
                                    const QString &key, const QString &value);

// The whole file without key in section (its line, as the private-profile rules remove a key
// written without a value); every other byte stays. The file as it is when the key is missing.
[[nodiscard]] QByteArray removeKey(const QByteArray &file, const QString &section,
                                   const QString &key);

// A section's keys and values in file order, each value whole (not cut to 255 bytes): for
// sections whose values must round-trip exactly. Empty when the section is missing.
[[nodiscard]] QList<std::pair<QString, QString>> readSection(const QByteArray &file,
                                                             const QString &section);

// The whole file with section holding exactly entries, in that order; no entries removes the
// section, its header included. Comments and other sections stay byte for byte.
[[nodiscard]] QByteArray writeSection(const QByteArray &file, const QString &section,
                                      const QList<std::pair<QString, QString>> &entries);

} // namespace ini
