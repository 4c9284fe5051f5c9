#pragma once

#include <QDateTime>
#include <QString>

namespace timesync {

// The 16 digits the board is sent: yyyyMMddhhmmss and the weekday, Monday 01 to Sunday 07.
[[nodiscard]] QString timeString(const QDateTime &moment);

// The two lines written to the receive box, each ended by CR LF.
[[nodiscard]] QString receiveNote(const QDateTime &moment);

} // namespace timesync
