// SPDX-License-Identifier: MIT
#pragma once

// The simulator on the network: a TCP port in front of its line, with the delay of a long
// network path, as a transparent bridge or as a Modbus TCP gateway of one of the kinds the
// field has. Private to the simulator; the objects live in the thread of the network front.
#include "sim/simulator.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class QIODevice;
class QTcpSocket;

namespace sim {

// One direction of a network path: runs each action the same time after it was put in, in the
// order put in, so that packets in flight overlap as on a real link.
class DelayLine : public QObject {
public:
    DelayLine(int delayMs, QObject* parent);
    void put(std::function<void()> action);

private:
    using Clock = std::chrono::steady_clock;
    void fire();
    void arm();

    std::chrono::milliseconds m_delay;
    std::deque<std::pair<Clock::time_point, std::function<void()>>> m_queue;
    QTimer m_timer;
};

// The TCP side of the network front: a port that serves one connection at a time (a new one
// replaces the old, as a serial device server does when a master reconnects), each packet
// delayed by the network delay in each direction.
class NetworkFront : public QObject {
public:
    bool listen(const QHostAddress& address, quint16 port, QString* why);
    quint16 port() const { return m_server.serverPort(); }

protected:
    NetworkFront(int delayMs, QObject* parent);
    // A new connection replaced the old one.
    virtual void connected() {}
    // Bytes of the connection, after the network delay (only while it is the current one).
    virtual void received(const QByteArray& bytes) = 0;
    // Sends bytes to the current connection after the network delay, if it is still current then.
    void send(const QByteArray& bytes);
    // Closes the current connection: what is still on its way goes nowhere, and the close
    // reaches the client after the network delay.
    void closeClient();
    // Which connection is the current one (each new one counts up).
    int connection() const { return m_connection; }

private:
    void accept();

    QTcpServer m_server;
    DelayLine m_up, m_down;
    QPointer<QTcpSocket> m_client;
    int m_connection = 0;
};

// A transparent bridge: the bytes of the connection go to a line and back. On Modbus TCP the line
// is a loopback connection to Qt's Modbus TCP server, whose frames of answers the fault plan
// withheld (a PDU of function 0) are dropped.
class TcpBridge : public NetworkFront {
public:
    TcpBridge(QIODevice* line, bool modbusTcp, int delayMs, QObject* parent);

private:
    void received(const QByteArray& bytes) override;
    void toClient(const QByteArray& bytes);

    QIODevice* m_line;
    bool m_modbusTcp;
    QByteArray m_frames; // Modbus TCP frames of the server, whole ones forwarded
};

// A Modbus TCP gateway in front of the instrument's serial line (the pty line, paced at the
// line's baud rate): it turns each request into an RTU frame, plays it onto the line after the
// 3.5-character silence, waits for the answer (the wire time of the request and kWaitMs, and
// kWaitMs after each byte of an answer under way) and sends a whole answer of the addressed unit
// with a right CRC back under the request's transaction id; anything else on the line is no
// answer. How it takes a request that comes while it serves one is its model (GatewayModel).
class ModbusGateway : public NetworkFront {
public:
    static constexpr int kWaitMs = 500;

    ModbusGateway(QIODevice* line, GatewayModel model, int baud, int delayMs, QObject* parent);

private:
    using Clock = std::chrono::steady_clock;
    struct Request {
        int connection = 0;
        quint16 transaction = 0;
        quint8 unit = 0;
        QByteArray pdu; // function code and data
    };

    void connected() override;
    void received(const QByteArray& bytes) override;
    void admit(const Request& request);
    void serveNext();
    void fromLine();
    void finish(const std::optional<QByteArray>& pdu);

    QIODevice* m_line;
    GatewayModel m_model;
    int m_baud;
    QByteArray m_inbox; // what the client sent that makes no whole frame yet
    std::deque<Request> m_queue;
    std::optional<Request> m_serving;
    QByteArray m_answer;
    QTimer m_wait;                    // the answer's time on the line
    QTimer m_gap;                     // the silence before the next request
    Clock::time_point m_quietSince{}; // the line's last byte
};

} // namespace sim
