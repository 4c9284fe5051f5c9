#pragma once

#include <QByteArray>
#include <QString>

// A file that every received byte is appended to, raw, as it arrives. Each block goes straight
// to the file, unbuffered, so a crash of the program loses nothing already received.
class CaptureLog
{
public:
    CaptureLog() = default;
    ~CaptureLog();
    CaptureLog(const CaptureLog &) = delete;
    CaptureLog &operator=(const CaptureLog &) = delete;

    // Opens path for appending; false with the system's reason when it cannot.
    [[nodiscard]] bool start(const QString &path, QString *reason);
    // False with the reason when the block could not be written whole; recording stops then.
    [[nodiscard]] bool append(const QByteArray &bytes, QString *reason);
    void stop();
    [[nodiscard]] bool isRecording() const { return m_fd >= 0; }
    [[nodiscard]] const QString &path() const { return m_path; }

private:
    int m_fd = -1;
    QString m_path;
};
