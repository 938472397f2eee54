#include "instrumentfixture.h"

#include "server/modbusext.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLocalSocket>
#include <QModbusRtuSerialServer>
#include <QProcessEnvironment>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace fixture {

// ---- PtyCable ----

PtyCable::PtyCable() {
    for (int i = 0; i < 2; ++i) {
        char name[256] = {};
        if (::openpty(&m_master[i], &m_slave[i], name, nullptr, nullptr) != 0)
            return;
        termios tio{};
        ::tcgetattr(m_slave[i], &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave[i], TCSANOW, &tio);
        m_slaveName[i] = QString::fromLocal8Bit(name);
    }
    if (::pipe(m_stopPipe) != 0)
        return;
    m_ok = true;
    m_thread = std::thread([this] { forward(); });
}

PtyCable::~PtyCable() {
    if (m_thread.joinable()) {
        const char c = 'x';
        (void)!::write(m_stopPipe[1], &c, 1);
        m_thread.join();
    }
    for (int fd : {m_master[0], m_master[1], m_slave[0], m_slave[1], m_stopPipe[0], m_stopPipe[1]})
        if (fd >= 0)
            ::close(fd);
}

void PtyCable::forward() {
    char buf[4096];
    for (;;) {
        pollfd fds[3] = {
            {m_master[0], POLLIN, 0}, {m_master[1], POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[2].revents)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const ssize_t n = ::read(m_master[i], buf, sizeof buf);
            if (n > 0) {
                if (i == 0 && m_corrupt)
                    buf[n - 1] = char(buf[n - 1] ^ 0xFF);
                ssize_t off = 0;
                while (off < n) {
                    const ssize_t w = ::write(m_master[1 - i], buf + off, size_t(n - off));
                    if (w <= 0)
                        break;
                    off += w;
                }
            }
        }
    }
}

// ---- Instrument ----

namespace {

class FixtureServer : public QModbusRtuSerialServer {
public:
    FixtureServer(const InstrumentData& data, std::atomic<bool>& silent, std::atomic<int>& count)
        : m_data(data), m_silent(silent), m_count(count) {}

protected:
    QModbusResponse processRequest(const QModbusPdu& request) override {
        ++m_count;
        if (m_silent)
            return QModbusResponse(); // no reply at all
        if (request.functionCode() == QModbusPdu::ReportServerId)
            return QModbusResponse(QModbusPdu::ReportServerId,
                                   QByteArray(1, char(m_data.deviceName.size())) +
                                       m_data.deviceName);
        return QModbusRtuSerialServer::processRequest(request);
    }

    QModbusResponse processPrivateRequest(const QModbusPdu& request) override {
        if (request.functionCode() != server::kJournalFunction)
            return QModbusExceptionResponse(request.functionCode(),
                                            QModbusExceptionResponse::IllegalFunction);
        const QByteArray d = request.data();
        if (d.size() != server::kJournalRequestSize)
            return QModbusExceptionResponse(request.functionCode(),
                                            QModbusExceptionResponse::IllegalDataValue);
        const int index = (quint8(d[4]) << 16) | (quint8(d[5]) << 8) | quint8(d[6]);
        if (!m_data.records.contains(index))
            return QModbusExceptionResponse(request.functionCode(),
                                            QModbusExceptionResponse::IllegalDataAddress);
        const QByteArray rec = m_data.records.value(index);
        return QModbusResponse(request.functionCode(), QByteArray(1, char(rec.size())) + rec);
    }

private:
    InstrumentData m_data;
    std::atomic<bool>& m_silent;
    std::atomic<int>& m_count;
};

} // namespace

Instrument::Instrument(const QString& device, const InstrumentData& data) {
    server::registerJournalFunction();
    std::atomic<bool> ready{false};
    m_thread.reset(QThread::create([this, device, data, &ready] {
        FixtureServer srv(data, m_silent, m_requests);
        srv.setServerAddress(data.address);
        QModbusDataUnitMap map;
        map.insert(QModbusDataUnit::HoldingRegisters,
                   QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, 1000));
        map.insert(QModbusDataUnit::InputRegisters,
                   QModbusDataUnit(QModbusDataUnit::InputRegisters, 0, 1000));
        map.insert(QModbusDataUnit::Coils, QModbusDataUnit(QModbusDataUnit::Coils, 0, 100));
        srv.setMap(map);
        for (auto it = data.holding.begin(); it != data.holding.end(); ++it)
            srv.setData(QModbusDataUnit::HoldingRegisters, quint16(it.key()), it.value());
        for (auto it = data.input.begin(); it != data.input.end(); ++it)
            srv.setData(QModbusDataUnit::InputRegisters, quint16(it.key()), it.value());
        srv.setConnectionParameter(QModbusDevice::SerialPortNameParameter, device);
        srv.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, QSerialPort::Baud19200);
        srv.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
        srv.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
        srv.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
        m_ok = srv.connectDevice();
        QEventLoop loop;
        m_loop = &loop;
        ready = true;
        if (m_ok && !m_stop)
            loop.exec();
        m_loop = nullptr;
        srv.disconnectDevice();
    }));
    m_thread->start();
    while (!ready)
        QThread::msleep(1);
}

Instrument::~Instrument() {
    m_stop = true;
    if (auto* loop = static_cast<QEventLoop*>(m_loop.load()))
        QMetaObject::invokeMethod(loop, "quit", Qt::QueuedConnection);
    m_thread->wait();
}

QByteArray plainRecord(quint32 time, quint16 id, quint32 value) {
    QByteArray b;
    for (int s = 24; s >= 0; s -= 8)
        b.append(char((time >> s) & 0xFF));
    b.append(char(id >> 8)).append(char(id & 0xFF));
    for (int s = 24; s >= 0; s -= 8)
        b.append(char((value >> s) & 0xFF));
    return b;
}

// ---- ServerProcess ----

QString serverProgram() {
    return QStringLiteral(JOURNAL_BIN_DIR "/journal-exchange-server");
}

ServerProcess::ServerProcess(const QString& com5Device, const QStringList& extraArgs)
    : m_com5(com5Device), m_extra(extraArgs) {
    // The components of this test process find the server through the same runtime folder.
    m_oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    m_oldPorts = qgetenv("JOURNAL_PORTS");
    m_oldProgram = qgetenv("JOURNAL_EXCHANGE_SERVER");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    if (!m_com5.isEmpty())
        qputenv("JOURNAL_PORTS", ("COM5=" + m_com5).toLocal8Bit());
    qputenv("JOURNAL_EXCHANGE_SERVER", QFile::encodeName(serverProgram()));
}

ServerProcess::~ServerProcess() {
    kill();
    qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
    qputenv("JOURNAL_PORTS", m_oldPorts);
    qputenv("JOURNAL_EXCHANGE_SERVER", m_oldProgram);
}

bool ServerProcess::start(QString* why) {
    m_process.setProgram(serverProgram());
    m_process.setArguments(QStringList{QStringLiteral("--socket"), socketPath()} + m_extra);
    m_process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        if (why)
            *why = m_process.errorString();
        return false;
    }
    // Ready when its socket takes connections (a socket file may be left from a killed one).
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QLocalSocket probe;
        probe.connectToServer(socketPath());
        if (probe.waitForConnected(100)) {
            probe.abort();
            return true;
        }
        if (m_process.waitForFinished(10))
            break;
    }
    if (why)
        *why = QStringLiteral("server did not come up: ") + stderrText();
    return false;
}

void ServerProcess::kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString ServerProcess::stderrText() {
    return QString::fromLocal8Bit(m_process.readAllStandardError());
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace fixture
