#include "port/open_watch.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

OpenWatch::OpenWatch(QObject *parent) : QObject(parent) {}

OpenWatch::~OpenWatch()
{
    stop();
}

bool OpenWatch::start(const QString &device)
{
    stop();
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return false;
    // The node a link names is watched, not the link.
    if (::inotify_add_watch(fd, QFile::encodeName(device).constData(),
                            IN_OPEN | IN_CLOSE | IN_DELETE_SELF) < 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    ++m_generation;
    m_device = device;
    m_others = 0;
    m_ownCloses = 0;
    m_seenOthers = false;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &OpenWatch::readEvents);
    return true;
}

void OpenWatch::stop()
{
    if (m_fd < 0)
        return;
    // Stopping is often what an event leads to, inside the notifier's own signal.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    ::close(m_fd);
    m_fd = -1;
    ++m_generation;
    m_device.clear();
    m_others = 0;
    m_ownCloses = 0;
}

void OpenWatch::readEvents()
{
    alignas(inotify_event) char buffer[4096];
    // A handler may stop the watch, or start it anew, while the events are read.
    const quint64 generation = m_generation;
    const auto current = [this, generation] { return m_fd >= 0 && m_generation == generation; };
    while (current()) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n && current();) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_OPEN) {
                ++m_others;
                m_seenOthers = true;
                emit othersChanged(m_others);
            }
            if (event->mask & IN_CLOSE) {
                if (m_ownCloses > 0) {
                    --m_ownCloses;
                    continue;
                }
                m_seenOthers = true;
                // A file opened before the watch began closes without having been counted.
                if (m_others > 0)
                    --m_others;
                emit othersChanged(m_others);
            }
            if (event->mask & (IN_DELETE_SELF | IN_IGNORED)) {
                stop();
                emit gone();
                return;
            }
        }
    }
}
