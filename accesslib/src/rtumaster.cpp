#include "rtumaster.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace ombrel {
namespace {

using namespace std::chrono;

int msUntil(steady_clock::time_point t) {
    const auto d = duration_cast<milliseconds>(t - steady_clock::now()).count();
    return d <= 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
}

// Wire time of n bytes at 10 bits a byte.
microseconds wireTime(int bytes, int baud) {
    return microseconds(baud > 0 ? 10LL * 1000000 * bytes / baud : 0);
}

// Sleeps until t with the kernel's timer slack (50 us by default) turned down for the sleep, so
// that the silence before a request is not stretched at high baud rates. The caller's setting
// is restored.
void sleepPreciselyUntil(steady_clock::time_point t) {
    if (t <= steady_clock::now())
        return;
    const int old = ::prctl(PR_GET_TIMERSLACK);
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    std::this_thread::sleep_until(t);
    if (old > 0)
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(old));
}

void enableRs485(int fd) {
    serial_rs485 conf{};
    if (::ioctl(fd, TIOCGRS485, &conf) < 0)
        return; // the driver has no RS-485 mode (a pty, most USB adapters): go on as RS-232
    conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.flags &= ~static_cast<decltype(conf.flags)>(SER_RS485_RTS_AFTER_SEND);
    ::ioctl(fd, TIOCSRS485, &conf);
}

} // namespace

OpenFailure classifyOpenFailure(const QString& devicePath, int portError) {
    const QByteArray path = QFile::encodeName(devicePath);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || portError == QSerialPort::DeviceNotFoundError)
        return OpenFailure::Missing;
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return OpenFailure::NoAccess;
    // Access is granted, so a permission error comes from the port's lock file or its exclusive
    // mode: another program has the port open.
    if (portError == QSerialPort::PermissionError)
        return OpenFailure::Busy;
    return OpenFailure::Other;
}

QString noAccessText(const QString& devicePath, const QString& owner, const QString& group,
                     uint ownerId, uint groupId) {
    // Serial devices of Debian and its kin belong to the group dialout, which their users join;
    // any other group is the administrator's choice, so the text names who may use the device.
    if (group == u"dialout")
        return QStringLiteral("Нет доступа к %1 (отказано в доступе): пользователь не входит в "
                              "группу dialout. Добавьте его командой «sudo usermod -aG dialout "
                              "$USER» и войдите в систему заново.")
            .arg(devicePath);
    return QStringLiteral("Нет доступа к %1 (отказано в доступе): владелец устройства — %2, "
                          "группа — %3.")
        .arg(devicePath, owner.isEmpty() ? QString::number(ownerId) : owner,
             group.isEmpty() ? QString::number(groupId) : group);
}

QString openFailureText(OpenFailure failure, const QString& devicePath, const QString& systemText) {
    switch (failure) {
    case OpenFailure::Missing:
        return QStringLiteral("Устройство %1 не найдено (нет такого устройства).").arg(devicePath);
    case OpenFailure::NoAccess: {
        const QFileInfo device(devicePath);
        return noAccessText(devicePath, device.owner(), device.group(), device.ownerId(),
                            device.groupId());
    }
    case OpenFailure::Busy:
        return QStringLiteral("Порт %1 занят другой программой.").arg(devicePath);
    case OpenFailure::Other:
        break;
    }
    return QStringLiteral("%1: %2").arg(devicePath, systemText);
}

RtuMaster::RtuMaster() = default;

RtuMaster::~RtuMaster() {
    close();
}

bool RtuMaster::open(const QString& devicePath, int baud, bool rs485) {
    close();
    m_openError.clear();
    if (devicePath.isEmpty() || baud <= 0) {
        m_openError = devicePath.isEmpty() ? QStringLiteral("Не задано устройство порта.")
                                           : QStringLiteral("Недопустимая скорость %1.").arg(baud);
        return false;
    }
    registerJournalFunction();
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(devicePath);
    if (!port->open(QIODevice::ReadWrite)) {
        m_openError = openFailureText(classifyOpenFailure(devicePath, port->error()), devicePath,
                                      port->errorString());
        return false;
    }
    if (!port->setBaudRate(baud) || !port->setDataBits(QSerialPort::Data8) ||
        !port->setParity(QSerialPort::NoParity) || !port->setStopBits(QSerialPort::OneStop) ||
        !port->setFlowControl(QSerialPort::NoFlowControl)) {
        m_openError = QStringLiteral("%1: %2").arg(devicePath, port->errorString());
        port->close();
        return false;
    }
    if (rs485)
        enableRs485(static_cast<int>(port->handle()));
    port->clear(QSerialPort::AllDirections);
    m_serial = port.get();
    m_port = std::move(port);
    m_baud = baud;
    m_rx.clear();
    m_lastLineActivity = Clock::now();
    return true;
}

bool RtuMaster::openDevice(std::unique_ptr<QIODevice> device, int baud) {
    close();
    m_openError.clear();
    if (!device || !device->isOpen() || baud <= 0)
        return false;
    registerJournalFunction();
    m_port = std::move(device);
    m_baud = baud;
    m_rx.clear();
    m_lastLineActivity = Clock::now();
    return true;
}

void RtuMaster::close() {
    m_serial = nullptr;
    if (m_port) {
        if (m_port->isOpen())
            m_port->close();
        m_port.reset();
    }
    m_rx.clear();
}

bool RtuMaster::isOpen() const {
    return m_port && m_port->isOpen();
}

void RtuMaster::setRetries(int retries) {
    m_retries = std::clamp(retries, 0, 100);
}

void RtuMaster::setTimeouts(int answerMs, int charMs) {
    if (answerMs > 0)
        m_answerMs = std::min(answerMs, 60000);
    if (charMs > 0)
        m_charMs = std::min(charMs, 10000);
}

bool RtuMaster::portFailed() {
    if (!m_port)
        return true;
    if (!m_serial) {
        if (m_port->isOpen())
            return false;
        close();
        return true;
    }
    const QSerialPort::SerialPortError e = m_serial->error();
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError) {
        m_serial->clearError();
        return !m_port->isOpen();
    }
    // A device that has gone (a USB adapter pulled, the other end of a pty closed) or any other
    // I/O failure: the port is closed, and every later call answers "port closed" until the next
    // Connect.
    close();
    return true;
}

bool RtuMaster::readSome(int timeoutMs) {
    if (!m_port->waitForReadyRead(timeoutMs)) {
        portFailed();
        return false;
    }
    const QByteArray chunk = m_port->readAll();
    if (chunk.isEmpty())
        return !portFailed();
    m_rx += chunk;
    m_lastLineActivity = Clock::now();
    return true;
}

void RtuMaster::drainUntilQuiet(int quietMs, int capMs) {
    const auto cap = Clock::now() + milliseconds(capMs);
    while (isOpen()) {
        const int left = msUntil(cap);
        if (left <= 0 || !readSome(std::min(quietMs, left)))
            break;
    }
    m_rx.clear();
}

void RtuMaster::keepInterFrameGap() {
    // The request goes out only after a 3.5-character silence; bytes that arrive meanwhile are
    // stale (a late answer to an earlier request) and are dropped, restarting the silence.
    // When the caller runs a Qt event loop between calls, the port may already have read such
    // bytes into its own buffer without a wait of ours.
    const microseconds gap(interFrameGapUs(m_baud));
    for (int round = 0; round < 100 && isOpen(); ++round) {
        if (m_port->bytesAvailable() > 0) {
            m_port->readAll();
            m_lastLineActivity = Clock::now();
        }
        sleepPreciselyUntil(m_lastLineActivity + gap);
        if (m_port->bytesAvailable() == 0 && !readSome(0))
            break;
    }
    if (m_port)
        m_port->readAll();
    m_rx.clear();
}

int RtuMaster::attempt(quint8 address, const QModbusRequest& request, QModbusResponse* reply) {
    m_rx.clear();
    keepInterFrameGap();
    if (!isOpen())
        return rcChannelClosed;

    const QByteArray adu = buildAdu(address, request);
    const int writeMs = 1000 + static_cast<int>(wireTime(adu.size(), m_baud).count() / 1000);
    if (m_port->write(adu) != adu.size() || !m_port->waitForBytesWritten(writeMs)) {
        portFailed();
        close();
        return rcChannelClosed;
    }
    const auto sent = Clock::now();
    m_lastLineActivity = sent;

    const auto fc = static_cast<quint8>(request.functionCode());
    const auto answerDeadline = sent + milliseconds(m_answerMs);
    // Once an answer has started, its bytes may take the wire time of a whole frame.
    const auto hardDeadline =
        answerDeadline + wireTime(260, m_baud) * 3 / 2 + milliseconds(m_charMs);

    ReplyScan scan;
    for (;;) {
        scan = scanReply(m_rx, address, fc);
        if (scan.state == ReplyScan::State::Found)
            break;
        const int wait = scan.state == ReplyScan::State::Nothing
                             ? msUntil(answerDeadline)
                             : std::min(m_charMs, msUntil(hardDeadline));
        if (wait <= 0)
            break;
        if (!readSome(wait)) {
            if (!isOpen())
                return rcChannelClosed;
            // Silence: the answer is over (or never came) unless nothing has started yet and
            // the answer time is not used up.
            if (scan.state != ReplyScan::State::Nothing || msUntil(answerDeadline) <= 0)
                break;
        }
    }

    switch (scan.state) {
    case ReplyScan::State::Found:
        m_rx.remove(0, scan.end);
        if (scan.pdu.isException())
            return exceptionResult(scan.pdu.exceptionCode());
        *reply = scan.pdu;
        return rcOk;
    case ReplyScan::State::Incomplete:
        return rcLengthMismatch;
    case ReplyScan::State::Corrupt:
        return rcCrc;
    case ReplyScan::State::Nothing:
        break;
    }
    // Bytes that never formed a frame of this server are a corrupted answer; no byte at all is
    // no answer.
    return m_rx.isEmpty() ? rcNoAnswer : rcCrc;
}

int RtuMaster::exchange(quint8 address, const QModbusRequest& request, QModbusResponse* reply) {
    if (!isOpen())
        return rcChannelClosed;
    int rc = rcNoAnswer;
    for (int i = 0; i <= m_retries; ++i) {
        rc = attempt(address, request, reply);
        if (rc != rcNoAnswer && rc != rcCrc && rc != rcLengthMismatch)
            return rc;
        if (!isOpen())
            return rcChannelClosed;
        if (i == m_retries)
            break;
        // A garbled answer must not run into the next try. (A late answer to an earlier try of
        // the same request is as good as the one expected.)
        drainUntilQuiet(std::max(m_charMs, static_cast<int>(interFrameGapUs(m_baud) / 1000) + 1),
                        m_answerMs);
        if (!isOpen())
            return rcChannelClosed;
    }
    // The next request is another one: an answer to this one that comes late would be taken
    // for its answer (RTU frames carry no request number). Listen for one more answer time so
    // that such an answer is dropped here.
    drainUntilQuiet(m_answerMs, m_answerMs);
    if (!isOpen())
        return rcChannelClosed;
    return rc;
}

} // namespace ombrel
