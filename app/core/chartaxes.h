// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/chartdata.h"

#include <QLocale>
#include <QString>

#include <span>
#include <vector>

// The chart's axes as numbers: round ticks for any visible range, and which of the two value
// axes each shown series takes. No Qt Charts: the chart tab applies them.
namespace core {

// The step of round ticks over `span` with at most `maxTicks` intervals: 1, 2 or 5 times a power
// of ten (the smallest that gives no more intervals). A span that is no positive number: 1.
double NiceStep(double span, int maxTicks);
// The decimals a label of a tick at a multiple of `step` needs (0 for a step of 1 or more).
int StepDecimals(double step);

struct TAxisTick {
    double value = 0;
    QString label;
};

// Ticks at the multiples of NiceStep within [lo, hi], labelled in `locale` with its digit
// grouping and the decimals the step needs, never in scientific notation: "4 294 967 295",
// "0,25".
std::vector<TAxisTick> NumberTicks(double lo, double hi, int maxTicks, const QLocale& locale);

// Ticks of a calendar time axis within [lo, hi] (milliseconds since 1970 of the times as they
// read, without zone): at round seconds, minutes, hours or days (1, 2, 5, 10, 15 or 30 seconds
// or minutes; 1, 2, 3, 6 or 12 hours; 1, 2, 5, 10, ... days), at most `maxTicks` intervals.
// Labels name the day and, below it, the time to the step's precision ("13.09.20<br>12:30").
std::vector<TAxisTick> TimeTicks(double lo, double hi, int maxTicks);

// The value axes of the shown series: at most two, left (0) and right (1). Series share an axis
// as AssignValueAxes groups them; when that needs more than two, the first group keeps the left
// axis in its own values and every other series is drawn on the right axis normalised: its
// lowest value at 0 %, its highest at 100 %.
struct TAxisPlan {
    std::vector<int> axisOf;
    std::vector<bool> normalised;
    bool percentAxis = false; // the right axis counts per cent of each series' range
};
TAxisPlan PlanValueAxes(std::span<const TValueRange> ranges);

// Where a normalised series draws `value` of its range [min, max] (a constant: at 50 %).
double NormalisedValue(double value, double min, double max);

} // namespace core
