#pragma once

#include "port/link.h"

#include <QElapsedTimer>
#include <QSerialPort>

#include <termios.h>

class QTimer;

// A device of this machine: /dev/ttyUSB0, a Bluetooth rfcomm link, a pseudo-terminal.
//
// A board printing at 115200 baud can arrive as a few hundred small reads a second, and the
// kernel wakes the program for each (VMIN, the tty's own wake mark, stops at 255 bytes, less
// than many boards write at once). While such a stream lasts, QSerialPort stops watching the
// device, and a timer of the link's own takes what has come every GatherMs, or every
// FastGatherMs while the stream brings more than TickBytes a GatherMs. A tick that finds more
// than FullTickBytes waiting ends the gathering, well before the tty's 4 KB buffer fills at the
// rates a gathering keeps: a full one throttles the adapter, and one without flow control then
// drops what its chip cannot hold. Only a line of a megabaud or more can outrun a tick. A quiet
// port is watched as usual again, so a reply the user waits for comes at once.
class TtyLink : public Link
{
    Q_OBJECT
public:
    // Reads closer together than this are a stream: a board printing a line every 20 ms is one,
    // a user typing to a board that echoes is not.
    static constexpr int StreamGapMs = 30;
    // Within a display frame, so a reply amid a stream shows in the next frame or the one after.
    static constexpr int GatherMs = 40;
    static constexpr int FastGatherMs = 10;
    static constexpr int TickBytes = 1024;
    // Three quarters of the tty's buffer, short of where the tty throttles the adapter. Only a
    // stream below half of it a FastGatherMs starts a gathering.
    static constexpr int FullTickBytes = 3072;
    // The rate is measured over this long.
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
    void setShared(bool shared) override;
    [[nodiscard]] bool pauseReading() override;
    void resumeReading() override;
    [[nodiscard]] bool readingPaused() const override { return m_kept >= 0; }
    void setStreamGathering(bool allowed) override;

    // Whether a stream is being gathered on the timer now, and its tick.
    [[nodiscard]] bool gathering() const { return m_gathering; }
    [[nodiscard]] int gatherMs() const;

private:
    void onError(QSerialPort::SerialPortError error);
    void onReadyRead();
    // Bytes QSerialPort read from the device since it was last asked.
    [[nodiscard]] qint64 newlyRead();
    void countArrived(qint64 bytes);
    // Reads the waiting bytes the device holds into m_gathered: the bytes taken, -1 when the
    // device failed.
    [[nodiscard]] qint64 takeWaiting(int waiting);
    void gatherTick();
    void setGathering(bool on);
    // QSerialPort's watch of the device, which reads at every wake; Qt 6.4 has no switch for it.
    // False when there is none to switch.
    bool watchPort(bool on);
    // The rate of the last whole window, in bytes a span of ms.
    [[nodiscard]] qint64 rateIn(int ms) const { return m_rate * ms / 1000; }
    void setExclusive(int fd) const;
    // Closes the device's own descriptor that a pause kept.
    void releaseKept();

    QSerialPort *m_port;
    QString m_device;
    QTimer *m_gatherTimer;
    QElapsedTimer m_lastRead;
    // What arrived in the current window, and the rate of the last whole one (bytes a second).
    QElapsedTimer m_window;
    qint64 m_windowArrived = 0;
    qint64 m_rate = 0;
    // What QSerialPort held after the link last looked.
    qint64 m_portHeld = 0;
    bool m_gathering = false;
    bool m_gatheringAllowed = true;
    int m_quietTicks = 0;
    // What the timer read, and what QSerialPort held before: always older than what QSerialPort
    // holds now, should it have watched the device again by itself.
    QByteArray m_gathered;
    qsizetype m_gatheredRead = 0;
    bool m_shared = false;
    // While paused, QSerialPort's descriptor is the read end of an empty pipe (never readable,
    // never writable), and the device's own is kept here with the line as it was.
    int m_kept = -1;
    int m_holeWriter = -1;
    termios m_ownLine{};
    bool m_hasOwnLine = false;
};
