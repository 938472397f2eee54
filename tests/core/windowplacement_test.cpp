// SPDX-License-Identifier: MIT
#include "app/core/windowplacement.h"

#include <gtest/gtest.h>

namespace {

// The window (734 x 564) at saved or design positions on one or two screens.
TEST(WindowPlacement, WholeWindowOnAnAvailableArea) {
    const QRect small(0, 0, 1024, 768), panel(0, 28, 1024, 740), wide(0, 0, 1920, 1080),
        right(1920, 0, 1024, 768);
    const struct {
        QPoint position;
        QSize size;
        QList<QRect> screens;
        QPoint placed;
    } cases[] = {
        {{769, 204}, {734, 564}, {small}, {290, 204}}, // the design position on 1024 x 768
        {{769, 204}, {734, 564}, {wide}, {769, 204}},  // ... fits a larger screen
        {{290, 204}, {734, 564}, {small}, {290, 204}}, // exactly fits
        {{-50, -20}, {734, 564}, {small}, {0, 0}},
        {{100, 10}, {734, 564}, {panel}, {100, 28}},
        {{100, 250}, {734, 564}, {panel}, {100, 204}},
        {{10, 10}, {1200, 900}, {small}, {0, 0}}, // larger than the screen
        {{1950, 100}, {734, 564}, {wide, right}, {1950, 100}},
        {{2250, 300}, {734, 564}, {wide, right}, {2210, 204}},  // mostly on the second screen
        {{1500, 300}, {734, 564}, {wide, right}, {1186, 300}},  // mostly on the first
        {{5000, 5000}, {734, 564}, {wide, right}, {1186, 516}}, // on none: the primary
        {{5000, 5000}, {734, 564}, {}, {5000, 5000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position.x() << "," << c.position.y());
        EXPECT_EQ(core::PlaceWindow(QRect(c.position, c.size), c.screens), c.placed);
    }
}

} // namespace
