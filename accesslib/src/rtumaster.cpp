// SPDX-License-Identifier: MIT
#include "rtumaster.h"

#include "mbapframe.h"
#include "tcplink.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTcpSocket>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <thread>

namespace ombrel {
namespace {

using namespace std::chrono;

// The longest RTU frame a reply can make: address, function, a byte count of 255 with its data,
// CRC.
constexpr qsizetype kMaxRtuFrame = 260;

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

void TracePrefix::add(QByteArrayView bytes) {
    const qsizetype room = std::max<qsizetype>(0, kTracePrefix - head.size());
    head.append(bytes.first(std::min(room, bytes.size())));
    omitted += bytes.size() - std::min(room, bytes.size());
}

RtuMaster::RtuMaster() = default;

RtuMaster::~RtuMaster() {
    close();
}

bool RtuMaster::open(const QString& devicePath, int baud, bool rs485) {
    close();
    m_openError.clear();
    if (platform::isNetworkEndpoint(devicePath))
        return openEndpoint(devicePath);
    if (devicePath.isEmpty() || baud <= 0) {
        m_openError = devicePath.isEmpty() ? QStringLiteral("Не задано устройство порта.")
                                           : QStringLiteral("Недопустимая скорость %1.").arg(baud);
        return false;
    }
    registerJournalFunction();
    if (!m_lock.acquire(devicePath, &m_openError))
        return false;
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(devicePath);
    if (!port->open(QIODevice::ReadWrite)) {
        m_openError = openFailureText(classifyOpenFailure(devicePath, port->error()), devicePath,
                                      port->errorString());
        m_lock.release();
        return false;
    }
    if (!port->setBaudRate(baud) || !port->setDataBits(QSerialPort::Data8) ||
        !port->setParity(QSerialPort::NoParity) || !port->setStopBits(QSerialPort::OneStop) ||
        !port->setFlowControl(QSerialPort::NoFlowControl)) {
        m_openError = QStringLiteral("%1: %2").arg(devicePath, port->errorString());
        port->close();
        m_lock.release();
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

bool RtuMaster::openEndpoint(const QString& text) {
    const auto endpoint = platform::parseNetworkEndpoint(text, &m_openError);
    if (!endpoint)
        return false;
    registerJournalFunction();
    auto socket = connectEndpoint(*endpoint, m_connectLimit, &m_openError);
    if (!socket)
        return false;
    m_endpoint = endpoint;
    m_mbap = endpoint->framing == platform::NetworkEndpoint::Framing::ModbusTcp;
    m_socket = socket.get();
    m_port = std::move(socket);
    m_baud = 0; // no wire time of ours: frameTime() is its floor
    m_rx.clear();
    m_lastLineActivity = Clock::now();
    return true;
}

bool RtuMaster::reopenEndpoint() {
    dropLine();
    auto socket = connectEndpoint(*m_endpoint, m_connectLimit, nullptr);
    if (!socket)
        return false;
    m_socket = socket.get();
    m_port = std::move(socket);
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
    dropLine();
    m_endpoint.reset();
    m_mbap = false;
}

void RtuMaster::dropLine() {
    m_serial = nullptr;
    m_socket = nullptr;
    if (m_port) {
        if (m_port->isOpen())
            m_port->close();
        m_port.reset();
    }
    m_lock.release();
    m_rx.clear();
}

bool RtuMaster::isOpen() const {
    return m_port && m_port->isOpen();
}

void RtuMaster::setRetries(int retries) {
    m_retries = std::clamp(retries, 0, 100);
}

void RtuMaster::setConnectTimeout(int ms) {
    if (ms > 0)
        m_connectLimit = milliseconds(std::min(ms, 60000));
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
    if (m_socket) {
        // A time-out of a wait leaves the connection as it was; the other end closing it, or
        // any failure of it, ends it.
        if (m_socket->state() == QAbstractSocket::ConnectedState && m_port->isOpen())
            return false;
        dropLine();
        return true;
    }
    if (!m_serial) {
        if (m_port->isOpen())
            return false;
        dropLine();
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
    dropLine();
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
    if (m_trace && m_mbap)
        m_traceRx.add(chunk); // the stream's frames leave m_rx as they are taken
    if (m_dropping)
        m_dropped.add(chunk);
    m_lastLineActivity = Clock::now();
    return true;
}

RtuMaster::Clock::duration RtuMaster::frameTime() const {
    return std::max<Clock::duration>(wireTime(260, m_baud), milliseconds(20));
}

void RtuMaster::settleAfterTry(AnswerLedger& ledger, quint8 address, quint8 fc) {
    // A garbled answer must not run into the next try: wait for the line to go quiet, but not
    // past the time the try's answer could still be arriving (a line that never goes quiet).
    const int quietMs = std::max(m_charMs, static_cast<int>(interFrameGapUs(m_baud) / 1000) + 1);
    m_dropping = m_trace != nullptr;
    while (isOpen()) {
        const int left = msUntil(m_tryEnd);
        if (left <= 0 || !readSome(std::min(quietMs, left)))
            break;
        if (m_mbap)
            m_rx.clear(); // answers of a past try carry their transaction: nothing to count
        else
            takeAnswers(m_rx, ledger, address, fc, Clock::now());
    }
    m_rx.clear();
    if (m_trace)
        traceDropped(&ledger);
}

void RtuMaster::listenOut(AnswerLedger& ledger, quint8 address, quint8 fc) {
    LateAnswerListener listener(ledger, address, fc, Clock::now());
    // What came with the last try's answer may already hold the next.
    listener.take(m_rx, Clock::now());
    m_rx.clear();
    m_dropping = m_trace != nullptr;
    while (isOpen() && !listener.done(Clock::now())) {
        if (!readSome(std::max(1, msUntil(listener.deadline()))))
            break; // nothing came within the window (or the port went)
        listener.take(m_rx, Clock::now());
        m_rx.clear();
    }
    m_rx.clear();
    if (m_trace)
        traceDropped(&ledger);
}

void RtuMaster::keepInterFrameGap() {
    if (m_socket) {
        // A TCP stream keeps no silence. What waits in it is stale and dropped (a few reads at
        // most, should the other end flood it); a connection the other end closed shows here.
        m_dropping = m_trace != nullptr;
        for (int reads = 0; reads < 16 && isOpen(); ++reads) {
            const QByteArray stale = m_port->readAll();
            if (m_dropping)
                m_dropped.add(stale);
            if (!readSome(0))
                break;
        }
        m_rx.clear();
        if (m_trace)
            traceDropped(nullptr);
        return;
    }
    // The request goes out only after a 3.5-character silence; bytes that arrive meanwhile are
    // stale (a late answer to an earlier request) and are dropped, restarting the silence.
    // When the caller runs a Qt event loop between calls, the port may already have read such
    // bytes into its own buffer without a wait of ours. A line that never falls silent gets
    // the request after a quarter of a frame time.
    const microseconds gap(interFrameGapUs(m_baud));
    const auto giveUp = Clock::now() + frameTime() / 4;
    m_dropping = m_trace != nullptr;
    while (isOpen()) {
        if (m_port->bytesAvailable() > 0) {
            const QByteArray stale = m_port->readAll();
            if (m_dropping)
                m_dropped.add(stale);
            m_lastLineActivity = Clock::now();
        }
        sleepPreciselyUntil(std::min(m_lastLineActivity + gap, giveUp));
        if (Clock::now() >= giveUp || (m_port->bytesAvailable() == 0 && !readSome(0)))
            break;
    }
    if (m_port) {
        const QByteArray stale = m_port->readAll();
        if (m_dropping)
            m_dropped.add(stale);
    }
    m_rx.clear();
    if (m_trace)
        traceDropped(nullptr);
}

int RtuMaster::attempt(quint8 address, const QModbusRequest& request, QModbusResponse* reply,
                       AnswerLedger& ledger) {
    m_rx.clear();
    keepInterFrameGap();
    if (!isOpen())
        return rcChannelClosed;

    const QByteArray adu =
        m_mbap ? buildMbap(m_transaction, address, request) : buildAdu(address, request);
    if (!sendFrame(adu))
        return rcChannelClosed;
    const auto sent = Clock::now();
    m_lastLineActivity = sent;
    ledger.sent(sent);

    const auto fc = static_cast<quint8>(request.functionCode());
    if (m_trace)
        traceRequest(adu, address, fc, sent);
    const auto answerDeadline = sent + milliseconds(m_answerMs);
    // Once an answer has started, its bytes may take the wire time of a whole frame (and a
    // quarter more for adapters that deliver late).
    m_tryEnd = answerDeadline + frameTime() * 5 / 4 + milliseconds(m_charMs);

    ReplyScan scan;
    for (;;) {
        scan = scanAnswer(address, fc);
        if (scan.state == ReplyScan::State::Found)
            break;
        // A frame that has begun may take until the try's end; a broken one is over, and past
        // the answer time no other can begin.
        const int wait = scan.state == ReplyScan::State::Nothing ? msUntil(answerDeadline)
                         : scan.state == ReplyScan::State::Corrupt && msUntil(answerDeadline) <= 0
                             ? 0
                             : std::min(m_charMs, msUntil(m_tryEnd));
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

    // A frame of this server, whole or broken, is the answer to one of the tries. Without one,
    // nothing of an answer is on its way (noise is no answer).
    if (scan.state != ReplyScan::State::Nothing)
        ledger.answered(Clock::now(), scan.state != ReplyScan::State::Found);
    else
        m_tryEnd = Clock::now();
    if (m_trace)
        traceTry(scan.state != ReplyScan::State::Nothing, scan.state == ReplyScan::State::Found,
                 ledger, sent);
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

bool RtuMaster::sendFrame(const QByteArray& frame) {
    const int writeMs = 1000 + static_cast<int>(wireTime(frame.size(), m_baud).count() / 1000);
    if (m_port->write(frame) != frame.size() || !m_port->waitForBytesWritten(writeMs)) {
        portFailed();
        dropLine();
        return false;
    }
    return true;
}

ReplyScan RtuMaster::scanAnswer(quint8 address, quint8 fc) {
    if (m_mbap)
        return takeMbapReply(m_rx, m_transaction, address, fc).scan;
    const ReplyScan scan = scanReply(m_rx, address, fc);
    // Bytes that cannot begin an answer any more are dropped, so that a line (or a TCP stream)
    // that floods costs no memory: only the longest frame's worth at the end may.
    if (scan.state != ReplyScan::State::Found && m_rx.size() > 4 * kMaxRtuFrame)
        m_rx.remove(0, m_rx.size() - kMaxRtuFrame);
    return scan;
}

int RtuMaster::exchange(quint8 address, const QModbusRequest& request, QModbusResponse* reply) {
    bool reopened = false;
    // A connection to an endpoint found lost is opened again, once in an exchange.
    const auto lineBack = [&] {
        if (isOpen())
            return true;
        if (!m_endpoint)
            return false;
        if (reopened || !reopenEndpoint()) {
            close(); // lost again, or no new connection: closed until the next open()
            return false;
        }
        reopened = true;
        return true;
    };
    if (!lineBack()) {
        traceClosed();
        return rcChannelClosed;
    }
    ++m_transaction;
    const auto fc = static_cast<quint8>(request.functionCode());
    AnswerLedger ledger(milliseconds(m_answerMs),
                        milliseconds(m_charMs) + duration_cast<milliseconds>(frameTime()));
    int rc = rcNoAnswer;
    for (int i = 0; i <= m_retries; ++i) {
        m_traceTry = i;
        rc = attempt(address, request, reply, ledger);
        const bool final = rc != rcNoAnswer && rc != rcCrc && rc != rcLengthMismatch;
        if (!isOpen()) {
            traceClosed();
            // A serial port that failed stays closed. On a connection the other end closed, an
            // answer that came first stands; otherwise the try is made again on a new one.
            if (!m_endpoint || (final && rc != rcChannelClosed))
                break;
            if (!lineBack())
                return rcChannelClosed;
            --i;
            continue;
        }
        if (final)
            break;
        // After silence there is nothing to settle: the next try goes out at once.
        if (i < m_retries && rc != rcNoAnswer)
            settleAfterTry(ledger, address, fc);
    }
    // A clean exchange (one try, answered) leaves nothing due; on Modbus TCP the transaction
    // id tells late answers apart.
    if (ledger.due() > 0 && m_listenOutOn && !m_mbap)
        listenOut(ledger, address, fc);
    if (!isOpen() && !m_endpoint)
        return rcChannelClosed;
    return rc;
}

void RtuMaster::setTraceObserver(OmbrelTraceObserver observer, void* user) {
    m_trace = observer;
    m_traceUser = user;
    m_dropping = false;
    m_dropped.clear();
}

OmbrelTraceEvent RtuMaster::traceEvent(int kind, QByteArrayView bytes) const {
    OmbrelTraceEvent e{};
    e.size = sizeof(OmbrelTraceEvent);
    e.kind = kind;
    e.timeUs = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    e.bytes = reinterpret_cast<const uint8_t*>(bytes.data());
    e.length = int32_t(bytes.size());
    e.address = -1;
    e.function = -1;
    e.attempt = m_traceTry;
    e.answerMs = m_answerMs;
    e.baud = m_baud;
    e.link = !m_endpoint ? OMBREL_LINK_SERIAL
             : m_mbap    ? OMBREL_LINK_MODBUS_TCP
                         : OMBREL_LINK_RTU_OVER_TCP;
    return e;
}

void RtuMaster::traceRequest(const QByteArray& adu, quint8 address, quint8 fc,
                             Clock::time_point sent) {
    m_traceSent = sent;
    m_traceAdu = adu;
    m_traceAddress = address;
    m_traceFc = fc;
    m_traceRx.clear();
    OmbrelTraceEvent e = traceEvent(OMBREL_TRACE_REQUEST, adu);
    e.address = address;
    e.function = fc;
    m_trace(&e, m_traceUser);
}

void RtuMaster::traceReceived(int kind, QByteArrayView bytes, qint64 omitted,
                              Clock::duration elapsed, bool taken) {
    const FrameDescription d = m_mbap
                                   ? describeMbapReceived(bytes, m_transaction)
                                   : describeReceived(bytes, m_traceAdu, m_traceAddress, m_traceFc);
    const QByteArrayView kept = bytes.first(std::min(bytes.size(), kTracePrefix));
    OmbrelTraceEvent e = traceEvent(kind, kept);
    e.omitted = omitted + (bytes.size() - kept.size());
    e.elapsedUs = duration_cast<microseconds>(elapsed).count();
    e.flags = d.flags | (taken ? OMBREL_FRAME_TAKEN : 0);
    e.address = d.frameAddress;
    e.function = d.function;
    e.exception = d.exception;
    // Without a frame, the bytes left out belong to none either.
    e.offset =
        d.frameAddress >= 0
            ? d.offset
            : int32_t(std::min<qint64>(d.offset + omitted, std::numeric_limits<int32_t>::max()));
    m_trace(&e, m_traceUser);
}

void RtuMaster::traceTry(bool matched, bool taken, const AnswerLedger& ledger,
                         Clock::time_point sent) {
    // Bytes matched to a try are timed by the ledger; others from this try's request.
    const QByteArray& received = m_mbap ? m_traceRx.head : m_rx;
    if (received.isEmpty())
        traceSilence(Clock::now() - sent);
    else
        traceReceived(OMBREL_TRACE_ANSWER, received, m_mbap ? m_traceRx.omitted : 0,
                      matched ? ledger.lastLateness() : m_lastLineActivity - sent, taken);
}

void RtuMaster::traceSilence(Clock::duration waited) {
    OmbrelTraceEvent e = traceEvent(OMBREL_TRACE_SILENCE, {});
    e.elapsedUs = duration_cast<microseconds>(waited).count();
    m_trace(&e, m_traceUser);
}

void RtuMaster::traceClosed() {
    if (!m_trace)
        return;
    const OmbrelTraceEvent e = traceEvent(OMBREL_TRACE_CLOSED, {});
    m_trace(&e, m_traceUser);
}

void RtuMaster::traceDropped(const AnswerLedger* ledger) {
    m_dropping = false;
    if (m_dropped.isEmpty() || m_traceAdu.isEmpty()) {
        m_dropped.clear();
        return;
    }
    // Late answers are matched to their tries by the ledger; other stale bytes are timed from
    // the last request.
    const Clock::duration elapsed = ledger && ledger->tries() > ledger->due()
                                        ? ledger->lastLateness()
                                        : m_lastLineActivity - m_traceSent;
    traceReceived(OMBREL_TRACE_LATE, m_dropped.head, m_dropped.omitted, elapsed, false);
    m_dropped.clear();
}

} // namespace ombrel
