#pragma once

#include "serial/link.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSerialPort>

class QSocketNotifier;
class QTimer;

// A device of this machine: /dev/ttyUSB0, a Bluetooth rfcomm link, a pseudo-terminal.
//
// A board printing at 115200 baud can arrive as a few hundred small reads a second, and the
// kernel wakes the program for each. While such a stream lasts, the device is not watched: a
// timer of the link's own takes what has come every GatherMs. A quiet port is watched again, so
// a reply the user waits for comes at once; a stream too fast to leave in the tty's 4 KB buffer
// for a tick is watched too, so that buffer never fills.
class TtyLink : public Link
{
    Q_OBJECT
public:
    // Reads closer together than this are a stream.
    static constexpr int StreamGapMs = 10;
    // Within a display frame, so a reply amid a stream shows in the next frame.
    static constexpr int GatherMs = 20;
    // More than this in one tick is too fast to gather: a quarter of the tty's buffer. A stream
    // is gathered only while the rate measured over the last RateWindowMs stays below it.
    static constexpr int FastTickBytes = 1024;
    static constexpr int RateWindowMs = 100;

    TtyLink(const QString &device, QObject *parent);
    ~TtyLink() override;

    [[nodiscard]] int open() override;
    [[nodiscard]] bool isOpen() const override { return m_port->isOpen(); }
    void close() override;
    [[nodiscard]] RefusedSetting apply(const LineSettings &settings) override;
    [[nodiscard]] qint64 bytesAvailable() const override;
    [[nodiscard]] QByteArray read(qint64 maxBytes) override;
    [[nodiscard]] bool write(const QByteArray &bytes) override;
    [[nodiscard]] qint64 bytesToWrite() const override { return m_port->bytesToWrite(); }
    [[nodiscard]] int handle() const override;

    // Whether a stream is being gathered on the timer now.
    [[nodiscard]] bool gathering() const { return m_gathering; }

private:
    void onError(QSerialPort::SerialPortError error);
    void onReadyRead();
    void gatherTick();
    void setGathering(bool on);
    void measureRate();

    QSerialPort *m_port;
    QString m_device;
    QTimer *m_gatherTimer;
    // QSerialPort's own watch on the device, found among its children; without it (another Qt)
    // nothing is gathered.
    QPointer<QSocketNotifier> m_portNotifier;
    QElapsedTimer m_lastRead;
    // Bytes handed out in the current window, and the rate of the last whole one (bytes a tick).
    QElapsedTimer m_window;
    qint64 m_windowBytes = 0;
    qint64 m_bytesPerTick = 0;
    bool m_gathering = false;
    int m_quietTicks = 0;
    // What the timer read, and what QSerialPort held when the stream began: always older than
    // what QSerialPort holds now.
    QByteArray m_gathered;
    qsizetype m_gatheredRead = 0;
};
