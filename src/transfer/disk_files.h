#pragma once

#include "transfer/files.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace transfer {

// The files a sender reads, opened when the transfer starts so that an unreadable one is told
// before anything goes out.
class DiskSource : public FileSource
{
public:
    // False when a path cannot be read: errorString() names it and says why.
    [[nodiscard]] bool open(const QStringList &paths);

    [[nodiscard]] int count() const override { return int(m_files.size()); }
    [[nodiscard]] OutgoingFile file(int index) const override { return m_files[index].info; }
    [[nodiscard]] bool read(int index, qint64 offset, qsizetype n, QByteArray *out) override;
    [[nodiscard]] QString errorString() const override { return m_error; }

private:
    struct Open
    {
        std::unique_ptr<QFile> file;
        OutgoingFile info;
    };
    std::vector<Open> m_files;
    QString m_error;
};

// What to do with a received file whose name is taken.
enum class ExistingFile { Overwrite, KeepBoth, Discard };

// A file name a sender gave, made safe for the receive folder: its last path part only, never
// empty, ".", ".." or holding a control character.
[[nodiscard]] QString safeFileName(const QByteArray &sent);

// Received files go into a folder: each written under a hidden temporary name beside its own,
// synced and renamed to its name once whole, so a failed transfer leaves nothing under the real
// name. A name already taken is never overwritten unless the user says so: the question is asked
// as soon as the name is known and may be answered while the transfer goes on; a whole file
// waits for its answer.
class DiskSink : public FileSink
{
public:
    struct Hooks
    {
        // name is taken in the folder: answer(id, ...) says what to do.
        std::function<void(int id, const QString &name)> ask;
        std::function<void(const QString &line)> log;
    };

    // xmodemName names the file of a transfer that carries no name.
    DiskSink(const QString &folder, const QString &xmodemName, Hooks hooks);
    ~DiskSink() override;
    DiskSink(const DiskSink &) = delete;
    DiskSink &operator=(const DiskSink &) = delete;

    [[nodiscard]] bool begin(const QByteArray &name, qint64 size, qint64 mtime) override;
    [[nodiscard]] bool write(QByteArrayView data) override;
    [[nodiscard]] bool end() override;
    void abandon() override;
    [[nodiscard]] QString currentName() const override { return m_name; }
    [[nodiscard]] QString errorString() const override { return m_error; }

    // A whole file received by someone else (lrzsz) at path, to be put under name as if it had
    // been received here.
    void adopt(const QString &path, const QString &name);
    void answer(int id, ExistingFile what);
    // Drops every file still waiting for an answer.
    void discardWaiting();
    // No whole file waits for an answer.
    [[nodiscard]] bool settled() const;
    // Where the files went, for the final message.
    [[nodiscard]] const QStringList &saved() const { return m_saved; }

private:
    struct Pending
    {
        int id = 0;
        QString temp;
        QString name;
        bool whole = false;
        bool asked = false;
        std::optional<ExistingFile> answer;
    };

    [[nodiscard]] QString path(const QString &name) const;
    void settle(Pending &pending);
    void keptAside(Pending &pending);
    [[nodiscard]] bool place(const QString &temp, const QString &name, bool replace);
    void askIfTaken(Pending &pending);
    void ask(Pending &pending);
    // The file is done with: line tells the user what became of it.
    void finished(Pending &pending, const QString &line, const QString &savedAs);
    void removeSettled();

    QString m_folder;
    QString m_xmodemName;
    Hooks m_hooks;
    QFile m_file;
    QString m_name;
    qint64 m_mtime = -1;
    QString m_error;
    QList<Pending> m_pending;
    QStringList m_saved;
    int m_nextId = 1;
    int m_lastErrno = 0;
};

} // namespace transfer
