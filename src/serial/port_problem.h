#pragma once

#include <QString>
#include <QStringList>

// Why a port's device could not be opened, told in words a user can act on. Judged from the
// device file itself after a failed open: the serial library reports a missing permission and a
// port held by another program alike.
namespace portproblem {

enum class Cause { Missing, NoPermission, Busy };

[[nodiscard]] Cause diagnose(const QString &device);
// One line naming the device and the cause, with the fix where there is one.
[[nodiscard]] QString explain(const QString &device, Cause cause);
// One line naming the devices this user may not open, and the fix.
[[nodiscard]] QString noPermissionLine(const QStringList &devices);

} // namespace portproblem
