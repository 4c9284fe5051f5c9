#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <functional>
#include <optional>
#include <utility>

// Whole-or-absent file writes: the settings file and the captures the user saves.
namespace atomicfile {

// The write(2) that every byte goes through; tests put in one that fails.
using WriteFn = std::function<ssize_t(int fd, const void *data, size_t size)>;

[[nodiscard]] WriteFn systemWrite();

// Closes a descriptor on every way out.
class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool close();

private:
    int m_fd;
};

// Writes all of bytes, retrying short writes; false (errno set) when a write fails.
[[nodiscard]] bool writeAll(const WriteFn &write, int fd, const QByteArray &bytes);

enum class Outcome { Done, Failed, NoNewFile };

// The new content goes to a temporary file in the target's folder, which then replaces the
// target by rename: a crash, a power cut or a full disk leaves the old file or the new one, never
// a torn one, and no temporary file. mode: the permissions to keep, or none for a new file.
// errno tells why, when the outcome is not Done.
[[nodiscard]] Outcome replace(const WriteFn &write, const QString &target, const QByteArray &bytes,
                              std::optional<mode_t> mode);

// The system's words for errno, for a message.
[[nodiscard]] QString systemReason();

// replace() for a file the user named; the reason is the system's, for a message.
[[nodiscard]] bool save(const QString &path, const QByteArray &bytes, QString *reason);

} // namespace atomicfile
