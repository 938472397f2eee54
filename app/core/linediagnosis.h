// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/linetrace.h"

#include <QString>

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

// The diagnosis of a line: reads a trace (as it comes, keeping counts and one sample of each
// kind, never the whole trace) and names the likely causes of what went wrong, with evidence.
namespace core {

enum class TLineCause {
    OtherAddress,     // valid answers, from another address
    Exception,        // the instrument refuses the request (an exception answer)
    LateAnswer,       // answers come after the answer time
    Damaged,          // frames of the instrument with a wrong CRC or cut short
    Garbled,          // bytes come, but no frame can be made of them (speed, parity, framing)
    NoReply,          // not a byte came back (wiring, port, power; or address, speed)
    Echo,             // the request comes back (a two-wire RS-485 adapter with echo on)
    Noise,            // stray bytes before otherwise valid answers
    OtherTransaction, // Modbus TCP answers to other requests (another transaction id)
    Closed,           // the gateway (or the port) closed the connection
    OneAtATime,       // a Modbus TCP gateway serves one request at a time: the window fell back
};

// A setting that advice names with the value to set, so that a program can offer to set it.
struct TLineSetting {
    enum Kind {
        None,
        AnswerTime, // the answer time, in milliseconds
        Address,    // the instrument's address
    };
    Kind kind = None;
    int value = 0; // 0: the advice names the setting without a value
};

// Who reads the advice: the window names its own controls, journal-read its options.
enum class TAdviceFor { Window, CommandLine };

struct TLineFinding {
    TLineCause cause;
    QString title;             // the cause, one sentence
    QString evidence;          // the counts it rests on
    QString advice;            // what to do (in no program's terms: see Advice)
    QString sample;            // a trace line that shows it
    TLineSetting setting = {}; // the setting the advice names, if any

    // The advice with where its setting is made, for `reader`.
    QString Advice(TAdviceFor reader) const;
};

// "Сбойные записи (4): 5, 17–19" (runs of numbers joined, at most `shown` numbers or runs, then
// "… ещё N"); empty without records.
QString FailedRecordsText(const std::vector<std::int64_t>& records, int shown = 20);

class TLineDiagnosis : public ITraceObserver {
public:
    void OnFrame(const TFrameEvent& event) override;
    void Reset() { *this = TLineDiagnosis(); }

    // What went wrong, the likeliest cause first; empty when the trace shows nothing wrong (or
    // holds no request).
    std::vector<TLineFinding> Findings() const;
    // The findings as text for the user: "Вероятная причина: ..." with evidence, advice (for
    // `reader`) and the sample, then the other findings; empty when there are none.
    QString Text(TAdviceFor reader = TAdviceFor::CommandLine) const;

private:
    // One kind of observation: how often, and the first event that showed it.
    struct TTally {
        int count = 0;
        QString sample;
        void add(const TFrameEvent& event, int n = 1);
    };

    void OnReceived(const TFrameEvent& event);
    // Findings about the answers that came (another address, exceptions, late answers), then
    // about the line (damaged frames, bytes without a frame, silence, echo, stray bytes).
    void CollectAnswerFaults(std::vector<TLineFinding>& out, const QString& exchanges) const;
    void CollectLineFaults(std::vector<TLineFinding>& out, const QString& exchanges) const;

    TTraceLink m_link = TTraceLink::Serial; // of the last event
    int m_requests = 0;
    int m_retries = 0;
    int m_answerMs = 0;
    int m_address = -1; // of the last request
    int m_function = -1;
    qsizetype m_requestLength = 0;
    QString m_firstRequest;
    int m_silences = 0;
    qint64 m_bytes = 0; // received, echoes not counted
    int m_answers = 0;  // valid frames of the addressed instrument
    TTally m_garbled;   // receptions without a frame
    qint64 m_garbledBytes = 0;
    TTally m_noise; // receptions with stray bytes before a frame
    qint64 m_noiseBytes = 0;
    TTally m_damaged;
    TTally m_echo;
    TTally m_otherAddress;
    std::set<int> m_otherAddresses;
    TTally m_otherTransaction;
    TTally m_closed;
    TTally m_fallback; // the window's fall back to one request at a time
    bool m_fallbackClosed = false;
    TTally m_late;
    qint64 m_latestUs = 0;
    // Exceptions by (function, code), with a sample of the first.
    std::map<std::pair<int, int>, int> m_exceptionCounts;
    TTally m_exception;
};

} // namespace core
