// SPDX-License-Identifier: MIT
#include "accesslib/frames/answerledger.h"

#include "accesslib/frames/rtuframe.h"

#include <algorithm>

namespace ombrel {
namespace {

// Bytes kept of what cannot be told yet: two frames of the longest kind.
constexpr qsizetype kKeep = 2 * 260;

} // namespace

void AnswerLedger::answered(Clock::time_point at, bool garbled) {
    if (m_answered >= int(m_sends.size()))
        return; // a frame no try of this exchange asked for
    m_lastLateness = at - m_sends[std::size_t(m_answered)];
    const auto late = std::chrono::duration_cast<ms>(m_lastLateness);
    if (!garbled)
        m_lateness = std::max(m_lateness, late);
    ++m_answered;
}

AnswerLedger::ms AnswerLedger::window() const {
    return std::max(m_answerTime, m_lateness) + m_slack;
}

AnswerLedger::Clock::time_point AnswerLedger::settledBy(Clock::time_point now) const {
    const auto answerEnd = m_sends.empty() ? now : std::max(now, m_sends.back() + m_answerTime);
    return answerEnd + window();
}

int takeAnswers(QByteArray& rx, AnswerLedger& ledger, quint8 address, quint8 fc,
                AnswerLedger::Clock::time_point now) {
    int taken = 0;
    for (;;) {
        const ReplyScan scan = scanReply(rx, address, fc);
        if (scan.state == ReplyScan::State::Found) {
            ledger.answered(now);
            rx.remove(0, scan.end);
            ++taken;
            continue;
        }
        // Nothing can begin a frame except perhaps the last byte (an address whose function
        // byte is still on its way); otherwise keep what may still become one.
        if (scan.state == ReplyScan::State::Nothing)
            rx = rx.right(1);
        else if (rx.size() > kKeep)
            rx = rx.right(kKeep);
        return taken;
    }
}

LateAnswerListener::LateAnswerListener(AnswerLedger& ledger, quint8 address, quint8 fc,
                                       Clock::time_point start)
    : m_ledger(ledger), m_address(address), m_fc(fc), m_deadline(start + ledger.window()) {}

int LateAnswerListener::take(QByteArrayView bytes, Clock::time_point now) {
    m_rx.append(bytes);
    const int taken = takeAnswers(m_rx, m_ledger, m_address, m_fc, now);
    if (taken > 0)
        m_deadline = now + m_ledger.window();
    return taken;
}

} // namespace ombrel
