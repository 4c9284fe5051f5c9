#pragma once

#include "serial/link.h"

#include <QSerialPort>

// A device of this machine: /dev/ttyUSB0, a Bluetooth rfcomm link, a pseudo-terminal.
class TtyLink : public Link
{
    Q_OBJECT
public:
    TtyLink(const QString &device, QObject *parent);
    ~TtyLink() override;

    [[nodiscard]] int open() override;
    [[nodiscard]] bool isOpen() const override { return m_port->isOpen(); }
    void close() override;
    [[nodiscard]] RefusedSetting apply(const LineSettings &settings) override;
    [[nodiscard]] qint64 bytesAvailable() const override { return m_port->bytesAvailable(); }
    [[nodiscard]] QByteArray read(qint64 maxBytes) override { return m_port->read(maxBytes); }
    [[nodiscard]] bool write(const QByteArray &bytes) override;
    [[nodiscard]] qint64 bytesToWrite() const override { return m_port->bytesToWrite(); }
    [[nodiscard]] int handle() const override;

private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort *m_port;
    QString m_device;
};
