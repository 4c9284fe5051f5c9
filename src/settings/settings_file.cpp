#include "settings/settings_file.h"

#include "settings/atomic_file.h"
#include "settings/ini.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace {

enum class State { Missing, Regular, Unusable };

struct Current
{
    State state = State::Missing;
    QByteArray bytes;
    mode_t mode = 0;
};

int openNoWait(const QString &path, int flags)
{
    // O_NONBLOCK: opening a FIFO or a tty must not hang the program; O_NOCTTY: nor adopt a tty.
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

Current readCurrent(const QString &path)
{
    Current current;
    const atomicfile::Fd fd(openNoWait(path, O_RDONLY));
    if (fd.get() < 0) {
        // A dangling link or a missing file is a file not written yet; anything else is not ours.
        current.state = errno == ENOENT ? State::Missing : State::Unusable;
        return current;
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        current.state = State::Unusable;
        return current;
    }
    current.mode = info.st_mode & 07777;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            current.state = State::Unusable;
            return current;
        }
        current.bytes.append(buffer, n);
    }
    current.state = State::Regular;
    return current;
}

// The file a write lands in: a symbolic link stays a link, and its target gets the new content.
QString writeTarget(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
}

} // namespace

SettingsFile::SettingsFile(QString path, WriteFn writeFn)
    : m_path(std::move(path)), m_write(writeFn ? std::move(writeFn) : atomicfile::systemWrite())
{}

const QString &SettingsFile::path() const
{
    return m_path;
}

QString SettingsFile::read(const QString &section, const QString &key,
                           const QString &fallback) const
{
    const Current current = readCurrent(m_path);
    return ini::readValue(current.state == State::Regular ? current.bytes : QByteArray(), section,
                          key, fallback);
}

namespace {

// For a folder that takes no new file while the file itself is writable. The space is claimed
// first, so a full disk fails before a byte changes; should a write still fail, the old content
// goes back.
void rewriteInPlace(const atomicfile::WriteFn &write, const QString &target, const QByteArray &old,
                    const QByteArray &bytes)
{
    const atomicfile::Fd fd(openNoWait(target, O_WRONLY));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    if (bytes.size() > old.size() &&
        ::fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, bytes.size()) != 0 && errno != EOPNOTSUPP)
        return;
    const auto put = [&](const QByteArray &content) {
        return ::lseek(fd.get(), 0, SEEK_SET) == 0 &&
               atomicfile::writeAll(write, fd.get(), content) &&
               ::ftruncate(fd.get(), content.size()) == 0 && ::fsync(fd.get()) == 0;
    };
    if (!put(bytes))
        (void)put(old);
}

} // namespace

void SettingsFile::write(const QString &section, const QString &key, const QString &value) const
{
    update([&](const QByteArray &bytes) { return ini::writeValue(bytes, section, key, value); });
}

void SettingsFile::remove(const QString &section, const QString &key) const
{
    update([&](const QByteArray &bytes) { return ini::removeKey(bytes, section, key); });
}

QList<std::pair<QString, QString>> SettingsFile::readSection(const QString &section) const
{
    const Current current = readCurrent(m_path);
    return ini::readSection(current.state == State::Regular ? current.bytes : QByteArray(),
                            section);
}

void SettingsFile::writeSection(const QString &section,
                                const QList<std::pair<QString, QString>> &entries) const
{
    update([&](const QByteArray &bytes) { return ini::writeSection(bytes, section, entries); });
}

void SettingsFile::update(const std::function<QByteArray(const QByteArray &)> &change) const
{
    const QString target = writeTarget(m_path);
    const Current current = readCurrent(target);
    // A file that is there but cannot be read must not be replaced by one holding a single key,
    // and a FIFO or a device is no settings file at all.
    if (current.state == State::Unusable)
        return;
    // Nothing to change is nothing to write: no new file, no empty file where none was.
    const QByteArray bytes = change(current.bytes);
    if (bytes == current.bytes)
        return;

    // A fresh machine may have no ~/.config yet.
    QDir().mkpath(QFileInfo(target).absolutePath());
    const bool exists = current.state == State::Regular;
    const atomicfile::Outcome outcome = atomicfile::replace(
        m_write, target, bytes, exists ? std::optional(current.mode) : std::nullopt);
    if (outcome == atomicfile::Outcome::NoNewFile && exists)
        rewriteInPlace(m_write, target, current.bytes, bytes);
}

QString SettingsFile::defaultPath()
{
    // No shared writable root exists here, so the file lives in the user's configuration folder.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(base + QStringLiteral("/zelqo柯澜欧.ini"));
}
