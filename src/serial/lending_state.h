#pragma once

#include <QList>
#include <QString>

// The port lent to another program (a flasher), from "让出端口", "自动让出" or
// `zelqo-serial --yield`, until the window has it open again.
struct LendingState
{
    bool lent = false;
    int commPort = 0;
    // The device as it was opened: its number's mapping.
    QString device;
    // The program that has it, where the system tells: "avrdude（进程 4321）".
    QString borrower;
    // The device is free again, or was asked back: the reconnect path opens it.
    bool returning = false;
    // The port came back since it was lent, to be marked where the text then ends.
    bool returnUnmarked = false;
};
