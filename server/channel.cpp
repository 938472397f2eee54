#include "server/channel.h"

#include "platform/portlist.h"
#include "server/modbusext.h"

#include <QSerialPort>
#include <QTimer>

namespace server {

Channel::Channel(qint32 id, const TransportSettings& settings, Deliver deliver, QObject* parent)
    : QObject(parent), m_id(id), m_settings(settings), m_deliver(std::move(deliver)) {}

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
    m_client = new JournalRtuClient(this);
    m_client->setConnectionParameter(QModbusDevice::SerialPortNameParameter, device);
    m_client->setConnectionParameter(QModbusDevice::SerialBaudRateParameter,
                                     baudRateForOrdinal(m_settings.speed));
    m_client->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    m_client->setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
    m_client->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    applySettings(m_settings);
    if (!m_client->connectDevice() || m_client->state() != QModbusDevice::ConnectedState) {
        if (why)
            *why = QStringLiteral("cannot open %1: %2").arg(device, m_client->errorString());
        delete m_client;
        m_client = nullptr;
        return false;
    }
    if (auto* port = qobject_cast<QSerialPort*>(m_client->device()))
        port->setFlowControl(m_settings.flowControl == 1 ? QSerialPort::HardwareControl
                                                         : QSerialPort::NoFlowControl);
    connect(m_client, &QModbusDevice::errorOccurred, this, [this](QModbusDevice::Error e) {
        if (e == QModbusDevice::ConnectionError && !m_closing)
            QTimer::singleShot(0, this, [this] { emit portLost(); });
    });
    return true;
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
    m_client->setTimeout(qMax(10, settings.answerDelay));
    m_client->setNumberOfRetries(qMax(0, settings.retries));
    if (lineChanged && isOpen()) {
        // The port takes new line settings between requests.
        m_reopenPending = true;
        if (!m_busy)
            reopen();
    }
}

void Channel::reopen() {
    m_reopenPending = false;
    const QString device = platform::PortList::devicePathForName(m_settings.port);
    m_client->disconnectDevice();
    m_client->setConnectionParameter(QModbusDevice::SerialPortNameParameter, device);
    m_client->setConnectionParameter(QModbusDevice::SerialBaudRateParameter,
                                     baudRateForOrdinal(m_settings.speed));
    if (device.isEmpty() || !m_client->connectDevice() ||
        m_client->state() != QModbusDevice::ConnectedState) {
        QTimer::singleShot(0, this, [this] { emit portLost(); });
        return;
    }
    if (auto* port = qobject_cast<QSerialPort*>(m_client->device()))
        port->setFlowControl(m_settings.flowControl == 1 ? QSerialPort::HardwareControl
                                                         : QSerialPort::NoFlowControl);
}

void Channel::close() {
    if (!m_client || m_closing)
        return;
    m_closing = true;
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
    while (!m_busy && !m_waiting.isEmpty() && m_client && isOpen()) {
        const ChannelJob job = m_waiting.takeFirst();
        const TaskPlan plan = planTask(job.task, job.settings);
        if (plan.result != rcOk) {
            finish(job, plan, TaskOutcome{QVariant(), plan.result});
            continue;
        }
        m_crcDiscardsAtSend = crcDiscards();
        QModbusReply* reply = m_client->sendRawRequest(plan.request, plan.address);
        if (!reply) {
            finish(job, plan,
                   TaskOutcome{QVariant(), resultForError(m_client->error(), 0) == rcOk
                                               ? rcChannelClosed
                                               : resultForError(m_client->error(), 0)});
            continue;
        }
        m_busy = true;
        m_current = job;
        m_currentPlan = plan;
        m_reply = reply;
        auto done = [this, reply] {
            if (reply != m_reply)
                return;
            m_busy = false;
            m_reply = nullptr;
            TaskOutcome outcome;
            if (reply->error() == QModbusDevice::NoError)
                outcome = decodeReply(m_currentPlan, reply->rawResult());
            else if (reply->error() == QModbusDevice::TimeoutError &&
                     crcDiscards() != m_crcDiscardsAtSend)
                outcome.result = rcCrc; // a reply came, but with a wrong CRC
            else
                outcome.result =
                    resultForError(reply->error(), int(reply->rawResult().exceptionCode()));
            reply->deleteLater();
            const ChannelJob finished = m_current;
            finish(finished, m_currentPlan, outcome);
            if (m_reopenPending && m_client)
                reopen();
            startNext();
        };
        if (reply->isFinished())
            QTimer::singleShot(0, this, done);
        else
            connect(reply, &QModbusReply::finished, this, done);
    }
}

void Channel::finish(const ChannelJob& job, const TaskPlan& plan, const TaskOutcome& outcome) {
    m_deliver(job, answerArray(plan, outcome));
}

} // namespace server
