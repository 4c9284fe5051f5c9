// Settings writes that cannot be done: a full disk, a write that fails halfway, a read-only
// folder, an unreadable file, a path that is no regular file. The file stays as it was.
#include "settings/ini.h"
#include "settings/settings_file.h"
#include "support/ini_bytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A settings file as users keep it: a port map, hand-written lines, a comment.
const QByteArray handEdited("; mine\n[端口设置]\n端口 = COM3\n波特率=115200\n\n[端口映射]\n"
                            "COM3=/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0\n"
                            "[小车控制区]\n前进=11:\n");

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot |
                                  QDir::System);
}

// Writes until the file system is full.
bool fillDisk(const QString &path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(512, 'f');
    while (filler.write(block) > 0) {
    }
    return true;
}

// A small tmpfs of the test's own, unmounted at the end. Needs root (or CAP_SYS_ADMIN).
class ScratchMount
{
public:
    ScratchMount(const QString &path, const char *options) : m_path(path)
    {
        QDir().mkpath(path);
        if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options) == 0)
            m_mounted = true;
        else
            m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~ScratchMount()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
    }
    ScratchMount(const ScratchMount &) = delete;
    ScratchMount &operator=(const ScratchMount &) = delete;

    [[nodiscard]] bool isMounted() const { return m_mounted; }
    [[nodiscard]] const QString &path() const { return m_path; }
    [[nodiscard]] const QString &error() const { return m_error; }

private:
    QString m_path;
    bool m_mounted = false;
    QString m_error;
};

// A folder that refuses new files around a settings file that is writable, holding handEdited.
// An ordinary user gets it from the folder's permissions; root, whom permissions do not bind,
// from a read-only tmpfs with a writable file bind-mounted into it.
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(const QString &base)
        : m_folder(base + QStringLiteral("/ro")), m_file(m_folder + QStringLiteral("/zelqo.ini"))
    {
        QDir().mkpath(m_folder);
        if (::geteuid() != 0) {
            m_ready =
                writeBytes(m_file, handEdited) &&
                QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            m_chmodded = m_ready;
            return;
        }
        const QString outside = base + QStringLiteral("/outside.ini");
        m_mount = std::make_unique<ScratchMount>(m_folder, "size=64k");
        if (!m_mount->isMounted()) {
            m_error = m_mount->error();
            return;
        }
        if (!writeBytes(m_file, QByteArray()) || !writeBytes(outside, handEdited) ||
            ::mount(QFile::encodeName(outside).constData(), QFile::encodeName(m_file).constData(),
                    nullptr, MS_BIND, nullptr) != 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        m_bound = true;
        if (::mount(nullptr, QFile::encodeName(m_folder).constData(), nullptr,
                    MS_REMOUNT | MS_RDONLY, "size=64k") != 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        m_ready = true;
    }
    ~ReadOnlyFolder()
    {
        if (m_chmodded)
            QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner);
        if (m_bound)
            ::umount2(QFile::encodeName(m_file).constData(), MNT_DETACH);
    }
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    [[nodiscard]] bool isReady() const { return m_ready; }
    [[nodiscard]] const QString &filePath() const { return m_file; }
    [[nodiscard]] const QString &error() const { return m_error; }

private:
    QString m_folder;
    QString m_file;
    std::unique_ptr<ScratchMount> m_mount;
    bool m_bound = false;
    bool m_chmodded = false;
    bool m_ready = false;
    QString m_error;
};

} // namespace

class TestSettingsFileFailures : public QObject
{
    Q_OBJECT

private slots:
    void unreadableFileIsLeftAlone();
    void fullDiskKeepsFile_data();
    void fullDiskKeepsFile();
    void failedWriteKeepsFile_data();
    void failedWriteKeepsFile();
    void readOnlyFolderWritesInPlace();
    void nonRegularFileIsLeftAlone_data();
    void nonRegularFileIsLeftAlone();
};

void TestSettingsFileFailures::unreadableFileIsLeftAlone()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("zelqo.ini"));
    const QByteArray original("[p]\nk=kept\nother=1\n");
    QVERIFY(writeBytes(path, original));
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    {
        QFile probe(path);
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("file permissions do not bind this user (root?)");
    }
    const SettingsFile settings(path);

    QCOMPARE(settings.read(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("fallback")),
             QStringLiteral("fallback"));
    settings.write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("new"));

    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(readBytes(path), original);
}

void TestSettingsFileFailures::fullDiskKeepsFile_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("new key") << "发送区"
                             << "发送文本框"
                             << "技术论坛";
    QTest::newRow("longer value") << "端口设置"
                                  << "端口" << QString(200, QLatin1Char('x'));
    QTest::newRow("shorter value") << "端口设置"
                                   << "端口"
                                   << "C";
}

// What happened on a real full disk: the temporary file's write failed and the rename went ahead,
// leaving an empty settings file.
void TestSettingsFileFailures::fullDiskKeepsFile()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ScratchMount disk(dir.filePath(QStringLiteral("disk")), "size=64k");
    if (!disk.isMounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here: ") + disk.error()));
    const QString path = disk.path() + QStringLiteral("/zelqo柯澜欧.ini");
    QVERIFY(writeBytes(path, handEdited));
    QVERIFY(fillDisk(disk.path() + QStringLiteral("/filler")));
    const QStringList before = entries(disk.path());

    const SettingsFile settings(path);
    settings.write(section, key, value);

    QCOMPARE(readBytes(path), handEdited);
    QCOMPARE(entries(disk.path()), before);
}

void TestSettingsFileFailures::failedWriteKeepsFile_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<qsizetype>("failAfter");
    QTest::addColumn<int>("error");
    // A key, a whole section (the send history), or a section taken out (history cleared).
    QTest::addColumn<QString>("what");

    for (const bool inPlace : {false, true}) {
        for (const char *what : {"key", "key removed", "section", "section removed"}) {
            // failAfter: bytes of the new file written before the failure; -1 all but one.
            const char *how = inPlace ? "in place" : "replace";
            QTest::addRow("%s %s, nothing written", how, what)
                << inPlace << qsizetype(0) << ENOSPC << what;
            QTest::addRow("%s %s, half written", how, what)
                << inPlace << handEdited.size() / 3 << ENOSPC << what;
            QTest::addRow("%s %s, all but one byte", how, what)
                << inPlace << qsizetype(-1) << EIO << what;
        }
    }
}

// Every byte of the file goes through the write seam, which here gives up part way.
void TestSettingsFileFailures::failedWriteKeepsFile()
{
    QFETCH(bool, inPlace);
    QFETCH(qsizetype, failAfter);
    QFETCH(int, error);
    QFETCH(QString, what);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::unique_ptr<ReadOnlyFolder> folder =
        inPlace ? std::make_unique<ReadOnlyFolder>(dir.path()) : nullptr;
    if (folder && !folder->isReady())
        QSKIP(qPrintable(QStringLiteral("no read-only folder with a writable file: ") +
                         folder->error()));
    const QString path = folder ? folder->filePath() : dir.filePath(QStringLiteral("zelqo.ini"));
    if (!folder)
        QVERIFY(writeBytes(path, handEdited));
    const QString folderPath = QFileInfo(path).absolutePath();
    const QStringList before = entries(folderPath);

    const QList<std::pair<QString, QString>> history = {
        {QStringLiteral("1"), QStringLiteral("AT")},
        {QStringLiteral("2"), QStringLiteral("你好\r\n")}};
    const QByteArray newBytes =
        what == QLatin1String("key")
            ? ini::writeValue(handEdited, QStringLiteral("端口设置"), QStringLiteral("端口"),
                              QStringLiteral("COM12"))
        : what == QLatin1String("key removed")
            ? ini::removeKey(handEdited, QStringLiteral("端口设置"), QStringLiteral("端口"))
            : ini::writeSection(handEdited,
                                what == QLatin1String("section") ? QStringLiteral("发送历史")
                                                                 : QStringLiteral("端口映射"),
                                what == QLatin1String("section") ? history : decltype(history)());
    if (failAfter < 0)
        failAfter = newBytes.size() - 1;

    // The write fails once, after failAfter bytes; the disk works again afterwards.
    qsizetype written = 0;
    bool failed = false;
    const SettingsFile settings(path, [&](int fd, const void *data, size_t size) -> ssize_t {
        const qsizetype room = failAfter - written;
        if (!failed && room <= 0) {
            failed = true;
            errno = error;
            return -1;
        }
        const ssize_t n = ::write(fd, data, failed ? size : std::min<size_t>(size, size_t(room)));
        written += n > 0 ? n : 0;
        return n;
    });
    if (what == QLatin1String("key"))
        settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM12"));
    else if (what == QLatin1String("key removed"))
        settings.remove(QStringLiteral("端口设置"), QStringLiteral("端口"));
    else if (what == QLatin1String("section"))
        settings.writeSection(QStringLiteral("发送历史"), history);
    else
        settings.writeSection(QStringLiteral("端口映射"), {});

    QVERIFY(failed);
    QCOMPARE(readBytes(path), handEdited);
    QCOMPARE(entries(folderPath), before);
}

// The folder takes no new file, the file itself is writable: the file is rewritten in place.
void TestSettingsFileFailures::readOnlyFolderWritesInPlace()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ReadOnlyFolder folder(dir.path());
    if (!folder.isReady())
        QSKIP(qPrintable(QStringLiteral("no read-only folder with a writable file: ") +
                         folder.error()));
    const SettingsFile settings(folder.filePath());

    settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM12"));
    QCOMPARE(settings.read(QStringLiteral("端口设置"), QStringLiteral("端口"), QString()),
             QStringLiteral("COM12"));
    settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("C"));

    QByteArray expected = handEdited;
    expected.replace("端口 = COM3", "端口 = C");
    QCOMPARE(readBytes(folder.filePath()), expected);
    QCOMPARE(entries(QFileInfo(folder.filePath()).absolutePath()),
             QStringList{QFileInfo(folder.filePath()).fileName()});
}

void TestSettingsFileFailures::nonRegularFileIsLeftAlone_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to a FIFO") << "link to fifo";
    QTest::newRow("link to a device") << "link to device";
    QTest::newRow("folder") << "folder";
    QTest::newRow("its folder is a file") << "under a file";
    QTest::newRow("a folder above it is a file") << "deeper under a file";
}

// Where no regular file is or can be, the settings read as defaults and nothing is written.
// Opening a FIFO for reading used to wait for a writer forever, and a device never ends.
void TestSettingsFileFailures::nonRegularFileIsLeftAlone()
{
    QFETCH(QString, kind);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath(QStringLiteral("zelqo.ini"));
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString blocker = dir.filePath(QStringLiteral("blocker"));
    QVERIFY(writeBytes(blocker, "not a folder"));
    if (kind == QStringLiteral("under a file"))
        path = blocker + QStringLiteral("/zelqo.ini");
    else if (kind == QStringLiteral("deeper under a file"))
        path = blocker + QStringLiteral("/sub/zelqo.ini");
    else if (kind == QStringLiteral("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == QStringLiteral("link to fifo"))
        QVERIFY(QFile::link(fifo, path));
    else if (kind == QStringLiteral("link to device"))
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    else if (kind == QStringLiteral("folder"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("zelqo.ini")));
    const QStringList before = entries(dir.path());
    const SettingsFile settings(path);

    QCOMPARE(settings.read(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("fallback")),
             QStringLiteral("fallback"));
    settings.write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("v"));

    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(readBytes(blocker), QByteArray("not a folder"));
    const QFileInfo info(path);
    QCOMPARE(info.isSymLink(), kind.startsWith(QStringLiteral("link")));
    QVERIFY(!info.isFile());
}

QTEST_GUILESS_MAIN(TestSettingsFileFailures)
#include "tst_settingsfile_failures.moc"
