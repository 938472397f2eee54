// SPDX-License-Identifier: MIT
#pragma once

#include "accesslib/frames/answerledger.h"
#include "ombreldll.h"

#include <QByteArray>
#include <QByteArrayView>

#include <chrono>

namespace ombrel {

class ModbusLine;

// What the trace keeps of a stretch of received bytes: the first kTracePrefix bytes and a count of
// the rest, so that a line or a peer that floods costs the trace no memory.
inline constexpr qsizetype kTracePrefix = 512;
struct TracePrefix {
    QByteArray head;
    qint64 omitted = 0;
    void add(QByteArrayView bytes);
    void clear() {
        head.clear();
        omitted = 0;
    }
    bool isEmpty() const { return head.isEmpty() && omitted == 0; }
};

// The line trace of a master: hands each request, what each try received (or its silence), the
// bytes dropped as late or stale and a line found closed to the observer the program installed,
// as OmbrelTraceEvent of the library's header. While no observer is set every call does nothing.
class ExchangeTrace {
public:
    using Clock = std::chrono::steady_clock;

    // The events tell the link and speed of `line`.
    explicit ExchangeTrace(const ModbusLine& line) : m_line(line) {}

    // Null ends the trace.
    void setObserver(OmbrelTraceObserver observer, void* user);
    bool isOn() const { return m_observer != nullptr; }

    // The answer time of the exchanges that follow.
    void setAnswerTime(int answerMs) { m_answerMs = answerMs; }
    // The Modbus TCP transaction of the exchange under way: received frames of another are told.
    void setTransaction(quint16 transaction) { m_transaction = transaction; }
    // The try the next events belong to (0: the first).
    void setTry(int attempt) { m_try = attempt; }
    // A run of requests: the position of the request the next events belong to (-1: none), the
    // window and the requests in flight right after each event.
    void setItem(int item) { m_item = item; }
    void setWindow(int window) { m_window = window; }
    void setInFlight(int inFlight) { m_inFlight = inFlight; }

    void request(const QByteArray& adu, quint8 address, quint8 fc, Clock::time_point sent);
    // Every stretch of bytes read from the line passes here.
    void received(QByteArrayView bytes);
    // What a try received, or its silence. `rx` holds the RTU bytes of the try (a Modbus TCP
    // try's bytes are the ones received() kept); `matched`: a frame of the addressed server that
    // the ledger matched to a try; `taken`: taken as the answer.
    void tryEnded(bool matched, bool taken, const AnswerLedger& ledger, const QByteArray& rx,
                  Clock::time_point sent);
    // Bytes read from here on are dropped (stale or late): they are kept for one event, which
    // endDropping() sends. The ledger, when given, times late answers from their tries.
    void startDropping() { m_dropping = isOn(); }
    void endDropping(const AnswerLedger* ledger);
    void closed();

    // A run with requests in flight tells each frame apart by its transaction id: a whole
    // Modbus TCP frame (or bytes that cannot be read as one) of the transaction set, as an event
    // of `kind` (OMBREL_TRACE_ANSWER or OMBREL_TRACE_LATE); `elapsed` since its request.
    void frame(int kind, QByteArrayView bytes, Clock::duration elapsed, bool taken);
    // A try of a run that got no answer within its answer time.
    void silentTry(Clock::duration waited);
    // The run's window changed to `window` (OMBREL_WINDOW_* flags say why).
    void windowChanged(int window, int flags);

private:
    // An event of `kind` of the current try on this link.
    OmbrelTraceEvent event(int kind, QByteArrayView bytes) const;
    // Received bytes as one event; only their first kTracePrefix bytes go with it, the rest
    // (and `omitted` bytes already left out) are counted.
    void receivedEvent(int kind, QByteArrayView bytes, qint64 omitted, Clock::duration elapsed,
                       bool taken);
    void silence(Clock::duration waited);

    const ModbusLine& m_line;
    OmbrelTraceObserver m_observer = nullptr;
    void* m_user = nullptr;
    int m_answerMs = 0;
    quint16 m_transaction = 0;
    int m_try = 0;
    int m_item = -1;
    int m_window = 1;
    int m_inFlight = 0;
    // The request received bytes are related to.
    QByteArray m_adu;
    quint8 m_address = 0;
    quint8 m_fc = 0;
    Clock::time_point m_sent{};
    TracePrefix m_mbapRx; // what a Modbus TCP try received
    bool m_dropping = false;
    TracePrefix m_dropped;
};

} // namespace ombrel
