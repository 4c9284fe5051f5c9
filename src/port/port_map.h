#pragma once

#include <QString>

namespace portmap {

// The port numbers the program offers: COM1 to COM48.
constexpr int portCount = 48;

// Device for COMn: COM1-4 /dev/ttyS0-3, COM5-20 /dev/ttyUSB0-15, COM21-36 /dev/ttyACM0-15,
// COM37-40 /dev/ttyAMA0-3, COM41-48 /dev/rfcomm0-7; on Windows "COMn". Empty for other numbers.
[[nodiscard]] QString defaultDevice(int commPort);

} // namespace portmap
