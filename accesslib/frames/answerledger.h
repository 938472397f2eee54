// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <chrono>
#include <vector>

// Late answers on an RTU line. An RTU answer carries no request number (and a function-65
// answer no record index): an answer that comes after its try timed out would be taken for the
// answer to whatever is sent next. The only defence is timing: count the tries sent and the
// answers seen, and before the next request listen out the answers still due, dropping them.
namespace ombrel {

class AnswerLedger {
public:
    using Clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;

    // answerTime: how long a try waits for its answer; slack: what a window adds for the line's
    // own jitter.
    AnswerLedger(ms answerTime, ms slack) : m_answerTime(answerTime), m_slack(slack) {}

    // A try went out.
    void sent(Clock::time_point at) { m_sends.push_back(at); }
    // An answer of the addressed server arrived (taken or an exception; `garbled`: a frame of
    // the right start whose CRC or length is wrong). Answers are matched to tries in turn: the
    // first to the first try not yet answered. That is the earliest try it can answer, so the
    // lateness it shows is the most it can be. A garbled frame tells nothing of lateness (on a
    // noisy line it may be noise).
    void answered(Clock::time_point at, bool garbled = false);
    // How long after the try it was matched to the last answer came (zero before any).
    Clock::duration lastLateness() const { return m_lastLateness; }
    // Tries whose answer has not come (yet).
    int due() const { return int(m_sends.size()) - m_answered; }
    int tries() const { return int(m_sends.size()); }

    // How long to wait for the next answer still due: the answer time, or, once an answer came
    // later than that, the lateness it showed (an instrument that takes its requests in turn
    // sends the next answer about that long after the last one), plus the slack.
    ms window() const;
    // When the answers still due may all have come if none comes before: the last try waits
    // out its answer time, then a window passes.
    Clock::time_point settledBy(Clock::time_point now) const;

private:
    ms m_answerTime;
    ms m_slack;
    std::vector<Clock::time_point> m_sends;
    int m_answered = 0;
    ms m_lateness{0};
    Clock::duration m_lastLateness{0};
};

// Listens out the answers still due after an exchange: every byte is dropped, the frames of the
// addressed server (with a good CRC: line noise never counts) are counted in the ledger, and
// the listening ends when no answer is due any more, or when a window passes without one.
class LateAnswerListener {
public:
    using Clock = AnswerLedger::Clock;

    LateAnswerListener(AnswerLedger& ledger, quint8 address, quint8 fc, Clock::time_point start);

    // Bytes received at `now`; returns the number of answers they completed.
    int take(QByteArrayView bytes, Clock::time_point now);
    bool done(Clock::time_point now) const { return m_ledger.due() <= 0 || now >= m_deadline; }
    // When listening ends unless an answer comes first.
    Clock::time_point deadline() const { return m_deadline; }

private:
    AnswerLedger& m_ledger;
    quint8 m_address;
    quint8 m_fc;
    Clock::time_point m_deadline;
    QByteArray m_rx;
};

// Counts in the ledger the good frames of (address, fc) at the start of `rx`'s candidates,
// removes them, and trims what can no longer begin one. Returns how many it counted.
int takeAnswers(QByteArray& rx, AnswerLedger& ledger, quint8 address, quint8 fc,
                AnswerLedger::Clock::time_point now);

} // namespace ombrel
