#pragma once

#include <QList>
#include <QString>

#include <optional>

// Telling whether a lost serial device has come back, and under which name, without opening
// anything: every open pulses DTR, which resets Arduino-style boards.
namespace identity {

// A port as the system lists it.
struct PortRecord
{
    QString path; // /dev/ttyUSB1
    bool hasIds = false;
    quint16 vendor = 0;
    quint16 product = 0;
    QString serial;
    // The USB port it hangs off ("1-1.2:1.0"), empty for what is not on USB.
    QString location;
};

// What a port was when it opened.
struct DeviceIdentity
{
    QString mapping;  // what its number named: a link such as /dev/serial/by-id/..., or a device
    QString resolved; // the device file that named
    // The mapping's own inode and change time while it is a symbolic link: a link made anew is a
    // moved link, even where the file system hands it the old inode number.
    quint64 linkInode = 0;
    qint64 linkChanged = 0;
    PortRecord record; // empty unless the system listed it
};

// The ports the system lists now, each with its USB location.
[[nodiscard]] QList<PortRecord> presentPorts();
// The USB location of a tty from sysfs (the interface its device hangs off), or empty.
[[nodiscard]] QString usbLocation(const QString &sysfsDevicePath);

[[nodiscard]] DeviceIdentity identify(const QString &mapping, const QList<PortRecord> &present);

// The device to open when the lost one is back. mapping is what its number names now (read
// afresh); present, when given, is what the system lists. A link that resolves again, or a
// mapping that now names another pseudo-terminal, is the board; so is exactly one listed port
// with the same vendor and product and the same serial number, or else the same USB location.
// A kernel name alone is never enough, and the same /dev/pts number is never the board: a
// terminal window soon takes it.
[[nodiscard]] std::optional<QString> returnedDevice(const DeviceIdentity &lost,
                                                    const QString &mapping,
                                                    const QList<PortRecord> *present);

} // namespace identity
