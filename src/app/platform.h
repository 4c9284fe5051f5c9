#pragma once

#include "port/device_identity.h"

#include <QDateTime>
#include <QMessageBox>
#include <QString>
#include <QUrl>

class QTcpSocket;
class QWidget;

// What the window needs from the machine it runs on. The defaults are the real thing; tests
// replace only what cannot run headless (a modal dialog, a browser, the wall clock).
class Platform
{
public:
    virtual ~Platform();
    // Modal message box with a single OK button.
    virtual void messageBox(QWidget *parent, const QString &text, const QString &title,
                            QMessageBox::Icon icon);
    // Modal question with Yes and No buttons; true for Yes.
    [[nodiscard]] virtual bool question(QWidget *parent, const QString &text, const QString &title);
    // Opens the address in the user's browser without waiting; false when that failed.
    virtual bool openUrl(const QUrl &url);
    [[nodiscard]] virtual QDateTime now() const;
    // The same moment as milliseconds since the epoch, for every received block: without the
    // conversion to local time that now() makes.
    [[nodiscard]] virtual qint64 nowMsecs() const;
    // Milliseconds of a clock that never steps, whatever the wall clock does.
    [[nodiscard]] virtual qint64 monotonicMsecs() const;
    // The settings file; it also maps port numbers to devices.
    [[nodiscard]] virtual QString settingsPath() const;
    // Asks where to save, starting from suggested; empty when the user cancelled.
    [[nodiscard]] virtual QString saveFileName(QWidget *parent, const QString &title,
                                               const QString &suggested);
    // Asks which file to open, starting in folder; empty when the user cancelled.
    [[nodiscard]] virtual QString openFileName(QWidget *parent, const QString &title,
                                               const QString &folder, const QString &filter);
    // After the serial library failed to open a device: the errno of open(2) with the library's
    // flags, 0 when the device opens (it is closed again at once).
    [[nodiscard]] virtual int openError(const QString &device);
    // Sets the DTR and RTS lines of an open tty together, with one TIOCMSET and only when they
    // differ from what they are: 0, or the errno (ENOTTY for a device without modem lines).
    [[nodiscard]] virtual int setControlLines(int fd, bool dtr, bool rts);
    // The serial ports the system lists now, with what udev knows of each.
    [[nodiscard]] virtual QList<identity::PortRecord> presentPorts();
    // Holds an open tty's line in a break (TIOCSBRK) or lets it go (TIOCCBRK): 0 or the errno.
    [[nodiscard]] virtual int setBreak(int fd, bool on);
    // A socket for a port on another machine, not yet connected (tests fail name lookups and
    // routes with it: this machine has neither a name server nor a route out).
    [[nodiscard]] virtual QTcpSocket *tcpSocket();
};
