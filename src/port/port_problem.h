#pragma once

#include <QString>
#include <QStringList>

// Why a port's device could not be opened, told in words a user can act on. Judged from the
// device file itself after a failed open: the serial library reports a missing permission and a
// port held by another program alike.
namespace portproblem {

enum class Cause { Missing, NoPermission, Busy };

// From the device file alone, without opening it.
[[nodiscard]] Cause diagnose(const QString &device);

// Why an open failed, from the errno of opening the device again: a program that holds it is
// named where it can be found, from the lock file the serial library honours (LCK..ttyUSB0
// under /run/lock) or from a process with the device open.
struct Problem
{
    Cause cause = Cause::Busy;
    QString holder; // the holding program's name, empty when unknown
    qint64 pid = 0;
};
[[nodiscard]] Problem diagnoseOpen(const QString &device, int openErrno);
// The same without opening the device again (every open pulses DTR): what its file, the lock
// files and the other processes' descriptors tell.
[[nodiscard]] Problem diagnoseUnopened(const QString &device);
// The program holding device, if one can be found; lockFolders are searched for its lock file.
[[nodiscard]] Problem findHolder(const QString &device, const QStringList &lockFolders);
// The program holding an flock on device (pyserial's exclusive open, esptool), from /proc/locks,
// which shows every user's; nothing when there is none.
[[nodiscard]] Problem flockHolder(const QString &device);
// The folders the serial library keeps its lock files in.
[[nodiscard]] QStringList lockFolders();

// One line naming the device and the cause, with the fix where there is one.
[[nodiscard]] QString explain(const QString &device, Cause cause);
[[nodiscard]] QString explain(const QString &device, const Problem &problem);
// One line naming the devices this user may not open, and the fix.
[[nodiscard]] QString noPermissionLine(const QStringList &devices);

} // namespace portproblem
