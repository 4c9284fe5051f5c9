#include "port/port_problem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace portproblem {

namespace {

const QString dialoutFix =
    QStringLiteral("请把当前用户加入 dialout 组（sudo usermod -aG dialout $USER），然后重新登录。");

} // namespace

Cause diagnose(const QString &device)
{
    const QByteArray path = QFile::encodeName(device);
    struct stat info;
    if (device.isEmpty())
        return Cause::Missing;
    if (::stat(path.constData(), &info) != 0)
        return errno == EACCES ? Cause::NoPermission : Cause::Missing;
    if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return Cause::NoPermission;
    return Cause::Busy;
}

QStringList lockFolders()
{
    // The serial library's own list, in its order.
    return {QStringLiteral("/var/lock"),
            QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),
            QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/run/lock")};
}

namespace {

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

} // namespace

Problem findHolder(const QString &device, const QStringList &lockFolders)
{
    Problem problem;
    const QString target = QFileInfo(device).canonicalFilePath();
    // The lock file is named after the path opened, without "/dev/", slashes made underscores;
    // a program that opened the device itself named it after the device.
    QStringList names;
    for (QString name : {device, target}) {
        if (name.startsWith(QStringLiteral("/dev/")))
            name = name.mid(5);
        name = QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
        if (!names.contains(name) && !target.isEmpty())
            names << name;
    }
    for (const QString &folder : lockFolders) {
        for (const QString &name : names) {
            QFile lock(QDir(folder).filePath(name));
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            // "1234\n" as QLockFile and UUCP write it, or blanks and the number as minicom does.
            const qint64 pid = QString::fromLatin1(lock.readLine(64)).trimmed().toLongLong();
            const QString holder = pid > 0 ? processName(pid) : QString();
            if (!holder.isEmpty())
                return {Cause::Busy, holder, pid};
        }
    }
    if (target.isEmpty())
        return problem;
    // A program without a lock file: one whose descriptors include the device.
    const QFileInfoList processes =
        QDir(QStringLiteral("/proc")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    const qint64 self = QCoreApplication::applicationPid();
    for (const QFileInfo &process : processes) {
        bool isNumber = false;
        const qint64 pid = process.fileName().toLongLong(&isNumber);
        if (!isNumber || pid == self)
            continue;
        const QFileInfoList fds = QDir(process.filePath() + QStringLiteral("/fd"))
                                      .entryInfoList(QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &fd : fds) {
            if (fd.symLinkTarget() == target)
                return {Cause::Busy, processName(pid), pid};
        }
    }
    // Another user's descriptors are hidden from this one, but not its flocks.
    return flockHolder(device);
}

Problem flockHolder(const QString &device)
{
    struct stat node;
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return {};
    // "1: FLOCK  ADVISORY  WRITE 6750 00:19:4 0 EOF": the pid, then the file system's device
    // (hexadecimal) and the inode; a waiting lock has "->" after the number.
    const QString where = QStringLiteral("%1:%2:%3")
                              .arg(major(node.st_dev), 2, 16, QLatin1Char('0'))
                              .arg(minor(node.st_dev), 2, 16, QLatin1Char('0'))
                              .arg(node.st_ino);
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    const qint64 self = QCoreApplication::applicationPid();
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->" || fields.at(5) != where.toLatin1())
            continue;
        const qint64 pid = fields.at(4).toLongLong();
        if (pid > 0 && pid != self)
            return {Cause::Busy, processName(pid), pid};
    }
    return {};
}

Problem diagnoseOpen(const QString &device, int openErrno)
{
    if (device.isEmpty() || openErrno == ENOENT || openErrno == ENXIO || openErrno == ENODEV)
        return {Cause::Missing, {}, 0};
    if (openErrno == EACCES || openErrno == EPERM)
        return {Cause::NoPermission, {}, 0};
    return findHolder(device, lockFolders());
}

Problem diagnoseUnopened(const QString &device)
{
    const Cause cause = diagnose(device);
    if (cause != Cause::Busy)
        return {cause, {}, 0};
    return findHolder(device, lockFolders());
}

QString explain(const QString &device, const Problem &problem)
{
    if (problem.cause == Cause::Busy && !problem.holder.isEmpty())
        return QStringLiteral("设备 %1 正被 %2（进程 %3）占用。")
            .arg(device, problem.holder)
            .arg(problem.pid);
    return explain(device, problem.cause);
}

QString explain(const QString &device, Cause cause)
{
    switch (cause) {
    case Cause::Missing:
        return QStringLiteral("设备 %1 不存在。").arg(device);
    case Cause::NoPermission:
        return QStringLiteral("没有打开设备 %1 的权限：").arg(device) + dialoutFix;
    case Cause::Busy:
        break;
    }
    return QStringLiteral("设备 %1 正被另一个程序占用。").arg(device);
}

QString noPermissionLine(const QStringList &devices)
{
    return QStringLiteral("另有设备存在但没有访问权限：%1；")
               .arg(devices.join(QStringLiteral("、"))) +
           dialoutFix;
}

} // namespace portproblem
