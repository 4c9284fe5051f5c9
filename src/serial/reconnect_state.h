#pragma once

#include "port/device_identity.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

// What the window knows of the open port and, once it is lost, of the wait for it.
struct ReconnectState
{
    // The device as it was at the last open by the user or by a reconnect.
    identity::DeviceIdentity opened;
    bool waiting = false;
    int commPort = 0;
    identity::DeviceIdentity lost;
    QList<identity::PortRecord> present;
    // The device that came back and would not open yet (permission, busy), and since when.
    QString returned;
    QElapsedTimer returnedFor;
    int pauseMs = 0;
    // A network port is being connected in the background.
    bool attempting = false;

    // When the port last reopened by itself. A reopened link that fails again soon, its device
    // still there (a server that accepts and closes, a tty that hangs up at every open), was not
    // really back: the wait goes on, its pauses doubling since the first such loss.
    QElapsedTimer reopenedAt;
    bool backingOff = false;
    QElapsedTimer backingOffSince;
    int backOffMs = 0;
    // Why the wait goes on, for the title: empty, or what the device or the far end said.
    QString reason;
    // The end of what the far end sent last, quoted in the title while backing off.
    QByteArray lastWords;
    // The system's port list is read again for a while after the last change of a watched folder:
    // udev fills in a device's properties after its node and links appear.
    QElapsedTimer folderChanged;
    // Periodic send was on when the port was lost, and is turned on again once it is back.
    bool resumeAutoSend = false;
};
