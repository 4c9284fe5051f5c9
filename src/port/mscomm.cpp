#include "port/mscomm.h"

#include "port/port_map.h"
#include "port/tty_link.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

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
    link->setStreamGathering(m_streamGathering);
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

void MSComm::setStreamGathering(bool allowed)
{
    m_streamGathering = allowed;
    if (m_link)
        m_link->setStreamGathering(allowed);
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

void MSComm::setTextEncoding(TextEncoding encoding)
{
    m_encoding = encoding;
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
