// SPDX-License-Identifier: MIT
#include "app/core/chartdata.h"

#include "app/core/recordformat.h"
#include "app/core/timeformats.h"

#include <algorithm>
#include <cmath>

namespace core {

namespace {

constexpr double kMsPerDay = 86400000.0;
// 2001-01-01 as a date-time.
constexpr double kFirstCalendarDay = 36892.0;

// Whether a group carries numbers the chart can draw.
bool Charted(const TRecType& group) {
    if (group.atype == dtDateTime || group.Events.empty())
        return false;
    // A list type is charted by its item numbers, which only fixed-layout records carry; the
    // groups of text records (and mode changes) hold texts only.
    return group.atype != dtList || group.Events.front().RawNew.has_value();
}

const std::vector<TValueStr>* ItemTexts(const TDevInfo* device, std::int32_t id) {
    if (!device)
        return nullptr;
    const auto& types = device->ListRecType;
    const auto it =
        std::find_if(types.begin(), types.end(), [&](const TRecType& t) { return t.addr == id; });
    return it != types.end() && it->Strs ? &*it->Strs : nullptr;
}

// The value before of an event in its group's terms; NaN when it has none.
double BeforeValue(const TRecType& group, const TRecEvent& e, const std::vector<TValueStr>* items,
                   TChartSeries& series) {
    if (!e.RawBefore)
        return std::numeric_limits<double>::quiet_NaN();
    if (group.atype == dtList) {
        const auto n = static_cast<std::int32_t>(*e.RawBefore);
        if (!series.items.count(n))
            series.items[n] = items ? FormatValue(dtList, *e.RawBefore, items)->text
                                    : QStringLiteral("[%1]").arg(n);
        return n;
    }
    const auto v = FormatValue(group.atype, *e.RawBefore, nullptr);
    const double before = v ? GroupValueNumber(group.atype, v->value).value_or(0) : 0;
    // A value before that is no number shows no step.
    return v && std::isfinite(before) ? before : std::numeric_limits<double>::quiet_NaN();
}

TChartSeries PrepareSeries(const TRecType& group, const TDevInfo* device,
                           const TJournalInfo* journal) {
    TChartSeries s;
    s.id = group.addr;
    s.atype = group.atype;
    s.name = group.Name == QLatin1String("???") ? QString::number(group.addr) : group.Name;
    const std::vector<TValueStr>* items = s.isList() ? ItemTexts(device, group.addr) : nullptr;
    s.points.reserve(group.Events.size());
    for (const TRecEvent& e : group.Events) {
        if (!ChartTimeValid(e.datetime, journal)) {
            ++s.withoutTime;
            continue;
        }
        TChartPoint p;
        p.x = (e.datetime - kUnixEpochDays) * kMsPerDay;
        p.index = e.Index;
        if (s.isList()) {
            const auto n = static_cast<std::int32_t>(e.RawNew.value_or(0));
            s.items.try_emplace(n, e.Value.toString());
            p.y = n;
        } else {
            p.y = GroupValueNumber(s.atype, e.Value).value_or(0);
        }
        if (!std::isfinite(p.y)) {
            ++s.withoutValue;
            continue;
        }
        p.before = BeforeValue(group, e, items, s);
        s.points.push_back(p);
    }
    std::stable_sort(s.points.begin(), s.points.end(),
                     [](const TChartPoint& a, const TChartPoint& b) { return a.x < b.x; });
    bool first = true;
    for (const TChartPoint& p : s.points) {
        for (const double v : {p.y, p.before}) {
            if (std::isnan(v))
                continue;
            s.minY = first ? v : std::min(s.minY, v);
            s.maxY = first ? v : std::max(s.maxY, v);
            first = false;
        }
    }
    return s;
}

} // namespace

const TChartSeries* TChartData::find(std::int32_t id) const {
    const auto it = std::find_if(series.begin(), series.end(),
                                 [&](const TChartSeries& s) { return s.id == id; });
    return it != series.end() ? &*it : nullptr;
}

bool ChartTimeValid(double dateTime, const TJournalInfo* journal) {
    if (!std::isfinite(dateTime))
        return false;
    if (journal && (journal->StartTime || journal->DTIsWorkTime))
        return true;
    // The calendar form of the list starts after 2000 (see FormatRecordTime).
    return dateTime >= kFirstCalendarDay;
}

TChartData PrepareChartData(const std::vector<TRecType>& groups, const TDevInfo* device,
                            const TJournalInfo* journal, std::int64_t startrec) {
    TChartData data;
    if (journal)
        data.journal = *journal;
    data.startrec = startrec;
    for (std::size_t i = 0; i < groups.size(); ++i)
        if (Charted(groups[i])) {
            data.series.push_back(PrepareSeries(groups[i], device, journal));
            data.series.back().group = i;
        }
    return data;
}

TChartData PrepareChartData(const TJournalDecoder& decoder) {
    return PrepareChartData(decoder.ListRecGroup(), decoder.device(), decoder.journal(),
                            decoder.startrec());
}

QString ChartValueText(const TChartSeries& series, double value) {
    if (series.isList()) {
        const auto it = series.items.find(static_cast<std::int32_t>(value));
        return it != series.items.end() ? it->second : QString::number(value);
    }
    if (series.atype == dtFloat)
        return FormatFloat(value);
    return QString::number(static_cast<qint64>(std::llround(value)));
}

QString ChartPointText(const TChartData& data, const TChartSeries& series,
                       const TChartPoint& point) {
    const double dateTime = point.x / kMsPerDay + kUnixEpochDays;
    QString value = ChartValueText(series, point.y);
    if (!std::isnan(point.before))
        value = ChartValueText(series, point.before) + QStringLiteral(" → ") + value;
    return QStringLiteral("%1\nВремя: %2\nЗначение: %3\nЗапись: %4")
        .arg(series.name, FormatRecordTime(dateTime, &data.journal).trimmed(), value)
        .arg(data.startrec + point.index);
}

std::vector<TLineVertex> SeriesLine(const TChartSeries& series) {
    std::vector<TLineVertex> line;
    line.reserve(series.points.size() * 2);
    for (const TChartPoint& p : series.points) {
        if (!std::isnan(p.before))
            line.push_back({p.x, p.before});
        line.push_back({p.x, p.y});
    }
    return line;
}

std::vector<std::size_t> DecimateLine(std::span<const TLineVertex> line, double x0, double x1,
                                      int columns) {
    const auto byX = [](const TLineVertex& v, double x) { return v.x < x; };
    const auto first = static_cast<std::size_t>(
        std::lower_bound(line.begin(), line.end(), x0, byX) - line.begin());
    const auto end = static_cast<std::size_t>(
        std::upper_bound(line.begin(), line.end(), x1,
                         [](double x, const TLineVertex& v) { return x < v.x; }) -
        line.begin());
    std::vector<std::size_t> kept;
    if (first > 0)
        kept.push_back(first - 1);
    columns = std::max(columns, 1);
    if (end <= first || end - first <= 4 * static_cast<std::size_t>(columns) || !(x1 > x0)) {
        for (std::size_t i = first; i < end; ++i)
            kept.push_back(i);
    } else {
        const double perColumn = columns / (x1 - x0);
        const auto columnOf = [&](std::size_t i) {
            return std::clamp(static_cast<int>((line[i].x - x0) * perColumn), 0, columns - 1);
        };
        for (std::size_t start = first; start < end;) {
            const int column = columnOf(start);
            std::size_t stop = start, low = start, high = start;
            while (stop < end && columnOf(stop) == column) {
                if (line[stop].y < line[low].y)
                    low = stop;
                if (line[stop].y > line[high].y)
                    high = stop;
                ++stop;
            }
            std::size_t picks[] = {start, low, high, stop - 1};
            std::sort(std::begin(picks), std::end(picks));
            for (const std::size_t i : picks)
                if (kept.empty() || kept.back() != i)
                    kept.push_back(i);
            start = stop;
        }
    }
    if (end < line.size())
        kept.push_back(end);
    return kept;
}

std::vector<int> AssignValueAxes(std::span<const TValueRange> ranges) {
    // The height a range takes on an axis; a constant takes its own size.
    const auto height = [](double lo, double hi) {
        if (hi > lo)
            return hi - lo;
        return lo != 0 ? std::abs(lo) : 1.0;
    };
    std::vector<int> axisOf;
    std::vector<TValueRange> axes;
    for (const TValueRange& r : ranges) {
        int chosen = -1;
        for (std::size_t a = 0; a < axes.size() && chosen < 0 && !r.list; ++a) {
            const TValueRange& axis = axes[a];
            if (axis.list)
                continue;
            const double lo = std::min(axis.min, r.min), hi = std::max(axis.max, r.max);
            if (hi - lo <= 10 * std::min(height(axis.min, axis.max), height(r.min, r.max))) {
                chosen = static_cast<int>(a);
                axes[a] = TValueRange{lo, hi, false};
            }
        }
        if (chosen < 0) {
            chosen = static_cast<int>(axes.size());
            axes.push_back(r);
        }
        axisOf.push_back(chosen);
    }
    return axisOf;
}

} // namespace core
