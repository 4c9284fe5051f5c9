#pragma once

#include "port/link.h"

#include <QElapsedTimer>
#include <QSerialPort>

#include <termios.h>

class QTimer;

// A device of this machine: /dev/ttyUSB0, a Bluetooth rfcomm link, a pseudo-terminal.
//
// A board printing at 115200 baud can arrive as a few hundred small reads a second, and the
// kernel wakes the program for each. While such a stream lasts, a timer of the link's own takes
// what has come every GatherMs, and the kernel is asked to wake the program only once WakeBytes
// wait (VMIN with VTIME 0, which the tty's poll honours), so a stream that speeds up is read at
// once. A tick that finds more than FastTickBytes arrived since the last ends the gathering: the
// tty's 4 KB buffer never fills, so an adapter without flow control loses nothing. A quiet port
// is watched as usual again, so a reply the user waits for comes at once.
class TtyLink : public Link
{
    Q_OBJECT
public:
    // Reads closer together than this are a stream.
    static constexpr int StreamGapMs = 10;
    // Within a display frame, so a reply amid a stream shows in the next frame.
    static constexpr int GatherMs = 20;
    // More than this arriving within one tick is too fast to gather: an eighth of the tty's
    // buffer.
    static constexpr int FastTickBytes = 512;
    // A stream is gathered only while the rate measured over the last RateWindowMs stays below
    // half of FastTickBytes a tick.
    static constexpr int RateWindowMs = 100;
    // While gathering the kernel wakes the program once this many bytes wait: VMIN's largest
    // value, since it is one byte of termios.
    static constexpr int WakeBytes = 255;

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

    // Whether a stream is being gathered on the timer now.
    [[nodiscard]] bool gathering() const { return m_gathering; }

private:
    void onError(QSerialPort::SerialPortError error);
    void onReadyRead();
    // Bytes QSerialPort read from the device since it was last asked.
    [[nodiscard]] qint64 newlyRead();
    void countArrived(qint64 bytes);
    // Reads everything the device holds into m_gathered: the bytes taken, -1 when the device
    // failed.
    [[nodiscard]] qint64 takeWaiting();
    void gatherTick();
    void setGathering(bool on);
    // The tty's VMIN: how many bytes must wait before the kernel reports the device readable.
    [[nodiscard]] bool setWakeMark(int bytes);
    void setExclusive(int fd) const;
    // Closes the device's own descriptor that a pause kept.
    void releaseKept();

    QSerialPort *m_port;
    QString m_device;
    QTimer *m_gatherTimer;
    QElapsedTimer m_lastRead;
    // What arrived in the current window, and the rate of the last whole one (bytes a tick).
    QElapsedTimer m_window;
    qint64 m_windowArrived = 0;
    qint64 m_ratePerTick = 0;
    // What arrived since the last tick while gathering.
    qint64 m_tickArrived = 0;
    // What QSerialPort held after the link last looked.
    qint64 m_portHeld = 0;
    bool m_gathering = false;
    int m_quietTicks = 0;
    // What the timer read, and what QSerialPort held before: always older than what QSerialPort
    // holds now.
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
