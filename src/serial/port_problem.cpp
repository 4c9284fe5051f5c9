#include "serial/port_problem.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
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
