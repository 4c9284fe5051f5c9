// Where transferred files come from and go: received files are whole under their name or
// absent, a taken name is asked about, a full disk, a read-only folder and an unreadable or
// shrinking file give a message, with real files, a small tmpfs and lrzsz as the board.
#include "support/transfer_line.h"
#include "transfer/disk_files.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace transfer;

namespace {

QStringList everything(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
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
    [[nodiscard]] const QString &error() const { return m_error; }

private:
    QString m_path;
    bool m_mounted = false;
    QString m_error;
};

struct Questions
{
    QList<std::pair<int, QString>> asked;
    QStringList log;
    DiskSink::Hooks hooks()
    {
        return {[this](int id, const QString &name) {
                    asked.append({id, name});
                },
                [this](const QString &line) { log.append(line); }};
    }
};

} // namespace

class TestTransferFiles : public QObject
{
    Q_OBJECT

private slots:
    void wholeOrAbsent();
    void takenName_data();
    void takenName();
    void answerBeforeTheEnd();
    void adopted();
    void receiveFails_data();
    void receiveFails();
    void unreadable_data();
    void unreadable();
    void shrinksWhileSent();
};

// Until a file is whole only a hidden temporary file exists; then the file under its name,
// with the sender's time and the usual permissions; an abandoned file leaves nothing.
void TestTransferFiles::wholeOrAbsent()
{
    QTemporaryDir folder;
    Questions q;
    DiskSink sink(folder.path(), {}, q.hooks());
    QVERIFY(sink.begin("../fw.bin", 6, 1700000000));
    QCOMPARE(sink.currentName(), QStringLiteral("fw.bin"));
    QVERIFY(sink.write("abc"));
    QCOMPARE(everything(folder.path()), QStringList{".fw.bin.part"});
    QVERIFY(sink.write("def"));
    QVERIFY(sink.end());
    QCOMPARE(everything(folder.path()), QStringList{"fw.bin"});
    QCOMPARE(readFile(folder.filePath(QStringLiteral("fw.bin"))), QByteArray("abcdef"));
    const QFileInfo info(folder.filePath(QStringLiteral("fw.bin")));
    QCOMPARE(info.lastModified().toSecsSinceEpoch(), 1700000000);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st
    {};
    QCOMPARE(::stat(QFile::encodeName(info.filePath()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0666 & ~mask);
    QCOMPARE(sink.saved(), QStringList{info.filePath()});

    QVERIFY(sink.begin("half.bin", 100, -1));
    QVERIFY(sink.write("half"));
    sink.abandon();
    QCOMPARE(everything(folder.path()), QStringList{"fw.bin"});
    QVERIFY(q.asked.isEmpty());
}

void TestTransferFiles::takenName_data()
{
    QTest::addColumn<ExistingFile>("answer");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("named");
    QTest::newRow("overwrite") << ExistingFile::Overwrite << QStringList{"a.tar.gz"}
                               << QByteArray("new");
    QTest::newRow("keep both") << ExistingFile::KeepBoth << QStringList{"a (1).tar.gz", "a.tar.gz"}
                               << QByteArray("old");
    QTest::newRow("discard") << ExistingFile::Discard << QStringList{"a.tar.gz"}
                             << QByteArray("old");
}

// The question comes when the file begins; the whole file waits for the answer.
void TestTransferFiles::takenName()
{
    QFETCH(ExistingFile, answer);
    QFETCH(QStringList, files);
    QFETCH(QByteArray, named);
    QTemporaryDir folder;
    QVERIFY(writeFile(folder.filePath(QStringLiteral("a.tar.gz")), "old"));
    Questions q;
    DiskSink sink(folder.path(), {}, q.hooks());
    QVERIFY(sink.begin("a.tar.gz", 3, -1));
    QCOMPARE(q.asked.size(), 1);
    QCOMPARE(q.asked.first().second, QStringLiteral("a.tar.gz"));
    QVERIFY(sink.write("new"));
    QVERIFY(sink.end());
    QVERIFY(!sink.settled());
    QCOMPARE(readFile(folder.filePath(QStringLiteral("a.tar.gz"))), QByteArray("old"));
    sink.answer(q.asked.first().first, answer);
    QVERIFY(sink.settled());
    QCOMPARE(everything(folder.path()), files);
    QCOMPARE(readFile(folder.filePath(QStringLiteral("a.tar.gz"))), named);
    QCOMPARE(q.log.size(), 1);
}

// An answer given while the file is still arriving is used when it is whole.
void TestTransferFiles::answerBeforeTheEnd()
{
    QTemporaryDir folder;
    QVERIFY(writeFile(folder.filePath(QStringLiteral("x")), "old"));
    Questions q;
    DiskSink sink(folder.path(), {}, q.hooks());
    QVERIFY(sink.begin("x", -1, -1));
    sink.answer(q.asked.first().first, ExistingFile::KeepBoth);
    QVERIFY(sink.write("new"));
    QVERIFY(sink.end());
    QVERIFY(sink.settled());
    QCOMPARE(readFile(folder.filePath(QStringLiteral("x (1)"))), QByteArray("new"));
}

// A file lrzsz received in a folder of its own moves in by the same rules.
void TestTransferFiles::adopted()
{
    QTemporaryDir folder;
    QTemporaryDir elsewhere(folder.filePath(QStringLiteral(".zmodem-XXXXXX")));
    QVERIFY(writeFile(elsewhere.filePath(QStringLiteral("r.bin")), "zmodem"));
    Questions q;
    DiskSink sink(folder.path(), {}, q.hooks());
    sink.adopt(elsewhere.filePath(QStringLiteral("r.bin")), QStringLiteral("r.bin"));
    QCOMPARE(readFile(folder.filePath(QStringLiteral("r.bin"))), QByteArray("zmodem"));
    QCOMPARE(everything(elsewhere.path()), QStringList());
}

void TestTransferFiles::receiveFails_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("why");
    QTest::newRow("disk full halfway") << QStringLiteral("size=64k") << QStringLiteral("无法写入");
    QTest::newRow("read-only folder")
        << QStringLiteral("ro,size=64k") << QStringLiteral("无法写入");
}

// sb sends more than the folder takes: the receiver stops with a message, tells sb, and leaves
// nothing under the file's name nor a temporary file.
void TestTransferFiles::receiveFails()
{
    QFETCH(QString, options);
    QFETCH(QString, why);
    QTemporaryDir scratch;
    const QString mountPoint = scratch.filePath(QStringLiteral("disk"));
    ScratchMount disk(mountPoint, options.toLatin1().constData());
    if (!disk.isMounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here: ") + disk.error()));
    QTemporaryDir from;
    const QStringList files = makeFiles(from.path(), {200000});
    TransferLine line;
    BoardProgram board(line.boardDevice(), QStringLiteral("sb"), {"-k", "f200000.bin"},
                       from.path());
    Request request;
    request.direction = Direction::Receive;
    request.protocol = Protocol::Ymodem;
    request.folder = mountPoint;
    QVERIFY(!line.run(request));
    QVERIFY2(line.message.startsWith(QStringLiteral("%1 f200000.bin：").arg(why)),
             qPrintable(line.message));
    QVERIFY(line.message.size() > why.size() + 14);
    QVERIFY(board.wait() != 0);
    QCOMPARE(everything(mountPoint), QStringList());
}

void TestTransferFiles::unreadable_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("message");
    QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("是文件夹，不是文件");
    QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("无法读取");
    QTest::newRow("a FIFO") << QStringLiteral("fifo") << QStringLiteral("不是普通文件");
    QTest::newRow("no permission") << QStringLiteral("mode 000") << QStringLiteral("无法读取");
}

// A file that cannot be read is refused before anything goes out.
void TestTransferFiles::unreadable()
{
    QFETCH(QString, what);
    QFETCH(QString, message);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("f"));
    if (what == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
    if (what == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (what == QLatin1String("mode 000")) {
        QVERIFY(writeFile(path, "x"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        if (::geteuid() == 0)
            QSKIP("file permissions do not bind root");
    }
    TransferLine line;
    Request request;
    request.protocol = Protocol::Ymodem;
    request.files = {path};
    QVERIFY(!line.run(request, 5000));
    QVERIFY2(line.message.contains(message), qPrintable(line.message));
    QCOMPARE(line.port->written.size(), 0);
}

// A file cut short by another program while it goes out: the transfer stops with a message
// and the receiver is told.
void TestTransferFiles::shrinksWhileSent()
{
    QTemporaryDir from;
    QTemporaryDir to;
    const QStringList files = makeFiles(from.path(), {300000});
    LineFaults slow;
    slow.delayAnswerMs = 20;
    TransferLine line(&slow);
    BoardProgram board(line.boardDevice(), QStringLiteral("rb"), {}, to.path());
    Request request;
    request.protocol = Protocol::Ymodem;
    request.files = files;
    line.session->start(request);
    QTRY_VERIFY_WITH_TIMEOUT(line.progress.done > 20000 || line.ended, 30000);
    QVERIFY(QFile::resize(files.first(), 50000));
    QVERIFY(line.waitForEnd());
    QCOMPARE(line.message, QStringLiteral("f300000.bin 在发送中变短了"));
    QVERIFY(board.wait() != 0);
}

QTEST_GUILESS_MAIN(TestTransferFiles)
#include "tst_transfer_files.moc"
