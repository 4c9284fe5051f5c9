#include "port/mscomm.h"

#include "port/port_map.h"
#include "port/tty_link.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

// MSComm's buffer size, kept as the largest block one Input gives out.
constexpr qint64 blockSize = 4096;

// How long waiting blocks are handed out one after another before the event loop gets its turn.
constexpr qint64 burstMs = 8;

// Length of the trailing bytes that begin a valid UTF-8 sequence but stop short of its end; they
// wait for the rest. A malformed ending is not held back: it decodes to U+FFFD at once.
qsizetype incompleteTail(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto lead = static_cast<uchar>(bytes.at(size - back));
        if ((lead & 0xC0) == 0x80)
            continue;
        const int length = lead >= 0xF0 && lead <= 0xF4   ? 4
                           : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xC2 && lead <= 0xDF ? 2
                                                          : 1;
        if (length <= back)
            return 0;
        if (back >= 2) {
            // The second byte is narrower after these leads: no overlong forms, no surrogates,
            // nothing beyond U+10FFFF.
            const auto second = static_cast<uchar>(bytes.at(size - back + 1));
            const bool ok = lead == 0xE0   ? second >= 0xA0
                            : lead == 0xED ? second <= 0x9F
                            : lead == 0xF0 ? second >= 0x90
                            : lead == 0xF4 ? second <= 0x8F
                                           : true;
            if (!ok)
                return 0;
        }
        return back;
    }
    return 0;
}

// Length of the trailing bytes that begin a GB18030 character (two bytes, or four with digits
// second and fourth) but stop short of its end. Lead and trail bytes share a range, so the
// characters are walked from the start, which is always a character boundary here.
qsizetype incompleteGb18030Tail(const QByteArray &bytes)
{
    const auto at = [&bytes](qsizetype i) { return static_cast<uchar>(bytes.at(i)); };
    const auto isDigit = [](uchar b) { return b >= 0x30 && b <= 0x39; };
    const auto isLead = [](uchar b) { return b >= 0x81 && b <= 0xFE; };
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        if (!isLead(at(i))) {
            ++i;
            continue;
        }
        if (i + 1 >= size)
            return size - i;
        if (!isDigit(at(i + 1))) {
            i += 2;
            continue;
        }
        if (i + 2 >= size)
            return size - i;
        if (!isLead(at(i + 2))) {
            i += 2;
            continue;
        }
        if (i + 3 >= size)
            return size - i;
        i += 4;
    }
    return 0;
}

} // namespace

MSComm::MSComm(QObject *parent)
    : QObject(parent), m_notifyTimer(new QTimer(this)), m_resolver(&portmap::defaultDevice),
      m_socketFactory([] { return new QTcpSocket; })
{
    // The next block is announced through the event loop, so that clicks and painting get served
    // between blocks.
    m_notifyTimer->setSingleShot(true);
    m_notifyTimer->setInterval(0);
    connect(m_notifyTimer, &QTimer::timeout, this, &MSComm::deliver);
}

MSComm::~MSComm()
{
    if (m_link)
        m_link->disconnect(this);
}

void MSComm::setPortResolver(PortResolver resolver)
{
    m_resolver = resolver ? std::move(resolver) : PortResolver(&portmap::defaultDevice);
}

void MSComm::setSocketFactory(SocketFactory factory)
{
    m_socketFactory = factory ? std::move(factory) : SocketFactory([] { return new QTcpSocket; });
}

int MSComm::CommPort() const
{
    return m_commPort;
}

int MSComm::setCommPort(int n)
{
    if (n < 1)
        return PortInvalid;
    if (m_open || m_opening)
        return PortAlreadyOpen;
    m_commPort = n;
    return NoError;
}

QString MSComm::Settings() const
{
    return m_settingsText;
}

int MSComm::setSettings(const QString &s)
{
    const std::optional<LineSettings> parsed = parseLineSettings(s);
    if (!parsed)
        return InvalidPropertyValue;
    // The window writes the same string ten times a second; only a real change reaches the
    // device, since reconfiguring a UART can glitch the line. While reading is paused the line
    // is the other program's: the change waits for the resume.
    if (m_open && *parsed != m_inForce && !m_link->readingPaused()) {
        if (!apply(*parsed)) {
            // Put back what was in force, as far as the device takes it back.
            const Refused refused = m_refused;
            (void)apply(m_inForce);
            m_refused = refused;
            return SetCommStateFailed;
        }
        m_inForce = *parsed;
    }
    m_settingsText = s;
    m_settings = *parsed;
    return NoError;
}

bool MSComm::PortOpen() const
{
    return m_open;
}

int MSComm::setPortOpen(bool open)
{
    if (!open) {
        const bool wasOpening = m_opening;
        if (m_open || m_opening) {
            closePort();
            clearReceived();
        }
        // Whoever waits for the attempt learns that it ended.
        if (wasOpening) {
            m_netFailure = netport::Failure::NoAnswer;
            m_openResult = DeviceUnavailable;
            emit openFinished(DeviceUnavailable);
        }
        return NoError;
    }
    const int error = beginOpen();
    return error == NoError && m_opening ? waitForOpen() : error;
}

int MSComm::beginOpen()
{
    if (m_open || m_opening)
        return PortAlreadyOpen;
    const QString device = m_resolver(m_commPort);
    if (device.isEmpty())
        return PortInvalid;
    m_netFailure = netport::Failure::None;
    m_netFailureText.clear();
    Link *link = nullptr;
    if (netport::isNetwork(device)) {
        const std::optional<netport::Address> address = netport::parse(device);
        if (!address) {
            m_netFailure = netport::Failure::BadAddress;
            return PortInvalid;
        }
        link = new NetLink(*address, m_socketFactory(), this);
    } else {
        link = new TtyLink(device, this);
    }
    // What a lost connection left unread stays, to be read before the new one's bytes; only a
    // close throws it away.
    m_link = link;
    m_device = device;
    m_opening = true;
    connect(link, &Link::readyRead, this, &MSComm::onReadyRead);
    connect(link, &Link::failed, this, &MSComm::onLinkFailed);
    connect(link, &Link::opened, this, &MSComm::onLinkOpened);
    link->setShared(m_shared);
    const int error = link->open();
    // A link may have announced its outcome from inside open().
    if (!m_opening)
        return m_openResult;
    if (error != NoError || link->isOpen())
        return finishOpen(error);
    return NoError;
}

bool MSComm::isNetwork() const
{
    // The open link, not the mapping, which the settings file may have changed meanwhile.
    if (m_link)
        return qobject_cast<NetLink *>(m_link.data()) != nullptr;
    return netport::isNetwork(m_resolver(m_commPort));
}

// The line settings go to the port as soon as it opens; a port that refuses them is closed.
int MSComm::finishOpen(int error)
{
    m_opening = false;
    if (error == NoError && !apply(m_settings))
        error = SetCommStateFailed;
    if (error != NoError) {
        takeNetworkFailure();
        closePort();
        m_openResult = error;
        return error;
    }
    m_open = true;
    m_inForce = m_settings;
    ++m_connection;
    m_openResult = NoError;
    return NoError;
}

void MSComm::onLinkOpened(int error)
{
    if (!m_opening || sender() != m_link)
        return;
    emit openFinished(finishOpen(error));
}

int MSComm::waitForOpen()
{
    QEventLoop loop;
    const QPointer<MSComm> alive(this);
    connect(this, &MSComm::openFinished, &loop, &QEventLoop::quit);
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!alive)
        return DeviceUnavailable;
    // The application quit meanwhile: the attempt stops as any other does.
    if (m_opening)
        (void)setPortOpen(false);
    return m_open ? NoError : m_openResult;
}

void MSComm::setShared(bool shared)
{
    m_shared = shared;
    if (m_link)
        m_link->setShared(shared);
}

bool MSComm::pauseReading()
{
    return m_open && m_link->pauseReading();
}

void MSComm::resumeReading()
{
    if (!m_open || !m_link->readingPaused())
        return;
    m_link->resumeReading();
    if (m_open && m_settings != m_inForce && apply(m_settings))
        m_inForce = m_settings;
    notifyIfWaiting();
}

bool MSComm::readingPaused() const
{
    return m_open && m_link->readingPaused();
}

int MSComm::lend()
{
    if (!m_open || !m_link->pauseReading())
        return PortNotOpen;
    rescueUnread();
    closePort();
    notifyIfWaiting();
    return NoError;
}

void MSComm::rescueUnread()
{
    m_rescued = m_rescued.mid(m_rescuedRead) + m_link->read(m_link->bytesAvailable());
    m_rescuedRead = 0;
}

void MSComm::setTextEncoding(TextEncoding encoding)
{
    m_encoding = encoding;
}

int MSComm::InputMode() const
{
    return m_inputMode;
}

void MSComm::setInputMode(int mode)
{
    if (mode != comInputModeText && mode != comInputModeBinary)
        return;
    m_inputMode = mode;
    // A character held back for text is plain bytes now, and waits to be read.
    notifyIfWaiting();
}

void MSComm::setInputLen(int n)
{
    if (n >= 0)
        m_inputLen = n;
}

QVariant MSComm::Input()
{
    const qint64 limit = m_inputLen > 0 ? std::min<qint64>(m_inputLen, blockSize) : blockSize;
    QVariant result;
    if (m_inputMode == comInputModeBinary) {
        QByteArray bytes = m_heldBack.left(limit);
        m_heldBack.remove(0, bytes.size());
        bytes += takeBytes(limit - bytes.size());
        result = bytes;
    } else {
        // Always take at least one new byte, so that a held-back start can complete even when
        // InputLen is smaller than the character.
        QByteArray bytes = m_heldBack + takeBytes(std::max<qint64>(limit - m_heldBack.size(), 1));
        const bool utf8 = m_encoding == TextEncoding::Utf8;
        const qsizetype incomplete = utf8 ? incompleteTail(bytes) : incompleteGb18030Tail(bytes);
        m_heldBack = bytes.right(incomplete);
        bytes.chop(incomplete);
        if (utf8) {
            result = QString::fromUtf8(bytes);
        } else {
            result = QString(m_gbDecoder.decode(bytes));
        }
    }
    notifyIfWaiting();
    return result;
}

int MSComm::InBufferCount() const
{
    return int(std::min<qint64>(unreadBytes() + m_heldBack.size(), INT_MAX));
}

int MSComm::CommEvent() const
{
    return m_commEvent;
}

int MSComm::Output(const QVariant &data)
{
    if (!m_open)
        return PortNotOpen;
    QByteArray bytes;
    if (data.typeId() == QMetaType::QString && m_encoding == TextEncoding::Utf8)
        bytes = data.toString().toUtf8();
    else if (data.typeId() == QMetaType::QString)
        bytes = m_gbEncoder.encode(data.toString());
    else if (data.typeId() == QMetaType::QByteArray)
        bytes = data.toByteArray();
    else
        return InvalidPropertyValue;
    if (!m_link->write(bytes)) {
        loseDevice();
        return DeviceLost;
    }
    return NoError;
}

qint64 MSComm::OutBufferCount() const
{
    return m_open ? m_link->bytesToWrite() : 0;
}

QString MSComm::devicePath() const
{
    return m_device;
}

int MSComm::handle() const
{
    return m_open ? m_link->handle() : -1;
}

bool MSComm::sendControlLines(bool dtr, bool rts)
{
    return m_open && m_link->sendControlLines(dtr, rts);
}

bool MSComm::sendBreak(bool on)
{
    return m_open && m_link->sendBreak(on);
}

void MSComm::closePort()
{
    if (m_link) {
        m_link->disconnect(this);
        m_link->close();
        m_link->deleteLater();
    }
    m_link = nullptr;
    m_open = false;
    m_opening = false;
    m_device.clear();
    m_lossPending = false;
}

void MSComm::clearReceived()
{
    m_notifyTimer->stop();
    m_rescued.clear();
    m_rescuedRead = 0;
    m_heldBack.clear();
}

bool MSComm::apply(const LineSettings &settings)
{
    // Neither QSerialPort nor RFC 2217 has 4 data bits, though the Windows control took them.
    m_refused = settings.dataBits < 5 ? Refused::DataBits : m_link->apply(settings);
    return m_refused == Refused::None;
}

// Why a network link failed, kept once the link is gone.
void MSComm::takeNetworkFailure()
{
    if (auto *net = qobject_cast<NetLink *>(m_link.data())) {
        m_netFailure = net->failure();
        m_netFailureText = net->failureText();
    }
}

void MSComm::onLinkFailed()
{
    if (!m_open || m_lossPending || sender() != m_link)
        return;
    m_lossPending = true;
    // The failure is raised from inside the link's own notifier, which closing would tear down
    // under it; close on the next pass of the event loop, for this connection only.
    QTimer::singleShot(0, this, [this, connection = m_connection] {
        if (connection == m_connection)
            loseDevice();
    });
}

void MSComm::loseDevice()
{
    if (!m_open)
        return;
    takeNetworkFailure();
    // Everything received before the loss stays readable, and is announced like any arrival.
    rescueUnread();
    closePort();
    emit deviceLost();
    notifyIfWaiting();
}

qint64 MSComm::unreadBytes() const
{
    const qint64 rescued = m_rescued.size() - m_rescuedRead;
    return rescued + (m_open ? m_link->bytesAvailable() : 0);
}

QByteArray MSComm::takeBytes(qint64 maxBytes)
{
    QByteArray bytes;
    if (maxBytes <= 0)
        return bytes;
    if (m_rescuedRead < m_rescued.size()) {
        bytes = m_rescued.mid(m_rescuedRead, maxBytes);
        m_rescuedRead += bytes.size();
        if (m_rescuedRead == m_rescued.size()) {
            m_rescued.clear();
            m_rescuedRead = 0;
        }
    }
    if (bytes.size() < maxBytes && m_open)
        bytes += m_link->read(maxBytes - bytes.size());
    if (!bytes.isEmpty())
        emit bytesTaken(bytes);
    return bytes;
}

// Announces waiting bytes once. An Input that leaves bytes behind asks again, so a handler that
// reads gets block after block, while one that reads nothing is not called in a loop.
void MSComm::notifyIfWaiting()
{
    if (readable() && !m_notifyTimer->isActive())
        m_notifyTimer->start();
}

// A block that finds nothing waiting before it is handed out at once, without another pass of
// the event loop: at a few hundred small reads a second that pass is much of what an arrival
// costs. Blocks that queue up behind it go through the event loop as before.
void MSComm::onReadyRead()
{
    if (m_delivering || m_notifyTimer->isActive())
        return;
    deliver();
}

// A held-back partial character counts only in byte mode: text mode cannot give it out yet.
bool MSComm::readable() const
{
    return unreadBytes() > 0 || (m_inputMode == comInputModeBinary && !m_heldBack.isEmpty());
}

// Blocks that wait go out one after another for a few milliseconds, then the event loop runs:
// clicks are still served at once, and a fast stream costs the window one repaint per burst
// instead of one per block.
void MSComm::deliver()
{
    const QScopedValueRollback<bool> delivering(m_delivering, true);
    QElapsedTimer burst;
    burst.start();
    while (readable()) {
        m_commEvent = comEvReceive;
        emit OnComm();
        // Input re-arms the timer when bytes remain; a handler that did not read waits for it.
        if (!m_notifyTimer->isActive() || burst.elapsed() >= burstMs)
            return;
        m_notifyTimer->stop();
    }
}
