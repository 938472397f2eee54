// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <map>
#include <mutex>

// The collector's counters per line, for /metrics. The lines' threads count what they do; the
// status page reads them on its own thread.
namespace collect {

// What one reading of an instrument did, as the metrics count it.
struct TReadingCount {
    bool failed = false;      // the reading did not get to the end of its journals
    qint64 records = 0;       // records stored anew
    qint64 failedRecords = 0; // of those, records whose request failed
    double seconds = 0;       // the reading's time, connecting included
};

class TCollectorMetrics {
public:
    // Upper bounds of the exchange-time histogram's buckets, in seconds.
    static constexpr std::array<double, 10> kExchangeBuckets = {0.005, 0.01, 0.025, 0.05, 0.1,
                                                                0.25,  0.5,  1,     2.5,  10};

    // The lines and how many instruments each has (after the list is read); a line that is no
    // longer in the list keeps its counters.
    void SetLines(const std::map<QString, int>& instrumentsPerLine);
    // A reading of an instrument of `line` ended.
    void ReadingDone(const QString& line, const TReadingCount& count);
    // One Modbus exchange on `line` (a request and its answer, or its last try) took `seconds`.
    void Exchange(const QString& line, double seconds);

    // Everything in the Prometheus text format (version 0.0.4).
    QByteArray PrometheusText() const;

private:
    struct TLineCounters {
        int instruments = 0;
        qint64 readings = 0;
        qint64 failures = 0;
        qint64 records = 0;
        qint64 failedRecords = 0;
        double readingSeconds = 0;
        std::array<qint64, kExchangeBuckets.size()> exchangeBuckets{}; // not cumulative
        qint64 exchanges = 0;
        double exchangeSeconds = 0;
    };

    mutable std::mutex m_mutex;
    std::map<QString, TLineCounters> m_lines;
};

// A label value in the text format: backslash, double quote and line feed escaped.
QString PrometheusLabel(const QString& value);

} // namespace collect
