#include "settings/atomic_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace atomicfile {

WriteFn systemWrite()
{
    return [](int fd, const void *data, size_t size) { return ::write(fd, data, size); };
}

Fd::~Fd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Fd::close()
{
    const int fd = std::exchange(m_fd, -1);
    return ::close(fd) == 0;
}

bool writeAll(const WriteFn &write, int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

Outcome replace(const WriteFn &write, const QString &target, const QByteArray &bytes,
                std::optional<mode_t> mode)
{
    const QFileInfo info(target);
    QByteArray temp =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()) + ".XXXXXX";
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return Outcome::NoNewFile;
    const mode_t umaskNow = ::umask(0);
    ::umask(umaskNow);
    const bool ok = ::fchmod(fd.get(), mode.value_or(0666 & ~umaskNow)) == 0 &&
                    writeAll(write, fd.get(), bytes) && ::fsync(fd.get()) == 0 && fd.close() &&
                    ::rename(temp.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(temp.constData());
        errno = error;
        return Outcome::Failed;
    }
    return Outcome::Done;
}

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool save(const QString &path, const QByteArray &bytes, QString *reason)
{
    struct stat info;
    const bool exists = ::stat(QFile::encodeName(path).constData(), &info) == 0;
    if (replace(systemWrite(), path, bytes,
                exists ? std::optional<mode_t>(info.st_mode & 07777) : std::nullopt) ==
        Outcome::Done)
        return true;
    if (reason)
        *reason = systemReason();
    return false;
}

} // namespace atomicfile
