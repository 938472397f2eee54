// SPDX-License-Identifier: MIT
#include "networkfront.h"

#include "sim/ptylink.h"

#include <QModbusPdu>
#include <QTcpSocket>

#include <algorithm>

namespace sim {
namespace {

using namespace std::chrono;

constexpr int kMbapHeader = 7; // transaction, protocol id, length, unit

quint16 be16(const QByteArray& b, qsizetype at) {
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

// Bytes of the Modbus TCP frame at the start of `b`: 0 while it is not all here, -1 when the
// header is none a Modbus TCP peer sends.
qsizetype mbapFrameSize(const QByteArray& b) {
    if (b.size() < kMbapHeader)
        return 0;
    const int length = be16(b, 4);
    if (be16(b, 2) != 0 || length < 2 || length > 254)
        return -1;
    return b.size() < 6 + length ? 0 : 6 + length;
}

QByteArray mbapFrame(quint16 transaction, quint8 unit, const QByteArray& pdu) {
    QByteArray f;
    f.append(char(transaction >> 8)).append(char(transaction & 0xFF));
    f.append(2, '\0');
    const auto length = quint16(1 + pdu.size());
    f.append(char(length >> 8)).append(char(length & 0xFF));
    f.append(char(unit));
    return f + pdu;
}

// Bytes of the RTU answer frame that begins `rx` (address, PDU, CRC): 0 while it cannot be told.
qsizetype rtuAnswerSize(const QByteArray& rx) {
    if (rx.size() < 2)
        return 0;
    const auto fc = quint8(rx[1]);
    if (fc & 0x80)
        return 5;
    const int data = QModbusResponse::calculateDataSize(
        QModbusResponse(QModbusPdu::FunctionCode(fc), rx.mid(2)));
    return data < 0 ? 0 : 4 + data;
}

microseconds wireTime(qsizetype bytes, int baud) {
    return microseconds(baud > 0 ? 10LL * 1000000 * bytes / baud : 0);
}

int ceilMs(steady_clock::duration d) {
    return int(std::max<long long>(0, (duration_cast<microseconds>(d).count() + 999) / 1000));
}

} // namespace

DelayLine::DelayLine(int delayMs, QObject* parent)
    : QObject(parent), m_delay(std::max(0, delayMs)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DelayLine::fire);
}

void DelayLine::put(std::function<void()> action) {
    if (m_delay.count() == 0 && m_queue.empty()) {
        action();
        return;
    }
    m_queue.emplace_back(Clock::now() + m_delay, std::move(action));
    if (!m_timer.isActive())
        arm();
}

void DelayLine::arm() {
    if (!m_queue.empty())
        m_timer.start(ceilMs(m_queue.front().first - Clock::now()));
}

void DelayLine::fire() {
    while (!m_queue.empty() && m_queue.front().first <= Clock::now()) {
        const auto action = std::move(m_queue.front().second);
        m_queue.pop_front();
        action();
    }
    arm();
}

NetworkFront::NetworkFront(int delayMs, QObject* parent)
    : QObject(parent), m_up(delayMs, this), m_down(delayMs, this) {
    connect(&m_server, &QTcpServer::newConnection, this, &NetworkFront::accept);
}

bool NetworkFront::listen(const QHostAddress& address, quint16 port, QString* why) {
    if (!m_server.listen(address, port)) {
        *why = m_server.errorString();
        return false;
    }
    return true;
}

void NetworkFront::accept() {
    while (QTcpSocket* next = m_server.nextPendingConnection()) {
        if (m_client) {
            m_client->abort();
            m_client->deleteLater();
        }
        m_client = next;
        const int connection = ++m_connection;
        next->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(next, &QTcpSocket::readyRead, this, [this, next, connection] {
            const QByteArray bytes = next->readAll();
            m_up.put([this, bytes, connection] {
                if (connection == m_connection)
                    received(bytes);
            });
        });
        connected();
    }
}

void NetworkFront::send(const QByteArray& bytes) {
    m_down.put([this, bytes, connection = m_connection] {
        if (m_client && connection == m_connection)
            m_client->write(bytes);
    });
}

void NetworkFront::closeClient() {
    ++m_connection;
    m_down.put([client = m_client] {
        if (client) {
            client->abort();
            client->deleteLater();
        }
    });
    m_client = nullptr;
}

TcpBridge::TcpBridge(QIODevice* line, bool modbusTcp, int delayMs, QObject* parent)
    : NetworkFront(delayMs, parent), m_line(line), m_modbusTcp(modbusTcp) {
    m_line->setParent(this);
    connect(m_line, &QIODevice::readyRead, this, [this] { toClient(m_line->readAll()); });
}

void TcpBridge::received(const QByteArray& bytes) {
    m_line->write(bytes);
}

void TcpBridge::toClient(const QByteArray& bytes) {
    if (!m_modbusTcp) {
        send(bytes);
        return;
    }
    m_frames += bytes;
    for (;;) {
        if (m_frames.size() < 8)
            return;
        const int size = 6 + (quint8(m_frames[4]) << 8 | quint8(m_frames[5]));
        if (m_frames.size() < size)
            return;
        const bool withheld = size == 8 && m_frames[7] == 0;
        if (!withheld)
            send(m_frames.first(size));
        m_frames.remove(0, size);
    }
}

ModbusGateway::ModbusGateway(QIODevice* line, GatewayModel model, int baud, int delayMs,
                             QObject* parent)
    : NetworkFront(delayMs, parent), m_line(line), m_model(model), m_baud(baud) {
    m_line->setParent(this);
    connect(m_line, &QIODevice::readyRead, this, &ModbusGateway::fromLine);
    m_wait.setSingleShot(true);
    connect(&m_wait, &QTimer::timeout, this, [this] { finish(std::nullopt); });
    m_gap.setSingleShot(true);
    m_gap.setTimerType(Qt::PreciseTimer);
    connect(&m_gap, &QTimer::timeout, this, &ModbusGateway::serveNext);
}

void ModbusGateway::connected() {
    // The requests of the old connection still queued are dropped; the one on the line finishes
    // there, its answer goes nowhere.
    m_queue.clear();
    m_inbox.clear();
}

void ModbusGateway::received(const QByteArray& bytes) {
    const int from = connection();
    m_inbox += bytes;
    for (;;) {
        const qsizetype size = mbapFrameSize(m_inbox);
        if (size < 0)
            m_inbox.clear(); // not Modbus TCP: nothing of it can be read
        if (size <= 0)
            return;
        admit({from, be16(m_inbox, 0), quint8(m_inbox[6]),
               m_inbox.mid(kMbapHeader, size - kMbapHeader)});
        m_inbox.remove(0, size);
        if (from != connection())
            return; // the request closed the connection
    }
}

void ModbusGateway::admit(const Request& request) {
    const bool busy =
        !m_queue.empty() || (m_serving && m_serving->connection == request.connection);
    if (busy && m_model == GatewayModel::Single)
        return;
    if (busy && m_model == GatewayModel::Close) {
        m_queue.clear();
        m_inbox.clear();
        closeClient();
        return;
    }
    m_queue.push_back(request);
    serveNext();
}

void ModbusGateway::serveNext() {
    if (m_serving || m_queue.empty())
        return;
    const auto free = m_quietSince + microseconds(interFrameGapUs(m_baud));
    if (Clock::now() < free) {
        m_gap.start(ceilMs(free - Clock::now()));
        return;
    }
    m_serving = m_queue.front();
    m_queue.pop_front();
    m_answer.clear();
    QByteArray frame = QByteArray(1, char(m_serving->unit)) + m_serving->pdu;
    const quint16 crc = modbusCrc(frame);
    frame.append(char(crc & 0xFF)).append(char(crc >> 8));
    m_line->write(frame);
    m_wait.start(ceilMs(wireTime(frame.size(), m_baud)) + kWaitMs);
}

void ModbusGateway::fromLine() {
    const QByteArray bytes = m_line->readAll();
    m_quietSince = Clock::now();
    if (!m_serving)
        return; // stray bytes on the line belong to no request
    m_answer += bytes;
    m_wait.start(kWaitMs); // an answer under way keeps the gateway waiting
    const qsizetype size = rtuAnswerSize(m_answer);
    if (size == 0 || m_answer.size() < size)
        return;
    // A frame of another unit or with a wrong CRC is no answer: the gateway waits on.
    const QByteArray frame = m_answer.first(size);
    if (quint8(frame[0]) != m_serving->unit ||
        modbusCrc(frame.first(size - 2)) !=
            quint16(quint8(frame[size - 2]) | quint8(frame[size - 1]) << 8))
        return;
    finish(frame.mid(1, size - 3));
}

void ModbusGateway::finish(const std::optional<QByteArray>& pdu) {
    m_wait.stop();
    const Request served = *m_serving;
    m_serving.reset();
    if (pdu && served.connection == connection())
        send(mbapFrame(served.transaction, served.unit, *pdu));
    serveNext();
}

} // namespace sim
