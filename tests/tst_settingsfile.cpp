#include "settings/ini.h"
#include "settings/settings_file.h"

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

#ifdef Q_OS_WIN
const QByteArray NativeEol("\r\n");
#else
const QByteArray NativeEol("\n");
#endif

const QByteArray Bom("\xEF\xBB\xBF");

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot |
                                  QDir::System);
}

// A settings file as users keep it: a port map, hand-written lines, a comment.
const QByteArray handEdited("; mine\n[端口设置]\n端口 = COM3\n波特率=115200\n\n[端口映射]\n"
                            "COM3=/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0\n"
                            "[小车控制区]\n前进=11:\n");

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

int sectionHeaders(const QByteArray &file)
{
    int count = 0;
    for (const QByteArray &line : file.split('\n')) {
        for (const QByteArray &part : line.split('\r')) {
            if (part.trimmed().startsWith('['))
                ++count;
        }
    }
    return count;
}

} // namespace

class tst_SettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void readValue_data();
    void readValue();
    void writeValue_data();
    void writeValue();
    void roundTrip_data();
    void roundTrip();
    void injectionStaysInItsValue_data();
    void injectionStaysInItsValue();

    void readMissingFile();
    void writeCreatesFileAndFolder();
    void writeEditsRealFile();
    void nothingCached();
    void writeIsAtomic();
    void writeFailsSilently_data();
    void writeFailsSilently();
    void unreadableFileIsLeftAlone();
    void fullDiskKeepsFile_data();
    void fullDiskKeepsFile();
    void failedWriteKeepsFile_data();
    void failedWriteKeepsFile();
    void readOnlyFolderWritesInPlace();
    void nonRegularFileIsLeftAlone_data();
    void nonRegularFileIsLeftAlone();
    void writeKeepsLinkAndPermissions();
    void defaultPath_data();
    void defaultPath();
    void defaultPathIsWritable();
};

void tst_SettingsFile::readValue_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("fallback");
    QTest::addColumn<QString>("expected");

    const QString s = QStringLiteral("端口设置");
    const QString k = QStringLiteral("端口");
    const QString def = QStringLiteral("COM1");

    QTest::newRow("LF") << QByteArray("[端口设置]\n端口=COM3\n") << s << k << def << "COM3";
    QTest::newRow("CRLF") << QByteArray("[端口设置]\r\n端口=COM3\r\n") << s << k << def << "COM3";
    QTest::newRow("CR") << QByteArray("[端口设置]\r端口=COM3\r") << s << k << def << "COM3";
    QTest::newRow("mixed line ends")
        << QByteArray("[a]\r\nx=1\r[端口设置]\n波特率=9600\r\n端口=COM3\r") << s << k << def
        << "COM3";
    QTest::newRow("no final newline")
        << QByteArray("[端口设置]\n端口=COM3") << s << k << def << "COM3";
    const auto withNul = [](const char *before, const char *after) {
        return QByteArray(before) + '\0' + QByteArray(after);
    };
    QTest::newRow("NUL ends the value")
        << withNul("[端口设置]\n端口=COM3", "junk\n") << s << k << def << "COM3";
    QTest::newRow("NUL inside quotes")
        << withNul("[端口设置]\n端口='CO", "M3'\n") << s << k << def << "CO";
    QTest::newRow("NUL after an escape")
        << withNul("[端口设置]\n端口=\"a\\nb", "c\"\n") << s << k << def << "a\nb";
    QTest::newRow("NUL first") << withNul("[端口设置]\n端口=", "COM3\n") << s << k << def << "";
    QTest::newRow("BOM before first section")
        << (Bom + "[端口设置]\r\n端口=COM3\r\n") << s << k << def << "COM3";
    QTest::newRow("blank lines between")
        << QByteArray("\n\n[端口设置]\n\n\n端口=COM3\n\n") << s << k << def << "COM3";

    QTest::newRow("empty file") << QByteArray() << s << k << def << "COM1";
    QTest::newRow("BOM only") << Bom << s << k << def << "COM1";
    QTest::newRow("missing section")
        << QByteArray("[发送区]\n端口=COM3\n") << s << k << def << "COM1";
    QTest::newRow("missing key") << QByteArray("[端口设置]\n波特率=9600\n") << s << k << def
                                 << "COM1";
    QTest::newRow("key in the next section only")
        << QByteArray("[端口设置]\n波特率=9600\n[发送区]\n端口=COM3\n") << s << k << def << "COM1";
    QTest::newRow("key before any section")
        << QByteArray("端口=COM3\n[端口设置]\n") << s << k << def << "COM1";

    QTest::newRow("empty value is not the fallback")
        << QByteArray("[端口设置]\n端口=\n") << s << k << def << "";
    QTest::newRow("blank value is empty")
        << QByteArray("[端口设置]\n端口= \t \n") << s << k << def << "";
    QTest::newRow("empty quotes") << QByteArray("[端口设置]\n端口=\"\"\n") << s << k << def << "";

    QTest::newRow("section case") << QByteArray("[Port]\nname=COM3\n") << "pORT"
                                  << "name" << def << "COM3";
    QTest::newRow("key case") << QByteArray("[port]\nNAME=COM3\n") << "port"
                              << "Name" << def << "COM3";
    QTest::newRow("non-ASCII case") << QByteArray("[ÄRGER]\nÖL=ja\n") << "ärger"
                                    << "öl" << def << "ja";

    QTest::newRow("first section wins")
        << QByteArray("[端口设置]\n端口=COM3\n[端口设置]\n端口=COM9\n") << s << k << def << "COM3";
    QTest::newRow("second same-named section is not searched")
        << QByteArray("[端口设置]\n波特率=9600\n[端口设置]\n端口=COM9\n") << s << k << def
        << "COM1";
    QTest::newRow("first key wins")
        << QByteArray("[端口设置]\n端口=COM3\n端口=COM9\n") << s << k << def << "COM3";
    QTest::newRow("first key wins across case") << QByteArray("[p]\nKey=1\nkey=2\n") << "p"
                                                << "key" << def << "1";

    QTest::newRow("comment line") << QByteArray("[端口设置]\n;端口=COM9\n端口=COM3\n") << s << k
                                  << def << "COM3";
    QTest::newRow("indented comment")
        << QByteArray("[端口设置]\n \t;端口=COM9\n端口=COM3\n") << s << k << def << "COM3";
    QTest::newRow("commented-out section")
        << QByteArray(";[端口设置]\n端口=COM9\n[端口设置]\n端口=COM3\n") << s << k << def << "COM3";
    QTest::newRow("semicolon inside a value is kept")
        << QByteArray("[端口设置]\n端口=COM3 ; note\n") << s << k << def << "COM3 ; note";
    QTest::newRow("hash is no comment") << QByteArray("[p]\n#k=1\n") << "p"
                                        << "#k" << def << "1";
    QTest::newRow("line without equals ignored")
        << QByteArray("[端口设置]\n端口\n端口=COM3\n") << s << k << def << "COM3";

    QTest::newRow("blanks around names and value")
        << QByteArray(" \t[ \t端口设置\t ] \n \t端口 \t= \tCOM3 \t\n") << s << k << def << "COM3";
    QTest::newRow("inner blanks kept") << QByteArray("[p]\nk=a \t b\n") << "p"
                                       << "k" << def << "a \t b";
    QTest::newRow("requested names trimmed") << QByteArray("[p]\nk=1\n") << " p "
                                             << "\tk" << def << "1";
    QTest::newRow("text after header bracket") << QByteArray("[p] ; ok\nk=1\n") << "p"
                                               << "k" << def << "1";
    QTest::newRow("equals in value") << QByteArray("[p]\nk=a=b\n") << "p"
                                     << "k" << def << "a=b";

    QTest::newRow("double quotes") << QByteArray("[p]\nk=\"11:\"\n") << "p"
                                   << "k" << def << "11:";
    QTest::newRow("single quotes") << QByteArray("[p]\nk='11:'\n") << "p"
                                   << "k" << def << "11:";
    QTest::newRow("blanks inside quotes kept") << QByteArray("[p]\nk= \" 11: \" \n") << "p"
                                               << "k" << def << " 11: ";
    QTest::newRow("unmatched quotes kept") << QByteArray("[p]\nk=\"11:'\n") << "p"
                                           << "k" << def << "\"11:'";
    QTest::newRow("lone quote kept") << QByteArray("[p]\nk=\"\n") << "p"
                                     << "k" << def << "\"";
    QTest::newRow("only one pair removed") << QByteArray("[p]\nk=\"\"a\"\"\n") << "p"
                                           << "k" << def << "\"a\"";
    QTest::newRow("inner quotes kept") << QByteArray("[p]\nk=a\"b\"c\n") << "p"
                                       << "k" << def << "a\"b\"c";

    QTest::newRow("encoded value decoded") << QByteArray(R"([p]
k="a\r\nb\\c\"d"
)") << "p"
                                           << "k" << def << "a\r\nb\\c\"d";
    QTest::newRow("other backslashes stay") << QByteArray(R"([p]
k="C:\temp\x\n"
)") << "p"
                                            << "k" << def << "C:\\temp\\x\n";
    QTest::newRow("quoted without tokens") << QByteArray(R"([p]
k="C:\temp"
)") << "p"
                                           << "k" << def << "C:\\temp";
    QTest::newRow("unquoted escapes stay literal") << QByteArray(R"([p]
k=a\nb
)") << "p"
                                                   << "k" << def << "a\\nb";
    QTest::newRow("single-quoted escapes stay literal") << QByteArray(R"([p]
k='a\nb'
)") << "p"
                                                        << "k" << def << "a\\nb";
    QTest::newRow("backslash before closing quote") << QByteArray(R"([p]
k="a\"
)") << "p"
                                                    << "k" << def << "a\\";

    const QByteArray ascii255(255, 'x');
    QTest::newRow("255 bytes whole") << QByteArray("[p]\nk=" + ascii255 + "\n") << "p"
                                     << "k" << def << QString::fromLatin1(ascii255);
    QTest::newRow("256 bytes cut to 255") << QByteArray("[p]\nk=" + ascii255 + "y\n") << "p"
                                          << "k" << def << QString::fromLatin1(ascii255);
    QTest::newRow("3-byte character ending at 255")
        << QByteArray("[p]\nk=" + QByteArray(252, 'x') + "柯澜\n") << "p"
        << "k" << def << QString::fromLatin1(QByteArray(252, 'x')) + QStringLiteral("柯");
    QTest::newRow("3-byte character across 255")
        << QByteArray("[p]\nk=" + QByteArray(253, 'x') + "柯\n") << "p"
        << "k" << def << QString::fromLatin1(QByteArray(253, 'x'));
    QTest::newRow("4-byte character across 255")
        << QByteArray("[p]\nk=" + QByteArray(252, 'x') + "\xF0\x9F\x98\x80\n") << "p"
        << "k" << def << QString::fromLatin1(QByteArray(252, 'x'));
    QTest::newRow("all Chinese: 85 characters fit")
        << QByteArray("[p]\nk=" + QString(90, QChar(0x67EF)).toUtf8() + "\n") << "p"
        << "k" << def << QString(85, QChar(0x67EF));
    QTest::newRow("cut after quotes removed") << QByteArray("[p]\nk=\"" + ascii255 + "\"\n") << "p"
                                              << "k" << def << QString::fromLatin1(ascii255);
    QTest::newRow("cut after decoding")
        << QByteArray("[p]\nk=\"" + QByteArray(400, '\\') + "\"\n") << "p"
        << "k" << def << QString(200, QLatin1Char('\\'));
    QTest::newRow("long fallback cut too")
        << QByteArray() << "p"
        << "k" << QString::fromLatin1(ascii255 + "y") << QString::fromLatin1(ascii255);
}

void tst_SettingsFile::readValue()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, fallback);
    QFETCH(QString, expected);

    QCOMPARE(ini::readValue(file, section, key, fallback), expected);
}

void tst_SettingsFile::writeValue_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray n = NativeEol;

    QTest::newRow("empty file") << QByteArray() << "端口设置"
                                << "端口"
                                << "COM3" << QByteArray("[端口设置]" + n + "端口=COM3" + n);
    QTest::newRow("BOM only file kept") << Bom << "p"
                                        << "k"
                                        << "v" << QByteArray(Bom + "[p]" + n + "k=v" + n);

    QTest::newRow("replace LF") << QByteArray("[p]\nk=old\nz=1\n") << "p"
                                << "k"
                                << "new" << QByteArray("[p]\nk=new\nz=1\n");
    QTest::newRow("replace CRLF") << QByteArray("[p]\r\nk=old\r\nz=1\r\n") << "p"
                                  << "k"
                                  << "new" << QByteArray("[p]\r\nk=new\r\nz=1\r\n");
    QTest::newRow("replace CR") << QByteArray("[p]\rk=old\rz=1\r") << "p"
                                << "k"
                                << "new" << QByteArray("[p]\rk=new\rz=1\r");
    QTest::newRow("replace on last line without newline") << QByteArray("[p]\nk=old") << "p"
                                                          << "k"
                                                          << "new" << QByteArray("[p]\nk=new");
    QTest::newRow("replace keeps key spelling and blanks")
        << QByteArray("[P]\n  K \t=  old  \n") << "p"
        << "k"
        << "new" << QByteArray("[P]\n  K \t=  new\n");
    QTest::newRow("replace with value that starts with blanks")
        << QByteArray("[p]\nk =  old\n") << "p"
        << "k"
        << " v" << QByteArray("[p]\nk = v\n");
    QTest::newRow("rewrite of value that starts with blanks")
        << QByteArray("[p]\nk=  v\n") << "p"
        << "k"
        << "  v" << QByteArray("[p]\nk=  v\n");
    QTest::newRow("replace with empty value") << QByteArray("[p]\nk=old\n") << "p"
                                              << "k"
                                              << "" << QByteArray("[p]\nk=\n");
    QTest::newRow("replace empty value") << QByteArray("[p]\nk=\n") << "p"
                                         << "k"
                                         << "v" << QByteArray("[p]\nk=v\n");
    QTest::newRow("replace first key only") << QByteArray("[p]\nk=1\nK=2\n") << "p"
                                            << "k"
                                            << "3" << QByteArray("[p]\nk=3\nK=2\n");
    QTest::newRow("replace in first section only") << QByteArray("[p]\nk=1\n[P]\nk=2\n") << "p"
                                                   << "k"
                                                   << "3" << QByteArray("[p]\nk=3\n[P]\nk=2\n");
    QTest::newRow("replace in BOM line") << QByteArray(Bom + "[p]\r\nk=1\r\n") << "p"
                                         << "k"
                                         << "2" << QByteArray(Bom + "[p]\r\nk=2\r\n");
    QTest::newRow("replace an encoded value") << QByteArray(R"([p]
k="a\nb"
)") << "p"
                                              << "k"
                                              << "c" << QByteArray("[p]\nk=c\n");

    QTest::newRow("new key after last key line")
        << QByteArray("[a]\nx=1\n\ny=2\n\n[b]\nz=3\n") << "a"
        << "k"
        << "v" << QByteArray("[a]\nx=1\n\ny=2\nk=v\n\n[b]\nz=3\n");
    QTest::newRow("new key before trailing comment")
        << QByteArray("[a]\nx=1\n; end of a\n[b]\n") << "a"
        << "k"
        << "v" << QByteArray("[a]\nx=1\nk=v\n; end of a\n[b]\n");
    QTest::newRow("new key after header of empty section")
        << QByteArray("[a]\n\n[b]\nz=3\n") << "a"
        << "k"
        << "v" << QByteArray("[a]\nk=v\n\n[b]\nz=3\n");
    QTest::newRow("commented key is not replaced") << QByteArray("[a]\n;k=old\n") << "a"
                                                   << "k"
                                                   << "v" << QByteArray("[a]\nk=v\n;k=old\n");
    QTest::newRow("new key after last line without newline")
        << QByteArray("[a]\nx=1") << "a"
        << "k"
        << "v" << QByteArray("[a]\nx=1\nk=v\n");
    QTest::newRow("new key after header without newline") << QByteArray("[a]") << "a"
                                                          << "k"
                                                          << "v" << QByteArray("[a]\nk=v\n");
    QTest::newRow("new key uses CRLF of file") << QByteArray("[a]\r\nx=1\r\n[b]\r\n") << "a"
                                               << "k"
                                               << "v" << QByteArray("[a]\r\nx=1\r\nk=v\r\n[b]\r\n");
    QTest::newRow("new key uses CR of file") << QByteArray("[a]\rx=1\r") << "a"
                                             << "k"
                                             << "v" << QByteArray("[a]\rx=1\rk=v\r");
    QTest::newRow("new key goes to first same-named section")
        << QByteArray("[a]\nx=1\n[A]\ny=2\n") << "a"
        << "k"
        << "v" << QByteArray("[a]\nx=1\nk=v\n[A]\ny=2\n");
    QTest::newRow("key before any section untouched") << QByteArray("k=0\n[a]\n") << "a"
                                                      << "k"
                                                      << "v" << QByteArray("k=0\n[a]\nk=v\n");

    QTest::newRow("new section at end") << QByteArray("[a]\nx=1\n") << "b"
                                        << "k"
                                        << "v" << QByteArray("[a]\nx=1\n[b]\nk=v\n");
    QTest::newRow("new section after missing final newline")
        << QByteArray("[a]\nx=1") << "b"
        << "k"
        << "v" << QByteArray("[a]\nx=1\n[b]\nk=v\n");
    QTest::newRow("new section in CRLF file")
        << QByteArray("; top\r\n[a]\r\nx=1") << "b"
        << "k"
        << "v" << QByteArray("; top\r\n[a]\r\nx=1\r\n[b]\r\nk=v\r\n");
    QTest::newRow("new section uses first line end found")
        << QByteArray("[a]\r\nx=1\ny=2\n") << "b"
        << "k"
        << "v" << QByteArray("[a]\r\nx=1\ny=2\n[b]\r\nk=v\r\n");
    QTest::newRow("file without line ends gets native ones")
        << QByteArray("; note") << "b"
        << "k"
        << "v" << QByteArray("; note" + n + "[b]" + n + "k=v" + n);
    QTest::newRow("commented section is not the section") << QByteArray(";[b]\n") << "b"
                                                          << "k"
                                                          << "v" << QByteArray(";[b]\n[b]\nk=v\n");

    QTest::newRow("blanks in value written as they stand") << QByteArray("[a]\n") << "a"
                                                           << "k"
                                                           << " v " << QByteArray("[a]\nk= v \n");
    QTest::newRow("quoted one-line value as it stands") << QByteArray("[a]\n") << "a"
                                                        << "k"
                                                        << "\"v\"" << QByteArray("[a]\nk=\"v\"\n");
    QTest::newRow("backslashes without quotes as they stand")
        << QByteArray("[a]\n") << "a"
        << "k"
        << R"(C:\new\"x")" << QByteArray(R"([a]
k=C:\new\"x"
)");
    QTest::newRow("multi-line value escaped") << QByteArray("[a]\n") << "a"
                                              << "k"
                                              << "line 1\r\nline 2" << QByteArray(R"([a]
k="line 1\r\nline 2"
)");
    QTest::newRow("multi-line value with backslash and quote") << QByteArray("[a]\n") << "a"
                                                               << "k"
                                                               << "say \"hi\"\\\n"
                                                               << QByteArray(R"([a]
k="say \"hi\"\\\n"
)");
    QTest::newRow("one-line value that looks encoded") << QByteArray("[a]\n") << "a"
                                                       << "k"
                                                       << R"("a\nb")" << QByteArray(R"([a]
k="\"a\\nb\""
)");
    QTest::newRow("looks encoded behind blanks") << QByteArray("[a]\n") << "a"
                                                 << "k"
                                                 << R"( "\\" )" << QByteArray(R"([a]
k=" \"\\\\\" "
)");
}

void tst_SettingsFile::writeValue()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);

    QCOMPARE(ini::writeValue(file, section, key, value), expected);
}

void tst_SettingsFile::roundTrip_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << "技术论坛：http://www.zelqo.com 柯澜欧品牌";
    QTest::newRow("empty") << "";
    QTest::newRow("CRLF lines") << "AT\r\nAT+NAME\r\n";
    QTest::newRow("LF lines") << "one\ntwo\nthree";
    QTest::newRow("CR lines") << "one\rtwo";
    QTest::newRow("only a line break") << "\n";
    QTest::newRow("blank lines with blanks") << "  \n\t\n  ";
    QTest::newRow("escape tokens in multi-line text") << "a\\r\\n\\\\\\\"\nb\"";
    QTest::newRow("trailing backslash in multi-line text") << "a\nb\\";
    QTest::newRow("looks encoded") << R"("a\nb")";
    QTest::newRow("looks encoded, escaped quote") << R"("\"")";
    QTest::newRow("looks encoded with blanks") << R"(  "x\\y"  )";
    QTest::newRow("quoted multi-line") << "\"a\nb\"";
    QTest::newRow("single-quoted multi-line") << "'a\nb'";
    QTest::newRow("unquoted backslashes") << R"(C:\new\table)";
}

void tst_SettingsFile::roundTrip()
{
    QFETCH(QString, value);

    QByteArray file("[端口设置]\r\n端口=COM3\r\n[发送区]\r\n发送文本框=old\r\n");
    for (int pass = 0; pass < 2; ++pass) {
        file = ini::writeValue(file, QStringLiteral("发送区"), QStringLiteral("发送文本框"), value);
        QCOMPARE(ini::readValue(file, QStringLiteral("发送区"), QStringLiteral("发送文本框"),
                                QStringLiteral("default")),
                 value);
        QCOMPARE(ini::readValue(file, QStringLiteral("端口设置"), QStringLiteral("端口"),
                                QStringLiteral("COM1")),
                 QStringLiteral("COM3"));
        QCOMPARE(file.count('\r'), 4);
        QCOMPARE(file.count('\n'), 4);
    }
}

void tst_SettingsFile::injectionStaysInItsValue_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expectedPort");

    const QByteArray bothSections("[端口设置]\r\n端口=COM3\r\n[发送区]\r\n发送文本框=hi\r\n");
    const QByteArray sendOnly("[发送区]\r\n发送文本框=hi\r\n");

    QTest::newRow("new section, CRLF") << sendOnly << "x\r\n[端口设置]\r\n端口=COM9"
                                       << "COM1";
    QTest::newRow("new section, LF") << sendOnly << "x\n[端口设置]\n端口=COM9\n"
                                     << "COM1";
    QTest::newRow("new section, CR") << sendOnly << "x\r[端口设置]\r端口=COM9"
                                     << "COM1";
    QTest::newRow("closing quote first") << sendOnly << "x\"\r\n[端口设置]\r\n端口=COM9"
                                         << "COM1";
    QTest::newRow("fake escape then break") << sendOnly << "x\\\r\n[端口设置]\r\n端口=COM9"
                                            << "COM1";
    QTest::newRow("existing section") << bothSections << "x\r\n[端口设置]\r\n端口=COM9"
                                      << "COM3";
    QTest::newRow("key into own section") << sendOnly << "x\r\n发送文本框=evil\r\n端口=COM9"
                                          << "COM1";
}

void tst_SettingsFile::injectionStaysInItsValue()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, value);
    QFETCH(QString, expectedPort);

    const int headersBefore = sectionHeaders(file);
    const QByteArray written =
        ini::writeValue(file, QStringLiteral("发送区"), QStringLiteral("发送文本框"), value);

    QCOMPARE(ini::readValue(written, QStringLiteral("发送区"), QStringLiteral("发送文本框"),
                            QStringLiteral("default")),
             value);
    QCOMPARE(ini::readValue(written, QStringLiteral("端口设置"), QStringLiteral("端口"),
                            QStringLiteral("COM1")),
             expectedPort);
    QCOMPARE(sectionHeaders(written), headersBefore);
    QCOMPARE(written.count('\r'), file.count('\r'));
    QCOMPARE(written.count('\n'), file.count('\n'));
}

void tst_SettingsFile::readMissingFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const SettingsFile settings(dir.filePath(QStringLiteral("none.ini")));

    QCOMPARE(
        settings.read(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM1")),
        QStringLiteral("COM1"));
    QVERIFY(!QFile::exists(settings.path()));
}

void tst_SettingsFile::writeCreatesFileAndFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("a/b/zelqo柯澜欧.ini"));
    const SettingsFile settings(path);

    settings.write(QStringLiteral("发送区"), QStringLiteral("发送文本框"), QStringLiteral("你好"));
    settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM3"));
    settings.write(QStringLiteral("发送区"), QStringLiteral("发送文本框"), QStringLiteral("再见"));

    const QByteArray n = NativeEol;
    QCOMPARE(readBytes(path), QByteArray("[发送区]" + n + "发送文本框=再见" + n + "[端口设置]" + n +
                                         "端口=COM3" + n));
    QCOMPARE(settings.read(QStringLiteral("发送区"), QStringLiteral("发送文本框"), QString()),
             QStringLiteral("再见"));
}

void tst_SettingsFile::writeEditsRealFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("zelqo柯澜欧.ini"));
    const QByteArray original = Bom +
                                "; hand-edited\r\n[端口设置]\r\n端口 = COM3\r\n波特率=9600\r\n"
                                "\r\n[小车控制区]\r\n前进='11:'\r\n";
    QVERIFY(writeBytes(path, original));
    const SettingsFile settings(path);

    QCOMPARE(settings.read(QStringLiteral("小车控制区"), QStringLiteral("前进"), QString()),
             QStringLiteral("11:"));
    settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM37"));
    settings.write(QStringLiteral("小车控制区"), QStringLiteral("后退"), QStringLiteral("44:"));
    settings.write(QStringLiteral("发送区"), QStringLiteral("发送文本框"),
                   QStringLiteral("line 1\nline 2"));

    QCOMPARE(readBytes(path), QByteArray(Bom + "; hand-edited\r\n[端口设置]\r\n端口 = COM37\r\n"
                                               "波特率=9600\r\n\r\n[小车控制区]\r\n前进='11:'\r\n"
                                               "后退=44:\r\n[发送区]\r\n"
                                               R"(发送文本框="line 1\nline 2")"
                                               "\r\n"));
    QCOMPARE(settings.read(QStringLiteral("发送区"), QStringLiteral("发送文本框"), QString()),
             QStringLiteral("line 1\nline 2"));
}

void tst_SettingsFile::nothingCached()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("shared.ini"));
    const SettingsFile first(path);
    const SettingsFile second(path);

    first.write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("1"));
    QCOMPARE(second.read(QStringLiteral("p"), QStringLiteral("k"), QString()), QStringLiteral("1"));

    QVERIFY(writeBytes(path, "[p]\nk=edited\n"));
    QCOMPARE(first.read(QStringLiteral("p"), QStringLiteral("k"), QString()),
             QStringLiteral("edited"));

    second.write(QStringLiteral("p"), QStringLiteral("j"), QStringLiteral("2"));
    first.write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("3"));
    QCOMPARE(readBytes(path), QByteArray("[p]\nk=3\nj=2\n"));

    QVERIFY(QFile::remove(path));
    QCOMPARE(first.read(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("gone")),
             QStringLiteral("gone"));
}

void tst_SettingsFile::writeIsAtomic()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("zelqo柯澜欧.ini"));
    const QByteArray original("[p]\nk=old value\n");
    QVERIFY(writeBytes(path, original));
    const SettingsFile settings(path);

#ifdef Q_OS_UNIX
    // A reader that opened the file before the write keeps seeing the old file whole: the new
    // one is a different file renamed over it, not the old one rewritten in place.
    QFile reader(path);
    QVERIFY(reader.open(QIODevice::ReadOnly));
#endif
    for (int i = 0; i < 20; ++i)
        settings.write(QStringLiteral("p"), QStringLiteral("k"), QString::number(i));

    QCOMPARE(readBytes(path), QByteArray("[p]\nk=19\n"));
#ifdef Q_OS_UNIX
    QCOMPARE(reader.readAll(), original);
#endif
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("zelqo柯澜欧.ini")});
}

void tst_SettingsFile::writeFailsSilently_data()
{
    QTest::addColumn<QString>("relativePath");

    // These fail for root too, so the test holds wherever it runs.
    QTest::newRow("folder is a file") << "blocker/zelqo.ini";
    QTest::newRow("folder below a file") << "blocker/sub/zelqo.ini";
    QTest::newRow("path is a folder") << "folder";
}

void tst_SettingsFile::writeFailsSilently()
{
    QFETCH(QString, relativePath);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeBytes(dir.filePath(QStringLiteral("blocker")), "not a folder"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    const SettingsFile settings(dir.filePath(relativePath));

    settings.write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("v"));

    QCOMPARE(settings.read(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("fallback")),
             QStringLiteral("fallback"));
    QCOMPARE(readBytes(dir.filePath(QStringLiteral("blocker"))), QByteArray("not a folder"));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("blocker"), QStringLiteral("folder")}));
    QVERIFY(QDir(dir.filePath(QStringLiteral("folder")))
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void tst_SettingsFile::unreadableFileIsLeftAlone()
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

void tst_SettingsFile::fullDiskKeepsFile_data()
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
void tst_SettingsFile::fullDiskKeepsFile()
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

void tst_SettingsFile::failedWriteKeepsFile_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<qsizetype>("failAfter");
    QTest::addColumn<int>("error");

    for (const bool inPlace : {false, true}) {
        const char *how = inPlace ? "in place" : "replace";
        QTest::addRow("%s, nothing written", how) << inPlace << qsizetype(0) << ENOSPC;
        QTest::addRow("%s, half written", how) << inPlace << handEdited.size() / 2 << ENOSPC;
        QTest::addRow("%s, all but one byte", how) << inPlace << handEdited.size() << EIO;
    }
}

// Every byte of the file goes through the write seam, which here gives up part way.
void tst_SettingsFile::failedWriteKeepsFile()
{
    QFETCH(bool, inPlace);
    QFETCH(qsizetype, failAfter);
    QFETCH(int, error);

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
    settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM12"));

    QVERIFY(failed);
    QCOMPARE(readBytes(path), handEdited);
    QCOMPARE(entries(folderPath), before);
}

// The folder takes no new file, the file itself is writable: the file is rewritten in place.
void tst_SettingsFile::readOnlyFolderWritesInPlace()
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

void tst_SettingsFile::nonRegularFileIsLeftAlone_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to a FIFO") << "link to fifo";
    QTest::newRow("link to a device") << "link to device";
    QTest::newRow("folder") << "folder";
}

// Opening a FIFO for reading used to wait for a writer forever, and a device never ends.
void tst_SettingsFile::nonRegularFileIsLeftAlone()
{
    QFETCH(QString, kind);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("zelqo.ini"));
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    if (kind == QStringLiteral("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == QStringLiteral("link to fifo"))
        QVERIFY(QFile::link(fifo, path));
    else if (kind == QStringLiteral("link to device"))
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    else
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("zelqo.ini")));
    const QStringList before = entries(dir.path());
    const SettingsFile settings(path);

    QCOMPARE(settings.read(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("fallback")),
             QStringLiteral("fallback"));
    settings.write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("v"));

    QCOMPARE(entries(dir.path()), before);
    const QFileInfo info(path);
    QCOMPARE(info.isSymLink(), kind.startsWith(QStringLiteral("link")));
    QVERIFY(!info.isFile());
}

void tst_SettingsFile::writeKeepsLinkAndPermissions()
{
#ifndef Q_OS_UNIX
    QSKIP("symbolic links and owner-only files are a Unix matter");
#else
    // Dotfile managers link ~/.config files into a repository; the atomic replace must write
    // the target, not swap the link for a plain file, and must keep a private file private.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("target.ini"));
    const QString link = dir.filePath(QStringLiteral("zelqo柯澜欧.ini"));
    QVERIFY(writeBytes(target, "[p]\nk=1\n"));
    const auto privateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(QFile::setPermissions(target, privateFile));
    QVERIFY(QFile::link(target, link));

    SettingsFile(link).write(QStringLiteral("p"), QStringLiteral("k"), QStringLiteral("2"));

    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readBytes(target), QByteArray("[p]\nk=2\n"));
    QCOMPARE(QFile::permissions(target) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
             privateFile);
#endif
}

void tst_SettingsFile::defaultPath_data()
{
    QTest::addColumn<bool>("setXdg");
    QTest::addColumn<QString>("xdg");
    QTest::addColumn<bool>("useXdg");

    QTest::newRow("XDG_CONFIG_HOME set") << true << "xdg" << true;
    QTest::newRow("XDG_CONFIG_HOME with trailing slash") << true << "xdg/" << true;
    QTest::newRow("XDG_CONFIG_HOME unset") << false << "" << false;
    QTest::newRow("XDG_CONFIG_HOME empty") << true << "" << false;
    QTest::newRow("XDG_CONFIG_HOME relative") << true << "relative/dir" << false;
}

void tst_SettingsFile::defaultPath()
{
#ifdef Q_OS_WIN
    QCOMPARE(SettingsFile::defaultPath(), QStringLiteral("c:\\zelqo柯澜欧.ini"));
#else
    QFETCH(bool, setXdg);
    QFETCH(QString, xdg);
    QFETCH(bool, useXdg);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray oldHome = qgetenv("HOME");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");

    const QString home = dir.filePath(QStringLiteral("home"));
    const QString xdgValue = xdg.startsWith(QStringLiteral("xdg")) ? dir.filePath(xdg) : xdg;
    qputenv("HOME", home.toLocal8Bit());
    if (setXdg)
        qputenv("XDG_CONFIG_HOME", xdgValue.toLocal8Bit());
    else
        qunsetenv("XDG_CONFIG_HOME");

    const QString path = SettingsFile::defaultPath();

    qputenv("HOME", oldHome);
    if (hadXdg)
        qputenv("XDG_CONFIG_HOME", oldXdg);
    else
        qunsetenv("XDG_CONFIG_HOME");

    const QString folder = useXdg ? dir.filePath(QStringLiteral("xdg")) : home + "/.config";
    QCOMPARE(path, folder + QStringLiteral("/zelqo柯澜欧.ini"));
#endif
}

void tst_SettingsFile::defaultPathIsWritable()
{
#ifdef Q_OS_WIN
    QSKIP("the fixed path on drive C is not for tests to write");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
    const QString config = dir.filePath(QStringLiteral("fresh/.config"));
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());

    const SettingsFile settings(SettingsFile::defaultPath());
    settings.write(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM5"));

    if (hadXdg)
        qputenv("XDG_CONFIG_HOME", oldXdg);
    else
        qunsetenv("XDG_CONFIG_HOME");

    QCOMPARE(readBytes(config + QStringLiteral("/zelqo柯澜欧.ini")),
             QByteArray("[端口设置]\n端口=COM5\n"));
#endif
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
