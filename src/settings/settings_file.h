#pragma once

#include <QString>

// The settings file. Nothing is cached: every read and write goes to the file itself, so an edit
// made while the program runs is seen by the next read, and two running copies share the file.
class SettingsFile
{
public:
    explicit SettingsFile(QString path);

    [[nodiscard]] const QString &path() const;
    [[nodiscard]] QString read(const QString &section, const QString &key,
                               const QString &fallback) const;
    // Silent on failure: the value in the window stays, the file keeps what it had.
    void write(const QString &section, const QString &key, const QString &value) const;

    [[nodiscard]] static QString defaultPath();

private:
    QString m_path;
};
