// SPDX-License-Identifier: MIT
#include "app/core/runprogress.h"

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

// The progress text after records done at given times: the time left follows the rate of the
// last five seconds, and is told only once a second of records has been seen.
TEST(RunProgress, TextAtEachPace) {
    const struct {
        const char* what;
        int total;
        std::vector<std::pair<qint64, int>> updates; // (ms since the start, records done)
        const char* text;
    } cases[] = {
        {"no records", 0, {}, ""},
        {"start", 1000, {}, "Запись 0 из 1000 · 0 %"},
        {"under a second: no estimate", 1000, {{900, 90}}, "Запись 90 из 1000 · 9 %"},
        {"steady 100 a second",
         1000,
         {{1000, 100}, {3470, 347}},
         "Запись 347 из 1000 · 34 % · осталось ≈ 0:07"},
        {"a slow line: the last seconds count",
         1000,
         {{1000, 300}, {2000, 600}, {8000, 610}, {9000, 620}},
         "Запись 620 из 1000 · 62 % · осталось ≈ 2:13"},
        {"stalled: no estimate", 100, {{1000, 10}, {7000, 10}}, "Запись 10 из 100 · 10 %"},
        {"hours", 65536, {{10000, 10}}, "Запись 10 из 65536 · 0 % · осталось ≈ 18:12:06"},
        {"done", 50, {{2000, 50}}, "Запись 50 из 50 · 100 %"},
        {"beyond the total counts as done", 50, {{2000, 60}}, "Запись 50 из 50 · 100 %"},
    };
    for (const auto& c : cases) {
        qint64 now = 0;
        core::TRunProgress progress([&] { return now; });
        progress.Start(c.total);
        for (const auto& [ms, done] : c.updates) {
            now = ms;
            progress.Update(done);
        }
        EXPECT_EQ(progress.Text().toStdString(), c.text) << c.what;
    }
}
