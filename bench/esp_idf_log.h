#pragma once

#include <QRandomGenerator>
#include <QString>

// An ESP-IDF application's log as 5.3 and older print it: lines of about 80 characters at the
// levels I, W and E, coloured green, yellow and red, and D without colour, each closed by the
// reset sequence and CR LF; or the same without colours, as 5.4 prints it.
inline QString espIdfLog(qint64 chars, bool colours)
{
    static const char *const tags[] = {"wifi",      "boot",   "heap_init",   "spi_flash",
                                       "main_task", "sensor", "mqtt_client", "esp_netif_lwip"};
    QRandomGenerator random(3);
    QString log;
    log.reserve(chars + 128);
    qint64 tick = 0;
    while (log.size() < chars) {
        const int roll = int(random.bounded(20));
        const char level = roll == 0 ? 'E' : roll < 3 ? 'W' : roll < 17 ? 'I' : 'D';
        const char *colour = level == 'E'   ? "\x1b[0;31m"
                             : level == 'W' ? "\x1b[0;33m"
                             : level == 'I' ? "\x1b[0;32m"
                                            : "";
        tick += random.bounded(1, 40);
        QString line = QStringLiteral("%1 (%2) %3: reading %4 value=%5 status=ok")
                           .arg(QLatin1Char(level))
                           .arg(tick)
                           .arg(QLatin1String(tags[random.bounded(8)]))
                           .arg(random.bounded(1000))
                           .arg(random.bounded(100000));
        line += QString(qMax<qsizetype>(0, 78 - line.size()), u'.');
        if (colours && *colour)
            log += QLatin1String(colour) + line + QStringLiteral("\x1b[0m\r\n");
        else
            log += line + QStringLiteral("\r\n");
    }
    return log;
}
