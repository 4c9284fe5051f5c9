#pragma once

#include "port/line_settings.h"
#include "port/net_link.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QVariant>

#include <functional>

class Link;
class QTcpSocket;
class QTimer;

// The window's serial component: the members of the MSComm control that the window uses, over a
// local device or a port on another machine (a mapping such as rfc2217://pi:2217). Every member
// that can fail returns an error number, 0 on success, with MSComm's numbers where it has one for
// the case. It never shows anything.
class MSComm : public QObject
{
    Q_OBJECT
public:
    enum : int {
        NoError = 0,
        InvalidPropertyValue = 380, // an unparsable settings string, an unsendable value
        PortInvalid = 8002,         // no such port number, or no device behind it
        PortAlreadyOpen = 8005,     // the number cannot change, nor the port open twice
        DeviceUnavailable = 8010,   // held by another program, or no permission
        PortNotOpen = 8012,
        SetCommStateFailed = 8015, // the device cannot take the line settings
        DeviceLost = 8020,         // the device went away while in use
    };
    // CommEvent codes the window reads, and the InputMode values.
    enum : int { comEvReceive = 2 };
    enum : int { comInputModeText = 0, comInputModeBinary = 1 };
    using PortResolver = std::function<QString(int commPort)>;
    using SocketFactory = std::function<QTcpSocket *()>;
    // How text is turned into bytes and back: UTF-8 (Arduino, ESP-IDF) or GB18030, the superset
    // of GBK and GB2312 that firmware built on Chinese Windows prints.
    enum class TextEncoding { Utf8, Gb18030 };

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // Maps a port number to its device, asked at each open; the default is portmap's table.
    void setPortResolver(PortResolver resolver);
    // Makes the socket of each network connection; the default is a plain QTcpSocket.
    void setSocketFactory(SocketFactory factory);

    [[nodiscard]] int CommPort() const;
    // n < 1 is refused, and so is any change while the port is open; the number stays.
    [[nodiscard]] int setCommPort(int n);

    [[nodiscard]] QString Settings() const;
    // Parsed at once. A refused string (unparsable, or one the open device cannot take: then
    // SetCommStateFailed, the port stays open) leaves the previous one in place.
    [[nodiscard]] int setSettings(const QString &s);

    [[nodiscard]] bool PortOpen() const;
    // Closing an open port throws away whatever was received and not yet read. What a lost
    // device left unread stays readable until the next close, an open in between included.
    // Closing a closed port is 0, and so is closing one that is still connecting: that stops the
    // attempt, which then finishes with DeviceUnavailable.
    // Opening a network port waits for the connection (at most NetLink::OpenTimeoutMs) with the
    // event loop running, without user input: the window keeps painting and receiving.
    [[nodiscard]] int setPortOpen(bool open);
    // Opens without waiting: an error number when the open failed at once, 0 when the port is
    // open or still connecting; a port that was connecting then announces openFinished().
    [[nodiscard]] int beginOpen();
    [[nodiscard]] bool opening() const { return m_opening; }
    // While set, other programs may open the local device too: the exclusive hold the serial
    // library takes at each open is released. Applies at once and to every later open.
    void setShared(bool shared);
    [[nodiscard]] bool shared() const { return m_shared; }
    // Whether a board's stream may be read on a timer of the link's own rather than at every
    // read (on by default): a file transfer turns it off, as its protocol answers every block.
    // Applies at once and to every later open.
    void setStreamGathering(bool allowed);
    [[nodiscard]] bool streamGathering() const { return m_streamGathering; }
    // Stops reading the open local device, so that another program that opened it gets what
    // arrives; what came before stays readable. False on the network or when closed. Line
    // settings set meanwhile reach the device on resume, and what the other program changed
    // on the line is put back then.
    [[nodiscard]] bool pauseReading();
    void resumeReading();
    [[nodiscard]] bool readingPaused() const;
    // Closes the open local device for another program, leaving the line (its settings and
    // control lines) as that program set it and the last close of the device to it. What was
    // received and not yet read stays readable, as after a lost device. PortNotOpen on the
    // network or when closed.
    [[nodiscard]] int lend();
    // Whether the open (or opening) port is on the network; while closed, whether the port's
    // number maps to a network address.
    [[nodiscard]] bool isNetwork() const;
    // Why the last network open failed, or the open network port went away.
    [[nodiscard]] netport::Failure networkFailure() const { return m_netFailure; }
    [[nodiscard]] QString networkFailureText() const { return m_netFailureText; }

    [[nodiscard]] TextEncoding textEncoding() const { return m_encoding; }
    // Acts from the next Input and Output on.
    void setTextEncoding(TextEncoding encoding);

    [[nodiscard]] int InputMode() const;
    void setInputMode(int mode); // 0 text, 1 bytes; other values are ignored
    void setInputLen(int n);     // 0: the next Input takes everything waiting, up to one block
    // Text mode: a QString decoded with the text encoding; a character split between two blocks
    // comes whole with the second (so a block can run up to three bytes past a small InputLen).
    // Byte mode: a QByteArray. Never more than 4096 bytes; the rest follows with the next event.
    [[nodiscard]] QVariant Input();
    // Bytes received and not yet given out by Input.
    [[nodiscard]] int InBufferCount() const;
    [[nodiscard]] int CommEvent() const;

    // QString goes out in the text encoding, QByteArray as it is. Queued without limit; callers
    // that send on their own watch OutBufferCount.
    [[nodiscard]] int Output(const QVariant &data);
    // Bytes queued by Output and not yet taken by the device.
    [[nodiscard]] qint64 OutBufferCount() const;

    [[nodiscard]] QString devicePath() const; // empty when closed
    // The open device's file descriptor, -1 when closed or on the network: for the modem
    // control lines.
    [[nodiscard]] int handle() const;
    // A network port's control lines, sent as RFC 2217 SET-CONTROL: false where the port cannot
    // carry them (raw TCP, or not open).
    [[nodiscard]] bool sendControlLines(bool dtr, bool rts);
    // A network port's break, sent as RFC 2217 SET-CONTROL; false where it cannot be.
    [[nodiscard]] bool sendBreak(bool on);
    // After SetCommStateFailed: the setting the device (or Linux) refused.
    using Refused = RefusedSetting;
    [[nodiscard]] Refused refusedSetting() const { return m_refused; }

signals:
    void OnComm();                // CommEvent 2: at least one received byte waits
    void deviceLost();            // the device went away while open; the port is closed already
    void openFinished(int error); // after beginOpen() left the port connecting
    // Bytes as they came off the line, as Input takes them, whatever the mode and encoding.
    void bytesTaken(const QByteArray &bytes);

private:
    [[nodiscard]] int finishOpen(int error);
    void onLinkOpened(int error);
    [[nodiscard]] int waitForOpen();
    void closePort();
    void clearReceived();
    [[nodiscard]] bool apply(const LineSettings &settings);
    void onLinkFailed();
    void takeNetworkFailure();
    void loseDevice();
    // Keeps what the link holds, after what is kept already, before the link goes.
    void rescueUnread();
    [[nodiscard]] qint64 unreadBytes() const;
    [[nodiscard]] QByteArray takeBytes(qint64 maxBytes);
    [[nodiscard]] bool readable() const;
    void notifyIfWaiting();
    void onReadyRead();
    void deliver();

    // The connection, or null; an old one is deleted later, as it may be in one of its signals.
    QPointer<Link> m_link;
    bool m_open = false;
    bool m_opening = false;
    int m_openResult = 0;
    QTimer *m_notifyTimer;
    PortResolver m_resolver;
    SocketFactory m_socketFactory;
    netport::Failure m_netFailure = netport::Failure::None;
    QString m_netFailureText;
    int m_commPort = 1;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_settings;
    LineSettings m_inForce;
    QString m_device;
    int m_inputMode = 0;
    int m_inputLen = 0;
    int m_commEvent = 0;
    // Counts the opens, so that a device loss noticed for one connection never closes a later one.
    quint64 m_connection = 0;
    bool m_lossPending = false;
    bool m_delivering = false;
    // What a lost device had delivered before it went, given out before anything else.
    QByteArray m_rescued;
    qsizetype m_rescuedRead = 0;
    TextEncoding m_encoding = TextEncoding::Utf8;
    bool m_shared = false;
    bool m_streamGathering = true;
    Refused m_refused = Refused::None;
    // Opened once: an ICU converter costs more to open than a block costs to decode. Stateless,
    // because Input itself holds back a split character.
    QStringDecoder m_gbDecoder{"GB18030", QStringDecoder::Flag::Stateless};
    QStringEncoder m_gbEncoder{"GB18030", QStringEncoder::Flag::Stateless};
    // The start of a character whose remaining bytes have not arrived yet.
    QByteArray m_heldBack;
};
