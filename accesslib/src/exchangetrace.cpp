// SPDX-License-Identifier: MIT
#include "exchangetrace.h"

#include "accesslib/frames/mbapframe.h"
#include "accesslib/frames/rtuframe.h"
#include "modbusline.h"

#include <algorithm>
#include <limits>

namespace ombrel {

using namespace std::chrono;

void TracePrefix::add(QByteArrayView bytes) {
    const qsizetype room = std::max<qsizetype>(0, kTracePrefix - head.size());
    head.append(bytes.first(std::min(room, bytes.size())));
    omitted += bytes.size() - std::min(room, bytes.size());
}

void ExchangeTrace::setObserver(OmbrelTraceObserver observer, void* user) {
    m_observer = observer;
    m_user = user;
    m_dropping = false;
    m_dropped.clear();
}

OmbrelTraceEvent ExchangeTrace::event(int kind, QByteArrayView bytes) const {
    OmbrelTraceEvent e{};
    e.size = sizeof(OmbrelTraceEvent);
    e.kind = kind;
    e.timeUs = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    e.bytes = reinterpret_cast<const uint8_t*>(bytes.data());
    e.length = int32_t(bytes.size());
    e.address = -1;
    e.function = -1;
    e.attempt = m_try;
    e.answerMs = m_answerMs;
    e.baud = m_line.baud();
    e.link = m_line.link();
    e.window = m_window;
    e.inFlight = m_inFlight;
    e.item = m_item;
    return e;
}

void ExchangeTrace::request(const QByteArray& adu, quint8 address, quint8 fc,
                            Clock::time_point sent) {
    if (!isOn())
        return;
    m_sent = sent;
    m_adu = adu;
    m_address = address;
    m_fc = fc;
    m_mbapRx.clear();
    OmbrelTraceEvent e = event(OMBREL_TRACE_REQUEST, adu);
    e.address = address;
    e.function = fc;
    m_observer(&e, m_user);
}

void ExchangeTrace::received(QByteArrayView bytes) {
    if (!isOn())
        return;
    if (m_line.isMbap())
        m_mbapRx.add(bytes); // the stream's frames leave the exchange's buffer as they are taken
    if (m_dropping)
        m_dropped.add(bytes);
}

void ExchangeTrace::receivedEvent(int kind, QByteArrayView bytes, qint64 omitted,
                                  Clock::duration elapsed, bool taken) {
    const FrameDescription d = m_line.isMbap() ? describeMbapReceived(bytes, m_transaction)
                                               : describeReceived(bytes, m_adu, m_address, m_fc);
    const QByteArrayView kept = bytes.first(std::min(bytes.size(), kTracePrefix));
    OmbrelTraceEvent e = event(kind, kept);
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
    m_observer(&e, m_user);
}

void ExchangeTrace::tryEnded(bool matched, bool taken, const AnswerLedger& ledger,
                             const QByteArray& rx, Clock::time_point sent) {
    if (!isOn())
        return;
    // Bytes matched to a try are timed by the ledger; others from this try's request.
    const QByteArray& bytes = m_line.isMbap() ? m_mbapRx.head : rx;
    if (bytes.isEmpty())
        silence(Clock::now() - sent);
    else
        receivedEvent(OMBREL_TRACE_ANSWER, bytes, m_line.isMbap() ? m_mbapRx.omitted : 0,
                      matched ? ledger.lastLateness() : m_line.lastActivity() - sent, taken);
}

void ExchangeTrace::silence(Clock::duration waited) {
    OmbrelTraceEvent e = event(OMBREL_TRACE_SILENCE, {});
    e.elapsedUs = duration_cast<microseconds>(waited).count();
    m_observer(&e, m_user);
}

void ExchangeTrace::frame(int kind, QByteArrayView bytes, Clock::duration elapsed, bool taken) {
    if (isOn())
        receivedEvent(kind, bytes, 0, elapsed, taken);
}

void ExchangeTrace::silentTry(Clock::duration waited) {
    if (isOn())
        silence(waited);
}

void ExchangeTrace::windowChanged(int window, int flags) {
    if (!isOn())
        return;
    OmbrelTraceEvent e = event(OMBREL_TRACE_WINDOW, {});
    e.window = window;
    e.flags = flags;
    m_observer(&e, m_user);
}

void ExchangeTrace::closed() {
    if (!isOn())
        return;
    const OmbrelTraceEvent e = event(OMBREL_TRACE_CLOSED, {});
    m_observer(&e, m_user);
}

void ExchangeTrace::endDropping(const AnswerLedger* ledger) {
    m_dropping = false;
    if (!isOn() || m_dropped.isEmpty() || m_adu.isEmpty()) {
        m_dropped.clear();
        return;
    }
    // Late answers are matched to their tries by the ledger; other stale bytes are timed from
    // the last request.
    const Clock::duration elapsed = ledger && ledger->tries() > ledger->due()
                                        ? ledger->lastLateness()
                                        : m_line.lastActivity() - m_sent;
    receivedEvent(OMBREL_TRACE_LATE, m_dropped.head, m_dropped.omitted, elapsed, false);
    m_dropped.clear();
}

} // namespace ombrel
