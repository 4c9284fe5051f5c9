#pragma once

#include "settings/atomic_file.h"

#include <QList>
#include <QString>

#include <functional>
#include <utility>

// The settings file. Nothing is cached: every read and write goes to the file itself, so an edit
// made while the program runs is seen by the next read, and two running copies share the file.
// Only a regular file (or a symbolic link to one) is read or written: anything else at the path
// reads as missing and is left alone.
class SettingsFile
{
public:
    // The write(2) that every byte of the file goes through; tests put in one that fails.
    using WriteFn = atomicfile::WriteFn;

    explicit SettingsFile(QString path, WriteFn writeFn = {});

    [[nodiscard]] const QString &path() const;
    [[nodiscard]] QString read(const QString &section, const QString &key,
                               const QString &fallback) const;
    // Whole or not at all, and silent: a write that cannot be completed leaves the file exactly as
    // it was and no temporary file behind; the value in the window stays.
    void write(const QString &section, const QString &key, const QString &value) const;
    // Takes key out of section; whole or not at all, as write.
    void remove(const QString &section, const QString &key) const;
    // A whole section, as ini::readSection and ini::writeSection; written whole or not at all.
    [[nodiscard]] QList<std::pair<QString, QString>> readSection(const QString &section) const;
    void writeSection(const QString &section,
                      const QList<std::pair<QString, QString>> &entries) const;

    [[nodiscard]] static QString defaultPath();

private:
    void update(const std::function<QByteArray(const QByteArray &)> &change) const;

    QString m_path;
    WriteFn m_write;
};
