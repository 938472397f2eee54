// SPDX-License-Identifier: MIT
#include "exchange.h"

#include "accesslib/frames/mbapframe.h"
#include "comm/ipc/resultcodes.h"
#include "exchangetrace.h"
#include "modbusline.h"

#include <sys/prctl.h>

#include <algorithm>
#include <thread>

namespace ombrel {
namespace {

using namespace std::chrono;
using namespace comm::ipc;

// The longest RTU frame a reply can make: address, function, a byte count of 255 with its data,
// CRC.
constexpr qsizetype kMaxRtuFrame = 260;

int msUntil(steady_clock::time_point t) {
    const auto d = duration_cast<milliseconds>(t - steady_clock::now()).count();
    return d <= 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
}

// Sleeps until t with the kernel's timer slack (50 us by default) turned down for the sleep, so
// that the silence before a request is not stretched at high baud rates. The caller's setting
// (of this thread) is restored.
void sleepPreciselyUntil(steady_clock::time_point t) {
    if (t <= steady_clock::now())
        return;
    const int old = ::prctl(PR_GET_TIMERSLACK);
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    std::this_thread::sleep_until(t);
    if (old > 0)
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(old));
}

} // namespace

Exchange::Exchange(ModbusLine& line, ExchangeTrace& trace, const ExchangeSettings& settings,
                   quint16& transaction)
    : m_line(line), m_trace(trace), m_settings(settings), m_transaction(transaction),
      m_ledger(milliseconds(settings.answerMs),
               milliseconds(settings.charMs) + duration_cast<milliseconds>(line.frameTime())) {
    m_trace.setAnswerTime(settings.answerMs);
}

bool Exchange::lineBack() {
    if (m_line.isOpen())
        return true;
    if (!m_line.isEndpoint())
        return false;
    if (m_reopened || !m_line.reopen()) {
        m_line.close(); // lost again, or no new connection: closed until the next open()
        return false;
    }
    m_reopened = true;
    return true;
}

int Exchange::run(quint8 address, const QModbusRequest& request, QModbusResponse* reply) {
    if (!lineBack()) {
        m_trace.closed();
        return rcChannelClosed;
    }
    ++m_transaction;
    m_trace.setTransaction(m_transaction);
    const auto fc = static_cast<quint8>(request.functionCode());
    int rc = rcNoAnswer;
    for (int i = 0; i <= m_settings.retries; ++i) {
        m_trace.setTry(i);
        rc = attempt(address, request, reply);
        const bool final = rc != rcNoAnswer && rc != rcCrc && rc != rcLengthMismatch;
        if (!m_line.isOpen()) {
            m_trace.closed();
            // A serial port that failed stays closed. On a connection the other end closed, an
            // answer that came first stands; otherwise the try is made again on a new one.
            if (!m_line.isEndpoint() || (final && rc != rcChannelClosed))
                break;
            if (!lineBack())
                return rcChannelClosed;
            --i;
            continue;
        }
        if (final)
            break;
        // After silence there is nothing to settle: the next try goes out at once.
        if (i < m_settings.retries && rc != rcNoAnswer)
            settleAfterTry(address, fc);
    }
    // A clean exchange (one try, answered) leaves nothing due; on Modbus TCP the transaction
    // id tells late answers apart.
    if (m_ledger.due() > 0 && m_settings.listenOut && !m_line.isMbap())
        listenOut(address, fc);
    if (!m_line.isOpen() && !m_line.isEndpoint())
        return rcChannelClosed;
    return rc;
}

bool Exchange::readSome(int timeoutMs) {
    QByteArray chunk;
    const bool got = m_line.readSome(timeoutMs, &chunk);
    m_rx += chunk;
    m_trace.received(chunk);
    return got;
}

void Exchange::settleAfterTry(quint8 address, quint8 fc) {
    // A garbled answer must not run into the next try: wait for the line to go quiet, but not
    // past the time the try's answer could still be arriving (a line that never goes quiet).
    const int quietMs =
        std::max(m_settings.charMs, static_cast<int>(interFrameGapUs(m_line.baud()) / 1000) + 1);
    m_trace.startDropping();
    while (m_line.isOpen()) {
        const int left = msUntil(m_tryEnd);
        if (left <= 0 || !readSome(std::min(quietMs, left)))
            break;
        if (m_line.isMbap())
            m_rx.clear(); // answers of a past try carry their transaction: nothing to count
        else
            takeAnswers(m_rx, m_ledger, address, fc, Clock::now());
    }
    m_rx.clear();
    m_trace.endDropping(&m_ledger);
}

void Exchange::listenOut(quint8 address, quint8 fc) {
    LateAnswerListener listener(m_ledger, address, fc, Clock::now());
    // What came with the last try's answer may already hold the next.
    listener.take(m_rx, Clock::now());
    m_rx.clear();
    m_trace.startDropping();
    while (m_line.isOpen() && !listener.done(Clock::now())) {
        if (!readSome(std::max(1, msUntil(listener.deadline()))))
            break; // nothing came within the window (or the port went)
        listener.take(m_rx, Clock::now());
        m_rx.clear();
    }
    m_rx.clear();
    m_trace.endDropping(&m_ledger);
}

void Exchange::keepInterFrameGap() {
    m_trace.startDropping();
    if (m_line.isSocket()) {
        // A TCP stream keeps no silence. What waits in it is stale and dropped (a few reads at
        // most, should the other end flood it); a connection the other end closed shows here.
        for (int reads = 0; reads < 16 && m_line.isOpen(); ++reads) {
            m_trace.received(m_line.readBuffered());
            if (!readSome(0))
                break;
        }
        m_rx.clear();
        m_trace.endDropping(nullptr);
        return;
    }
    // The request goes out only after a 3.5-character silence; bytes that arrive meanwhile are
    // stale (a late answer to an earlier request) and are dropped, restarting the silence.
    // When the caller runs a Qt event loop between calls, the port may already have read such
    // bytes into its own buffer without a wait of ours. A line that never falls silent gets
    // the request after a quarter of a frame time.
    const microseconds gap(interFrameGapUs(m_line.baud()));
    const auto giveUp = Clock::now() + m_line.frameTime() / 4;
    while (m_line.isOpen()) {
        if (m_line.bytesAvailable() > 0) {
            m_trace.received(m_line.readBuffered());
            m_line.markActivity(Clock::now());
        }
        sleepPreciselyUntil(std::min(m_line.lastActivity() + gap, giveUp));
        if (Clock::now() >= giveUp || (m_line.bytesAvailable() == 0 && !readSome(0)))
            break;
    }
    m_trace.received(m_line.readBuffered());
    m_rx.clear();
    m_trace.endDropping(nullptr);
}

int Exchange::attempt(quint8 address, const QModbusRequest& request, QModbusResponse* reply) {
    m_rx.clear();
    keepInterFrameGap();
    if (!m_line.isOpen())
        return rcChannelClosed;

    const QByteArray adu =
        m_line.isMbap() ? buildMbap(m_transaction, address, request) : buildAdu(address, request);
    if (!m_line.send(adu))
        return rcChannelClosed;
    const auto sent = Clock::now();
    m_line.markActivity(sent);
    m_ledger.sent(sent);

    const auto fc = static_cast<quint8>(request.functionCode());
    m_trace.setInFlight(1);
    m_trace.request(adu, address, fc, sent);
    const auto answerDeadline = sent + milliseconds(m_settings.answerMs);
    // Once an answer has started, its bytes may take the wire time of a whole frame (and a
    // quarter more for adapters that deliver late).
    m_tryEnd = answerDeadline + m_line.frameTime() * 5 / 4 + milliseconds(m_settings.charMs);

    using State = ReplyScan::State;
    ReplyScan scan;
    for (;;) {
        scan = scanAnswer(address, fc);
        if (scan.state == State::Found)
            break;
        // A frame that has begun may take until the try's end; a broken one is over, and past
        // the answer time no other can begin.
        const int wait = scan.state == State::Nothing ? msUntil(answerDeadline)
                         : scan.state == State::Corrupt && msUntil(answerDeadline) <= 0
                             ? 0
                             : std::min(m_settings.charMs, msUntil(m_tryEnd));
        if (wait <= 0)
            break;
        if (!readSome(wait)) {
            if (!m_line.isOpen()) {
                m_trace.setInFlight(0);
                return rcChannelClosed;
            }
            // Silence: the answer is over (or never came) unless nothing has started yet and
            // the answer time is not used up.
            if (scan.state != State::Nothing || msUntil(answerDeadline) <= 0)
                break;
        }
    }

    // A frame of this server, whole or broken, is the answer to one of the tries. Without one,
    // nothing of an answer is on its way (noise is no answer).
    if (scan.state != State::Nothing)
        m_ledger.answered(Clock::now(), scan.state != State::Found);
    else
        m_tryEnd = Clock::now();
    m_trace.setInFlight(0);
    m_trace.tryEnded(scan.state != State::Nothing, scan.state == State::Found, m_ledger, m_rx,
                     sent);
    switch (scan.state) {
    case State::Found:
        m_rx.remove(0, scan.end);
        if (scan.pdu.isException())
            return exceptionResult(scan.pdu.exceptionCode());
        *reply = scan.pdu;
        return rcOk;
    case State::Incomplete:
        return rcLengthMismatch;
    case State::Corrupt:
        return rcCrc;
    case State::Nothing:
        break;
    }
    // Bytes that never formed a frame of this server are a corrupted answer; no byte at all is
    // no answer.
    return m_rx.isEmpty() ? rcNoAnswer : rcCrc;
}

ReplyScan Exchange::scanAnswer(quint8 address, quint8 fc) {
    if (m_line.isMbap())
        return takeMbapReply(m_rx, m_transaction, address, fc).scan;
    const ReplyScan scan = scanReply(m_rx, address, fc);
    // Bytes that cannot begin an answer any more are dropped, so that a line (or a TCP stream)
    // that floods costs no memory: only the longest frame's worth at the end may.
    if (scan.state != ReplyScan::State::Found && m_rx.size() > 4 * kMaxRtuFrame)
        m_rx.remove(0, m_rx.size() - kMaxRtuFrame);
    return scan;
}

} // namespace ombrel
