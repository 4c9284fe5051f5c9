// Flashing while the window stays open, with the flashers Debian ships, each run as an
// unprivileged user against a board whose bootloader a thread plays: the window steps aside by
// itself ("自动让出") or is asked from a script (`zelqo-serial --yield`, then `--reclaim`), the
// flasher gets every reply with its line as it set it, and the window then shows what the board
// prints next, its log holding none of the bootloader's bytes.
#include "support/bootloader_peer.h"
#include "support/ini_bytes.h"
#include "support/lending_fixture.h"
#include "support/serial_command.h"

#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

struct Flasher
{
    QString program;
    QStringList arguments; // "PORT" stands for the device
    speed_t speed;         // what it sets the line to
    QString success;       // what it prints when it got every reply
};

const QMap<QString, Flasher> flashers = {
    {QStringLiteral("avrdude"),
     {QStringLiteral("avrdude"),
      {QStringLiteral("-c"), QStringLiteral("arduino"), QStringLiteral("-p"),
       QStringLiteral("m328p"), QStringLiteral("-P"), QStringLiteral("PORT")},
      B115200,
      QStringLiteral("device signature = 0x1e950f")}},
    {QStringLiteral("stm32flash"),
     {QStringLiteral("stm32flash"),
      {QStringLiteral("-m"), QStringLiteral("8n1"), QStringLiteral("PORT")},
      B57600,
      QStringLiteral("Device ID    : 0x0410")}},
    // esptool's way of opening: pyserial with an flock.
    {QStringLiteral("pyserial exclusive"),
     {QStringLiteral("/usr/bin/python3"),
      {QStringLiteral(ZELQO_TESTS_DIR "/support/opener.py"), QStringLiteral("PORT"),
       QStringLiteral("230400"), QStringLiteral("--exclusive"), QStringLiteral("--hello")},
      B230400,
      QStringLiteral("hi")}},
};

} // namespace

class TestBorrowers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void flashWhileOpen_data();
    void flashWhileOpen();

private:
    QTemporaryDir m_runtime;
};

// A runtime folder of the tests' own: the sockets of programs running on this machine are not
// asked.
void TestBorrowers::initTestCase()
{
    QVERIFY(m_runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation), m_runtime.path());
    for (const Flasher &flasher : flashers) {
        if (QStandardPaths::findExecutable(flasher.program).isEmpty())
            QSKIP(
                qPrintable(flasher.program + QStringLiteral(" is not installed (tools/deps.sh)")));
    }
}

void TestBorrowers::flashWhileOpen_data()
{
    QTest::addColumn<QString>("flasher");
    QTest::addColumn<bool>("fromScript");
    for (auto it = flashers.cbegin(); it != flashers.cend(); ++it) {
        QTest::addRow("%s, 自动让出", qPrintable(it.key())) << it.key() << false;
        QTest::addRow("%s, --yield and --reclaim", qPrintable(it.key())) << it.key() << true;
    }
}

void TestBorrowers::flashWhileOpen()
{
    QFETCH(QString, flasher);
    QFETCH(bool, fromScript);
    const Flasher &how = flashers[flasher];
    WindowFixture f;
    if (!fromScript)
        QVERIFY(!f.useMenu("RevText", {QStringLiteral("自动让出")}).isEmpty());
    const QString log = f.dir.filePath(QStringLiteral("board.log"));
    QVERIFY(openRecording(f, log));
    const QString device = f.board.slavePath();
    BootloaderPeer bootloader(f.board.masterFd());

    if (fromScript) {
        const SerialCommand yield({QStringLiteral("--yield"), QStringLiteral("COM5")});
        QVERIFY2(yield.gave(0, QStringLiteral("已让出 COM5 (%1)").arg(device)),
                 qPrintable(yield.output));
        QVERIFY(!isOpen(f));
    }
    QStringList arguments = how.arguments;
    arguments.replace(arguments.indexOf(QStringLiteral("PORT")), device);
    Borrower borrower;
    borrower.start(how.program, arguments);
    // The board answers once the window has stepped aside: the flasher's line is then its own.
    QVERIFY2(QTest::qWaitFor([&f] { return title(f).contains(QStringLiteral("已让出 COM5")); }),
             qPrintable(title(f)));
    // Stepped aside by itself: after the flasher set its line, which stays.
    if (!fromScript)
        QCOMPARE(lineSpeed(f.board), how.speed);
    bootloader.openGate();
    QVERIFY(QTest::qWaitFor(
        [&] { return borrower.output().contains(how.success) || borrower.finished(); }, 30000));
    // The opener holds the port until its input closes.
    borrower.release();
    QVERIFY(QTest::qWaitFor([&] { return borrower.finished(); }, 30000));
    QVERIFY2(borrower.process.exitCode() == 0 && borrower.output().contains(how.success),
             qPrintable(borrower.output()));
    QVERIFY(bootloader.answered() > 0);
    for (const speed_t speed : bootloader.speeds())
        QCOMPARE(speed, how.speed);
    if (fromScript) {
        const SerialCommand reclaim({QStringLiteral("--reclaim"), device});
        QVERIFY2(reclaim.finished && reclaim.status == 0, qPrintable(reclaim.output));
    }

    QTRY_VERIFY(isOpen(f));
    QVERIFY(!title(f).contains(QStringLiteral("已让出")));
    bootloader.stop();
    QVERIFY(f.board.write("after flash\r\n"));
    QTRY_COMPARE(f.revText(), QStringLiteral("before\r\nafter flash\r\n"));
    QVERIFY(!f.useMenu("RevText", {QStringLiteral("停止记录")}).isEmpty());
    QCOMPARE(readBytes(log), QByteArray("before\r\nafter flash\r\n"));
}

QTEST_MAIN(TestBorrowers)
#include "tst_borrowers.moc"
