#pragma once

#include "server/modbustask.h"

#include <QList>
#include <QModbusRtuSerialClient>
#include <QObject>
#include <QPointer>

#include <functional>

namespace server {

// Modbus RTU client that also takes the journal function's replies.
class JournalRtuClient : public QModbusRtuSerialClient {
    Q_OBJECT
public:
    using QModbusRtuSerialClient::QModbusRtuSerialClient;

protected:
    // Every request is sent raw and its reply decoded by the task code: take any well-formed
    // reply, whatever its function.
    bool processResponse(const QModbusResponse& response, QModbusDataUnit*) override {
        return response.isValid();
    }
    bool processPrivateResponse(const QModbusResponse& response, QModbusDataUnit*) override {
        return response.isValid();
    }
};

// One task waiting for or being executed on a channel.
struct ChannelJob {
    quint64 masterKey = 0; // the master that queued it
    QVariant task;
    MasterSettings settings; // the master's settings when the task was queued
    bool inplace = false;
    quint32 callId = 0; // in-place: the call to reply to
    qint32 qid = 0;
};

// An open serial channel: one QModbusRtuSerialClient, tasks executed one at a time in the order
// they were queued.
class Channel : public QObject {
    Q_OBJECT
public:
    using Deliver = std::function<void(const ChannelJob& job, const QVariantList& answer)>;

    Channel(qint32 id, const TransportSettings& settings, Deliver deliver,
            QObject* parent = nullptr);
    ~Channel() override;

    // Opens the port (name through the shared port list); false and the reason when it cannot.
    [[nodiscard]] bool open(QString* why);
    // Closes the port; waiting and running tasks are answered with "channel closed".
    void close();
    bool isOpen() const;
    qint32 id() const { return m_id; }

    // New timings (answer delay, retries) take effect for the next request; a new port, speed
    // or flow control reopens the port once no request is on the wire.
    void applySettings(const TransportSettings& settings);

    void enqueue(const ChannelJob& job);
    int waitingCount() const { return int(m_waiting.size()); }
    static constexpr int kMaxWaiting = 100000;
    // Drops waiting tasks the predicate selects (not the one on the wire).
    int removeWaiting(const std::function<bool(const ChannelJob&)>& which);

signals:
    // The port failed while open (unplugged adapter, closed pty).
    void portLost();

private:
    void startNext();
    void reopen();
    void finish(const ChannelJob& job, const TaskPlan& plan, const TaskOutcome& outcome);

    qint32 m_id;
    TransportSettings m_settings;
    Deliver m_deliver;
    JournalRtuClient* m_client = nullptr;
    QList<ChannelJob> m_waiting;
    bool m_busy = false;
    ChannelJob m_current;
    TaskPlan m_currentPlan;
    QPointer<QModbusReply> m_reply;
    quint64 m_crcDiscardsAtSend = 0;
    bool m_closing = false;
    bool m_reopenPending = false;
};

} // namespace server
