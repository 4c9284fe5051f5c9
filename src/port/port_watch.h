#pragma once

#include <QObject>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

// Watches for a serial device coming back: the folders where device nodes and their stable
// links appear (/dev, /dev/serial/by-id, /dev/serial/by-path, and any given), plus a look
// every 250 ms for what no folder tells (a pseudo-terminal, a settings file edited). It never
// opens a device.
class PortWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int LookMs = 250;

    explicit PortWatch(QObject *parent = nullptr);
    void start(const QStringList &moreFolders);
    void stop();
    [[nodiscard]] bool isActive() const;

signals:
    // Time to look again; foldersChanged: a watched folder changed since the last look, so the
    // system's port list may have too.
    void look(bool foldersChanged);

private:
    void addFolders();

    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_tick;
    QStringList m_folders;
    bool m_changed = false;
};
