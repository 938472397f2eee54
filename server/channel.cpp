// SPDX-License-Identifier: MIT
#include "server/channel.h"

#include "platform/endpoint.h"
#include "platform/portlist.h"
#include "server/tcplinebridge.h"

#include <QHash>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

namespace server {
namespace {

using namespace std::chrono;

// How often the port is read while the channel listens out late answers.
constexpr int kListenTickMs = 2;

// Until when answers may still arrive on a device (by its identity) that a channel closed in the
// middle of a task: a client cut off leaves its answer to whoever opens the port next.
QHash<QString, std::chrono::steady_clock::time_point>& answersOwed() {
    static QHash<QString, std::chrono::steady_clock::time_point> owed;
    return owed;
}

// Opens the Qt client's port at its settings; false when it cannot.
bool connectClient(QModbusRtuSerialClient* client, quint32 flowControl) {
    if (!client->connectDevice() || client->state() != QModbusDevice::ConnectedState)
        return false;
    if (auto* port = qobject_cast<QSerialPort*>(client->device()))
        port->setFlowControl(flowControl == 1 ? QSerialPort::HardwareControl
                                              : QSerialPort::NoFlowControl);
    return true;
}

} // namespace

Channel::Channel(qint32 id, const TransportSettings& settings, Deliver deliver, QObject* parent)
    : QObject(parent), m_id(id), m_settings(settings), m_deliver(std::move(deliver)) {
    m_listenTimer.setTimerType(Qt::PreciseTimer);
    m_listenTimer.setInterval(kListenTickMs);
    connect(&m_listenTimer, &QTimer::timeout, this, &Channel::listenTick);
}

Channel::~Channel() {
    close();
}

bool Channel::open(QString* why) {
    const QString device = platform::PortList::devicePathForName(m_settings.port);
    if (device.isEmpty()) {
        if (why)
            *why = QStringLiteral("unknown port %1").arg(m_settings.port);
        return false;
    }
    const bool network = platform::isNetworkEndpoint(device);
    if (!network && !m_lock.acquire(device, why))
        return false;
    m_identity = network ? QString() : platform::DeviceLock::lockFilePath(device);
    m_client = makeClient(device, why);
    if (!m_client) {
        m_lock.release();
        return false;
    }
    watch(m_client);
    listenUntilQuiet();
    return true;
}

QModbusClient* Channel::makeClient(const QString& device, QString* why) {
    if (!platform::isNetworkEndpoint(device))
        return makeSerialClient(device, why);
    QString error;
    const auto endpoint = platform::parseNetworkEndpoint(device, &error);
    QModbusClient* client = nullptr;
    if (endpoint && endpoint->framing == platform::NetworkEndpoint::Framing::RtuOverTcp)
        client = makeBridgedClient(*endpoint, &error);
    else if (endpoint)
        client = makeTcpClient(*endpoint, &error);
    if (!client && why)
        *why = error;
    return client;
}

QModbusClient* Channel::makeTcpClient(const platform::NetworkEndpoint& endpoint, QString* why) {
    auto* client = new JournalTcpClient(this);
    client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, endpoint.host);
    client->setConnectionParameter(QModbusDevice::NetworkPortParameter, endpoint.port);
    configure(client);
    auto* socket = client->connectDevice() ? qobject_cast<QTcpSocket*>(client->device()) : nullptr;
    // The connection is made within the connect time limit, the server waiting meanwhile.
    if (socket && socket->state() != QAbstractSocket::ConnectedState)
        socket->waitForConnected(platform::kDefaultConnectLimitMs);
    if (client->state() == QModbusDevice::ConnectedState)
        return client;
    *why = QStringLiteral("cannot connect to %1: %2")
               .arg(endpoint.text(), socket ? socket->errorString() : client->errorString());
    delete client;
    return nullptr;
}

QModbusClient* Channel::makeBridgedClient(const platform::NetworkEndpoint& endpoint, QString* why) {
    auto bridge = std::make_unique<TcpLineBridge>();
    QString error;
    if (!bridge->open(endpoint, platform::kDefaultConnectLimitMs, &error)) {
        if (why)
            *why = error;
        return nullptr;
    }
    QModbusClient* client = makeSerialClient(bridge->linePath(), why);
    if (!client)
        return nullptr;
    connect(bridge.get(), &TcpLineBridge::lost, this, [this] {
        if (!m_closing)
            QTimer::singleShot(0, this, [this] { emit portLost(); });
    });
    m_bridge = std::move(bridge);
    return client;
}

QModbusClient* Channel::makeSerialClient(const QString& device, QString* why) {
    auto* client = new JournalRtuClient(this);
    client->setConnectionParameter(QModbusDevice::SerialPortNameParameter, device);
    client->setConnectionParameter(QModbusDevice::SerialBaudRateParameter,
                                   baudRateForOrdinal(m_settings.speed));
    client->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    client->setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
    client->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    configure(client);
    if (connectClient(client, m_settings.flowControl))
        return client;
    if (why)
        *why = QStringLiteral("cannot open %1: %2").arg(device, client->errorString());
    delete client;
    return nullptr;
}

void Channel::configure(QModbusClient* client) const {
    client->setTimeout(qMax(10, m_settings.answerDelay));
    client->setNumberOfRetries(0); // the channel makes the tries itself
}

void Channel::watch(QModbusClient* client) {
    connect(client, &QModbusDevice::errorOccurred, this, [this](QModbusDevice::Error e) {
        if (e == QModbusDevice::ConnectionError && !m_closing)
            QTimer::singleShot(0, this, [this] { emit portLost(); });
    });
}

bool Channel::isOpen() const {
    return m_client && m_client->state() == QModbusDevice::ConnectedState;
}

void Channel::applySettings(const TransportSettings& settings) {
    const bool lineChanged = settings.port != m_settings.port ||
                             settings.speed != m_settings.speed ||
                             settings.flowControl != m_settings.flowControl;
    m_settings = settings;
    if (!m_client)
        return;
    configure(m_client);
    if (lineChanged && isOpen()) {
        // The port takes new line settings between requests.
        m_reopenPending = true;
        if (!m_busy && !m_listening)
            reopen();
    }
}

void Channel::reopen() {
    m_reopenPending = false;
    const QString device = platform::PortList::devicePathForName(m_settings.port);
    const bool network = platform::isNetworkEndpoint(device);
    m_client->disconnectDevice();
    m_lock.release();
    m_identity = network ? QString() : platform::DeviceLock::lockFilePath(device);
    QModbusClient* next = nullptr;
    if (!device.isEmpty() && (network || m_lock.acquire(device)))
        next = makeClient(device, nullptr);
    if (!next) {
        // The old client stays, closed, until the channel is closed.
        QTimer::singleShot(0, this, [this] { emit portLost(); });
        return;
    }
    m_client->disconnect(this);
    m_client->deleteLater();
    m_client = next;
    watch(m_client);
    listenUntilQuiet();
}

void Channel::close() {
    if (!m_client || m_closing)
        return;
    m_closing = true;
    // A request on the wire, or answers being listened out, may still be answered.
    if (m_ledger && m_ledger->due() > 0 && !m_identity.isEmpty()) {
        auto& until = answersOwed()[m_identity];
        until = std::max(until, m_late ? m_late->deadline() : m_ledger->settledBy(Clock::now()));
    }
    stopListening();
    QList<ChannelJob> jobs;
    if (m_busy) {
        if (m_reply) {
            m_reply->disconnect(this);
            m_reply->deleteLater();
        }
        m_busy = false;
        jobs.append(m_current);
    }
    jobs.append(m_waiting);
    m_waiting.clear();
    m_client->disconnect(this);
    m_client->disconnectDevice();
    m_client->deleteLater();
    m_client = nullptr;
    m_bridge.reset();
    m_lock.release();
    for (const ChannelJob& job : jobs) {
        const TaskPlan plan = planTask(job.task, job.settings);
        TaskOutcome outcome;
        outcome.result = rcChannelClosed;
        m_deliver(job, answerArray(plan, outcome));
    }
    m_closing = false;
}

void Channel::enqueue(const ChannelJob& job) {
    m_waiting.append(job);
    startNext();
}

int Channel::removeWaiting(const std::function<bool(const ChannelJob&)>& which) {
    return int(m_waiting.removeIf(which));
}

void Channel::startNext() {
    while (!m_busy && !m_listening && !m_waiting.isEmpty() && m_client && isOpen()) {
        m_current = m_waiting.takeFirst();
        m_currentPlan = planTask(m_current.task, m_current.settings);
        if (m_currentPlan.result != rcOk) {
            finish(m_current, m_currentPlan, TaskOutcome{QVariant(), m_currentPlan.result});
            continue;
        }
        m_ledger.emplace(milliseconds(qMax(10, m_settings.answerDelay)), slack());
        if (!sendTry())
            finish(m_current, m_currentPlan, TaskOutcome{QVariant(), sendFailure()});
    }
}

qint32 Channel::sendFailure() const {
    const qint32 rc = m_client ? resultForError(m_client->error(), 0) : rcChannelClosed;
    return rc == rcOk ? rcChannelClosed : rc;
}

bool Channel::sendTry() {
    QModbusReply* reply = m_client->sendRawRequest(m_currentPlan.request, m_currentPlan.address);
    if (!reply)
        return false;
    m_ledger->sent(Clock::now());
    m_busy = true;
    m_reply = reply;
    if (reply->isFinished())
        QTimer::singleShot(0, this, [this, reply] { tryFinished(reply); });
    else
        connect(reply, &QModbusReply::finished, this, [this, reply] { tryFinished(reply); });
    return true;
}

void Channel::tryFinished(QModbusReply* reply) {
    if (reply != m_reply)
        return;
    m_busy = false;
    m_reply = nullptr;
    reply->deleteLater();
    const QModbusDevice::Error error = reply->error();
    // The client drops a frame of this channel's line whose CRC is wrong and notes it on the
    // request's reply; the request then ends as a time-out.
    const bool garbled = error == QModbusDevice::TimeoutError &&
                         reply->intermediateErrors().contains(QModbusDevice::ResponseCrcError);
    // A reply, an exception or a garbled frame is the answer to one of the tries; a time-out
    // without any leaves an answer due.
    if (error == QModbusDevice::NoError || error == QModbusDevice::ProtocolError || garbled)
        m_ledger->answered(Clock::now(), garbled);
    TaskOutcome outcome;
    if (error == QModbusDevice::NoError)
        outcome = decodeReply(m_currentPlan, reply->rawResult());
    else if (garbled)
        outcome.result = rcCrc;
    else
        outcome.result = resultForError(error, int(reply->rawResult().exceptionCode()));
    if (error == QModbusDevice::TimeoutError && m_ledger->tries() <= qMax(0, m_settings.retries) &&
        isOpen()) {
        if (sendTry())
            return;
        outcome = TaskOutcome{QVariant(), sendFailure()};
    }
    finish(m_current, m_currentPlan, outcome);
    // Delivering the outcome may close the channel (a client cut off for not reading), which
    // drops the ledger: look at it only while the channel is open.
    if (isOpen() && m_ledger && m_ledger->due() > 0) {
        listenForLateAnswers();
        return;
    }
    m_ledger.reset();
    if (m_reopenPending && m_client)
        reopen();
    startNext();
}

// Listening has ended: the next task goes out (after a reopen that waited for the line).
void Channel::resume() {
    stopListening();
    if (m_reopenPending && m_client)
        reopen();
    startNext();
}

ombrel::AnswerLedger::ms Channel::slack() const {
    // The character time-out and the wire time of the longest frame (260 bytes).
    const qint32 baud = qMax(1, baudRateForOrdinal(m_settings.speed));
    return milliseconds(qMax(0, m_settings.byteTimeout) + 10 + 2600 * 1000 / baud);
}

void Channel::listenForLateAnswers() {
    const auto fc = quint8(m_currentPlan.request.functionCode());
    m_late.emplace(*m_ledger, quint8(m_currentPlan.address), fc, Clock::now());
    startListening();
}

void Channel::listenUntilQuiet() {
    // Until the line has been quiet for an answer time (at most two), and in any case until the
    // answers a closed channel left on the device may have come.
    const auto answer = milliseconds(qMax(10, m_settings.answerDelay));
    m_late.reset();
    m_lastByte = Clock::now();
    m_owedUntil = answersOwed().take(m_identity);
    m_quietCap = std::max(m_lastByte + 2 * answer, m_owedUntil);
    startListening();
}

void Channel::startListening() {
    auto* port = m_client ? qobject_cast<QSerialPort*>(m_client->device()) : nullptr;
    if (!port) {
        // A TCP connection: answers carry their transaction id, nothing to listen out.
        resume();
        return;
    }
    m_listening = true;
    port->blockSignals(true);
    m_listenTimer.start();
}

void Channel::listenTick() {
    auto* port = m_client ? qobject_cast<QSerialPort*>(m_client->device()) : nullptr;
    if (!m_listening || !port)
        return;
    const auto now = Clock::now();
    const QByteArray bytes = port->readAll();
    if (!port->isOpen() ||
        (port->error() != QSerialPort::NoError && port->error() != QSerialPort::TimeoutError)) {
        // The port failed while its signals were held back: nobody else has heard of it.
        stopListening();
        QTimer::singleShot(0, this, [this] { emit portLost(); });
        return;
    }
    bool done;
    if (m_late) {
        m_late->take(bytes, now);
        done = m_late->done(now);
    } else {
        if (!bytes.isEmpty())
            m_lastByte = now;
        const auto quiet = milliseconds(qMax(10, m_settings.answerDelay));
        done = now >= m_owedUntil && (now - m_lastByte >= quiet || now >= m_quietCap);
    }
    if (done)
        resume();
}

void Channel::stopListening() {
    m_listenTimer.stop();
    if (m_listening && m_client)
        if (auto* port = qobject_cast<QSerialPort*>(m_client->device())) {
            port->readAll(); // whatever came is stale
            port->blockSignals(false);
        }
    m_listening = false;
    m_late.reset();
    m_ledger.reset();
}

void Channel::finish(const ChannelJob& job, const TaskPlan& plan, const TaskOutcome& outcome) {
    m_deliver(job, answerArray(plan, outcome));
}

} // namespace server
