// SPDX-License-Identifier: MIT
#include "archive/incrementalplan.h"

#include <algorithm>

namespace archive {

namespace {
constexpr std::size_t kMaxCandidates = 3;
}

int RequestIndex(qint64 number, int ringSize) {
    return static_cast<int>(ringSize > 0 ? number % ringSize : number);
}

TInstrumentRange RunRange(qint64 startrec, qint64 countRec, qint64 maxRec, int ringSize) {
    const qint64 heldFirst = ringSize > 0 ? std::max<qint64>(0, maxRec - ringSize) : 0;
    return {heldFirst, maxRec, startrec, countRec, ringSize};
}

std::vector<TComparison> PlanComparisons(const TInstrumentRange& range,
                                         const std::vector<TPlanCandidate>& candidates) {
    std::vector<TComparison> steps;
    const std::size_t n = std::min(candidates.size(), kMaxCandidates);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& c = candidates[i];
        if (!c.highestAnswered || *c.highestAnswered < range.heldFirst ||
            *c.highestAnswered >= range.maxRec)
            continue;
        steps.push_back(
            {c.seriesId, *c.highestAnswered, RequestIndex(*c.highestAnswered, range.ringSize)});
    }
    return steps;
}

std::vector<qint64> NumbersToRead(const TInstrumentRange& range,
                                  const std::vector<qint64>& answered) {
    if (range.countRec <= 0)
        return {};
    return NumbersNotIn(range.startrec, range.startrec + range.countRec - 1, answered);
}

std::vector<qint64> NumbersNotIn(qint64 first, qint64 last, const std::vector<qint64>& present) {
    std::vector<qint64> missing;
    auto it = std::lower_bound(present.begin(), present.end(), first);
    for (qint64 n = first; n <= last; ++n) {
        while (it != present.end() && *it < n)
            ++it;
        if (it == present.end() || *it != n)
            missing.push_back(n);
    }
    return missing;
}

} // namespace archive
