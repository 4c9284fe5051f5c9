// The settings file on disk: created, edited in place of the user's own lines, never cached,
// replaced whole, links and permissions kept, and where it lives.
#include "settings/settings_file.h"
#include "support/ini_bytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void readMissingFile();
    void writeCreatesFileAndFolder();
    void writeEditsRealFile();
    void nothingCached();
    void writeIsAtomic();
    void writeKeepsLinkAndPermissions();
    void defaultPath_data();
    void defaultPath();
    void defaultPathIsWritable();
};

void TestSettingsFile::readMissingFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const SettingsFile settings(dir.filePath(QStringLiteral("none.ini")));

    QCOMPARE(
        settings.read(QStringLiteral("端口设置"), QStringLiteral("端口"), QStringLiteral("COM1")),
        QStringLiteral("COM1"));
    QVERIFY(!QFile::exists(settings.path()));
}

void TestSettingsFile::writeCreatesFileAndFolder()
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

void TestSettingsFile::writeEditsRealFile()
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

void TestSettingsFile::nothingCached()
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

void TestSettingsFile::writeIsAtomic()
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

void TestSettingsFile::writeKeepsLinkAndPermissions()
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

void TestSettingsFile::defaultPath_data()
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

void TestSettingsFile::defaultPath()
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

void TestSettingsFile::defaultPathIsWritable()
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

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
