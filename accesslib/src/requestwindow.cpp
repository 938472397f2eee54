// SPDX-License-Identifier: MIT
#include "requestwindow.h"

#include "accesslib/frames/mbapframe.h"
#include "accesslib/frames/rtuframe.h"
#include "comm/ipc/resultcodes.h"
#include "exchange.h"
#include "exchangetrace.h"
#include "modbusline.h"

#include <algorithm>
#include <utility>

namespace ombrel {
namespace {

using namespace std::chrono;
using namespace comm::ipc;

// Requests sent beyond the oldest one not yet handed on: what a request retried many times
// holds back stays bounded.
constexpr int kMaxAhead = 256;
// A second try left unanswered behind an answered one within this many answers of the first
// makes the run fall back; a lone one is a lost answer.
constexpr int kHoleMemory = 256;
// Tries given up whose late answers are still told apart in the trace.
constexpr std::size_t kRetired = 64;
// How often a run with a stop condition asks it while it waits.
constexpr int kStopPollMs = 50;

int msUntil(steady_clock::time_point t) {
    const auto d = duration_cast<milliseconds>(t - steady_clock::now()).count();
    return d <= 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
}

bool wholeAnswer(int rc) {
    return rc != rcNoAnswer && rc != rcCrc && rc != rcLengthMismatch && rc != rcChannelClosed;
}

} // namespace

RequestWindow::RequestWindow(ModbusLine& line, ExchangeTrace& trace,
                             const ExchangeSettings& settings, quint16& transaction)
    : m_line(line), m_trace(trace), m_settings(settings), m_transaction(transaction) {}

RunReport RequestWindow::run(quint8 address, const QList<QModbusRequest>& requests,
                             const RunOptions& options, const ResultSink& sink) {
    m_address = address;
    m_requests = &requests;
    const int n = int(requests.size());
    m_auto = options.window == kAutoWindow && m_line.isMbap();
    m_window = m_line.isMbap() ? std::clamp(options.window == kAutoWindow ? options.startWindow
                                                                          : options.window,
                                            1, kMaxWindow)
                               : 1;
    m_trace.setAnswerTime(m_settings.answerMs);
    m_trace.setWindow(m_window);
    if (m_auto || m_window > 1)
        m_trace.windowChanged(m_window, OMBREL_WINDOW_START);
    while (m_head < n) {
        if ((options.stopped && options.stopped()) || !deliver(sink) || m_head >= n)
            break;
        if (m_window == 1 && m_flights.empty()) {
            askAlone();
            continue;
        }
        sendWhatFits();
        if (!m_line.isOpen())
            connectionLost();
        else if (m_flights.empty())
            askAlone(); // nothing can go out beside the oldest request: it goes alone
        else
            awaitAnswers(options);
    }
    // What is still in flight (a stopped run) is dropped by its transaction id when it comes.
    abandonFlights(false);
    m_trace.setItem(-1);
    m_trace.setWindow(1);
    m_trace.setInFlight(0);
    RunReport report;
    report.windowReached = m_fallback == WindowFallback::None ? m_window : 1;
    report.fallback = m_fallback;
    report.delivered = m_delivered;
    return report;
}

RequestWindow::Pending& RequestWindow::pending(int item) {
    while (int(m_pending.size()) <= item - m_head)
        m_pending.emplace_back();
    return m_pending[std::size_t(item - m_head)];
}

bool RequestWindow::deliver(const ResultSink& sink) {
    while (!m_pending.empty() && m_pending.front().done) {
        Pending p = std::move(m_pending.front());
        m_pending.pop_front();
        const int item = m_head++;
        ++m_delivered;
        if (!sink(item, p.rc, p.reply))
            return false;
    }
    return true;
}

void RequestWindow::askAlone() {
    const int item = m_head;
    Pending& p = pending(item);
    m_next = std::max(m_next, item + 1);
    m_trace.setItem(item);
    m_trace.setWindow(1);
    Exchange exchange(m_line, m_trace, m_settings, m_transaction);
    const auto start = Clock::now();
    p.rc = exchange.run(m_address, request(item), &p.reply);
    p.done = true;
    m_trace.setItem(-1);
    noteAnswer(wholeAnswer(p.rc) && exchange.tries() == 1 &&
               Clock::now() - start <= milliseconds(m_settings.answerMs));
}

void RequestWindow::sendWhatFits() {
    const int n = int(m_requests->size());
    while (int(m_flights.size()) < m_window && m_line.isOpen()) {
        int item = 0;
        if (!m_retry.empty()) {
            item = m_retry.front();
            m_retry.pop_front();
        } else if (m_next < n && m_next - m_head < kMaxAhead) {
            item = m_next++;
        } else {
            return;
        }
        if (!send(item))
            return;
    }
}

bool RequestWindow::send(int item) {
    Pending& p = pending(item);
    const QModbusRequest& req = request(item);
    const quint16 transaction = ++m_transaction;
    const QByteArray adu = buildMbap(transaction, m_address, req);
    if (!m_line.send(adu)) {
        m_retry.push_front(item); // the line is gone: asked again on a new connection
        return false;
    }
    const auto now = Clock::now();
    m_line.markActivity(now);
    m_flights.push_back({item, p.tries++, transaction, now, now, ++m_sent});
    m_trace.setItem(item);
    m_trace.setTry(p.tries - 1);
    m_trace.setTransaction(transaction);
    m_trace.setInFlight(int(m_flights.size()));
    m_trace.request(adu, m_address, quint8(req.functionCode()), now);
    return true;
}

RequestWindow::Clock::time_point RequestWindow::deadline() const {
    auto end = m_flights.front().clockFrom + milliseconds(m_settings.answerMs);
    // An answer that has begun may take a frame time and a character time-out more.
    if (!m_rx.isEmpty())
        end += m_line.frameTime() * 5 / 4 + milliseconds(m_settings.charMs);
    return end;
}

void RequestWindow::awaitAnswers(const RunOptions& options) {
    int wait = msUntil(deadline());
    if (wait <= 0) {
        timedOut();
        return;
    }
    if (options.stopped)
        wait = std::min(wait, kStopPollMs);
    QByteArray chunk;
    const bool got = m_line.readSome(wait, &chunk);
    if (!chunk.isEmpty()) {
        m_rx += chunk;
        takeFrames();
    }
    if (!got && !m_line.isOpen())
        connectionLost();
}

void RequestWindow::takeFrames() {
    for (;;) {
        const MbapFrame f = peekMbapFrame(m_rx);
        if (f.state == MbapFrame::State::Nothing || f.state == MbapFrame::State::Incomplete)
            return;
        if (f.state == MbapFrame::State::Corrupt) {
            unreadable();
            return;
        }
        const QByteArray frame = m_rx.left(f.size);
        m_rx.remove(0, f.size);
        const auto flight = std::find_if(m_flights.begin(), m_flights.end(), [&](const Flight& x) {
            return x.transaction == f.transaction;
        });
        if (flight != m_flights.end() && f.unit == m_address)
            answered(flight, frame);
        else
            late(frame, f.transaction);
    }
}

void RequestWindow::unreadable() {
    // Bytes no Modbus TCP peer sends: the stream cannot be read further. They count as a garbled
    // answer to the try that has waited longest.
    const QByteArray bytes = std::exchange(m_rx, {});
    if (m_flights.empty()) {
        m_trace.setItem(-1);
        m_trace.frame(OMBREL_TRACE_LATE, bytes, {}, false);
        return;
    }
    const Flight oldest = m_flights.front();
    removeFlight(m_flights.begin(), Clock::now());
    m_trace.setItem(oldest.item);
    m_trace.setTry(oldest.attempt);
    m_trace.setInFlight(int(m_flights.size()));
    m_trace.frame(OMBREL_TRACE_ANSWER, bytes, Clock::now() - oldest.sent, false);
    retire(oldest);
    tryFailed(oldest.item, rcCrc);
}

void RequestWindow::late(QByteArrayView frame, quint16 transaction) {
    // A late answer to a try given up (or a frame of no request of this run): dropped.
    const auto r = std::find_if(m_retired.begin(), m_retired.end(),
                                [&](const Flight& x) { return x.transaction == transaction; });
    const bool known = r != m_retired.end();
    m_trace.setItem(known ? r->item : -1);
    m_trace.setTry(known ? r->attempt : 0);
    m_trace.setTransaction(known ? transaction : m_transaction);
    m_trace.setInFlight(int(m_flights.size()));
    m_trace.frame(OMBREL_TRACE_LATE, frame, known ? Clock::now() - r->sent : Clock::duration{},
                  false);
}

void RequestWindow::answered(std::deque<Flight>::iterator flight, QByteArrayView frame) {
    const Flight f = *flight;
    const auto now = Clock::now();
    removeFlight(flight, now);
    const auto answer = mbapAnswer(frame, quint8(request(f.item).functionCode()));
    m_trace.setItem(f.item);
    m_trace.setTry(f.attempt);
    m_trace.setTransaction(f.transaction);
    m_trace.setInFlight(int(m_flights.size()));
    m_trace.frame(OMBREL_TRACE_ANSWER, frame, now - f.sent, answer.has_value());
    if (!answer) {
        retire(f);
        tryFailed(f.item, rcCrc);
        return;
    }
    m_lastAnswered = std::max(m_lastAnswered, f.order);
    m_reopened = false;
    if (m_answersSinceHole >= 0)
        ++m_answersSinceHole;
    Pending& p = pending(f.item);
    p.done = true;
    if (answer->isException()) {
        p.rc = exceptionResult(answer->exceptionCode());
    } else {
        p.rc = rcOk;
        p.reply = *answer;
    }
    noteAnswer(f.attempt == 0);
}

void RequestWindow::timedOut() {
    const Flight f = m_flights.front();
    const auto now = Clock::now();
    removeFlight(m_flights.begin(), now);
    retire(f);
    m_trace.setItem(f.item);
    m_trace.setTry(f.attempt);
    m_trace.setInFlight(int(m_flights.size()));
    m_trace.silentTry(now - f.sent);
    tryFailed(f.item, rcNoAnswer);
    // A try sent after this one was answered: the gateway left this one unanswered.
    if (m_lastAnswered > f.order)
        unanswered();
}

void RequestWindow::tryFailed(int item, int rc) {
    Pending& p = pending(item);
    p.rc = rc;
    noteAnswer(false);
    if (p.tries > m_settings.retries)
        p.done = true;
    else
        m_retry.push_back(item);
}

void RequestWindow::unanswered() {
    if (m_answersSinceHole >= 0 && m_answersSinceHole < kHoleMemory) {
        fallBack(WindowFallback::Unanswered);
        return;
    }
    m_answersSinceHole = 0;
}

void RequestWindow::connectionLost() {
    m_trace.setItem(-1);
    m_trace.setInFlight(0);
    m_trace.closed();
    if (m_flights.size() >= 2) {
        fallBack(WindowFallback::Closed); // one request after another opens it again
        return;
    }
    // A gateway that closes idle or answered connections: opened again, once between two
    // answers, and what was in flight is sent again as it was.
    abandonFlights(true);
    m_rx.clear();
    if (!m_reopened && m_line.isEndpoint() && m_line.reopen()) {
        m_reopened = true;
        return;
    }
    // Lost again before an answer came, or no new connection: closed until the next open();
    // the requests left get "port closed" one after another.
    m_line.close();
    m_window = 1;
    m_retry.clear();
}

void RequestWindow::fallBack(WindowFallback why) {
    m_fallback = why;
    m_window = 1;
    abandonFlights(false);
    m_retry.clear();
    m_rx.clear(); // answers to the abandoned tries: one exchange after another drops them
    m_trace.setItem(-1);
    m_trace.setWindow(1);
    m_trace.setInFlight(0);
    m_trace.windowChanged(
        1, OMBREL_WINDOW_FALLBACK |
               (why == WindowFallback::Closed ? OMBREL_WINDOW_CLOSED : OMBREL_WINDOW_UNANSWERED));
}

void RequestWindow::abandonFlights(bool again) {
    for (auto it = m_flights.rbegin(); it != m_flights.rend(); ++it) {
        retire(*it);
        if (again) {
            --pending(it->item).tries;
            m_retry.push_front(it->item);
        }
    }
    m_flights.clear();
}

void RequestWindow::removeFlight(std::deque<Flight>::iterator flight, Clock::time_point now) {
    const bool oldest = flight == m_flights.begin();
    m_flights.erase(flight);
    // A gateway that queues requests begins the next one when this one is over.
    if (oldest && !m_flights.empty())
        m_flights.front().clockFrom = std::max(m_flights.front().clockFrom, now);
}

void RequestWindow::retire(const Flight& flight) {
    m_retired.push_back(flight);
    if (m_retired.size() > kRetired)
        m_retired.pop_front();
}

void RequestWindow::noteAnswer(bool clean) {
    if (!clean) {
        m_clean = 0;
        return;
    }
    if (!m_auto || m_fallback != WindowFallback::None || m_window >= kMaxWindow ||
        !m_line.isMbap() || ++m_clean < std::max(4, m_window))
        return;
    m_clean = 0;
    m_window = std::min(2 * m_window, kMaxWindow);
    m_trace.setWindow(m_window);
    m_trace.windowChanged(m_window, OMBREL_WINDOW_WIDER);
}

} // namespace ombrel
