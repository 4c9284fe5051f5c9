// zelqo-board: a simulated board on a pseudo-terminal, so that every panel of zelqo-serial can be
// tried without hardware. It enters its line in the user's settings file at a COM number, plays
// an HC-05 Bluetooth module in AT mode (at 38400 baud only, as the real module), a clock that
// answers the time string, a robot car and a Modbus RTU slave; everything else is echoed. It can
// also stream sensor lines (UTF-8 or GBK) or random bytes at a steady rate, and be unplugged: it
// then comes back after a while on a new pseudo-terminal, as a board that resets or an adapter
// pulled out and put back.
#include "app/quit_on_signals.h"
#include "app/settings_keys.h"
#include "port/port_map.h"
#include "quicksend/checksum.h"
#include "settings/settings_file.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringEncoder>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char helpText[] =
    "用法 / Usage: zelqo-board [--port COMn] [--stream text|gbk|hex|plot|idf --rate "
    "BYTES_PER_SECOND]\n"
    "                          [--down SECONDS] [--unplug-every SECONDS]\n"
    "\n"
    "模拟一块开发板，无需硬件即可试用柯澜欧串口调试助手的每个面板。\n"
    "Plays a board, so that every panel of zelqo-serial can be tried without hardware.\n"
    "\n"
    "它创建一个伪终端，并把它写入你的设置文件（~/.config/zelqo柯澜欧.ini）的 [端口映射] 中\n"
    "指定的端口号（默认 COM48），文件的其余内容保持不变；退出时（Ctrl+C、SIGTERM 或标准输入\n"
    "结束）恢复该项原来的内容。启动串口调试助手，在 COM 口列表中选择该端口号，打开串口即可。\n"
    "It creates a pseudo-terminal and enters it in your settings file "
    "(~/.config/zelqo柯澜欧.ini),\n"
    "section [端口映射], at the given port number (COM48 by default), keeping every other byte\n"
    "of the file; on exit (Ctrl+C, SIGTERM, end of input) it puts back what that entry held.\n"
    "Start zelqo-serial, pick that COM number from the list and open the port.\n"
    "\n"
    "它的应答 / What it answers:\n"
    "  AT 指令   像 AT 模式下的 HC-05 蓝牙模块一样应答蓝牙面板的十四条指令，仅在 38400 波特率下\n"
    "  AT lines  like an HC-05 Bluetooth module in AT mode, the fourteen commands of the\n"
    "            Bluetooth panel, and only while the line runs at 38400 baud\n"
    "  16 位数字 更新时间发送的时间串，原样返回 / the time string, answered with the same digits\n"
    "  小车指令  11: 44: 22: 33: 00: 66: 和 SPEED:n，回复一行说明 / car codes and speed, "
    "acknowledged\n"
    "  Modbus    地址 1 的 RTU 从站：寄存器 n 的值为 0x0100+n（功能码 03、04），05、06 原样应答，\n"
    "            校验错误不应答 / a Modbus RTU slave at address 1: register n holds 0x0100+n\n"
    "            (03, 04), 05 and 06 are answered with the request, a bad CRC with silence\n"
    "  其他      原样回显 / anything else is echoed\n"
    "\n"
    "选项 / Options:\n"
    "  --port COMn       端口号 1 到 48 / port number 1 to 48 (default COM48)\n"
    "  --stream KIND     持续发送：text 传感器数据行（UTF-8），gbk 同样的行（GBK 编码），\n"
    "                    hex 随机字节，plot 供波形图显示的数据行（正弦、方波、噪声），\n"
    "                    idf 带 ANSI 颜色的 ESP-IDF 日志\n"
    "                    / stream sensor lines in UTF-8 or GBK, random bytes, lines for the\n"
    "                    plot window (sine, square and noise series), or an ESP-IDF log in ANSI\n"
    "                    colours\n"
    "  --rate N          每秒发送的字节数 / bytes a second for --stream (default 1000)\n"
    "  --down N          拔出后 N 秒重新接入（默认 3）/ back N seconds after an unplug (default "
    "3)\n"
    "  --unplug-every N  每 N 秒自动拔出一次 / unplug by itself every N seconds\n"
    "\n"
    "拔出 / Unplugging: 按回车键即拔出模拟开发板：伪终端关闭（串口调试助手看到设备丢失），\n"
    "--down 秒后在一个新的伪终端上重新接入，并更新设置文件中的端口号。勾选接收区右键菜单的\n"
    "“断开后自动重连”时，串口调试助手会自己重新打开它。\n"
    "Press Enter to unplug the board: its pseudo-terminal closes (zelqo-serial sees the device\n"
    "go), and --down seconds later it is back on a new pseudo-terminal, its COM entry updated.\n"
    "With \"断开后自动重连\" ticked in the receive box's menu, zelqo-serial reopens it by itself.\n"
    "  --help            显示本说明 / show this text\n";

// An HC-05 in AT mode: what it answers, and the state its set commands change.
class Hc05
{
public:
    QByteArray answer(const QByteArray &line)
    {
        const QByteArray command = line.trimmed().toUpper();
        const QByteArray ok = "OK\r\n";
        if (command == "AT")
            return ok;
        if (command == "AT+ORGL") {
            *this = Hc05();
            return ok;
        }
        if (command == "AT+ADDR?")
            return "+ADDR:" + m_address + "\r\n" + ok;
        const qsizetype equals = command.indexOf('=');
        const bool query = command.endsWith('?');
        const QByteArray name = command.mid(3, query ? command.size() - 4 : equals - 3);
        QByteArray *value = name == "ROLE"    ? &m_role
                            : name == "CMODE" ? &m_cmode
                            : name == "NAME"  ? &m_name
                            : name == "UART"  ? &m_uart
                            : name == "PSWD"  ? &m_pin
                                              : nullptr;
        if (!command.startsWith("AT+") || !value || (!query && equals < 0))
            return "ERROR:(0)\r\n";
        if (query)
            return "+" + name + ":" + *value + "\r\n" + ok;
        // The name keeps the case it was sent in.
        *value = name == "NAME" ? line.trimmed().mid(equals + 1) : command.mid(equals + 1);
        return ok;
    }

private:
    QByteArray m_role = "0";
    QByteArray m_cmode = "0";
    QByteArray m_name = "HC-05";
    QByteArray m_uart = "9600,0,0";
    QByteArray m_pin = "1234";
    QByteArray m_address = "98d3:31:f5a2b1";
};

// A Modbus RTU slave at address 1, for trying quick-send's frames: holding and input register
// n hold 0x0100 + n; a write is answered with the request, as a slave does; another function
// gets exception 01. A frame whose CRC is wrong is no request: empty.
QByteArray modbusAnswer(const QByteArray &message)
{
    if (message.size() < 4 || message.at(0) != 1)
        return {};
    const QByteArray request = message.chopped(2);
    const auto crc = [](const QByteArray &bytes) {
        const quint32 value =
            quicksend::checksumValue(quicksend::Algorithm::Crc16Modbus, {}, bytes);
        return bytes + char(value & 0xFF) + char(value >> 8);
    };
    if (crc(request) != message)
        return {};
    const auto word = [&request](int at) {
        return (quint8(request.at(at)) << 8) | quint8(request.at(at + 1));
    };
    const auto function = quint8(request.at(1));
    if ((function == 3 || function == 4) && request.size() == 6 && word(4) >= 1 && word(4) <= 125) {
        QByteArray answer{"\x01"};
        answer += char(function);
        answer += char(2 * word(4));
        for (int n = 0; n < word(4); ++n) {
            const int value = 0x0100 + word(2) + n;
            answer += char((value >> 8) & 0xFF);
            answer += char(value & 0xFF);
        }
        return crc(answer);
    }
    if ((function == 5 || function == 6) && request.size() == 6)
        return message;
    return crc(QByteArray("\x01") + char(function | 0x80) + char(1));
}

QByteArray carAnswer(const QByteArray &message)
{
    static const struct
    {
        const char *code;
        const char *meaning;
    } codes[] = {{"11:", "前进 forward"}, {"44:", "后退 backward"},
                 {"22:", "左转 left"},    {"33:", "右转 right"},
                 {"00:", "停止 stop"},    {"66:", "自动/手动 auto/manual"}};
    for (const auto &code : codes) {
        if (message == code.code)
            return QByteArray("car ") + code.code + " " + code.meaning + "\r\n";
    }
    static const QRegularExpression speed(QStringLiteral("^SPEED:(\\d{1,3})$"));
    const QRegularExpressionMatch match = speed.match(QString::fromLatin1(message));
    if (match.hasMatch())
        return "car speed 速度 " + match.captured(1).toLatin1() + "\r\n";
    return {};
}

// A raw pseudo-terminal with a non-blocking master side.
struct Pty
{
    int master = -1;
    int slave = -1;
    QString name;
};

std::optional<Pty> makePty()
{
    Pty pty;
    char name[256];
    if (::openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0)
        return std::nullopt;
    termios raw;
    ::tcgetattr(pty.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(pty.slave, TCSANOW, &raw);
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    pty.name = QString::fromLocal8Bit(name);
    return pty;
}

void closePty(Pty &pty)
{
    if (pty.master >= 0)
        ::close(pty.master);
    if (pty.slave >= 0)
        ::close(pty.slave);
    pty = Pty();
}

// Lines for the plot window: named sine, square and noise series, as Arduino sketches print them.
QByteArray plotLine(qint64 n)
{
    const double phase = double(n) * 0.05;
    const double noise = QRandomGenerator::global()->generateDouble() - 0.5;
    return QByteArray("sin:") + QByteArray::number(std::sin(phase) * 100, 'f', 2) +
           " cos:" + QByteArray::number(std::cos(phase * 0.5) * 60 + 20, 'f', 2) +
           " square:" + QByteArray::number((n / 40) % 2 ? 80 : -80) +
           " noise:" + QByteArray::number(noise * 30, 'f', 3) + "\r\n";
}

// An ESP-IDF log as its default console prints it: each level in its ANSI colour, the time since
// boot in milliseconds, the tag.
QByteArray idfLine(qint64 n)
{
    struct Kind
    {
        const char *colour; // empty: the terminal's own
        char level;
        const char *tag;
        const char *text;
    };
    static const Kind kinds[] = {
        {"0;32", 'I', "wifi", "connected to ap SSID:workshop"},
        {"0;32", 'I', "sensor", "T=21.5 H=40%"},
        {"", 'D', "mqtt", "publish topic=bench/temp len=4"},
        {"0;33", 'W', "sensor", "read took 120 ms"},
        {"0;32", 'I', "app", "heap free 183412"},
        {"0;31", 'E', "i2c", "i2c_master_cmd_begin failed: ESP_ERR_TIMEOUT"},
    };
    const Kind &k = kinds[n % std::size(kinds)];
    const QByteArray stamp = QByteArray::number(1000 + n * 37);
    const QByteArray line = k.level + QByteArray(" (") + stamp + ") " + k.tag + ": " + k.text;
    if (*k.colour == 0)
        return line + "\r\n";
    return "\x1b[" + QByteArray(k.colour) + "m" + line + "\x1b[0m\r\n";
}

class Board : public QObject
{
public:
    Board(QString kind, int rate) : m_kind(std::move(kind))
    {
        if (!m_kind.isEmpty() && rate > 0) {
            m_perTick = qMax(1, rate / 20);
            auto *tick = new QTimer(this);
            connect(tick, &QTimer::timeout, this, &Board::stream);
            tick->start(50);
        }
    }
    ~Board() override { closePty(m_pty); }

    // The slave side stays open, as a plugged-in adapter stays present while no program uses it.
    void plug(const Pty &pty)
    {
        m_pty = pty;
        m_master = pty.master;
        m_input = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
        connect(m_input, &QSocketNotifier::activated, this, &Board::readLine);
    }
    // The line hangs up; nothing is sent or answered until the next plug.
    void unplug()
    {
        delete m_input;
        m_input = nullptr;
        closePty(m_pty);
        m_master = -1;
    }
    [[nodiscard]] bool isPlugged() const { return m_master >= 0; }

private:
    // The program writes each message in one go, so one read is one message; an AT command
    // ends with CR LF and may share a read with another.
    void readLine()
    {
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            return;
        const QByteArray message(buffer, n);
        if (message.startsWith("AT")) {
            // The module listens at 38400 only; at any other speed it hears noise.
            termios line;
            if (::tcgetattr(m_master, &line) != 0 || cfgetispeed(&line) != B38400)
                return;
            for (const QByteArray &command : message.split('\n')) {
                if (!command.trimmed().isEmpty())
                    send(m_module.answer(command));
            }
            return;
        }
        static const QRegularExpression timeString(QStringLiteral("^\\d{16}$"));
        if (timeString.match(QString::fromLatin1(message)).hasMatch()) {
            send(message + "\r\n");
            return;
        }
        const QByteArray modbus = modbusAnswer(message);
        if (!modbus.isEmpty()) {
            send(modbus);
            return;
        }
        const QByteArray car = carAnswer(message);
        send(car.isEmpty() ? message : car);
    }

    void stream()
    {
        if (m_master < 0)
            return;
        while (m_pending.size() < m_perTick) {
            if (m_kind == QLatin1String("hex")) {
                QByteArray random(m_perTick, Qt::Uninitialized);
                for (char &c : random)
                    c = char(QRandomGenerator::global()->bounded(256));
                m_pending += random;
                continue;
            }
            ++m_count;
            if (m_kind == QLatin1String("plot")) {
                m_pending += plotLine(m_count);
                continue;
            }
            if (m_kind == QLatin1String("idf")) {
                m_pending += idfLine(m_count);
                continue;
            }
            const QString line = QStringLiteral("温度=%1.%2℃ 湿度=%3% 计数=%4\r\n")
                                     .arg(20 + m_count % 7)
                                     .arg(m_count % 10)
                                     .arg(40 + m_count % 13)
                                     .arg(m_count);
            m_pending += m_kind == QLatin1String("gbk")
                             ? QByteArray(QStringEncoder("GB18030").encode(line))
                             : line.toUtf8();
        }
        send(m_pending.first(m_perTick));
        m_pending.remove(0, m_perTick);
    }

    void send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += n;
        }
    }

    Pty m_pty;
    int m_master = -1;
    QSocketNotifier *m_input = nullptr;
    QString m_kind;
    qsizetype m_perTick = 0;
    QByteArray m_pending;
    qint64 m_count = 0;
    Hc05 m_module;
};

int fail(const char *message)
{
    std::fprintf(stderr, "zelqo-board: %s\n", message);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    int port = 48;
    QString kind;
    int rate = 1000;
    int downSeconds = 3;
    int unplugEvery = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        const QString value = args.value(i + 1);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(helpText, stdout);
            return 0;
        }
        if (arg == QLatin1String("--port") && i + 1 < args.size()) {
            port = QString(value).remove(QStringLiteral("COM"), Qt::CaseInsensitive).toInt();
            ++i;
        } else if (arg == QLatin1String("--stream") && i + 1 < args.size()) {
            kind = value;
            ++i;
        } else if (arg == QLatin1String("--rate") && i + 1 < args.size()) {
            rate = value.toInt();
            ++i;
        } else if (arg == QLatin1String("--down") && i + 1 < args.size()) {
            downSeconds = value.toInt();
            ++i;
        } else if (arg == QLatin1String("--unplug-every") && i + 1 < args.size()) {
            unplugEvery = value.toInt();
            ++i;
        } else {
            std::fputs(helpText, stderr);
            return 2;
        }
    }
    if (port < 1 || port > portmap::portCount)
        return fail("--port takes COM1 to COM48 / 端口号应为 COM1 到 COM48");
    if (!kind.isEmpty() && kind != QLatin1String("text") && kind != QLatin1String("gbk") &&
        kind != QLatin1String("hex") && kind != QLatin1String("plot") &&
        kind != QLatin1String("idf"))
        return fail(
            "--stream takes text, gbk, hex, plot or idf / --stream 应为 text、gbk、hex、plot "
            "或 idf");
    if (rate <= 0)
        return fail("--rate takes a positive number of bytes a second / --rate 应为正数");
    if (downSeconds < 0 || unplugEvery < 0)
        return fail("--down and --unplug-every take seconds / --down 和 --unplug-every 应为秒数");

    const std::optional<Pty> first = makePty();
    if (!first)
        return fail("cannot create a pseudo-terminal / 无法创建伪终端");

    // Ready for Ctrl+C before the entry is written and announced: a signal arriving between the
    // two still ends in the entry being put back.
    const QuitOnSignals quitOnSignals;
    const SettingsFile settings(SettingsFile::defaultPath());
    const settingkeys::Setting entry = settingkeys::portMapEntry(port);
    // A key that was not there before goes again at the end, rather than stay empty.
    const QString absent = QStringLiteral("\x01absent");
    const QString before = settings.read(entry.section, entry.key, absent);
    entry.write(settings, first->name);
    std::printf("COM%d -> %s\n已把设置文件 %s 中的 COM%d 指向模拟开发板；在串口调试助手中选择 "
                "COM%d 并打开串口。按回车键拔出，按 Ctrl+C 结束。\n"
                "COM%d in %s now points at the simulated board; pick COM%d in zelqo-serial and "
                "open the port. Enter unplugs it, Ctrl+C ends.\n",
                port, qPrintable(first->name), qPrintable(settings.path()), port, port, port,
                qPrintable(settings.path()), port);
    std::fflush(stdout);

    Board board(kind, rate);
    board.plug(*first);
    // The next pseudo-terminal is made before the current one closes, so that it gets another
    // number: a reused number is what a terminal window gets, and no program should take it
    // for the board.
    const auto unplug = [&] {
        if (!board.isPlugged())
            return;
        const std::optional<Pty> next = makePty();
        board.unplug();
        std::printf("已拔出，%d 秒后重新接入 / unplugged, back in %d s\n", downSeconds,
                    downSeconds);
        std::fflush(stdout);
        if (!next) {
            fail("cannot create a pseudo-terminal / 无法创建伪终端");
            return;
        }
        QTimer::singleShot(downSeconds * 1000, &board, [&, pty = *next] {
            board.plug(pty);
            entry.write(settings, pty.name);
            std::printf("COM%d -> %s\n", port, qPrintable(pty.name));
            std::fflush(stdout);
        });
    };
    QTimer every;
    if (unplugEvery > 0) {
        QObject::connect(&every, &QTimer::timeout, &board, unplug);
        every.start(unplugEvery * 1000);
    }
    QSocketNotifier endOfInput(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&endOfInput, &QSocketNotifier::activated, &app, [&endOfInput, &unplug] {
        char bytes[256];
        const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (n <= 0) {
            endOfInput.setEnabled(false);
            QCoreApplication::exit(0);
        } else if (QByteArray(bytes, n).contains('\n')) {
            unplug();
        }
    });
    const int status = app.exec();

    if (before == absent)
        entry.remove(settings);
    else
        entry.write(settings, before);
    std::printf("已恢复 COM%d / COM%d restored\n", port, port);
    return status;
}
