// SPDX-License-Identifier: MIT
#include "sim/simulator.h"

#include <QEventLoop>
#include <QModbusRtuSerialServer>
#include <QModbusTcpServer>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include "platform/codepage.h"

#include <mutex>

namespace sim {
namespace {

constexpr quint8 kJournalFunction = 0x41;

int journalRequestSize(const QModbusRequest&) {
    return 7; // archive, record count, record index
}

int journalResponseSize(const QModbusResponse& pdu) {
    if (pdu.isException())
        return 1;
    return pdu.dataSize() < 1 ? -1 : 1 + quint8(pdu.data().at(0));
}

QModbusDataUnit table(QModbusDataUnit::RegisterType type, const QMap<int, quint16>& regs) {
    // The table spans the registers the content names plus a few beyond; a read past its end
    // gets "illegal data address".
    const int size = regs.isEmpty() ? 16 : regs.lastKey() + 16;
    QModbusDataUnit unit(type, 0, quint16(std::min(size, 65536)));
    for (auto it = regs.begin(); it != regs.end(); ++it)
        unit.setValue(it.key(), it.value());
    return unit;
}

// The instrument's registers into the server's tables.
void loadRegisters(QModbusServer& server, const Instrument& instrument) {
    QModbusDataUnitMap map;
    map.insert(QModbusDataUnit::InputRegisters,
               table(QModbusDataUnit::InputRegisters, instrument.inputRegisters));
    map.insert(QModbusDataUnit::HoldingRegisters,
               table(QModbusDataUnit::HoldingRegisters, instrument.holdingRegisters));
    server.setMap(map);
    for (auto it = instrument.inputRegisters.begin(); it != instrument.inputRegisters.end(); ++it)
        server.setData(QModbusDataUnit::InputRegisters, quint16(it.key()), it.value());
    for (auto it = instrument.holdingRegisters.begin(); it != instrument.holdingRegisters.end();
         ++it)
        server.setData(QModbusDataUnit::HoldingRegisters, quint16(it.key()), it.value());
}

bool fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

// Qt's calculator table is not locked: fill it once, before any server thread reads it.
void registerJournalFunction() {
    static std::once_flag once;
    std::call_once(once, [] {
        const auto fc = QModbusPdu::FunctionCode(kJournalFunction);
        QModbusRequest::registerDataSizeCalculator(fc, &journalRequestSize);
        QModbusResponse::registerDataSizeCalculator(fc, &journalResponseSize);
    });
}

// The front of the simulator on the network: bytes of a TCP connection go to a line (the pty
// line of the RTU server, or a loopback connection to the Modbus TCP server) and back. It serves
// one connection at a time; a new one replaces the old, as a serial device server does when a
// master reconnects. On Modbus TCP it drops the server's frames of answers the fault plan
// withheld (Qt's server sends them as a PDU of function 0).
class TcpBridge : public QObject {
public:
    TcpBridge(QIODevice* line, bool modbusTcp, QObject* parent)
        : QObject(parent), m_line(line), m_modbusTcp(modbusTcp) {
        m_line->setParent(this);
        connect(&m_server, &QTcpServer::newConnection, this, &TcpBridge::accept);
        connect(m_line, &QIODevice::readyRead, this, [this] { toClient(m_line->readAll()); });
    }
    bool listen(const QHostAddress& address, quint16 port, QString* why) {
        if (!m_server.listen(address, port)) {
            *why = m_server.errorString();
            return false;
        }
        return true;
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    void accept() {
        while (QTcpSocket* next = m_server.nextPendingConnection()) {
            if (m_client)
                m_client->abort();
            delete m_client;
            m_client = next;
            m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(m_client, &QTcpSocket::readyRead, this, [this, next] {
                if (m_client == next)
                    m_line->write(next->readAll());
            });
        }
    }
    void toClient(const QByteArray& bytes) {
        if (!m_modbusTcp) {
            if (m_client)
                m_client->write(bytes);
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
            if (m_client && !withheld)
                m_client->write(m_frames.first(size));
            m_frames.remove(0, size);
        }
    }

    QTcpServer m_server;
    QIODevice* m_line;
    bool m_modbusTcp;
    QByteArray m_frames; // Modbus TCP frames of the server, whole ones forwarded
    QTcpSocket* m_client = nullptr;
};

} // namespace

// A Qt Modbus server (RTU on a serial line or Modbus TCP) with the instrument's journal
// function, the fault plan and the answer latency.
template <class Base> class JournalServer : public Base {
public:
    explicit JournalServer(Simulator* sim) : m_sim(sim) {}

protected:
    QModbusResponse processRequest(const QModbusPdu& request) override {
        ++m_sim->m_requests;
        const int fc = request.functionCode();
        int journal = -1, record = -1, reg = -1;
        const QByteArray d = request.data();
        if (fc == kJournalFunction && d.size() == 7) {
            journal = quint8(d[1]);
            record = (quint8(d[5]) << 8) | quint8(d[6]);
        } else if ((fc == 3 || fc == 4 || fc == 6) && d.size() >= 2) {
            reg = (quint8(d[0]) << 8) | quint8(d[1]);
        }

        std::optional<Fault> fault;
        {
            std::lock_guard lock(m_sim->m_mutex);
            m_sim->m_log.append({fc, journal, record, reg});
            for (Fault& f : m_sim->m_instrument.faults) {
                if (f.times == 0 || (f.function && f.function != fc) ||
                    (f.journal >= 0 && f.journal != journal) ||
                    (f.record >= 0 && f.record != record) || (f.reg >= 0 && f.reg != reg))
                    continue;
                if (f.times > 0)
                    --f.times;
                fault = f;
                break;
            }
        }
        if (fault) {
            switch (fault->kind) {
            case Fault::Kind::NoAnswer:
                return QModbusResponse(); // an invalid response: the server stays silent
            case Fault::Kind::Exception:
                return QModbusExceptionResponse(QModbusPdu::FunctionCode(fc),
                                                QModbusPdu::ExceptionCode(fault->value));
            case Fault::Kind::Delay:
                // An answer still in the port's buffer goes out now, not after this delay.
                if (auto* port = qobject_cast<QSerialPort*>(this->device()))
                    port->flush();
                QThread::msleep(ulong(std::max(0, fault->value)));
                break;
            default:
                break;
            }
        }

        if (const int latency = m_sim->m_latencyMs; latency > 0)
            QThread::msleep(ulong(latency)); // a remote gateway's round trip
        QModbusResponse reply = fc == kJournalFunction ? journalRecord(request)
                                // Qt's TCP server refuses the serial-line function 17; the
                                // instrument answers it on either transport.
                                : fc == QModbusPdu::ReportServerId
                                    ? this->QModbusServer::processRequest(request)
                                    : Base::processRequest(request);
        if (fault && m_sim->m_link && reply.isValid()) {
            const int frame = int(reply.size()) + 3;
            if (fault->kind == Fault::Kind::BadCrc)
                m_sim->m_link->armReplyFault({WireFault::Kind::BadCrc, 0}, frame);
            else if (fault->kind == Fault::Kind::Truncate)
                m_sim->m_link->armReplyFault({WireFault::Kind::Truncate, fault->value}, frame);
            else if (fault->kind == Fault::Kind::Garbage)
                m_sim->m_link->armReplyFault({WireFault::Kind::Garbage, fault->value}, frame);
            else if (fault->kind == Fault::Kind::OtherAddress)
                m_sim->m_link->armReplyFault({WireFault::Kind::OtherAddress, fault->value}, frame);
        }
        return reply;
    }

private:
    QModbusResponse journalRecord(const QModbusPdu& request) {
        const QByteArray d = request.data();
        const auto fc = request.functionCode();
        if (d.size() != 7)
            return QModbusExceptionResponse(fc, QModbusPdu::IllegalDataValue);
        const int number = quint8(d[1]);
        const int index = (quint8(d[5]) << 8) | quint8(d[6]);
        std::lock_guard lock(m_sim->m_mutex);
        const Journal* j = m_sim->m_instrument.journal(number);
        if (!j || index >= j->records.size())
            return QModbusExceptionResponse(fc, QModbusPdu::IllegalDataAddress);
        const QByteArray& rec = j->records[index];
        return QModbusResponse(fc, QByteArray(1, char(rec.size())) + rec);
    }

    Simulator* m_sim;
};

Simulator::Simulator(Instrument instrument) : m_instrument(std::move(instrument)) {}

Simulator::~Simulator() {
    stop();
}

QString Simulator::clientPath() const {
    if (!m_endpoint.isEmpty())
        return m_endpoint;
    return m_link ? m_link->clientPath() : m_devicePath;
}

void Simulator::setPacing(int baud) {
    m_baud = baud > 0 ? baud : m_baud;
    if (m_link)
        m_link->setPacing(baud);
    m_pendingPacing = baud;
}

void Simulator::setFaults(const QList<Fault>& faults) {
    std::lock_guard lock(m_mutex);
    m_instrument.faults = faults;
}

void Simulator::addFault(const Fault& fault) {
    std::lock_guard lock(m_mutex);
    m_instrument.faults.append(fault);
}

void Simulator::clearFaults() {
    setFaults({});
}

QList<Simulator::Request> Simulator::requestLog() const {
    std::lock_guard lock(m_mutex);
    return m_log;
}

void Simulator::clearRequestLog() {
    std::lock_guard lock(m_mutex);
    m_log.clear();
}

void Simulator::updateInstrument(const std::function<void(Instrument&)>& change) {
    Instrument copy;
    {
        std::lock_guard lock(m_mutex);
        change(m_instrument);
        copy = m_instrument;
    }
    if (m_server)
        QMetaObject::invokeMethod(
            m_context, [this, &copy] { loadRegisters(*m_server, copy); },
            Qt::BlockingQueuedConnection);
}

Instrument Simulator::instrument() const {
    std::lock_guard lock(m_mutex);
    return m_instrument;
}

bool Simulator::start(QString* error) {
    stop();
    m_link = std::make_unique<PtyLink>();
    if (!m_link->open(error)) {
        m_link.reset();
        return false;
    }
    m_link->setPacing(m_pendingPacing);
    if (!startServer(m_link->serverPath(), m_baud, error)) {
        m_link.reset();
        return false;
    }
    return true;
}

bool Simulator::startOnDevice(const QString& devicePath, int baud, QString* error) {
    stop();
    m_devicePath = devicePath;
    return startServer(devicePath, baud, error);
}

bool Simulator::startNetwork(platform::NetworkEndpoint::Framing framing,
                             const QHostAddress& address, quint16 port, QString* error) {
    stop();
    registerJournalFunction();
    QString why;
    quint16 bound = 0;
    const bool modbusTcp = framing == platform::NetworkEndpoint::Framing::ModbusTcp;
    if (modbusTcp) {
        // Qt's Modbus TCP server on a loopback port of its own, behind the bridge.
        runInThread([&] {
            auto* server = new JournalServer<QModbusTcpServer>(this);
            server->setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                           QStringLiteral("127.0.0.1"));
            server->setConnectionParameter(QModbusDevice::NetworkPortParameter, 0);
            // Qt's server keeps its listening socket as a child: the port the system chose.
            if (installServer(server, &why))
                if (auto* listener = server->findChild<QTcpServer*>())
                    m_innerPort = listener->serverPort();
        });
        if (m_innerPort == 0) {
            stop();
            return fail(error, QStringLiteral("cannot start the Modbus TCP server: %1").arg(why));
        }
    } else if (!start(error)) {
        return false;
    }
    runInThread([&] {
        QIODevice* line = nullptr;
        if (modbusTcp) {
            auto* socket = new QTcpSocket;
            socket->connectToHost(QHostAddress::LocalHost, m_innerPort);
            socket->waitForConnected(5000);
            line = socket;
        } else {
            auto* port = new QSerialPort(m_link->clientPath());
            port->open(QIODevice::ReadWrite);
            line = port;
        }
        if (!line->isOpen()) {
            why = line->errorString();
            delete line;
            return;
        }
        auto* bridge = new TcpBridge(line, modbusTcp, m_context);
        if (bridge->listen(address, port, &why))
            bound = bridge->port();
    });
    if (bound == 0) {
        stop();
        return fail(error, QStringLiteral("cannot listen on %1 port %2: %3")
                               .arg(address.toString())
                               .arg(port)
                               .arg(why));
    }
    m_endpoint = platform::NetworkEndpoint{framing, address.toString(), bound}.text();
    return true;
}

void Simulator::runInThread(const std::function<void()>& work) {
    if (!m_thread) {
        m_thread = new QThread;
        m_thread->setObjectName(QStringLiteral("journal-sim"));
        m_thread->start();
        m_context = new QObject;
        m_context->moveToThread(m_thread);
    }
    QMetaObject::invokeMethod(m_context, work, Qt::BlockingQueuedConnection);
}

bool Simulator::installServer(QModbusServer* server, QString* why) {
    Instrument copy = instrument();
    server->setServerAddress(copy.address);
    loadRegisters(*server, copy);
    server->setValue(QModbusServer::AdditionalData, platform::toCp1251(copy.name));
    if (!server->connectDevice()) {
        *why = server->errorString();
        delete server;
        return false;
    }
    m_server = server;
    return true;
}

bool Simulator::startServer(const QString& path, int baud, QString* error) {
    registerJournalFunction();
    bool ok = false;
    QString why;
    // The server lives in the simulator's thread: create, set up and connect it there.
    runInThread([&] {
        auto* server = new JournalServer<QModbusRtuSerialServer>(this);
        server->setConnectionParameter(QModbusDevice::SerialPortNameParameter, path);
        server->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, baud);
        server->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
        server->setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
        server->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                       QSerialPort::OneStop);
        ok = installServer(server, &why);
    });
    if (!ok) {
        if (error)
            *error = QStringLiteral("cannot serve %1: %2").arg(path, why);
        stop();
    }
    return ok;
}

void Simulator::stop() {
    if (m_thread) {
        if (m_server) {
            QMetaObject::invokeMethod(
                m_context,
                [this] {
                    m_server->disconnectDevice();
                    delete m_server;
                },
                Qt::BlockingQueuedConnection);
            m_server = nullptr;
        }
        m_context->deleteLater(); // deleted when the thread finishes
        m_context = nullptr;
        m_thread->quit();
        m_thread->wait(5000);
        delete m_thread;
        m_thread = nullptr;
    }
    if (m_link) {
        m_link->close();
        m_link.reset();
    }
    m_devicePath.clear();
    m_endpoint.clear();
    m_innerPort = 0;
}

} // namespace sim
