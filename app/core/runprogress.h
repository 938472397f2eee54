// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <QtGlobal>

#include <deque>
#include <functional>
#include <utility>

namespace core {

// The progress text of a long reading: "Запись 347 из 1000 · 35 % · осталось ≈ 0:12". The time
// left comes from the rate over the last seconds, so that a line that slows down or recovers
// shows in it soon; it is told once records have been seen for a second. The clock is given, so
// that the text can be checked at any pace.
class TRunProgress {
public:
    // Milliseconds of a steady clock.
    using TClock = std::function<qint64()>;
    // The rate is taken over this many milliseconds.
    static constexpr qint64 kRateWindowMs = 5000;

    explicit TRunProgress(TClock clock) : m_clock(std::move(clock)) {}

    // A run of `total` records begins: none done.
    void Start(int total);
    // `done` records of the run are done (read or failed).
    void Update(int done);

    int done() const { return m_done; }
    int total() const { return m_total; }
    // The text; empty for a run without records.
    QString Text() const;
    // "0:12", "1:05:07": the time, rounded up to whole seconds.
    static QString Duration(qint64 ms);

private:
    TClock m_clock;
    int m_total = 0;
    int m_done = 0;
    // (time, records done): the newest last; the oldest at or before the window's start.
    std::deque<std::pair<qint64, int>> m_samples;
};

} // namespace core
