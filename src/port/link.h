#pragma once

#include "port/line_settings.h"

#include <QByteArray>
#include <QObject>

// What carries the serial component's bytes: a local device, or a port on another machine. One
// link serves one connection and is thrown away when it closes.
class Link : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts opening. 0 when the link is open, or is opening and announces the outcome with
    // opened(); otherwise one of MSComm's error numbers.
    [[nodiscard]] virtual int open() = 0;
    [[nodiscard]] virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // Sets the line; nothing is sent when the link cannot carry settings.
    [[nodiscard]] virtual RefusedSetting apply(const LineSettings &settings) = 0;
    // Received bytes not yet read, and reading them.
    [[nodiscard]] virtual qint64 bytesAvailable() const = 0;
    [[nodiscard]] virtual QByteArray read(qint64 maxBytes) = 0;
    // Queues bytes for sending; false when the link has failed.
    [[nodiscard]] virtual bool write(const QByteArray &bytes) = 0;
    [[nodiscard]] virtual qint64 bytesToWrite() const = 0;
    // The open device's file descriptor, -1 when there is none.
    [[nodiscard]] virtual int handle() const { return -1; }
    // Lets other programs open the device while the link holds it, or not (the exclusive hold the
    // serial library takes at each open).
    virtual void setShared(bool shared) { Q_UNUSED(shared); }
    // Stops taking bytes from the device, so another program that opened it gets what arrives;
    // false where the link cannot. A close while paused leaves the line as the other program set
    // it.
    [[nodiscard]] virtual bool pauseReading() { return false; }
    virtual void resumeReading() {}
    [[nodiscard]] virtual bool readingPaused() const { return false; }
    // Whether a stream may be taken on a timer instead of at every read, where the link does
    // that; a protocol that answers every block wants each byte at once.
    virtual void setStreamGathering(bool allowed) { Q_UNUSED(allowed); }
    // Sends the modem control lines where the link carries them: true when they were sent.
    [[nodiscard]] virtual bool sendControlLines(bool dtr, bool rts)
    {
        Q_UNUSED(dtr);
        Q_UNUSED(rts);
        return false;
    }

    // Holds the line in a break, or lets it go, where the link sends that itself (a network
    // port): true when it was sent.
    [[nodiscard]] virtual bool sendBreak(bool on)
    {
        Q_UNUSED(on);
        return false;
    }

signals:
    void readyRead();
    // Reads or writes fail, or the far end closed: the device is gone.
    void failed();
    // The outcome of an open that did not finish at once: 0 or an MSComm error number.
    void opened(int error);
};
