// SPDX-License-Identifier: MIT
#pragma once

#include "ombrel/rtuandtcpmaster.h"

#include <QByteArray>
#include <QList>
#include <QModbusPdu>

#include <chrono>
#include <deque>

namespace ombrel {

class ExchangeTrace;
class ModbusLine;
struct ExchangeSettings;

// A run of requests of a master, as RtuAndTcpMaster::exchangeRun describes: up to a window of
// them in flight on a Modbus TCP connection, each result handed on in request order; one
// Exchange after another at window 1, on other lines and after a fallback.
class RequestWindow {
public:
    using Clock = std::chrono::steady_clock;

    // `transaction` is the master's count of exchanges, which numbers Modbus TCP requests.
    RequestWindow(ModbusLine& line, ExchangeTrace& trace, const ExchangeSettings& settings,
                  quint16& transaction);

    RunReport run(quint8 address, const QList<QModbusRequest>& requests, const RunOptions& options,
                  const ResultSink& sink);

private:
    // A request of the run not yet handed on.
    struct Pending {
        int tries = 0; // tries sent (one sent again on a new connection counts once)
        bool done = false;
        int rc = 0;
        QModbusResponse reply;
    };
    // A try in flight, or one given up whose late answer may still come.
    struct Flight {
        int item = 0;
        int attempt = 0;
        quint16 transaction = 0;
        Clock::time_point sent{};
        // Its answer time counts from here: its sending, or when the try sent before it was
        // answered or given up.
        Clock::time_point clockFrom{};
        quint64 order = 0; // of sending
    };

    Pending& pending(int item);
    const QModbusRequest& request(int item) const { return (*m_requests)[item]; }
    // Hands the results at the head of the run on while they are there; false when the sink
    // ended the run.
    bool deliver(const ResultSink& sink);
    void askAlone();
    void sendWhatFits();
    bool send(int item);
    void awaitAnswers(const RunOptions& options);
    void takeFrames();
    void unreadable();
    void late(QByteArrayView frame, quint16 transaction);
    void answered(std::deque<Flight>::iterator flight, QByteArrayView frame);
    void timedOut();
    void tryFailed(int item, int rc);
    // A try left unanswered while one sent after it was answered.
    void unanswered();
    void connectionLost();
    void fallBack(WindowFallback why);
    // Takes what is in flight off the window; `again`: the tries are asked again as they were.
    void abandonFlights(bool again);
    void removeFlight(std::deque<Flight>::iterator flight, Clock::time_point now);
    void retire(const Flight& flight);
    void noteAnswer(bool clean);
    Clock::time_point deadline() const;

    ModbusLine& m_line;
    ExchangeTrace& m_trace;
    const ExchangeSettings& m_settings;
    quint16& m_transaction;

    quint8 m_address = 0;
    const QList<QModbusRequest>* m_requests = nullptr;
    std::deque<Pending> m_pending; // requests m_head, m_head + 1, ...
    int m_head = 0;
    int m_next = 0;          // the first request never sent
    std::deque<int> m_retry; // requests whose next try waits for room in the window
    std::deque<Flight> m_flights;
    std::deque<Flight> m_retired; // the latest tries given up, to tell their late answers
    QByteArray m_rx;

    int m_window = 1;
    bool m_auto = false;
    WindowFallback m_fallback = WindowFallback::None;
    int m_clean = 0; // answers in a row that came whole on their first try
    quint64 m_sent = 0;
    quint64 m_lastAnswered = 0;  // the latest sent of the tries answered
    int m_answersSinceHole = -1; // -1: no try left unanswered behind an answered one yet
    bool m_reopened = false;     // a connection was opened again since the last answer
    int m_delivered = 0;
};

} // namespace ombrel
