// SPDX-License-Identifier: MIT
#include "app/core/chartaxes.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <cmath>

namespace core {
namespace {

constexpr double kSecond = 1000;
constexpr double kMinute = 60 * kSecond;
constexpr double kHour = 60 * kMinute;
constexpr double kDay = 24 * kHour;

// The multiples of `step` within [lo, hi]; none for a range or step that is no number.
std::vector<double> Multiples(double lo, double hi, double step) {
    std::vector<double> out;
    if (!(hi >= lo) || !(step > 0) || !std::isfinite(lo) || !std::isfinite(hi))
        return out;
    const double first = std::ceil(lo / step - 1e-9);
    for (double k = first; k * step <= hi + step * 1e-9 && out.size() < 1000; ++k)
        out.push_back(k * step == 0 ? 0.0 : k * step); // no "-0"
    return out;
}

} // namespace

double NiceStep(double span, int maxTicks) {
    if (!(span > 0) || !std::isfinite(span))
        return 1;
    const double rough = span / std::max(maxTicks, 1);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= rough * (1 - 1e-12))
            return m * power;
    return 10 * power;
}

int StepDecimals(double step) {
    if (!(step > 0) || step >= 1)
        return 0;
    return std::min(15, int(std::ceil(-std::log10(step) - 1e-9)));
}

std::vector<TAxisTick> NumberTicks(double lo, double hi, int maxTicks, const QLocale& locale) {
    const double step = NiceStep(hi - lo, maxTicks);
    const int decimals = StepDecimals(step);
    std::vector<TAxisTick> ticks;
    for (const double v : Multiples(lo, hi, step))
        ticks.push_back({v, locale.toString(v, 'f', decimals)});
    return ticks;
}

std::vector<TAxisTick> TimeTicks(double lo, double hi, int maxTicks) {
    static constexpr std::array kSteps = {
        1.0,          10.0,         100.0,        kSecond,    2 * kSecond, 5 * kSecond,
        10 * kSecond, 15 * kSecond, 30 * kSecond, kMinute,    2 * kMinute, 5 * kMinute,
        10 * kMinute, 15 * kMinute, 30 * kMinute, kHour,      2 * kHour,   3 * kHour,
        6 * kHour,    12 * kHour,   kDay,         2 * kDay,   5 * kDay,    10 * kDay,
        20 * kDay,    50 * kDay,    100 * kDay,   200 * kDay, 500 * kDay,  1000 * kDay};
    const double span = hi - lo;
    const double rough = span / std::max(maxTicks, 1);
    double step = kSteps.back();
    for (const double s : kSteps)
        if (s >= rough) {
            step = s;
            break;
        }
    if (step == kSteps.back() && rough > step)
        step = NiceStep(span / kDay, maxTicks) * kDay;
    const QString format = step >= kDay      ? QStringLiteral("dd.MM.yy")
                           : step >= kMinute ? QStringLiteral("dd.MM.yy<br>HH:mm")
                           : step >= kSecond ? QStringLiteral("dd.MM.yy<br>HH:mm:ss")
                                             : QStringLiteral("dd.MM.yy<br>HH:mm:ss.zzz");
    std::vector<TAxisTick> ticks;
    for (const double v : Multiples(lo, hi, step))
        ticks.push_back(
            {v, QDateTime::fromMSecsSinceEpoch(qint64(std::llround(v)), Qt::UTC).toString(format)});
    return ticks;
}

TAxisPlan PlanValueAxes(std::span<const TValueRange> ranges) {
    TAxisPlan plan;
    plan.axisOf = AssignValueAxes(ranges);
    plan.normalised.assign(ranges.size(), false);
    const int axes =
        plan.axisOf.empty() ? 0 : *std::max_element(plan.axisOf.begin(), plan.axisOf.end()) + 1;
    if (axes <= 2)
        return plan;
    plan.percentAxis = true;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        plan.normalised[i] = plan.axisOf[i] != 0;
        plan.axisOf[i] = plan.axisOf[i] != 0 ? 1 : 0;
    }
    return plan;
}

double NormalisedValue(double value, double min, double max) {
    return max > min ? (value - min) / (max - min) * 100 : 50;
}

} // namespace core
