// SPDX-License-Identifier: MIT
#include "collect/metrics.h"

#include <QStringList>

#include <functional>

namespace collect {
namespace {

QString Number(double value) {
    return QString::number(value, 'g', 12);
}

} // namespace

QString PrometheusLabel(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'"')
            out += QStringLiteral("\\\"");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

void TCollectorMetrics::SetLines(const std::map<QString, int>& instrumentsPerLine) {
    std::lock_guard lock(m_mutex);
    for (auto& [line, counters] : m_lines)
        counters.instruments = 0;
    for (const auto& [line, count] : instrumentsPerLine)
        m_lines[line].instruments = count;
}

void TCollectorMetrics::ReadingDone(const QString& line, const TReadingCount& count) {
    std::lock_guard lock(m_mutex);
    TLineCounters& c = m_lines[line];
    ++c.readings;
    c.failures += count.failed ? 1 : 0;
    c.records += count.records;
    c.failedRecords += count.failedRecords;
    c.readingSeconds += count.seconds;
}

void TCollectorMetrics::Exchange(const QString& line, double seconds) {
    std::lock_guard lock(m_mutex);
    TLineCounters& c = m_lines[line];
    ++c.exchanges;
    c.exchangeSeconds += seconds;
    for (std::size_t b = 0; b < kExchangeBuckets.size(); ++b)
        if (seconds <= kExchangeBuckets[b]) {
            ++c.exchangeBuckets[b];
            break;
        }
}

QByteArray TCollectorMetrics::PrometheusText() const {
    std::lock_guard lock(m_mutex);
    QString out;
    using TValue = std::function<QString(const TLineCounters&)>;
    const auto family = [&](const char* name, const char* type, const char* help, TValue value) {
        out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                   .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
        for (const auto& [line, c] : m_lines)
            out += QStringLiteral("%1{line=\"%2\"} %3\n")
                       .arg(QLatin1String(name), PrometheusLabel(line), value(c));
    };
    family("journal_collect_instruments", "gauge", "Instruments of the list on the line.",
           [](const auto& c) { return QString::number(c.instruments); });
    family("journal_collect_readings_total", "counter", "Readings of the line's instruments.",
           [](const auto& c) { return QString::number(c.readings); });
    family("journal_collect_reading_failures_total", "counter",
           "Readings that did not get to the end of their journals.",
           [](const auto& c) { return QString::number(c.failures); });
    family("journal_collect_records_total", "counter", "Journal records stored anew.",
           [](const auto& c) { return QString::number(c.records); });
    family("journal_collect_failed_records_total", "counter",
           "Journal records whose request failed.",
           [](const auto& c) { return QString::number(c.failedRecords); });
    family("journal_collect_reading_seconds_total", "counter",
           "Time the line spent reading, connecting included.",
           [](const auto& c) { return Number(c.readingSeconds); });
    out += QStringLiteral("# HELP journal_collect_exchange_seconds Time of one Modbus exchange.\n"
                          "# TYPE journal_collect_exchange_seconds histogram\n");
    for (const auto& [line, c] : m_lines) {
        const QString label = PrometheusLabel(line);
        qint64 cumulative = 0;
        for (std::size_t b = 0; b < kExchangeBuckets.size(); ++b) {
            cumulative += c.exchangeBuckets[b];
            out += QStringLiteral("journal_collect_exchange_seconds_bucket{line=\"%1\",le=\"%2\"} "
                                  "%3\n")
                       .arg(label, Number(kExchangeBuckets[b]), QString::number(cumulative));
        }
        out += QStringLiteral("journal_collect_exchange_seconds_bucket{line=\"%1\",le=\"+Inf\"} "
                              "%2\n"
                              "journal_collect_exchange_seconds_sum{line=\"%1\"} %3\n"
                              "journal_collect_exchange_seconds_count{line=\"%1\"} %2\n")
                   .arg(label, QString::number(c.exchanges), Number(c.exchangeSeconds));
    }
    return out.toUtf8();
}

} // namespace collect
