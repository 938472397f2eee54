// SPDX-License-Identifier: MIT
#pragma once

// The cases of an instrument that answers late (after the answer time), shared by the reading
// paths' fault tests: one record or every record delayed, with 0, 1, 2 and 5 retries.
#include <QString>

#include <gtest/gtest.h>

// The answer time of these cases and the lateness of the answers: past one answer time and
// within two, with a quarter of an answer time to spare on either side for a busy machine.
inline constexpr int kLateAnswerTimeMs = 500;
inline constexpr int kLateMs = 750;

struct LateCase {
    bool everyRecord; // else only `record` of journal 1
    int retries;
};

inline constexpr LateCase kLateCases[] = {
    {false, 0}, {false, 1}, {false, 2}, {false, 5}, {true, 1}, {true, 2}, {true, 5},
};

// The simulator's fault of a case: every function-65 answer, or the one of `record`, late.
inline QString LateFault(const LateCase& c, int record) {
    return QStringLiteral("delay ms=%1 %2")
        .arg(kLateMs)
        .arg(c.everyRecord ? QStringLiteral("function=65")
                           : QStringLiteral("record=1:%1").arg(record));
}

inline testing::Message LateTrace(const LateCase& c) {
    return testing::Message() << (c.everyRecord ? "every record" : "one record") << ", retries "
                              << c.retries;
}

// Error rows expected: none when a retry takes the late answer, else the delayed records'.
inline int LateErrors(const LateCase& c, int records) {
    return c.retries > 0 ? 0 : c.everyRecord ? records : 1;
}
