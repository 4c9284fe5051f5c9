#include "app/platform.h"

#include "settings/settings_file.h"

#include <QDesktopServices>
#include <QFileDialog>

Platform::~Platform() = default;

void Platform::messageBox(QWidget *parent, const QString &text, const QString &title,
                          QMessageBox::Icon icon)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool Platform::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

QDateTime Platform::now() const
{
    return QDateTime::currentDateTime();
}

QString Platform::settingsPath() const
{
    return SettingsFile::defaultPath();
}

QString Platform::saveFileName(QWidget *parent, const QString &title, const QString &suggested)
{
    return QFileDialog::getSaveFileName(parent, title, suggested);
}
