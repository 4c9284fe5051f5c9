#pragma once

#include "serial/device_identity.h"

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
};
