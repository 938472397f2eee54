// SPDX-License-Identifier: MIT
// C entry points of OmbrelDll.so: argument checks, request building and reply unpacking around
// one master, the library's single connection; a mutex makes each call whole.
#include "ombreldll.h"
#include "accesslib/frames/rtuframe.h"
#include "comm/ipc/datatypes.h"
#include "librarymaster.h"
#include "platform/endpoint.h"
#include "platform/portlist.h"

#include <QByteArray>
#include <QModbusPdu>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using namespace ombrel;

constexpr int kReplyBufferSize = 256;    // AnyFunction, GetDevName
constexpr int kRegisterBufferSize = 252; // ReadInputRegister, ReadHoldingRegister

std::mutex g_mutex;
RtuAndTcpMaster& master() {
    // Never destroyed: the library may be unloaded or the process may end after the Qt
    // application object has gone; an open port is closed by the system then.
    static RtuAndTcpMaster* m = new RtuAndTcpMaster;
    return *m;
}

// Why the last Connect failed (UTF-8); guarded by g_mutex.
QByteArray& lastError() {
    static QByteArray* text = new QByteArray;
    return *text;
}

bool validAddress(int32_t a) {
    return a >= 1 && a <= 247;
}

int32_t readRegisters(QModbusPdu::FunctionCode fc, int32_t devAddr, int32_t regAddr, int32_t count,
                      int32_t type, uint8_t* out) {
    if (!validAddress(devAddr))
        return rcIllegalAddress;
    const bool wide = type == vtUI4 || type == vtI4 || type == vtR4;
    const int registers = wide ? count * 2 : count;
    if (!out || count < 1 || registers > 125 || regAddr < 0 || regAddr + registers > 0x10000 ||
        (wide ? count * 4 : count * 2) > kRegisterBufferSize)
        return rcIllegalData;

    std::lock_guard lock(g_mutex);
    const QModbusRequest req(fc, quint16(regAddr), quint16(registers));
    QModbusResponse reply;
    const int rc = master().exchange(quint8(devAddr), req, &reply);
    if (rc != rcOk)
        return rc;
    const QByteArray d = reply.data();
    if (d.size() != 1 + 2 * registers || quint8(d[0]) != 2 * registers)
        return rcLengthMismatch;
    auto reg = [&](int i) { return quint16((quint8(d[1 + 2 * i]) << 8) | quint8(d[2 + 2 * i])); };
    if (wide) {
        for (int i = 0; i < count; ++i) {
            const quint32 v = (quint32(reg(2 * i)) << 16) | reg(2 * i + 1);
            for (int b = 0; b < 4; ++b)
                out[4 * i + b] = uint8_t(v >> (8 * b));
        }
    } else {
        for (int i = 0; i < count; ++i) {
            out[2 * i] = uint8_t(reg(i) & 0xFF);
            out[2 * i + 1] = uint8_t(reg(i) >> 8);
        }
    }
    return rcOk;
}

// Writes the reply PDU of function fn (its data d) into the caller's 256-byte buffer from byte 0;
// a reply that does not fit, or a function-65 reply whose byte count disagrees, gives 16.
int32_t unpackReply(int32_t fn, const QByteArray& d, uint8_t* aP) {
    if (fn == kJournalFunction &&
        (d.isEmpty() || quint8(d[0]) > kMaxJournalData || quint8(d[0]) != d.size() - 1))
        return rcLengthMismatch;
    if (1 + d.size() > kReplyBufferSize)
        return rcLengthMismatch;
    std::memset(aP, 0, kReplyBufferSize);
    aP[0] = uint8_t(fn);
    std::memcpy(aP + 1, d.constData(), size_t(d.size()));
    return rcOk;
}

constexpr int kRecordRequestSize = 7; // a function-65 request
constexpr int32_t kMaxRunRecords = 65536;

bool validRun(const uint8_t* requests, int32_t count, const OmbrelRecordRun* run,
              OmbrelRecordSink sink) {
    return run && sink && run->size >= int32_t(sizeof(OmbrelRecordRun)) && count >= 0 &&
           count <= kMaxRunRecords && (requests || count == 0) && run->window >= 0 &&
           run->window <= OMBREL_WINDOW_MAX && run->startWindow >= 0 &&
           run->startWindow <= OMBREL_WINDOW_MAX;
}

} // namespace

RtuAndTcpMaster& ombrel::libraryMaster() {
    return master();
}

extern "C" {

OMBREL_EXPORT int32_t Connect(int32_t aPort, int32_t aSpeed, int32_t aType) {
    std::lock_guard lock(g_mutex);
    master().close();
    lastError().clear();
    if (aPort < 1 || aPort > 255) {
        lastError() = QStringLiteral("Недопустимый номер порта %1.").arg(aPort).toUtf8();
        return 0;
    }
    if (aSpeed <= 0) {
        lastError() = QStringLiteral("Недопустимая скорость %1.").arg(aSpeed).toUtf8();
        return 0;
    }
    const QString path = platform::PortList::devicePathFor(aPort);
    if (path.isEmpty()) {
        lastError() = QStringLiteral("Порта COM%1 нет ни среди портов системы, ни среди "
                                     "сопоставлений (main.ini [Ports], JOURNAL_PORTS).")
                          .arg(aPort)
                          .toUtf8();
        return 0;
    }
    if (master().open(path, aSpeed, (aType & 0xFF) == OMBREL_LINK_RS485))
        return 1;
    lastError() = master().openError().toUtf8();
    return 0;
}

OMBREL_EXPORT int32_t LastErrorText(char* aBuf, int32_t aSize) {
    std::lock_guard lock(g_mutex);
    const QByteArray& text = lastError();
    if (aBuf && aSize > 0) {
        qsizetype n = std::min<qsizetype>(text.size(), aSize - 1);
        // Never cut a UTF-8 sequence: back up over continuation bytes of a cut character.
        if (n < text.size())
            while (n > 0 && (quint8(text[n]) & 0xC0) == 0x80)
                --n;
        std::memcpy(aBuf, text.constData(), size_t(n));
        aBuf[n] = '\0';
    }
    return int32_t(text.size());
}

OMBREL_EXPORT int32_t Disconnect(void) {
    std::lock_guard lock(g_mutex);
    master().close();
    return 0;
}

OMBREL_EXPORT int32_t GetDevName(int32_t aDevAddr, uint8_t* aP, int32_t aSize) {
    if (!validAddress(aDevAddr))
        return rcIllegalAddress;
    if (!aP || aSize < 0 || aSize > 255)
        return rcIllegalData;
    std::lock_guard lock(g_mutex);
    QModbusResponse reply;
    const int rc =
        master().exchange(quint8(aDevAddr), QModbusRequest(QModbusPdu::ReportServerId), &reply);
    if (rc != rcOk)
        return rc;
    // Reply data: byte count, server identifier, run indicator, then the device's own data,
    // which is its name.
    const QByteArray d = reply.data();
    if (d.size() < 3 || quint8(d[0]) != d.size() - 1)
        return rcLengthMismatch;
    const QByteArray name = d.mid(3);
    if (name.size() > aSize)
        return rcLengthMismatch;
    std::memset(aP, 0, size_t(aSize) + 1);
    aP[0] = uint8_t(name.size());
    std::memcpy(aP + 1, name.constData(), size_t(name.size()));
    return rcOk;
}

OMBREL_EXPORT int32_t Test(int32_t aDevAddr) {
    if (!validAddress(aDevAddr))
        return rcIllegalAddress;
    std::lock_guard lock(g_mutex);
    const QByteArray payload = QByteArray::fromHex("00004a52"); // sub-function 0, data "JR"
    const QModbusRequest req(QModbusPdu::Diagnostics, payload);
    QModbusResponse reply;
    const int rc = master().exchange(quint8(aDevAddr), req, &reply);
    if (rc != rcOk)
        return rc;
    return reply.data() == payload ? rcOk : rcLengthMismatch;
}

OMBREL_EXPORT int32_t ReadInputRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount,
                                        int32_t aType, uint8_t* aP) {
    return readRegisters(QModbusPdu::ReadInputRegisters, aDevAddr, aRegAddr, aCount, aType, aP);
}

OMBREL_EXPORT int32_t ReadHoldingRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount,
                                          int32_t aType, uint8_t* aP) {
    return readRegisters(QModbusPdu::ReadHoldingRegisters, aDevAddr, aRegAddr, aCount, aType, aP);
}

OMBREL_EXPORT int32_t WriteRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aValue) {
    if (!validAddress(aDevAddr))
        return rcIllegalAddress;
    if (aRegAddr < 0 || aRegAddr > 0xFFFF || aValue < -32768 || aValue > 0xFFFF)
        return rcIllegalData;
    std::lock_guard lock(g_mutex);
    const QModbusRequest req(QModbusPdu::WriteSingleRegister, quint16(aRegAddr),
                             quint16(aValue & 0xFFFF));
    QModbusResponse reply;
    const int rc = master().exchange(quint8(aDevAddr), req, &reply);
    if (rc != rcOk)
        return rc;
    return reply.data() == req.data() ? rcOk : rcLengthMismatch;
}

OMBREL_EXPORT int32_t AnyFunction(int32_t aDevAddr, int32_t aFunNumber, int32_t aSize,
                                  uint8_t* aP) {
    if (!validAddress(aDevAddr))
        return rcIllegalAddress;
    if (aFunNumber < 1 || aFunNumber > 127)
        return rcBadFunction;
    if (!aP || aSize < 0 || aSize > 252)
        return rcIllegalData;
    registerJournalFunction();
    const auto fc = static_cast<QModbusPdu::FunctionCode>(aFunNumber);
    // Only functions whose reply length can be told from the reply itself: the end of an
    // answer is found by its length, never by waiting.
    if (replyDataSize(quint8(aFunNumber), QByteArray(kReplyBufferSize, '\0')) < 0)
        return rcBadFunction;
    const QModbusRequest req(fc, QByteArray(reinterpret_cast<const char*>(aP), aSize));

    std::lock_guard lock(g_mutex);
    QModbusResponse reply;
    const int rc = master().exchange(quint8(aDevAddr), req, &reply);
    if (rc != rcOk)
        return rc;
    return unpackReply(aFunNumber, reply.data(), aP);
}

OMBREL_EXPORT int32_t Retries(int32_t aRetries) {
    std::lock_guard lock(g_mutex);
    master().setRetries(aRetries);
    return 0;
}

OMBREL_EXPORT int32_t SetTimeouts(int32_t aAnswerMs, int32_t aCharMs) {
    std::lock_guard lock(g_mutex);
    master().setTimeouts(aAnswerMs, aCharMs);
    // A network endpoint gets at least as long to connect as an answer may take.
    master().setConnectTimeout(
        std::max(platform::kDefaultConnectLimitMs, master().answerTimeoutMs()));
    return 0;
}

OMBREL_EXPORT int32_t SetTraceObserver(OmbrelTraceObserver aObserver, void* aUser) {
    std::lock_guard lock(g_mutex);
    master().setTraceObserver(aObserver, aUser);
    return 0;
}

OMBREL_EXPORT int32_t SetListenOut(int32_t aOn) {
    std::lock_guard lock(g_mutex);
    master().setListenOut(aOn != 0);
    return 0;
}

OMBREL_EXPORT int32_t ReadRecords(int32_t aDevAddr, const uint8_t* aRequests, int32_t aCount,
                                  OmbrelRecordRun* aRun, OmbrelRecordSink aSink, void* aUser) {
    if (!validAddress(aDevAddr))
        return rcIllegalAddress;
    if (!validRun(aRequests, aCount, aRun, aSink))
        return rcIllegalData;
    registerJournalFunction();
    const auto fc = static_cast<QModbusPdu::FunctionCode>(kJournalFunction);
    QList<QModbusRequest> requests;
    requests.reserve(aCount);
    for (int32_t i = 0; i < aCount; ++i)
        requests.append(QModbusRequest(fc, QByteArray(reinterpret_cast<const char*>(aRequests) +
                                                          qsizetype(i) * kRecordRequestSize,
                                                      kRecordRequestSize)));
    RunOptions options;
    options.window = aRun->window;
    options.startWindow = std::max(1, aRun->startWindow);
    // The caller may set the stop field from another thread while the run goes on.
    int32_t* stop = &aRun->stop;
    options.stopped = [stop] { return std::atomic_ref<int32_t>(*stop).load() != 0; };

    std::lock_guard lock(g_mutex);
    uint8_t reply[kReplyBufferSize];
    const RunReport report = master().exchangeRun(
        quint8(aDevAddr), requests, options, [&](int item, int rc, const QModbusResponse& pdu) {
            if (rc == rcOk)
                rc = unpackReply(kJournalFunction, pdu.data(), reply);
            if (rc != rcOk)
                std::memset(reply, 0, sizeof reply);
            return aSink(item, rc, reply, aUser) != 0;
        });
    aRun->windowReached = report.windowReached;
    aRun->fallback = report.fallback == WindowFallback::Closed       ? OMBREL_FALLBACK_CLOSED
                     : report.fallback == WindowFallback::Unanswered ? OMBREL_FALLBACK_UNANSWERED
                                                                     : OMBREL_FALLBACK_NONE;
    aRun->delivered = report.delivered;
    return rcOk;
}

} // extern "C"
