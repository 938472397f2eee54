// SPDX-License-Identifier: MIT
#pragma once

#include "platform/endpoint.h"
#include "sim/instrument.h"
#include "sim/ptylink.h"

#include <QHostAddress>

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QIODevice;
class QModbusServer;
class QObject;
class QThread;

namespace sim {

template <class Base> class JournalServer;

// How a Modbus TCP gateway in front of the instrument's serial line takes a request that comes
// while it serves another: None is no gateway (Qt's own Modbus TCP server answers every request
// as it comes); Queue keeps it and plays it onto the line after the others, one at a time;
// Single drops it; Close closes the connection.
enum class GatewayModel { None, Queue, Single, Close };

// "queue", "single" or "close"; nothing for another name.
[[nodiscard]] std::optional<GatewayModel> gatewayFromName(const QString& name);

// Plays an Instrument on a serial line with QModbusRtuSerialServer, in a thread of its own.
// start() creates a PtyLink and serves its server end (a master opens clientPath());
// startOnDevice() serves a real serial device (wire faults and pacing need the pty link, the
// other faults work on both). startNetwork() serves a network endpoint: Modbus TCP with
// QModbusTcpServer, or RTU frames over TCP through a transparent bridge to a pty line (so that
// the wire faults work there too), or Modbus TCP through a gateway (setGateway) in front of the
// pty line; either way one connection is served at a time. The network front runs in a thread of
// its own, so that a delayed answer of the instrument holds up nothing else.
//
// A site is several instruments at addresses of their own on one serial line (a bus), each with
// its content and fault plan: on a pseudo-terminal link, behind an rtu+tcp bridge or behind a
// Modbus TCP gateway; they share the line's pacing, so one answers while the others wait.
class Simulator {
public:
    explicit Simulator(Instrument instrument);
    // A site of instruments at different addresses (the first is the one the calls without an
    // address reach).
    explicit Simulator(QList<Instrument> site);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    [[nodiscard]] bool start(QString* error = nullptr);
    [[nodiscard]] bool startOnDevice(const QString& devicePath, int baud, QString* error = nullptr);
    // Listens on address:port (0: a port the system chooses); clientPath() is then the endpoint.
    [[nodiscard]] bool startNetwork(platform::NetworkEndpoint::Framing framing,
                                    const QHostAddress& address, quint16 port,
                                    QString* error = nullptr);
    void stop();
    bool isRunning() const { return m_thread != nullptr; }

    // Device path a Modbus master opens (the link's client end, the device served, or the
    // endpoint it connects to).
    QString clientPath() const;
    PtyLink* link() { return m_link.get(); }

    // Baud rate the server sets on its port (115,200 unless set); takes effect at start.
    void setBaudRate(int baud) { m_baud = baud > 0 ? baud : m_baud; }
    // Pacing at a baud rate (0 = off), which also becomes the server's baud rate.
    void setPacing(int baud);

    // A network endpoint delays every packet this long in each direction, as a long network path
    // does: requests in flight overlap (takes effect at start). On a serial line every answer
    // waits this long first. 0 = none.
    void setLatency(int ms) { m_latencyMs = std::max(0, ms); }
    // A Modbus TCP endpoint serves through a gateway of this model (takes effect at start); its
    // serial line behind is the pty link, paced at the baud rate.
    void setGateway(GatewayModel model) { m_gateway = model; }

    // The fault plan can change while the simulator runs: of every instrument of the site (each
    // keeps its own copy, and its own count of times), or of the one at `address`.
    void setFaults(const QList<Fault>& faults);
    void setFaults(int address, const QList<Fault>& faults);
    void addFault(const Fault& fault);
    void clearFaults();

    // Requests the server has processed (answered or not).
    int requestCount() const { return m_requests; }

    // A request the server processed: its function code and, for function 65, the journal and
    // the record index asked for (-1 otherwise); for registers the first address (-1 otherwise).
    struct Request {
        int function = 0;
        int journal = -1;
        int record = -1;
        int reg = -1;
        int address = 0; // of the instrument that processed it
        bool operator==(const Request&) const = default;
    };
    // The requests processed since the start or the last clearRequestLog(), in order.
    QList<Request> requestLog() const;
    void clearRequestLog();

    // Changes the instrument while it runs (records written, registers moved on, as between two
    // visits); the registers reach the server before this returns.
    void updateInstrument(const std::function<void(Instrument&)>& change);
    // The same for the site's instrument at `address`; false when there is none.
    bool updateInstrument(int address, const std::function<void(Instrument&)>& change);

    // The instrument as it is now (copied under the simulator's lock); the site's first.
    Instrument instrument() const;
    // The site's instruments as they are now.
    QList<Instrument> site() const;

private:
    template <class Base> friend class JournalServer;
    // Serves the site's instruments on the link's server ends, or the one instrument on `path`.
    bool startServers(const QString& path, int baud, QString* error);
    // Runs work in the simulator's thread (started on first use) and waits for it.
    void runInThread(const std::function<void()>& work);
    // The same in the thread of the network front.
    void runInFront(const std::function<void()>& work);
    // Starts the network front on `line` (made in the front's thread); its port, 0 on failure.
    quint16 startFront(const std::function<QIODevice*()>& line, bool modbusTcp,
                       const QHostAddress& address, quint16 port, QString* why);
    // Loads instrument `unit` into a server made in the simulator's thread and connects it.
    bool installServer(QModbusServer* server, int unit, QString* why);
    // Loads the registers of instrument `unit` into its server.
    void reloadRegisters(int unit, const Instrument& copy);

    mutable std::mutex m_mutex;
    QList<Instrument> m_instruments; // the site; one instrument at least
    std::unique_ptr<PtyLink> m_link;
    QThread* m_thread = nullptr;
    QObject* m_context = nullptr; // lives in m_thread; target of the calls made there
    QThread* m_frontThread = nullptr;
    QObject* m_frontContext = nullptr; // lives in m_frontThread: the network front
    QList<QModbusServer*> m_servers;   // of m_instruments, in the same order, while serving
    QString m_devicePath;
    QString m_endpoint;
    quint16 m_innerPort = 0; // of the Modbus TCP server behind the network front
    std::atomic<int> m_latencyMs{0};
    GatewayModel m_gateway = GatewayModel::None;
    bool m_network = false; // served on a network endpoint (latency is the front's)
    std::atomic<int> m_requests{0};
    QList<Request> m_log; // under m_mutex
    int m_baud = 115200;
    int m_pendingPacing = 0;
};

} // namespace sim
