// The small rules of file transfer: a board starting ZMODEM noticed in what it prints (lrzsz's
// own first bytes, cut anywhere), lrzsz's reports read, escapes and the file field, safe names,
// speed and time left.
#include "transfer/disk_files.h"
#include "transfer/rate_meter.h"
#include "transfer/transfer_options.h"
#include "transfer/zmodem.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace transfer;

namespace {

// What lrzsz's program writes first when nobody answers it.
QByteArray firstBytes(const QString &program, const QStringList &arguments)
{
    QTemporaryDir folder;
    QProcess process;
    process.setWorkingDirectory(folder.path());
    process.setStandardInputFile(QProcess::nullDevice());
    QFile file(folder.filePath(QStringLiteral("x")));
    if (file.open(QIODevice::WriteOnly))
        file.write("x");
    file.close();
    process.start(program, arguments);
    QByteArray out;
    for (int i = 0; i < 100 && out.size() < 40; ++i) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    process.kill();
    process.waitForFinished();
    return out;
}

} // namespace

class TestTransferModel : public QObject
{
    Q_OBJECT

private slots:
    void zmodemStart_data();
    void zmodemStart();
    void zmodemStartInText_data();
    void zmodemStartInText();
    void lrzszReport_data();
    void lrzszReport();
    void escapes_data();
    void escapes();
    void fileField_data();
    void fileField();
    void names();
    void safeNames_data();
    void safeNames();
    void rate();
    void humanUnits_data();
    void humanUnits();
};

void TestTransferModel::zmodemStart_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ZmodemStart::Seen>("seen");
    QTest::newRow("sz sends") << firstBytes(QStringLiteral("sz"), {QStringLiteral("x")})
                              << ZmodemStart::Seen::BoardSends;
    QTest::newRow("rz waits") << firstBytes(QStringLiteral("rz"), {})
                              << ZmodemStart::Seen::BoardReceives;
}

// The first header lrzsz writes is noticed wherever the reads cut it, and once.
void TestTransferModel::zmodemStart()
{
    QFETCH(QByteArray, bytes);
    QFETCH(ZmodemStart::Seen, seen);
    QVERIFY2(bytes.contains("**\x18"
                            "B0"),
             bytes.toHex(' '));
    const QByteArray stream = "login: root\r\n# " + bytes;
    for (qsizetype a = 0; a <= stream.size(); a += 3) {
        for (qsizetype b = a; b <= stream.size(); b += 5) {
            ZmodemStart watch;
            QList<ZmodemStart::Seen> found;
            for (const QByteArrayView piece :
                 {QByteArrayView(stream).first(a), QByteArrayView(stream).sliced(a, b - a),
                  QByteArrayView(stream).sliced(b)}) {
                const ZmodemStart::Seen s = watch.feed(piece);
                if (s != ZmodemStart::Seen::Nothing)
                    found.append(s);
            }
            QVERIFY(!found.isEmpty());
            QCOMPARE(found.first(), seen);
        }
    }
}

void TestTransferModel::zmodemStartInText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<ZmodemStart::Seen>("seen");
    QTest::newRow("stars in text")
        << QByteArray("*** boot ** done\r\n") << ZmodemStart::Seen::Nothing;
    QTest::newRow("another frame type") << QByteArray("**\x18"
                                                      "B02")
                                        << ZmodemStart::Seen::Nothing;
    QTest::newRow("three stars first") << QByteArray("***\x18"
                                                     "B00")
                                       << ZmodemStart::Seen::BoardSends;
    QTest::newRow("broken, then whole") << QByteArray("**\x18"
                                                      "B**\x18"
                                                      "B01")
                                        << ZmodemStart::Seen::BoardReceives;
}

void TestTransferModel::zmodemStartInText()
{
    QFETCH(QByteArray, text);
    QFETCH(ZmodemStart::Seen, seen);
    ZmodemStart watch;
    QCOMPARE(watch.feed(text), seen);
}

void TestTransferModel::lrzszReport_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("last");
    QTest::newRow("sz, as it writes it")
        << QList<QByteArray>{"Sending: f.bin\n\rBytes Sent:   1024/   5000   BPS:836736   ETA "
                             "00:00  \rBytes Sent:   5000   BPS:2126929        "
                             "                 \n\r\nTransfer complete\n"}
        << qint64(5000) << qint64(-1) << QStringList{"f.bin"}
        << QStringLiteral("Transfer complete");
    QTest::newRow("rz, cut mid-line")
        << QList<QByteArray>{"rz waiting to receive.\rReceiving: a b.bin\n\rBytes rec",
                             "eived:    2048/   4096   BPS:1467                  \r\n"}
        << qint64(2048) << qint64(4096) << QStringList{"a b.bin"}
        << QStringLiteral("Receiving: a b.bin");
}

void TestTransferModel::lrzszReport()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(QStringList, files);
    QFETCH(QString, last);
    LrzszReport report;
    std::optional<std::pair<qint64, qint64>> bytes;
    QStringList started;
    for (const QByteArray &piece : std::as_const(pieces)) {
        const LrzszReport::Update update = report.feed(piece);
        if (update.bytes)
            bytes = update.bytes;
        started += update.files;
    }
    QVERIFY(bytes);
    QCOMPARE(bytes->first, done);
    QCOMPARE(bytes->second, total);
    QCOMPARE(started, files);
    QCOMPARE(report.lastLine(), last);
}

void TestTransferModel::escapes_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("U-Boot") << QStringLiteral("loady\\r") << QByteArray("loady\r");
    QTest::newRow("ST's IAP menu") << QStringLiteral("1") << QByteArray("1");
    QTest::newRow("hex and line feed") << QStringLiteral("\\x1B\\x5b\\n") << QByteArray("\x1b[\n");
    QTest::newRow("backslash itself") << QStringLiteral("a\\\\r") << QByteArray("a\\r");
    QTest::newRow("not an escape") << QStringLiteral("\\q\\x4\\") << QByteArray("\\q\\x4\\");
    QTest::newRow("Chinese") << QStringLiteral("你好\\r") << QByteArray("你好\r");
}

void TestTransferModel::escapes()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, bytes);
    QCOMPARE(decodeEscapes(typed), bytes);
}

void TestTransferModel::fileField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("paths");
    QTest::newRow("one path, blanks kept")
        << QStringLiteral(" /home/u/my fw.bin ") << QStringList{"/home/u/my fw.bin"};
    QTest::newRow("as the dialog writes several")
        << QStringLiteral("\"/a/1.bin\" \"/a/b c.bin\"") << QStringList{"/a/1.bin", "/a/b c.bin"};
    QTest::newRow("pasted from a file manager")
        << QStringLiteral("file:///a/%E5%9B%BA%E4%BB%B6.bin\nfile:///a/2.bin")
        << QStringList{"/a/固件.bin", "/a/2.bin"};
    QTest::newRow("empty") << QStringLiteral("  ") << QStringList{};
}

void TestTransferModel::fileField()
{
    QFETCH(QString, text);
    QFETCH(QStringList, paths);
    QCOMPARE(splitFileField(text), paths);
    if (!paths.isEmpty())
        QCOMPARE(splitFileField(joinFileField(paths)), paths);
}

// Every protocol and line ending has a name that reads back as itself.
void TestTransferModel::names()
{
    for (const Protocol p : Protocols)
        QCOMPARE(protocolFromName(protocolName(p), Protocol::Text), p);
    for (const LineEnding e : LineEndings)
        QCOMPARE(lineEndingFromName(lineEndingName(e), LineEnding::AsIs), e);
    QCOMPARE(protocolFromName(QStringLiteral("ymodem"), Protocol::Text), Protocol::Ymodem);
    QCOMPARE(protocolFromName(QStringLiteral("Kermit"), Protocol::Xmodem), Protocol::Xmodem);
    WindowSettings s;
    s.startCommand = QStringLiteral("loady\\r");
    const Request r = requestFrom(s);
    QCOMPARE(r.startCommand, QByteArray("loady\r"));
    QVERIFY(r.text.promptFirst);
}

void TestTransferModel::safeNames_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QByteArray("fw.bin") << QStringLiteral("fw.bin");
    QTest::newRow("up and out") << QByteArray("../../x") << QStringLiteral("x");
    QTest::newRow("absolute") << QByteArray("/etc/passwd") << QStringLiteral("passwd");
    QTest::newRow("Windows path") << QByteArray("C:\\build\\app.hex") << QStringLiteral("app.hex");
    QTest::newRow("trailing slash") << QByteArray("dir/sub/") << QStringLiteral("sub");
    QTest::newRow("dot dot alone") << QByteArray("..") << QStringLiteral("接收的文件");
    QTest::newRow("empty") << QByteArray("") << QStringLiteral("接收的文件");
    QTest::newRow("control characters") << QByteArray("a\x1b[2Jb\tc") << QStringLiteral("a[2Jbc");
    QTest::newRow("UTF-8") << QByteArray("固件.bin") << QStringLiteral("固件.bin");
}

void TestTransferModel::safeNames()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, name);
    QCOMPARE(safeFileName(sent), name);
}

void TestTransferModel::rate()
{
    RateMeter meter;
    QCOMPARE(meter.bytesPerSecond(), 0.0);
    QCOMPARE(meter.secondsLeft(1000), qint64(-1));
    for (qint64 ms = 0; ms <= 10000; ms += 100)
        meter.add(ms, ms * 10); // 10 KB/s
    QCOMPARE(meter.bytesPerSecond(), 10000.0);
    QCOMPARE(meter.secondsLeft(25000), qint64(3));
    // Only the last seconds count: it slows down.
    for (qint64 ms = 10100; ms <= 20000; ms += 100)
        meter.add(ms, 100000 + (ms - 10000));
    QCOMPARE(meter.bytesPerSecond(), 1000.0);
    meter.add(20100, 5); // a new transfer
    QCOMPARE(meter.bytesPerSecond(), 0.0);
}

void TestTransferModel::humanUnits_data()
{
    QTest::addColumn<double>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("bytes") << 999.0 << QStringLiteral("999 B");
    QTest::newRow("KB") << 1536.0 << QStringLiteral("1.5 KB");
    QTest::newRow("KB, no fraction") << 500.0 * 1024 << QStringLiteral("500 KB");
    QTest::newRow("MB") << 1024.0 * 1024 * 12.3 << QStringLiteral("12.3 MB");
}

void TestTransferModel::humanUnits()
{
    QFETCH(double, bytes);
    QFETCH(QString, text);
    QCOMPARE(humanBytes(bytes), text);
    QCOMPARE(humanDuration(5), QStringLiteral("0:05"));
    QCOMPARE(humanDuration(754), QStringLiteral("12:34"));
    QCOMPARE(humanDuration(3723), QStringLiteral("1:02:03"));
}

QTEST_GUILESS_MAIN(TestTransferModel)
#include "tst_transfer_model.moc"
