#include "transfer/disk_files.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace transfer {

namespace {

// Renames without replacing an existing file; 0 or the errno.
int renameNoReplace(const QString &from, const QString &to)
{
    const QByteArray a = QFile::encodeName(from);
    const QByteArray b = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing name too.
    if (::link(a.constData(), b.constData()) != 0)
        return errno;
    ::unlink(a.constData());
    return 0;
}

QString numbered(const QString &name, int n)
{
    const QFileInfo info(name);
    const QString base = info.baseName();
    if (base.isEmpty() || info.completeSuffix().isEmpty())
        return QStringLiteral("%1 (%2)").arg(name).arg(n);
    return QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(info.completeSuffix());
}

} // namespace

bool DiskSource::open(const QStringList &paths)
{
    m_files.clear();
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            m_error = QStringLiteral("%1 是文件夹，不是文件").arg(path);
            return false;
        }
        // A FIFO or a device has no size to announce, and opening a FIFO waits for a writer.
        if (info.exists() && !info.isFile()) {
            m_error = QStringLiteral("%1 不是普通文件").arg(path);
            return false;
        }
        auto file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("无法读取 %1：%2").arg(path, file->errorString());
            return false;
        }
        const OutgoingFile outgoing{info.fileName(), file->size(),
                                    info.lastModified().toSecsSinceEpoch()};
        m_files.push_back({std::move(file), outgoing});
    }
    if (m_files.empty()) {
        m_error = QStringLiteral("没有选择文件");
        return false;
    }
    return true;
}

bool DiskSource::read(int index, qint64 offset, qsizetype n, QByteArray *out)
{
    QFile &file = *m_files[size_t(index)].file;
    out->resize(n);
    qint64 got = -1;
    if (file.pos() == offset || file.seek(offset))
        got = file.read(out->data(), n);
    if (got < 0) {
        m_error = file.errorString();
        out->clear();
        return false;
    }
    out->resize(qsizetype(got));
    return true;
}

QString safeFileName(const QByteArray &sent)
{
    QString name = QString::fromUtf8(sent);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    name.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("接收的文件");
    return name;
}

DiskSink::DiskSink(const QString &folder, const QString &xmodemName, Hooks hooks)
    : m_folder(folder), m_xmodemName(xmodemName), m_hooks(std::move(hooks))
{}

DiskSink::~DiskSink()
{
    abandon();
    for (const Pending &pending : std::as_const(m_pending))
        QFile::remove(pending.temp);
}

QString DiskSink::path(const QString &name) const
{
    return QDir(m_folder).filePath(name);
}

bool DiskSink::begin(const QByteArray &name, qint64, qint64 mtime)
{
    m_name = safeFileName(name.isEmpty() ? m_xmodemName.toUtf8() : name);
    m_mtime = mtime;
    for (int n = 0; n < 100 && !m_file.isOpen(); ++n) {
        const QString temp = n == 0 ? QStringLiteral(".%1.part").arg(m_name)
                                    : QStringLiteral(".%1.%2.part").arg(m_name).arg(n);
        m_file.setFileName(path(temp));
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        // Another transfer's temporary file: try the next name; anything else is the folder's.
        if (!QFileInfo(path(temp)).exists()) {
            m_error = m_file.errorString();
            return false;
        }
    }
    if (!m_file.isOpen()) {
        m_error = m_file.errorString();
        return false;
    }
    m_pending.append({m_nextId++, m_file.fileName(), m_name});
    askIfTaken(m_pending.last());
    return true;
}

bool DiskSink::write(QByteArrayView data)
{
    // Flushed at once, so that a full disk stops the transfer now, not at its end.
    if (m_file.write(data.data(), data.size()) != data.size() || !m_file.flush()) {
        m_error = m_file.errorString();
        return false;
    }
    return true;
}

bool DiskSink::end()
{
    if (!m_file.flush() || ::fsync(m_file.handle()) != 0) {
        m_error = m_file.error() != QFileDevice::NoError
                      ? m_file.errorString()
                      : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (m_mtime > 0)
        (void)m_file.setFileTime(QDateTime::fromSecsSinceEpoch(m_mtime),
                                 QFileDevice::FileModificationTime);
    const QString temp = m_file.fileName();
    m_file.close();
    for (Pending &pending : m_pending) {
        if (pending.temp == temp) {
            pending.whole = true;
            settle(pending);
            break;
        }
    }
    removeSettled();
    return true;
}

void DiskSink::abandon()
{
    if (!m_file.isOpen())
        return;
    const QString temp = m_file.fileName();
    m_file.close();
    QFile::remove(temp);
    m_pending.removeIf([&temp](const Pending &p) { return p.temp == temp; });
}

void DiskSink::adopt(const QString &path, const QString &name)
{
    m_pending.append({m_nextId++, path, safeFileName(name.toUtf8()), true});
    askIfTaken(m_pending.last());
    settle(m_pending.last());
    removeSettled();
}

void DiskSink::answer(int id, ExistingFile what)
{
    for (Pending &pending : m_pending) {
        if (pending.id == id) {
            pending.answer = what;
            settle(pending);
        }
    }
    removeSettled();
}

void DiskSink::discardWaiting()
{
    for (Pending &pending : m_pending) {
        if (pending.whole) {
            pending.answer = ExistingFile::Discard;
            settle(pending);
        }
    }
    removeSettled();
}

bool DiskSink::settled() const
{
    return std::none_of(m_pending.cbegin(), m_pending.cend(),
                        [](const Pending &p) { return p.whole; });
}

void DiskSink::askIfTaken(Pending &pending)
{
    if (!pending.asked && QFileInfo(path(pending.name)).exists())
        ask(pending);
}

void DiskSink::ask(Pending &pending)
{
    pending.asked = true;
    if (m_hooks.ask)
        m_hooks.ask(pending.id, pending.name);
    else
        pending.answer = ExistingFile::KeepBoth;
}

void DiskSink::settle(Pending &pending)
{
    if (!pending.whole || pending.temp.isEmpty())
        return;
    if (!pending.answer) {
        if (pending.asked)
            return;
        const QString target = path(pending.name);
        if (place(pending.temp, pending.name, false))
            return finished(pending, QStringLiteral("已保存 %1").arg(target), target);
        if (m_lastErrno != EEXIST)
            return keptAside(pending);
        // Another program took the name meanwhile.
        ask(pending);
        if (!pending.answer)
            return;
    }
    switch (*pending.answer) {
    case ExistingFile::Discard:
        QFile::remove(pending.temp);
        return finished(pending, QStringLiteral("未保存 %1").arg(pending.name), {});
    case ExistingFile::Overwrite:
        if (place(pending.temp, pending.name, true)) {
            const QString target = path(pending.name);
            return finished(pending, QStringLiteral("已覆盖 %1").arg(target), target);
        }
        // A folder of that name, say: keep both instead.
        [[fallthrough]];
    case ExistingFile::KeepBoth:
        for (int n = 1; n < 1000; ++n) {
            const QString target = path(numbered(pending.name, n));
            if (place(pending.temp, numbered(pending.name, n), false))
                return finished(pending, QStringLiteral("已另存为 %1").arg(target), target);
            if (m_lastErrno != EEXIST)
                break;
        }
        break;
    }
    keptAside(pending);
}

void DiskSink::keptAside(Pending &pending)
{
    // Whole but nowhere to go: kept under its temporary name rather than lost.
    finished(
        pending,
        QStringLiteral("无法保存 %1：%2，文件留在 %3")
            .arg(pending.name, QString::fromLocal8Bit(std::strerror(m_lastErrno)), pending.temp),
        {});
}

bool DiskSink::place(const QString &temp, const QString &name, bool replace)
{
    const QString target = path(name);
    if (replace) {
        m_lastErrno = std::rename(QFile::encodeName(temp).constData(),
                                  QFile::encodeName(target).constData()) == 0
                          ? 0
                          : errno;
    } else {
        m_lastErrno = renameNoReplace(temp, target);
    }
    return m_lastErrno == 0;
}

void DiskSink::finished(Pending &pending, const QString &line, const QString &savedAs)
{
    if (m_hooks.log)
        m_hooks.log(line);
    if (!savedAs.isEmpty())
        m_saved.append(savedAs);
    pending.temp.clear();
}

void DiskSink::removeSettled()
{
    m_pending.removeIf([](const Pending &p) { return p.temp.isEmpty(); });
}

} // namespace transfer
