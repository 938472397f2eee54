// SPDX-License-Identifier: MIT
// C entry points of OmbrelDll.so: the calls of ombrel/librarycalls.h on one master, the library's
// single connection; a mutex makes each call whole.
#include "ombreldll.h"
#include "accesslib/frames/rtuframe.h"
#include "comm/ipc/datatypes.h"
#include "librarymaster.h"
#include "ombrel/librarycalls.h"

#include <QByteArray>
#include <QModbusPdu>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using namespace ombrel;

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
    const QString error = connectPort(master(), aPort, aSpeed, aType);
    lastError() = error.toUtf8();
    return error.isEmpty() ? 1 : 0;
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
    std::lock_guard lock(g_mutex);
    return deviceName(master(), aDevAddr, aP, aSize);
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
    std::lock_guard lock(g_mutex);
    return readRegisters(master(), QModbusPdu::ReadInputRegisters, aDevAddr, aRegAddr, aCount,
                         aType, aP);
}

OMBREL_EXPORT int32_t ReadHoldingRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount,
                                          int32_t aType, uint8_t* aP) {
    std::lock_guard lock(g_mutex);
    return readRegisters(master(), QModbusPdu::ReadHoldingRegisters, aDevAddr, aRegAddr, aCount,
                         aType, aP);
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
    std::lock_guard lock(g_mutex);
    return anyFunction(master(), aDevAddr, aFunNumber, aSize, aP);
}

OMBREL_EXPORT int32_t Retries(int32_t aRetries) {
    std::lock_guard lock(g_mutex);
    master().setRetries(aRetries);
    return 0;
}

OMBREL_EXPORT int32_t SetTimeouts(int32_t aAnswerMs, int32_t aCharMs) {
    std::lock_guard lock(g_mutex);
    setTimeouts(master(), aAnswerMs, aCharMs);
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
