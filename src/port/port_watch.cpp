#include "port/port_watch.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

PortWatch::PortWatch(QObject *parent) : QObject(parent), m_tick(new QTimer(this))
{
    m_tick->setInterval(LookMs);
    connect(m_tick, &QTimer::timeout, this, [this] {
        // /dev/serial and its folders come and go with the first and last USB serial device.
        addFolders();
        const bool changed = m_changed;
        m_changed = false;
        emit look(changed);
    });
}

void PortWatch::start(const QStringList &moreFolders)
{
    stop();
    m_folders = {QStringLiteral("/dev"), QStringLiteral("/dev/serial"),
                 QStringLiteral("/dev/serial/by-id"), QStringLiteral("/dev/serial/by-path")};
    for (const QString &folder : moreFolders) {
        if (!m_folders.contains(folder))
            m_folders << folder;
    }
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        m_changed = true;
        addFolders();
        // At once rather than at the next tick: a device node is there to be opened now.
        m_changed = false;
        emit look(true);
    });
    addFolders();
    m_changed = true;
    m_tick->start();
}

void PortWatch::stop()
{
    m_tick->stop();
    if (!m_watcher)
        return;
    // Stopping is often what a look leads to, inside the watcher's own signal.
    m_watcher->disconnect(this);
    m_watcher->deleteLater();
    m_watcher = nullptr;
}

bool PortWatch::isActive() const
{
    return m_tick->isActive();
}

void PortWatch::addFolders()
{
    if (!m_watcher)
        return;
    const QStringList watched = m_watcher->directories();
    for (const QString &folder : m_folders) {
        if (!watched.contains(folder) && QFileInfo(folder).isDir())
            m_watcher->addPath(folder);
    }
}
