#include "settings/settings_file.h"

#include "settings/ini.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <utility>

SettingsFile::SettingsFile(QString path) : m_path(std::move(path)) {}

const QString &SettingsFile::path() const
{
    return m_path;
}

QString SettingsFile::read(const QString &section, const QString &key,
                           const QString &fallback) const
{
    QFile file(m_path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return ini::readValue(bytes, section, key, fallback);
}

void SettingsFile::write(const QString &section, const QString &key, const QString &value) const
{
    QByteArray bytes;
    QFile current(m_path);
    if (current.exists()) {
        // A file that is there but cannot be read must not be replaced by one holding a single key.
        if (!current.open(QIODevice::ReadOnly))
            return;
        bytes = current.readAll();
        if (current.error() != QFileDevice::NoError)
            return;
        current.close();
    }

    // A fresh machine may have no ~/.config yet.
    QDir().mkpath(QFileInfo(m_path).absolutePath());

    // The new content goes to a temporary file in the same folder, which then replaces the old
    // one by rename: a crash or power cut leaves the old file or the new one, never a torn one.
    QSaveFile out(m_path);
    if (!out.open(QIODevice::WriteOnly))
        return;
    out.write(ini::writeValue(bytes, section, key, value));
    out.commit();
}

QString SettingsFile::defaultPath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("c:\\zelqo柯澜欧.ini");
#else
    // No shared writable root exists here, so the file lives in the user's configuration folder.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(base + QStringLiteral("/zelqo柯澜欧.ini"));
#endif
}
