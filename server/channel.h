// SPDX-License-Identifier: MIT
#pragma once

#include "accesslib/frames/answerledger.h"
#include "platform/devicelock.h"
#include "platform/endpoint.h"
#include "server/modbustask.h"

#include <QList>
#include <QModbusRtuSerialClient>
#include <QModbusTcpClient>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace server {

class TcpLineBridge;

// A Qt Modbus client (RTU on a serial line, or Modbus TCP) that also takes the journal
// function's replies.
template <class Base> class JournalClient : public Base {
public:
    using Base::Base;

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
using JournalRtuClient = JournalClient<QModbusRtuSerialClient>;
using JournalTcpClient = JournalClient<QModbusTcpClient>;

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
// they were queued. A port mapped to a Modbus TCP endpoint (tcp://, platform/endpoint.h) gets a
// QModbusTcpClient instead, with the same task semantics; its answers carry their transaction
// id, so there is nothing to listen out. RTU frames over TCP (rtu+tcp://) go through a local
// line bridged to the connection (TcpLineBridge), so everything below holds for them as well.
//
// An RTU answer carries no request number, and Qt's client takes any answer of the right server
// and function that comes while a request waits. So the channel makes the tries of a task itself
// (one request each) and keeps count of the answers still due; when a task ends with answers
// due (a try timed out), the channel listens them out before the next task, dropping them. A
// channel just opened listens until the line has been quiet for an answer time: another
// program may have left an answer on its way; and a channel of this server closed in the middle
// of a task (its client cut off) leaves a time until which the next channel on the device
// listens in any case.
class Channel : public QObject {
    Q_OBJECT
public:
    using Deliver = std::function<void(const ChannelJob& job, const QVariantList& answer)>;

    Channel(qint32 id, const TransportSettings& settings, Deliver deliver,
            QObject* parent = nullptr);
    ~Channel() override;

    // Opens the port (name through the shared port list); false and the reason when it cannot
    // (among them another reader holding the device under any name, platform::DeviceLock, and
    // an endpoint that does not accept the connection within 3 s).
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
    using Clock = ombrel::AnswerLedger::Clock;

    void startNext();
    bool sendTry();
    qint32 sendFailure() const; // result code of a request the client would not take
    void tryFinished(QModbusReply* reply);
    void reopen();
    // A client for the device or endpoint, set up and connected; nullptr and why when the
    // connection cannot be made.
    QModbusClient* makeClient(const QString& device, QString* why);
    QModbusClient* makeSerialClient(const QString& device, QString* why);
    QModbusClient* makeTcpClient(const platform::NetworkEndpoint& endpoint, QString* why);
    // RTU frames over TCP: Qt's RTU client on the local line of a TcpLineBridge (m_bridge).
    QModbusClient* makeBridgedClient(const platform::NetworkEndpoint& endpoint, QString* why);
    void configure(QModbusClient* client) const;
    void watch(QModbusClient* client);
    void finish(const ChannelJob& job, const TaskPlan& plan, const TaskOutcome& outcome);
    // Listening: the port's signals are held back from Qt's client (which would keep the bytes
    // to itself) and the port is read on a timer until the listening is done.
    void listenForLateAnswers();
    void listenUntilQuiet();
    void startListening();
    void listenTick();
    void stopListening();
    void resume();
    ombrel::AnswerLedger::ms slack() const;

    qint32 m_id;
    TransportSettings m_settings;
    Deliver m_deliver;
    QModbusClient* m_client = nullptr;
    std::unique_ptr<TcpLineBridge> m_bridge; // the line of m_client on an rtu+tcp endpoint
    platform::DeviceLock m_lock;             // of the device the client has open
    QList<ChannelJob> m_waiting;
    bool m_busy = false;
    ChannelJob m_current;
    TaskPlan m_currentPlan;
    QPointer<QModbusReply> m_reply;
    bool m_closing = false;
    bool m_reopenPending = false;

    std::optional<ombrel::AnswerLedger> m_ledger; // of the task on the wire (or just ended)
    std::optional<ombrel::LateAnswerListener> m_late;
    bool m_listening = false;
    Clock::time_point m_lastByte{}, m_quietCap{}, m_owedUntil{}; // listening for quiet
    QString m_identity; // of the device (platform::DeviceLock::lockFilePath)
    QTimer m_listenTimer;
};

} // namespace server
