#pragma once

#include "transfer/files.h"

#include <QList>
#include <QString>

// Files held in memory, for driving the transfer protocols without a file system.
class MemorySource : public transfer::FileSource
{
public:
    struct File
    {
        QString name;
        QByteArray data;
    };
    explicit MemorySource(QList<File> files) : m_files(std::move(files)) {}

    [[nodiscard]] int count() const override { return int(m_files.size()); }
    [[nodiscard]] transfer::OutgoingFile file(int index) const override
    {
        return {m_files[index].name, m_files[index].data.size(), 1700000000};
    }
    [[nodiscard]] bool read(int index, qint64 offset, qsizetype n, QByteArray *out) override
    {
        *out = m_files[index].data.mid(offset, n);
        return true;
    }
    [[nodiscard]] QString errorString() const override { return {}; }

private:
    QList<File> m_files;
};

class MemorySink : public transfer::FileSink
{
public:
    struct File
    {
        QByteArray name;
        qint64 size = -1;
        QByteArray data;
        bool whole = false;
    };

    // Writes fail once this many bytes of all files are written; -1: never.
    qint64 failAfter = -1;

    [[nodiscard]] bool begin(const QByteArray &name, qint64 size, qint64) override
    {
        files.append({name, size, {}, false});
        return true;
    }
    [[nodiscard]] bool write(QByteArrayView data) override
    {
        m_written += data.size();
        if (failAfter >= 0 && m_written > failAfter)
            return false;
        files.last().data += data;
        return true;
    }
    [[nodiscard]] bool end() override
    {
        files.last().whole = true;
        return true;
    }
    void abandon() override { files.removeLast(); }
    [[nodiscard]] QString currentName() const override
    {
        return files.isEmpty() ? QString() : QString::fromUtf8(files.last().name);
    }
    [[nodiscard]] QString errorString() const override { return QStringLiteral("设备上没有空间"); }

    QList<File> files;

private:
    qint64 m_written = 0;
};
