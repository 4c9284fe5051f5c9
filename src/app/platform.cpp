#include "app/platform.h"

#include "settings/settings_file.h"

#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QTcpSocket>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

Platform::~Platform() = default;

void Platform::messageBox(QWidget *parent, const QString &text, const QString &title,
                          QMessageBox::Icon icon)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool Platform::question(QWidget *parent, const QString &text, const QString &title)
{
    return QMessageBox::question(parent, title, text) == QMessageBox::Yes;
}

bool Platform::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

QDateTime Platform::now() const
{
    return QDateTime::currentDateTime();
}

qint64 Platform::nowMsecs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 Platform::monotonicMsecs() const
{
    return QDeadlineTimer::current().deadline();
}

QString Platform::settingsPath() const
{
    return SettingsFile::defaultPath();
}

QString Platform::saveFileName(QWidget *parent, const QString &title, const QString &suggested)
{
    return QFileDialog::getSaveFileName(parent, title, suggested);
}

QString Platform::openFileName(QWidget *parent, const QString &title, const QString &folder,
                               const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, title, folder, filter);
}

int Platform::openError(const QString &device)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

int Platform::setControlLines(int fd, bool dtr, bool rts)
{
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0)
        return errno;
    int wanted = lines & ~(TIOCM_DTR | TIOCM_RTS);
    wanted |= (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
    if (wanted == lines)
        return 0;
    return ::ioctl(fd, TIOCMSET, &wanted) == 0 ? 0 : errno;
}

int Platform::setBreak(int fd, bool on)
{
    return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : errno;
}

QList<identity::PortRecord> Platform::presentPorts()
{
    return identity::presentPorts();
}

QTcpSocket *Platform::tcpSocket()
{
    return new QTcpSocket;
}
