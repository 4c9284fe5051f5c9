#include "port/device_identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <sys/stat.h>

#include <tuple>
#include <utility>

namespace identity {

namespace {

bool isPseudoTerminal(const QString &path)
{
    return path.startsWith(QStringLiteral("/dev/pts/"));
}

// The link's inode and change time in nanoseconds; zeros for what is no symbolic link.
std::pair<quint64, qint64> linkStamp(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return {0, 0};
    return {quint64(info.st_ino), qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
}

} // namespace

QString usbLocation(const QString &sysfsDevicePath)
{
    // .../usb1/1-1/1-1.2/1-1.2:1.0/ttyUSB0: the interface the tty hangs off.
    static const QRegularExpression usbInterface(QStringLiteral("^\\d+-[\\d.]+:\\d+\\.\\d+$"));
    const QStringList parts =
        QFileInfo(sysfsDevicePath).canonicalFilePath().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (auto it = parts.crbegin(); it != parts.crend(); ++it) {
        if (usbInterface.match(*it).hasMatch())
            return *it;
    }
    return {};
}

QList<PortRecord> presentPorts()
{
    QList<PortRecord> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PortRecord port;
        port.path = info.systemLocation();
        port.hasIds = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendor = info.vendorIdentifier();
        port.product = info.productIdentifier();
        port.serial = info.serialNumber();
        port.location =
            usbLocation(QStringLiteral("/sys/class/tty/%1/device").arg(info.portName()));
        ports.append(port);
    }
    return ports;
}

DeviceIdentity identify(const QString &mapping, const QList<PortRecord> &present)
{
    DeviceIdentity id;
    id.mapping = mapping;
    id.resolved = QFileInfo(mapping).canonicalFilePath();
    std::tie(id.linkInode, id.linkChanged) = linkStamp(mapping);
    for (const PortRecord &port : present) {
        if (port.path == id.resolved)
            id.record = port;
    }
    return id;
}

std::optional<QString> returnedDevice(const DeviceIdentity &lost, const QString &mapping,
                                      const QList<PortRecord> *present)
{
    const QString resolved = QFileInfo(mapping).canonicalFilePath();
    if (!resolved.isEmpty()) {
        const auto [inode, changed] = linkStamp(mapping);
        const bool madeAnew =
            inode != 0 && (inode != lost.linkInode || changed != lost.linkChanged);
        if (isPseudoTerminal(resolved)) {
            // Another pseudo-terminal, or a link made anew by whoever made the first.
            if (resolved != lost.resolved || madeAnew)
                return mapping;
        } else if (inode != 0 && mapping == lost.mapping) {
            return mapping;
        } else if (mapping != lost.mapping && resolved != lost.resolved) {
            // The number was pointed at another device meanwhile: that is the user's choice.
            return mapping;
        } else if (resolved == lost.resolved && !lost.record.path.isEmpty() &&
                   !lost.record.hasIds && lost.record.location.isEmpty()) {
            // Not on USB (a Bluetooth link, a UART): its name is its identity.
            return mapping;
        }
    }
    if (!present || !lost.record.hasIds)
        return std::nullopt;
    const auto unique = [&](auto same) -> std::optional<QString> {
        std::optional<QString> found;
        for (const PortRecord &port : *present) {
            if (!port.hasIds || port.vendor != lost.record.vendor ||
                port.product != lost.record.product || !same(port))
                continue;
            if (found)
                return std::nullopt;
            found = port.path;
        }
        return found;
    };
    if (!lost.record.serial.isEmpty())
        return unique([&](const PortRecord &p) { return p.serial == lost.record.serial; });
    if (!lost.record.location.isEmpty())
        return unique([&](const PortRecord &p) { return p.location == lost.record.location; });
    return std::nullopt;
}

} // namespace identity
