#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Who else has a device open, told by the kernel's inotify events on its node: IN_OPEN and
// IN_CLOSE count every open file of the node since the watch began, whoever made it (another
// user and root included), without touching the device; a device node and a pseudo-terminal
// both report them. A descriptor opened before the watch began is not seen until it closes;
// the program's own is announced with expectOwnClose() before it closes. Nothing polls: while
// nobody else opens the device the watch costs nothing.
//
// The kernel merges two identical events that follow each other unread, so the events are read
// as soon as they come.
class OpenWatch : public QObject
{
    Q_OBJECT
public:
    explicit OpenWatch(QObject *parent = nullptr);
    ~OpenWatch() override;

    // Counts from now on; false when the node cannot be watched (it is gone, or no inotify).
    bool start(const QString &device);
    void stop();
    [[nodiscard]] bool isWatching() const { return m_fd >= 0; }
    // The device as given to start(), empty while not watching.
    [[nodiscard]] QString device() const { return m_device; }
    // Files of the device opened by others and not closed yet.
    [[nodiscard]] int others() const { return m_others; }
    // Another program opened or closed the device since the watch began.
    [[nodiscard]] bool seenOthers() const { return m_seenOthers; }
    // From now on, seenOthers() tells of those that hold the device now or open it later.
    void forgetSeen() { m_seenOthers = m_others > 0; }
    // The next close is the program's own descriptor, not another's.
    void expectOwnClose() { ++m_ownCloses; }
    // Takes the events the kernel has reported so far, at once rather than when the event loop
    // comes to them.
    void readEvents();

signals:
    void othersChanged(int others);
    // The node was removed and its last open file closed: nobody holds that device any more.
    void gone();

private:
    int m_fd = -1;
    // Counts starts and stops, so that events read for one watch never count for the next.
    quint64 m_generation = 0;
    QSocketNotifier *m_notifier = nullptr;
    QString m_device;
    int m_others = 0;
    int m_ownCloses = 0;
    bool m_seenOthers = false;
};
