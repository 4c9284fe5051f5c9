#include "port/port_map.h"

namespace portmap {

QString defaultDevice(int commPort)
{
    if (commPort < 1 || commPort > portCount)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(commPort);
#else
    // Built-in UARTs first, then USB adapters (FTDI, CH340, CP210x), USB CDC boards (Arduino and
    // friends), the Raspberry Pi's own UARTs and Bluetooth serial links.
    struct Range
    {
        int first;
        const char *prefix;
    };
    static constexpr Range ranges[] = {
        {41, "/dev/rfcomm"}, {37, "/dev/ttyAMA"}, {21, "/dev/ttyACM"},
        {5, "/dev/ttyUSB"},  {1, "/dev/ttyS"},
    };
    for (const Range &range : ranges) {
        if (commPort >= range.first)
            return QLatin1String(range.prefix) + QString::number(commPort - range.first);
    }
    return {};
#endif
}

} // namespace portmap
