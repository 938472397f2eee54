#include "sim/simulator.h"

#include <QEventLoop>
#include <QModbusRtuSerialServer>
#include <QSerialPort>
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

} // namespace

// The Qt Modbus server with the instrument's journal function and the fault plan.
class JournalServer : public QModbusRtuSerialServer {
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
                if (auto* port = qobject_cast<QSerialPort*>(device()))
                    port->flush();
                QThread::msleep(ulong(std::max(0, fault->value)));
                break;
            default:
                break;
            }
        }

        QModbusResponse reply = fc == kJournalFunction
                                    ? journalRecord(request)
                                    : QModbusRtuSerialServer::processRequest(request);
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

bool Simulator::startServer(const QString& path, int baud, QString* error) {
    // Qt's calculator table is not locked: fill it once, before any server thread reads it.
    static std::once_flag once;
    std::call_once(once, [] {
        const auto fc = QModbusPdu::FunctionCode(kJournalFunction);
        QModbusRequest::registerDataSizeCalculator(fc, &journalRequestSize);
        QModbusResponse::registerDataSizeCalculator(fc, &journalResponseSize);
    });

    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("journal-sim"));
    m_thread->start();
    bool ok = false;
    QString why;
    // The server lives in the simulator's thread: create, set up and connect it there.
    m_context = new QObject;
    m_context->moveToThread(m_thread);
    QMetaObject::invokeMethod(
        m_context,
        [&] {
            auto* server = new JournalServer(this);
            Instrument copy = instrument();
            server->setConnectionParameter(QModbusDevice::SerialPortNameParameter, path);
            server->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, baud);
            server->setConnectionParameter(QModbusDevice::SerialDataBitsParameter,
                                           QSerialPort::Data8);
            server->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                           QSerialPort::NoParity);
            server->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                           QSerialPort::OneStop);
            server->setServerAddress(copy.address);
            loadRegisters(*server, copy);
            server->setValue(QModbusServer::AdditionalData, platform::toCp1251(copy.name));
            if (!server->connectDevice()) {
                why = server->errorString();
                delete server;
                return;
            }
            m_server = server;
            ok = true;
        },
        Qt::BlockingQueuedConnection);
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
}

} // namespace sim
