// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/journaldecoder.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <span>
#include <vector>

// The data of the chart: each record type of a run that carries numbers as points over time,
// the texts of its tooltip, the value axes a set of types needs, and the thinning of a long line
// to what a plot of some width can show. Plain data and arithmetic: the chart widget only draws
// it.
namespace core {

// One record of a type.
struct TChartPoint {
    // The record's time in milliseconds since 1970-01-01 00:00:00, without any time zone (in a
    // journal that counts operating time: the counter).
    double x = 0;
    // The new value; a list type's item number.
    double y = 0;
    // The value before, in the layouts that carry one; NaN otherwise.
    double before = std::numeric_limits<double>::quiet_NaN();
    // The record's index in the run (row index + 1 of the linear list).
    std::int32_t index = -1;
};

struct TChartSeries {
    std::int32_t id = 0;   // the group's ID (the record type's)
    std::size_t group = 0; // the group's place in the run's groups (the grouped grid's row - 1)
    QString name;          // as the grouped view names the group
    std::int32_t atype = 0;
    // In time order; records of the same time in the order they were read.
    std::vector<TChartPoint> points;
    // A list type: the item numbers that occur (new or before) with their texts.
    std::map<std::int32_t, QString> items;
    // Records left out for want of a valid time, and those whose value is not a finite number
    // (a float type's NaN or infinity).
    int withoutTime = 0;
    int withoutValue = 0;
    // Lowest and highest value, before values included (0 and 0 without points).
    double minY = 0;
    double maxY = 0;

    bool isList() const { return atype == dtList; }
    // The value axis names the items of a list type that has at most this many; one with more
    // (a counter stored as a list, say) gets a numeric axis, its texts stay in the tooltips.
    static constexpr std::size_t kMaxAxisItems = 40;
    bool itemAxis() const { return isList() && items.size() <= kMaxAxisItems; }
};

struct TChartData {
    // The record types that carry numbers, in the grouped view's order.
    std::vector<TChartSeries> series;
    // The flags of the journal read: the kind of its time stamps and their texts.
    TJournalInfo journal;
    // The number the list shows for the record at index 0.
    std::int64_t startrec = 0;

    // X counts operating time rather than calendar time.
    bool workTime() const { return journal.DTIsWorkTime && !journal.StartTime; }
    // The series of a record type; nullptr when the type is not charted.
    const TChartSeries* find(std::int32_t id) const;
};

// The chart data of a run's groups. Offered are the numeric value types and the list types of
// fixed-layout records; date-time types and the groups of text records are not. `device` gives a
// list type its item texts; `journal` the layout (a value before) and the kind of time stamp.
TChartData PrepareChartData(const std::vector<TRecType>& groups, const TDevInfo* device,
                            const TJournalInfo* journal, std::int64_t startrec);
// The same from the decoder of the run (its groups, device, journal and start).
TChartData PrepareChartData(const TJournalDecoder& decoder);

// Whether the chart can place a record's time: a time that was read and, in a calendar journal
// without StartTime, a moment after 2000 (the list shows an earlier one as time elapsed since
// the instrument's clock was started, not as a date).
bool ChartTimeValid(double dateTime, const TJournalInfo* journal);

// A value of a series as its axis and tooltip show it: a list item's text, seven decimals for a
// float type, a whole number otherwise.
QString ChartValueText(const TChartSeries& series, double value);

// The tooltip of a point: the type's name, the time as the list shows it, the value (before and
// after with an arrow where the layout has a value before) and the record's number.
QString ChartPointText(const TChartData& data, const TChartSeries& series,
                       const TChartPoint& point);

// A vertex of a series' line.
struct TLineVertex {
    double x = 0;
    double y = 0;
};

// The line of a series: at each point's time its value before (when it has one), then its new
// value, so that a change shows as a vertical step from before to after.
std::vector<TLineVertex> SeriesLine(const TChartSeries& series);

// The vertices to draw of a line ordered by x, for the range [x0, x1] on `columns` pixel
// columns: in each column its first, lowest, highest and last vertex (each vertex once, in line
// order), so that every extreme stays and the drawn line looks as the whole one would; plus the
// nearest vertex on each side outside the range, so that the line runs to the plot's edges. A
// range that holds at most four vertices a column keeps all of them.
std::vector<std::size_t> DecimateLine(std::span<const TLineVertex> line, double x0, double x1,
                                      int columns);

// The value range of a shown series, and the value axis each series takes: a list type has an
// axis of its own (its item texts); numeric types share an axis while the range they span
// together is at most ten times the narrower one's, so that no series shrinks to a flat line.
struct TValueRange {
    double min = 0;
    double max = 0;
    bool list = false;
};
std::vector<int> AssignValueAxes(std::span<const TValueRange> ranges);

} // namespace core
