#include "port/capture_log.h"

#include "settings/atomic_file.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

CaptureLog::~CaptureLog()
{
    stop();
}

bool CaptureLog::start(const QString &path, QString *reason)
{
    stop();
    m_fd = ::open(QFile::encodeName(path).constData(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    if (m_fd < 0) {
        *reason = atomicfile::systemReason();
        return false;
    }
    m_path = path;
    return true;
}

bool CaptureLog::append(const QByteArray &bytes, QString *reason)
{
    if (m_fd < 0)
        return true;
    if (atomicfile::writeAll(atomicfile::systemWrite(), m_fd, bytes))
        return true;
    *reason = atomicfile::systemReason();
    stop();
    return false;
}

void CaptureLog::stop()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
