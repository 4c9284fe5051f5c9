// The INI rules of the settings file, on bytes in memory: reading and writing a value, what a
// round trip keeps, and values that try to reach beyond themselves.
#include "settings/ini.h"
#include "support/ini_bytes.h"

#include <QTest>

namespace {

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

using Entries = QList<std::pair<QString, QString>>;

class TestIni : public QObject
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
    void writeSection_data();
    void writeSection();
    void removeKey_data();
    void removeKey();
};

void TestIni::readValue_data()
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

void TestIni::readValue()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, fallback);
    QFETCH(QString, expected);

    QCOMPARE(ini::readValue(file, section, key, fallback), expected);
}

void TestIni::writeValue_data()
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

void TestIni::writeValue()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);

    QCOMPARE(ini::writeValue(file, section, key, value), expected);
}

void TestIni::roundTrip_data()
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
    // A zero-width no-break space leading a value is text, not a byte-order mark.
    QTest::newRow("starts with U+FEFF") << QStringLiteral("\uFEFFAT");
    QTest::newRow("multi-line, starts with U+FEFF") << QStringLiteral("\uFEFF; a\r\nb");
}

void TestIni::roundTrip()
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

void TestIni::injectionStaysInItsValue_data()
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

void TestIni::injectionStaysInItsValue()
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

void TestIni::writeSection_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QByteArray>("expected");

    const Entries two = {{QStringLiteral("1"), QStringLiteral("AT+NAME")},
                         {QStringLiteral("2"), QStringLiteral("ping")}};
    QTest::newRow("new, after a file without a final newline")
        << QByteArray("[端口设置]\n端口=COM3") << two
        << QByteArray("[端口设置]\n端口=COM3\n[发送历史]\n1=AT+NAME\n2=ping\n");
    QTest::newRow("replaced between sections, comments after it kept")
        << QByteArray("[a]\r\nx=1\r\n[发送历史]\r\n1=old\r\n2=older\r\n3=oldest\r\n\r\n; "
                      "mine\r\n[b]\r\ny=2\r\n")
        << two
        << QByteArray(
               "[a]\r\nx=1\r\n[发送历史]\r\n1=AT+NAME\r\n2=ping\r\n\r\n; mine\r\n[b]\r\ny=2\r\n");
    QTest::newRow("removed, the others byte for byte")
        << QByteArray("[a]\nx=1\n[发送历史]\n1=secret\n[b]\ny=2\n") << Entries()
        << QByteArray("[a]\nx=1\n[b]\ny=2\n");
    QTest::newRow("removed at the end")
        << QByteArray("[a]\nx=1\n[发送历史]\n1=wifi,pass") << Entries() << QByteArray("[a]\nx=1\n");
    QTest::newRow("removing what is not there")
        << QByteArray("[a]\nx=1\n") << Entries() << QByteArray("[a]\nx=1\n");
    QTest::newRow("blanks around, quotes of their own")
        << QByteArray()
        << Entries{{QStringLiteral("1"), QStringLiteral("  AT  ")},
                   {QStringLiteral("2"), QStringLiteral("\"quoted\"")},
                   {QStringLiteral("3"), QStringLiteral("'single'")}}
        << QByteArray();
    QTest::newRow("multi-line, quotes, long and Chinese values round-trip")
        << QByteArray()
        << Entries{{QStringLiteral("1"), QStringLiteral("你好\r\nAT\"x\"\\n")},
                   {QStringLiteral("2"), QString(400, QChar(u'长'))},
                   {QStringLiteral("3"), QStringLiteral("\"quoted\\r\"")}}
        << QByteArray();
}

void TestIni::writeSection()
{
    QFETCH(QByteArray, file);
    QFETCH(Entries, entries);
    QFETCH(QByteArray, expected);
    const QString h = QStringLiteral("发送历史");
    const QByteArray written = ini::writeSection(file, h, entries);
    if (!expected.isEmpty() || entries.isEmpty())
        QCOMPARE(written, expected);
    // What is written reads back whole, not cut to 255 bytes.
    QCOMPARE(ini::readSection(written, h), entries);
}

void TestIni::removeKey_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("its line only")
        << QByteArray("[端口映射]\r\nCOM47=/dev/a\r\nCOM48=/dev/pts/3\r\n[b]\r\n")
        << QByteArray("[端口映射]\r\nCOM47=/dev/a\r\n[b]\r\n");
    QTest::newRow("last line without a line end")
        << QByteArray("[端口映射]\nCOM48 = /dev/pts/3") << QByteArray("[端口映射]\n");
    QTest::newRow("the same name in another section stays")
        << QByteArray("[a]\nCOM48=x\n[端口映射]\ncom48=y\n")
        << QByteArray("[a]\nCOM48=x\n[端口映射]\n");
    QTest::newRow("missing") << QByteArray("[端口映射]\nCOM1=x\n")
                             << QByteArray("[端口映射]\nCOM1=x\n");
}

void TestIni::removeKey()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, expected);
    QCOMPARE(ini::removeKey(file, QStringLiteral("端口映射"), QStringLiteral("COM48")), expected);
}

QTEST_GUILESS_MAIN(TestIni)
#include "tst_ini.moc"
