#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Where a sender's files come from and a receiver's go, so that the protocols themselves touch
// no file system.
namespace transfer {

struct OutgoingFile
{
    QString name;      // shown in the log and sent in a YMODEM header
    qint64 size = 0;   // as it was when the transfer started
    qint64 mtime = -1; // seconds since the epoch
};

class FileSource
{
public:
    virtual ~FileSource() = default;
    [[nodiscard]] virtual int count() const = 0;
    [[nodiscard]] virtual OutgoingFile file(int index) const = 0;
    // Up to n bytes of a file from offset: fewer only at its end. False on a read error.
    [[nodiscard]] virtual bool read(int index, qint64 offset, qsizetype n, QByteArray *out) = 0;
    [[nodiscard]] virtual QString errorString() const = 0;
};

class FileSink
{
public:
    virtual ~FileSink() = default;
    // A file begins: name as the sender gave it (a YMODEM header's, or empty for XMODEM), which
    // the sink makes safe; size -1 when not given. False when it cannot be written.
    [[nodiscard]] virtual bool begin(const QByteArray &name, qint64 size, qint64 mtime) = 0;
    [[nodiscard]] virtual bool write(QByteArrayView data) = 0;
    // The file is whole.
    [[nodiscard]] virtual bool end() = 0;
    // The file will not be whole: nothing of it is kept.
    virtual void abandon() = 0;
    // The name the file is written under, for the log.
    [[nodiscard]] virtual QString currentName() const = 0;
    [[nodiscard]] virtual QString errorString() const = 0;
};

} // namespace transfer
