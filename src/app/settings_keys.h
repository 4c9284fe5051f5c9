#pragma once

#include "app/captions.h"
#include "settings/settings_file.h"

#include <QString>

// Every section and key of the settings file, with what a missing key reads as: the one place
// where they are spelled.
namespace settingkeys {

struct Setting
{
    QString section;
    QString key;
    QString fallback;

    [[nodiscard]] QString read(const SettingsFile &file) const
    {
        return file.read(section, key, fallback);
    }
    void write(const SettingsFile &file, const QString &value) const
    {
        file.write(section, key, value);
    }
    void remove(const SettingsFile &file) const { file.remove(section, key); }
};

inline const QString portSection = QStringLiteral("端口设置");
inline const QString sendSection = QStringLiteral("发送区");
inline const QString carSection = QStringLiteral("小车控制区");
inline const QString receiveSection = QStringLiteral("接收区");
inline const QString plotSection = QStringLiteral("波形图");
// Keys 1 to N, one rule each, and whether the first rule that matches wins.
inline const QString highlightSection = QStringLiteral("高亮规则");
inline const QString terminalSection = QStringLiteral("终端");
inline const QString transferSection = QStringLiteral("文件传输");
// Keys 1 to 50, the newest sent text first.
inline const QString sendHistorySection = QStringLiteral("发送历史");
// Keys COM1 to COM48, each naming the device behind that port number.
inline const QString portMapSection = QStringLiteral("端口映射");
// The quick-send window, written whole: quickSendPageKey(1), (2) … name the pages in order,
// quickSendEntryKey(1), (2) … hold the entries, each a CSV row (the export's columns and then
// whether it is ticked for sending in order), and quickSendPlaceKey the window's geometry
// (base64).
inline const QString quickSendSection = QStringLiteral("快捷发送");
// The auto-reply rules, written whole: autoReplyOnKey is the switch for all ("1" on),
// autoReplyRuleKey(1), (2) … the rules, each a CSV row (启用,方式,内容,页,条目,延时ms,次数).
inline const QString autoReplySection = QStringLiteral("自动应答");

inline const Setting port{portSection, QStringLiteral("端口"), QStringLiteral("COM1")};
inline const Setting baudRate{portSection, QStringLiteral("波特率"), QStringLiteral("9600")};
// "0": a lost port is not waited for and reopened.
inline const Setting autoReconnect{portSection, QStringLiteral("自动重连"), QStringLiteral("1")};
// "1": when another program opens the port's device, the window steps aside for it.
inline const Setting autoYield{portSection, QStringLiteral("自动让出"), QStringLiteral("0")};
// The modem control lines after each open: "0" off, anything else on.
inline const Setting dtr{portSection, QStringLiteral("DTR"), QStringLiteral("1")};
inline const Setting rts{portSection, QStringLiteral("RTS"), QStringLiteral("1")};
// "UTF-8" or "GBK"; anything else reads as UTF-8.
inline const Setting textEncoding{portSection, QStringLiteral("文字编码"), QString()};
inline const Setting sendText{sendSection, QStringLiteral("发送文本框"),
                              QStringLiteral("技术论坛：") + captions::forumSite +
                                  QStringLiteral(" 柯澜欧品牌")};
inline const Setting forward{carSection, QStringLiteral("前进"), QStringLiteral("11:")};
inline const Setting backward{carSection, QStringLiteral("后退"), QStringLiteral("44:")};
inline const Setting turnLeft{carSection, QStringLiteral("左转"), QStringLiteral("22:")};
inline const Setting turnRight{carSection, QStringLiteral("右转"), QStringLiteral("33:")};
inline const Setting stopCar{carSection, QStringLiteral("停止"), QStringLiteral("00:")};
inline const Setting autoManual{carSection, QStringLiteral("自动/手动"), QStringLiteral("66:")};
inline const Setting captureFolder{receiveSection, QStringLiteral("保存位置"), QString()};
// Points; empty or anything but a number reads as the designed size.
inline const Setting fontSize{receiveSection, QStringLiteral("字号"), QString()};
// Megabytes of text the receive box keeps, at most 1048576; empty or not a positive number: a
// quarter of the machine's memory, from 16 to 2048.
inline const Setting maxKeptMB{receiveSection, QStringLiteral("最大保留MB"), QString()};
// What becomes of ANSI control sequences in received text: "原样显示" (shown as they came),
// "解析" (rendered) or "去除" (stripped); anything else is "原样显示".
inline const Setting controlSequences{receiveSection, QStringLiteral("控制序列"),
                                      QStringLiteral("原样显示")};
// "1": the time gutter is shown.
inline const Setting timestamps{receiveSection, QStringLiteral("时间戳"), QStringLiteral("0")};
// "无", "CR", "LF" or "CR+LF", added to each text sent from the send box; anything else is "无".
inline const Setting lineEnding{sendSection, QStringLiteral("行尾"), QStringLiteral("无")};
// "0": texts sent by hand are neither recorded nor stored.
inline const Setting recordHistory{sendSection, QStringLiteral("记录历史"), QStringLiteral("1")};

// The plot window: seconds shown, automatic ("1") or fixed range and its bounds, the labels of
// hidden series (comma-separated) and the window's geometry (base64).
inline const Setting plotSeconds{plotSection, QStringLiteral("窗口秒数"), QStringLiteral("10")};
inline const Setting plotAutoRange{plotSection, QStringLiteral("自动范围"), QStringLiteral("1")};
inline const Setting plotMin{plotSection, QStringLiteral("最小"), QStringLiteral("0")};
inline const Setting plotMax{plotSection, QStringLiteral("最大"), QStringLiteral("100")};
inline const Setting plotHidden{plotSection, QStringLiteral("隐藏"), QString()};
inline const Setting plotGeometry{plotSection, QStringLiteral("位置"), QString()};

inline const QString quickSendPlaceKey = QStringLiteral("位置");
[[nodiscard]] inline QString quickSendPageKey(int n)
{
    return QStringLiteral("页%1").arg(n);
}
[[nodiscard]] inline QString quickSendEntryKey(int n)
{
    return QStringLiteral("条目%1").arg(n);
}
inline const QString autoReplyOnKey = QStringLiteral("启用");
[[nodiscard]] inline QString autoReplyRuleKey(int n)
{
    return QStringLiteral("规则%1").arg(n);
}

// The terminal window: what Backspace sends ("DEL" or "BS"), what Enter sends ("CR", "LF" or
// "CR+LF"), local echo ("1"), the lines of screen and scrollback, the pause between the lines of
// a paste, and the window's geometry (base64).
inline const Setting terminalBackspace{terminalSection, QStringLiteral("退格"),
                                       QStringLiteral("DEL")};
inline const Setting terminalEnter{terminalSection, QStringLiteral("回车"), QStringLiteral("CR")};
inline const Setting terminalEcho{terminalSection, QStringLiteral("本地回显"), QStringLiteral("0")};
inline const Setting terminalScrollback{terminalSection, QStringLiteral("回滚行数"),
                                        QStringLiteral("10000")};
inline const Setting terminalPasteInterval{terminalSection, QStringLiteral("粘贴行间隔ms"),
                                           QStringLiteral("0")};
inline const Setting terminalGeometry{terminalSection, QStringLiteral("位置"), QString()};

// The file transfer window: the protocol ("文本", "XMODEM", "XMODEM-1K", "YMODEM", "ZMODEM"), the
// start command and the prompt as typed (with \r, \n and \xHH escapes), YMODEM's 1K blocks and
// the stripping of XMODEM's padding ("1"/"0"), the text's pauses and line ending ("原样", "CR",
// "LF", "CR+LF"), where received files go, and the window's place ("x,y,width,height").
inline const Setting transferProtocol{transferSection, QStringLiteral("协议"),
                                      QStringLiteral("YMODEM")};
inline const Setting transferStartCommand{transferSection, QStringLiteral("启动命令"), QString()};
inline const Setting transferOnly1K{transferSection, QStringLiteral("只用1K块"),
                                    QStringLiteral("1")};
inline const Setting transferStripPadding{transferSection, QStringLiteral("去掉尾部1A"),
                                          QStringLiteral("1")};
inline const Setting transferCharDelay{transferSection, QStringLiteral("字符间隔ms"),
                                       QStringLiteral("0")};
inline const Setting transferLineDelay{transferSection, QStringLiteral("行间隔ms"),
                                       QStringLiteral("0")};
inline const Setting transferLineEnding{transferSection, QStringLiteral("行尾"),
                                        QStringLiteral("CR")};
inline const Setting transferPrompt{transferSection, QStringLiteral("提示符"), QString()};
inline const Setting transferFolder{transferSection, QStringLiteral("文件夹"), QString()};
inline const Setting transferGeometry{transferSection, QStringLiteral("位置"), QString()};

[[nodiscard]] inline Setting portMapEntry(int commPort)
{
    return {portMapSection, QStringLiteral("COM%1").arg(commPort), QString()};
}

} // namespace settingkeys
