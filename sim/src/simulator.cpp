// SPDX-License-Identifier: MIT
#include "sim/simulator.h"

#include <QModbusRtuSerialServer>
#include <QModbusTcpServer>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include "networkfront.h"
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

// Runs work in the thread (started on first use, named `name`) through its context object, and
// waits for it.
void runIn(QThread*& thread, QObject*& context, const char* name,
           const std::function<void()>& work) {
    if (!thread) {
        thread = new QThread;
        thread->setObjectName(QString::fromLatin1(name));
        thread->start();
        context = new QObject;
        context->moveToThread(thread);
    }
    QMetaObject::invokeMethod(context, work, Qt::BlockingQueuedConnection);
}

// Ends the thread; the context and its children are deleted in it as it finishes.
void endThread(QThread*& thread, QObject*& context) {
    if (!thread)
        return;
    context->deleteLater();
    context = nullptr;
    thread->quit();
    thread->wait(5000);
    delete thread;
    thread = nullptr;
}

} // namespace

// A Qt Modbus server (RTU on a serial line or Modbus TCP) with the instrument's journal
// function, the fault plan and, on a serial line, the answer latency.
template <class Base> class JournalServer : public Base {
public:
    // Serves the site's instrument `unit`.
    JournalServer(Simulator* sim, int unit) : m_sim(sim), m_unit(unit) {}

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
            Instrument& instrument = m_sim->m_instruments[m_unit];
            m_sim->m_log.append({fc, journal, record, reg, instrument.address});
            for (Fault& f : instrument.faults) {
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

        // On a network endpoint the front delays the packets instead.
        if (const int latency = m_sim->m_latencyMs; latency > 0 && !m_sim->m_network)
            QThread::msleep(ulong(latency));
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
        const Journal* j = m_sim->m_instruments[m_unit].journal(number);
        if (!j || index >= j->records.size())
            return QModbusExceptionResponse(fc, QModbusPdu::IllegalDataAddress);
        const QByteArray& rec = j->records[index];
        return QModbusResponse(fc, QByteArray(1, char(rec.size())) + rec);
    }

    Simulator* m_sim;
    int m_unit;
};

Simulator::Simulator(Instrument instrument) : m_instruments{std::move(instrument)} {}

Simulator::Simulator(QList<Instrument> site) : m_instruments(std::move(site)) {
    if (m_instruments.isEmpty())
        m_instruments.append(Instrument());
}

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
    for (Instrument& instrument : m_instruments)
        instrument.faults = faults;
}

void Simulator::setFaults(int address, const QList<Fault>& faults) {
    std::lock_guard lock(m_mutex);
    for (Instrument& instrument : m_instruments)
        if (instrument.address == address)
            instrument.faults = faults;
}

void Simulator::addFault(const Fault& fault) {
    std::lock_guard lock(m_mutex);
    for (Instrument& instrument : m_instruments)
        instrument.faults.append(fault);
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
    updateInstrument(instrument().address, change);
}

bool Simulator::updateInstrument(int address, const std::function<void(Instrument&)>& change) {
    Instrument copy;
    int unit = -1;
    {
        std::lock_guard lock(m_mutex);
        for (qsizetype i = 0; i < m_instruments.size() && unit < 0; ++i)
            if (m_instruments[i].address == address)
                unit = int(i);
        if (unit < 0)
            return false;
        change(m_instruments[unit]);
        copy = m_instruments[unit];
    }
    reloadRegisters(unit, copy);
    return true;
}

void Simulator::reloadRegisters(int unit, const Instrument& copy) {
    if (unit < m_servers.size())
        QMetaObject::invokeMethod(
            m_context, [this, unit, &copy] { loadRegisters(*m_servers[unit], copy); },
            Qt::BlockingQueuedConnection);
}

Instrument Simulator::instrument() const {
    std::lock_guard lock(m_mutex);
    return m_instruments.front();
}

QList<Instrument> Simulator::site() const {
    std::lock_guard lock(m_mutex);
    return m_instruments;
}

bool Simulator::start(QString* error) {
    stop();
    m_link = std::make_unique<PtyLink>();
    if (!m_link->open(error, int(m_instruments.size()))) {
        m_link.reset();
        return false;
    }
    m_link->setPacing(m_pendingPacing);
    if (!startServers(QString(), m_baud, error)) {
        m_link.reset();
        return false;
    }
    return true;
}

bool Simulator::startOnDevice(const QString& devicePath, int baud, QString* error) {
    stop();
    if (m_instruments.size() > 1)
        return fail(error, QStringLiteral("a site of several instruments needs the "
                                          "pseudo-terminal line"));
    m_devicePath = devicePath;
    return startServers(devicePath, baud, error);
}

std::optional<GatewayModel> gatewayFromName(const QString& name) {
    if (name == u"queue")
        return GatewayModel::Queue;
    if (name == u"single")
        return GatewayModel::Single;
    if (name == u"close")
        return GatewayModel::Close;
    return std::nullopt;
}

bool Simulator::startNetwork(platform::NetworkEndpoint::Framing framing,
                             const QHostAddress& address, quint16 port, QString* error) {
    stop();
    registerJournalFunction();
    QString why;
    const bool modbusTcp = framing == platform::NetworkEndpoint::Framing::ModbusTcp;
    const GatewayModel gateway = m_gateway;
    if (!modbusTcp && gateway != GatewayModel::None)
        return fail(error, QStringLiteral("a gateway model needs Modbus TCP"));
    if (modbusTcp && gateway == GatewayModel::None && m_instruments.size() > 1)
        return fail(error, QStringLiteral("a site of several instruments on Modbus TCP needs a "
                                          "gateway in front of its line"));
    if (modbusTcp && gateway == GatewayModel::None) {
        // Qt's Modbus TCP server on a loopback port of its own, behind the bridge.
        runInThread([&] {
            auto* server = new JournalServer<QModbusTcpServer>(this, 0);
            server->setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                           QStringLiteral("127.0.0.1"));
            server->setConnectionParameter(QModbusDevice::NetworkPortParameter, 0);
            // Qt's server keeps its listening socket as a child: the port the system chose.
            if (installServer(server, 0, &why))
                if (auto* listener = server->findChild<QTcpServer*>())
                    m_innerPort = listener->serverPort();
        });
        if (m_innerPort == 0) {
            stop();
            return fail(error, QStringLiteral("cannot start the Modbus TCP server: %1").arg(why));
        }
    } else {
        if (gateway != GatewayModel::None)
            setPacing(m_baud); // the serial line behind a gateway takes its time
        if (!start(error))
            return false;
    }
    m_network = true;
    const quint16 bound = startFront(
        [this, modbusTcp, gateway]() -> QIODevice* {
            if (modbusTcp && gateway == GatewayModel::None) {
                auto* socket = new QTcpSocket;
                socket->connectToHost(QHostAddress::LocalHost, m_innerPort);
                socket->waitForConnected(5000);
                return socket;
            }
            auto* line = new QSerialPort(m_link->clientPath());
            line->open(QIODevice::ReadWrite);
            return line;
        },
        modbusTcp, address, port, &why);
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

quint16 Simulator::startFront(const std::function<QIODevice*()>& makeLine, bool modbusTcp,
                              const QHostAddress& address, quint16 port, QString* why) {
    quint16 bound = 0;
    const int delay = m_latencyMs;
    runInFront([&] {
        QIODevice* line = makeLine();
        if (!line->isOpen()) {
            *why = line->errorString();
            delete line;
            return;
        }
        if (m_gateway != GatewayModel::None) {
            auto* gateway = new ModbusGateway(line, m_gateway, m_baud, delay, m_frontContext);
            if (gateway->listen(address, port, why))
                bound = gateway->port();
        } else {
            auto* bridge = new TcpBridge(line, modbusTcp, delay, m_frontContext);
            if (bridge->listen(address, port, why))
                bound = bridge->port();
        }
    });
    return bound;
}

void Simulator::runInThread(const std::function<void()>& work) {
    runIn(m_thread, m_context, "journal-sim", work);
}

void Simulator::runInFront(const std::function<void()>& work) {
    runIn(m_frontThread, m_frontContext, "journal-sim-net", work);
}

bool Simulator::installServer(QModbusServer* server, int unit, QString* why) {
    Instrument copy;
    {
        std::lock_guard lock(m_mutex);
        copy = m_instruments[unit];
    }
    server->setServerAddress(copy.address);
    loadRegisters(*server, copy);
    server->setValue(QModbusServer::AdditionalData, platform::toCp1251(copy.name));
    if (!server->connectDevice()) {
        *why = server->errorString();
        delete server;
        return false;
    }
    m_servers.append(server);
    return true;
}

bool Simulator::startServers(const QString& path, int baud, QString* error) {
    registerJournalFunction();
    bool ok = true;
    QString why, where;
    // The servers live in the simulator's thread: create, set up and connect them there.
    runInThread([&] {
        for (int unit = 0; ok && unit < int(m_instruments.size()); ++unit) {
            where = m_link ? m_link->serverPath(unit) : path;
            auto* server = new JournalServer<QModbusRtuSerialServer>(this, unit);
            server->setConnectionParameter(QModbusDevice::SerialPortNameParameter, where);
            server->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, baud);
            server->setConnectionParameter(QModbusDevice::SerialDataBitsParameter,
                                           QSerialPort::Data8);
            server->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                           QSerialPort::NoParity);
            server->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                           QSerialPort::OneStop);
            ok = installServer(server, unit, &why);
        }
    });
    if (!ok) {
        if (error)
            *error = QStringLiteral("cannot serve %1: %2").arg(where, why);
        stop();
    }
    return ok;
}

void Simulator::stop() {
    endThread(m_frontThread, m_frontContext); // first: nothing more reaches the server
    if (m_thread) {
        if (!m_servers.isEmpty()) {
            QMetaObject::invokeMethod(
                m_context,
                [this] {
                    for (QModbusServer* server : std::as_const(m_servers)) {
                        server->disconnectDevice();
                        delete server;
                    }
                },
                Qt::BlockingQueuedConnection);
            m_servers.clear();
        }
        endThread(m_thread, m_context);
    }
    if (m_link) {
        m_link->close();
        m_link.reset();
    }
    m_devicePath.clear();
    m_endpoint.clear();
    m_innerPort = 0;
    m_network = false;
}

} // namespace sim
