#pragma once

#include "sim/instrument.h"
#include "sim/ptylink.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class QObject;
class QThread;

namespace sim {

class JournalServer;

// Plays an Instrument on a serial line with QModbusRtuSerialServer, in a thread of its own.
// start() creates a PtyLink and serves its server end (a master opens clientPath());
// startOnDevice() serves a real serial device (wire faults and pacing need the pty link, the
// other faults work on both).
class Simulator {
public:
    explicit Simulator(Instrument instrument);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    [[nodiscard]] bool start(QString* error = nullptr);
    [[nodiscard]] bool startOnDevice(const QString& devicePath, int baud, QString* error = nullptr);
    void stop();
    bool isRunning() const { return m_thread != nullptr; }

    // Device path a Modbus master opens (the link's client end, or the device served).
    QString clientPath() const;
    PtyLink* link() { return m_link.get(); }

    // Baud rate the server sets on its port (115,200 unless set); takes effect at start.
    void setBaudRate(int baud) { m_baud = baud > 0 ? baud : m_baud; }
    // Pacing at a baud rate (0 = off), which also becomes the server's baud rate.
    void setPacing(int baud);

    // The fault plan can change while the simulator runs.
    void setFaults(const QList<Fault>& faults);
    void addFault(const Fault& fault);
    void clearFaults();

    // Requests the server has processed (answered or not).
    int requestCount() const { return m_requests; }

    // The instrument as it is now (copied under the simulator's lock).
    Instrument instrument() const;

private:
    friend class JournalServer;
    bool startServer(const QString& path, int baud, QString* error);

    mutable std::mutex m_mutex;
    Instrument m_instrument;
    std::unique_ptr<PtyLink> m_link;
    QThread* m_thread = nullptr;
    QObject* m_context = nullptr; // lives in m_thread; target of the calls made there
    JournalServer* m_server = nullptr;
    QString m_devicePath;
    std::atomic<int> m_requests{0};
    int m_baud = 115200;
    int m_pendingPacing = 0;
};

} // namespace sim
