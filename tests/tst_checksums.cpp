// The checksum catalogue against the standard check values and against python3-crcmod and zlib
// over random buffers; payloads as typed; checksums put into frames.
#include "quicksend/checksum.h"
#include "quicksend/frame.h"
#include "quicksend/payload.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

using namespace quicksend;

Q_DECLARE_METATYPE(quicksend::Algorithm)
Q_DECLARE_METATYPE(quicksend::CrcModel)

namespace {

CrcModel crc(int width, quint32 poly, quint32 init, bool refIn, bool refOut, quint32 xorOut)
{
    return {width, poly, init, refIn, refOut, xorOut};
}

// Custom models checked against crcmod besides the catalogue: GENIBUS, JAMCRC, MAXIM-16,
// RIELLO (an init that reflection changes), ROHC, MPEG-2.
const QList<CrcModel> customModels = {
    crc(16, 0x1021, 0xFFFF, false, false, 0xFFFF), crc(32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0),
    crc(16, 0x8005, 0x0000, true, true, 0xFFFF),   crc(16, 0x1021, 0xB2AA, true, true, 0),
    crc(8, 0x07, 0xFF, true, true, 0x00),          crc(32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0),
};

// What crcmod (and zlib, for CRC-32) make of each buffer: one line of hexadecimal values per
// buffer, in the order of the catalogue's CRCs, the sums, then the custom models.
const char *reference = R"(
import sys, zlib, crcmod, crcmod.predefined as p
def refl(v, w): return int(bin(v)[2:].zfill(w)[::-1], 2)
named = [p.mkCrcFun(n) for n in ['crc-8', 'crc-8-maxim', 'modbus', 'xmodem', 'crc-ccitt-false',
                                 'crc-16', 'crc-32']]
custom = []
for model in sys.argv[1:]:
    w, poly, init, ref, xo = [int(x, 16) for x in model.split(',')]
    start = (refl(init, w) if ref else init) ^ xo
    custom.append(crcmod.mkCrcFun((1 << w) | poly, initCrc=start, rev=bool(ref), xorOut=xo))
for line in sys.stdin:
    data = bytes.fromhex(line.strip())
    s = sum(data)
    x = 0
    for b in data: x ^= b
    out = [f(data) for f in named] + [zlib.crc32(data), s & 0xFF, x, s & 0xFFFF, -s & 0xFF]
    out += [f(data) for f in custom]
    print(' '.join('%x' % v for v in out))
)";

const QList<Algorithm> referenceOrder = {
    Algorithm::Crc8Smbus,
    Algorithm::Crc8MaximDow,
    Algorithm::Crc16Modbus,
    Algorithm::Crc16Xmodem,
    Algorithm::Crc16CcittFalse,
    Algorithm::Crc16Arc,
    Algorithm::Crc32,
    Algorithm::Crc32, // zlib
    Algorithm::Sum8,
    Algorithm::Xor8,
    Algorithm::Sum16,
    Algorithm::Lrc,
};

} // namespace

class TestChecksums : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void checkValues_data();
    void checkValues();
    void againstCrcmod_data();
    void againstCrcmod();
    void names_data();
    void names();
    void text_data();
    void text();
    void hex_data();
    void hex();
    void frames_data();
    void frames();

private:
    QList<QByteArray> m_buffers;
    QList<QList<quint32>> m_expected;
};

void TestChecksums::initTestCase()
{
    QRandomGenerator random(20240601);
    for (const int size : {0, 1, 2, 9, 31, 256, 4099}) {
        QByteArray buffer(size, Qt::Uninitialized);
        for (char &b : buffer)
            b = char(random.bounded(256));
        m_buffers << buffer;
    }
    m_buffers << QByteArray(300, '\xFF') << QByteArray(300, '\0');

    QStringList arguments{QStringLiteral("-c"), QString::fromLatin1(reference)};
    for (const CrcModel &m : customModels) {
        QVERIFY(m.refIn == m.refOut); // all crcmod can take
        arguments << QStringLiteral("%1,%2,%3,%4,%5")
                         .arg(m.width, 0, 16)
                         .arg(m.poly, 0, 16)
                         .arg(m.init, 0, 16)
                         .arg(m.refIn ? 1 : 0)
                         .arg(m.xorOut, 0, 16);
    }
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), arguments);
    QVERIFY2(python.waitForStarted(), "python3 is missing: tools/deps.sh installs it");
    for (const QByteArray &buffer : std::as_const(m_buffers))
        python.write(buffer.toHex() + '\n');
    python.closeWriteChannel();
    QVERIFY(python.waitForFinished(60000));
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        if (line.isEmpty())
            continue;
        QList<quint32> values;
        for (const QByteArray &value : line.split(' '))
            values << value.toUInt(nullptr, 16);
        m_expected << values;
    }
    QCOMPARE(m_expected.size(), m_buffers.size());
}

void TestChecksums::checkValues_data()
{
    QTest::addColumn<Algorithm>("algorithm");
    QTest::addColumn<CrcModel>("custom");
    QTest::addColumn<quint32>("check");
    const CrcModel none;
    QTest::newRow("CRC-16/MODBUS") << Algorithm::Crc16Modbus << none << 0x4B37u;
    QTest::newRow("CRC-16/XMODEM") << Algorithm::Crc16Xmodem << none << 0x31C3u;
    QTest::newRow("CRC-16/CCITT-FALSE") << Algorithm::Crc16CcittFalse << none << 0x29B1u;
    QTest::newRow("CRC-16/ARC") << Algorithm::Crc16Arc << none << 0xBB3Du;
    QTest::newRow("CRC-32") << Algorithm::Crc32 << none << 0xCBF43926u;
    QTest::newRow("CRC-8/SMBUS") << Algorithm::Crc8Smbus << none << 0xF4u;
    QTest::newRow("CRC-8/MAXIM-DOW") << Algorithm::Crc8MaximDow << none << 0xA1u;
    QTest::newRow("SUM8") << Algorithm::Sum8 << none << 0xDDu;
    QTest::newRow("SUM16") << Algorithm::Sum16 << none << 0x01DDu;
    QTest::newRow("XOR8") << Algorithm::Xor8 << none << 0x31u;
    QTest::newRow("LRC") << Algorithm::Lrc << none << 0x23u;
    // Custom models from the same catalogue of parametrised CRCs, including input and output
    // reflected differently, which crcmod cannot express.
    QTest::newRow("custom CRC-16/GENIBUS")
        << Algorithm::CustomCrc << crc(16, 0x1021, 0xFFFF, false, false, 0xFFFF) << 0xD64Eu;
    QTest::newRow("custom CRC-32/BZIP2")
        << Algorithm::CustomCrc << crc(32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0xFFFFFFFF)
        << 0xFC891918u;
    QTest::newRow("custom CRC-8/ROHC")
        << Algorithm::CustomCrc << crc(8, 0x07, 0xFF, true, true, 0) << 0xD0u;
    QTest::newRow("custom CRC-16/MODBUS as a model")
        << Algorithm::CustomCrc << crc(16, 0x8005, 0xFFFF, true, true, 0) << 0x4B37u;
    QTest::newRow("custom reflected in, not out")
        << Algorithm::CustomCrc << crc(16, 0x8005, 0xFFFF, true, false, 0) << 0xECD2u;
    QTest::newRow("custom reflected out, not in")
        << Algorithm::CustomCrc << crc(16, 0x1021, 0xFFFF, false, true, 0) << 0x8D94u;
}

void TestChecksums::checkValues()
{
    QFETCH(Algorithm, algorithm);
    QFETCH(CrcModel, custom);
    QFETCH(quint32, check);
    QCOMPARE(checksumValue(algorithm, custom, "123456789"), check);
}

void TestChecksums::againstCrcmod_data()
{
    QTest::addColumn<int>("buffer");
    QTest::addColumn<int>("column");
    QTest::addColumn<Algorithm>("algorithm");
    QTest::addColumn<CrcModel>("custom");
    for (int b = 0; b < m_buffers.size(); ++b) {
        const QByteArray size = QByteArray::number(m_buffers.at(b).size());
        for (int c = 0; c < referenceOrder.size(); ++c) {
            const Algorithm algorithm = referenceOrder.at(c);
            const QByteArray name = c == 7 ? "CRC-32 (zlib)" : info(algorithm).name.toLatin1();
            QTest::newRow(size + " bytes, " + name) << b << c << algorithm << CrcModel{};
        }
        for (int m = 0; m < customModels.size(); ++m) {
            const QByteArray name =
                checksumName(Algorithm::CustomCrc, customModels.at(m)).toLatin1();
            QTest::newRow(size + " bytes, " + name) << b << int(referenceOrder.size()) + m
                                                    << Algorithm::CustomCrc << customModels.at(m);
        }
    }
}

void TestChecksums::againstCrcmod()
{
    QFETCH(int, buffer);
    QFETCH(int, column);
    QFETCH(Algorithm, algorithm);
    QFETCH(CrcModel, custom);
    QCOMPARE(checksumValue(algorithm, custom, m_buffers.at(buffer)),
             m_expected.at(buffer).at(column));
}

void TestChecksums::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("canonical"); // empty: refused
    for (const AlgorithmInfo &entry : catalogue()) {
        if (entry.algorithm != Algorithm::CustomCrc)
            QTest::newRow(entry.name.toUtf8()) << entry.name << entry.name;
    }
    QTest::newRow("lower case") << "crc-16/modbus"
                                << "CRC-16/MODBUS";
    QTest::newRow("custom") << "CRC(16,1021,FFFF,0,0,FFFF)"
                            << "CRC(16,1021,FFFF,0,0,FFFF)";
    QTest::newRow("custom loosely") << " crc( 8, 0x7, 0x0 ,1,1, 0 ) "
                                    << "CRC(8,07,00,1,1,00)";
    QTest::newRow("custom 32") << "CRC(32,4C11DB7,FFFFFFFF,1,1,FFFFFFFF)"
                               << "CRC(32,04C11DB7,FFFFFFFF,1,1,FFFFFFFF)";
    QTest::newRow("poly too wide") << "CRC(8,107,00,0,0,00)"
                                   << "";
    QTest::newRow("width 12") << "CRC(12,80F,0,0,1,0)"
                              << "";
    QTest::newRow("unknown") << "CRC-16/KERMIT"
                             << "";
    QTest::newRow("switch not 0 or 1") << "CRC(16,8005,0,2,1,0)"
                                       << "";
}

void TestChecksums::names()
{
    QFETCH(QString, name);
    QFETCH(QString, canonical);
    const std::optional<NamedChecksum> named = parseChecksumName(name);
    QCOMPARE(named ? checksumName(named->algorithm, named->custom) : QString(), canonical);
}

void TestChecksums::text_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("gbk");
    QTest::addColumn<QByteArray>("bytes"); // empty with position >= 0: refused
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("position"); // of the error, -1: none
    QTest::addColumn<int>("length");
    QTest::newRow("plain") << "AT+RST" << false << QByteArray("AT+RST") << 6 << -1 << 0;
    QTest::newRow("escapes") << "a\\r\\n\\t\\\\b" << false << QByteArray("a\r\n\t\\b") << 6 << -1
                             << 0;
    QTest::newRow("raw bytes between UTF-8")
        << "\\x02你好\\x03" << false << QByteArray("\x02\xE4\xBD\xA0\xE5\xA5\xBD\x03") << 4 << -1
        << 0;
    QTest::newRow("raw bytes between GBK")
        << "\\x02你好\\xfF" << true << QByteArray("\x02\xC4\xE3\xBA\xC3\xFF") << 4 << -1 << 0;
    QTest::newRow("beyond U+FFFF counts one") << "😀" << false << QByteArray("😀") << 1 << -1 << 0;
    QTest::newRow("unknown escape") << "ab\\q" << false << QByteArray() << 0 << 2 << 2;
    QTest::newRow("short \\x") << "A\\x4" << false << QByteArray() << 0 << 1 << 3;
    QTest::newRow("\\x not hex") << "\\xG1z" << false << QByteArray() << 0 << 0 << 4;
    QTest::newRow("lone backslash at the end") << "abc\\" << false << QByteArray() << 0 << 3 << 1;
}

void TestChecksums::text()
{
    QFETCH(QString, typed);
    QFETCH(bool, gbk);
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(int, position);
    QFETCH(int, length);
    const Payload payload = parseText(typed, gbk ? TextEncoding::Gb18030 : TextEncoding::Utf8);
    QCOMPARE(payload.bytes, bytes);
    QCOMPARE(payload.ok(), position < 0);
    QCOMPARE(int(payload.errorPosition), position);
    QCOMPARE(int(payload.errorLength), length);
    if (payload.ok())
        QCOMPARE(int(payload.count), count);
    else
        QVERIFY(payload.error.contains(QStringLiteral("第 %1 个字符").arg(position + 1)));
}

void TestChecksums::hex_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("position"); // of the error, -1: none
    QTest::addColumn<QString>("token");
    const QByteArray request("\x01\x03\x00\x0A\x00\x02", 6);
    QTest::newRow("pairs") << "01 03 00 0A 00 02" << request << -1 << "";
    QTest::newRow("run together") << "0103000a0002" << request << -1 << "";
    QTest::newRow("commas and blanks") << " 01,03, 000A\t0002 \r\n" << request << -1 << "";
    QTest::newRow("0x prefixes") << "0x01 0x03 0x000A 0x0002" << request << -1 << "";
    QTest::newRow("full-width comma") << "01，03" << QByteArray("\x01\x03") << -1 << "";
    QTest::newRow("empty") << "" << QByteArray() << -1 << "";
    QTest::newRow("odd digits") << "01 03 0A3 00" << QByteArray() << 6 << "0A3";
    QTest::newRow("not a digit") << "01 0G" << QByteArray() << 3 << "0G";
    QTest::newRow("chinese") << "01 数据" << QByteArray() << 3 << "数据";
    QTest::newRow("prefix alone") << "0x" << QByteArray() << 0 << "0x";
}

void TestChecksums::hex()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, bytes);
    QFETCH(int, position);
    QFETCH(QString, token);
    const Payload payload = parseHex(typed);
    QCOMPARE(payload.bytes, bytes);
    QCOMPARE(int(payload.errorPosition), position);
    if (position >= 0) {
        QCOMPARE(int(payload.errorLength), int(token.size()));
        QVERIFY2(payload.error.contains(QStringLiteral("“%1”").arg(token)),
                 qPrintable(payload.error));
    } else {
        QCOMPARE(int(payload.count), int(bytes.size()));
    }
}

void TestChecksums::frames_data()
{
    QTest::addColumn<bool>("text");
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QString>("checksum");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("position");
    QTest::addColumn<bool>("hexText");
    QTest::addColumn<int>("lowFirst");  // -1: the algorithm's own order
    QTest::addColumn<QString>("frame"); // hex; empty: refused
    QTest::addColumn<int>("count");

    QTest::newRow("Modbus read 0A")
        << false << "01 03 00 0A 00 02"
        << ""
        << "CRC-16/MODBUS" << 0 << -1 << -1 << false << -1 << "01 03 00 0A 00 02 E4 09" << 8;
    QTest::newRow("Modbus read 00")
        << false << "01 03 00 00 00 02"
        << ""
        << "CRC-16/MODBUS" << 0 << -1 << -1 << false << -1 << "01 03 00 00 00 02 C4 0B" << 8;
    QTest::newRow("LRC") << false << "01 03 00 0A 00 02"
                         << ""
                         << "LRC" << 0 << -1 << -1 << false << -1 << "01 03 00 0A 00 02 F0" << 7;
    QTest::newRow("Modbus ASCII") << true << ":0103000A0002"
                                  << "CR+LF"
                                  << "LRC" << 1 << -3 << -3 << true << -1
                                  << QString::fromLatin1(
                                         QByteArray(":0103000A0002F0\r\n").toHex(' '))
                                  << 17;
    QTest::newRow("high byte first")
        << false << "01 03 00 0A 00 02"
        << ""
        << "CRC-16/MODBUS" << 0 << -1 << -1 << false << 0 << "01 03 00 0A 00 02 09 E4" << 8;
    QTest::newRow("XMODEM high first by default") << false << "31 32 33 34 35 36 37 38 39"
                                                  << ""
                                                  << "CRC-16/XMODEM" << 0 << -1 << -1 << false << -1
                                                  << "31 32 33 34 35 36 37 38 39 31 C3" << 11;
    QTest::newRow("CRC-32 low first by default") << false << "31 32 33 34 35 36 37 38 39"
                                                 << ""
                                                 << "CRC-32" << 0 << -1 << -1 << false << -1
                                                 << "31 32 33 34 35 36 37 38 39 26 39 F4 CB" << 13;
    QTest::newRow("range skips header, frame end after the sum")
        << false << "AA 55 01 02 03 0D"
        << ""
        << "SUM8" << 2 << -2 << -2 << false << -1 << "AA 55 01 02 03 06 0D" << 7;
    QTest::newRow("position from the start")
        << false << "01 02 03"
        << ""
        << "XOR8" << 0 << -1 << 0 << false << -1 << "00 01 02 03" << 4;
    QTest::newRow("NMEA: XOR as hex text over characters")
        << true << "$GPGLL,5300.97914,N,00259.98174,E,125926,A*"
        << "CR+LF"
        << "XOR8" << 1 << -4 << -3 << true << -1
        << QString::fromLatin1(
               QByteArray("$GPGLL,5300.97914,N,00259.98174,E,125926,A*28\r\n").toHex(' '))
        << 47;
    QTest::newRow("SUM16 as hex text, low first")
        << true << "ab"
        << "无"
        << "SUM16" << 0 << -1 << -1 << true << 1
        << QString::fromLatin1(QByteArray("abC300").toHex(' ')) << 6;
    QTest::newRow("empty payload")
        << false << ""
        << ""
        << "CRC-16/MODBUS" << 0 << -1 << -1 << false << -1 << "FF FF" << 2;
    QTest::newRow("range past the end") << false << "01 02"
                                        << ""
                                        << "SUM8" << 0 << 5 << -1 << false << -1 << "" << 0;
    QTest::newRow("range start past end") << false << "01 02 03"
                                          << ""
                                          << "SUM8" << 2 << 0 << -1 << false << -1 << "" << 0;
    QTest::newRow("position past the end") << false << "01 02"
                                           << ""
                                           << "SUM8" << 0 << -1 << 3 << false << -1 << "" << 0;
    QTest::newRow("position before the start") << false << "01 02"
                                               << ""
                                               << "SUM8" << 0 << -1 << -4 << false << -1 << "" << 0;
}

void TestChecksums::frames()
{
    QFETCH(bool, text);
    QFETCH(QString, content);
    QFETCH(QString, ending);
    QFETCH(QString, checksum);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(int, position);
    QFETCH(bool, hexText);
    QFETCH(int, lowFirst);
    QFETCH(QString, frame);
    QFETCH(int, count);

    Entry entry;
    entry.format = text ? Format::Text : Format::Hex;
    entry.content = content;
    entry.ending = Ending(qMax<qsizetype>(0, endingNames().indexOf(ending)));
    const std::optional<NamedChecksum> named = parseChecksumName(checksum);
    QVERIFY(named);
    entry.checksum = defaultChecksum(named->algorithm);
    entry.checksum.start = start;
    entry.checksum.end = end;
    entry.checksum.position = position;
    entry.checksum.hexText = hexText;
    if (lowFirst >= 0)
        entry.checksum.lowFirst = lowFirst == 1;
    const Frame built = buildFrame(entry, TextEncoding::Utf8, QStringLiteral("\n"));
    QCOMPARE(hexBytes(built.bytes), frame.toUpper());
    QCOMPARE(built.ok(), !frame.isEmpty());
    if (built.ok())
        QCOMPARE(int(built.count), count);
}

QTEST_APPLESS_MAIN(TestChecksums)
#include "tst_checksums.moc"
