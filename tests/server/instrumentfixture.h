#pragma once

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>

// Test fixtures: a Modbus instrument on a pseudo-terminal and the exchange-server process.
namespace fixture {

// Two pseudo-terminal pairs whose master sides are bridged by a forwarding thread, so that
// whatever is written to one slave device comes out of the other: a null-modem cable.
class PtyCable {
public:
    PtyCable();
    ~PtyCable();
    bool ok() const { return m_ok; }
    QString endA() const { return m_slaveName[0]; }
    QString endB() const { return m_slaveName[1]; }
    // Flips the last byte (the CRC) of every chunk travelling from end A to end B.
    void setCorruptAtoB(bool on) { m_corrupt = on; }

private:
    void forward();
    bool m_ok = false;
    int m_master[2] = {-1, -1};
    int m_slave[2] = {-1, -1}; // kept open so that reopening a slave never makes the master EIO
    int m_stopPipe[2] = {-1, -1};
    QString m_slaveName[2];
    std::atomic<bool> m_corrupt{false};
    std::thread m_thread;
};

// What the instrument holds.
struct InstrumentData {
    quint8 address = 1;
    QHash<int, quint16> holding; // register address -> value
    QHash<int, quint16> input;
    // Journal records by index: the data bytes of the function-65 reply.
    QHash<int, QByteArray> records;
    QByteArray deviceName = "FIXTURE-1";
};

// A Modbus RTU instrument on its own thread (QModbusRtuSerialServer), answering registers,
// function 17 with its name and function 65 with journal records.
class Instrument {
public:
    Instrument(const QString& device, const InstrumentData& data);
    ~Instrument();
    bool ok() const { return m_ok; }
    // A silent instrument answers nothing.
    void setSilent(bool silent) { m_silent = silent; }
    int requests() const { return m_requests; }

private:
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_silent{false};
    std::atomic<int> m_requests{0};
    std::atomic<bool> m_ok{false};
    std::atomic<bool> m_stop{false};
    std::atomic<void*> m_loop{nullptr};
};

// A journal record of the fixed layout: time (32), parameter ID (16), value (32), big-endian.
QByteArray plainRecord(quint32 time, quint16 id, quint32 value);

// The exchange server as a child process, with its own runtime folder (so its socket is private
// to the test) and the port mapping COM5 = the given device.
class ServerProcess {
public:
    explicit ServerProcess(const QString& com5Device = QString(),
                           const QStringList& extraArgs = {});
    ~ServerProcess();
    bool start(QString* why = nullptr);
    void kill();
    qint64 pid() const { return m_process.processId(); }
    QString runtimeDir() const { return m_runtime.path(); }
    QString socketPath() const {
        return m_runtime.path() + QStringLiteral("/journal/exchange-server.sock");
    }
    QString stderrText();
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
    QString m_com5;
    QStringList m_extra;
    QByteArray m_oldRuntime;
    QByteArray m_oldPorts;
    QByteArray m_oldProgram;
};

// Program of the exchange server in the build tree.
QString serverProgram();

// Handles events until pred() holds or timeoutMs passes; returns pred().
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

} // namespace fixture
