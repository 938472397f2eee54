// SPDX-License-Identifier: MIT
#include "app/gui/framelistmodel.h"

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

// The list keeps the newest frames only, however they come in batches.
TEST(FrameListModel, KeepsTheNewestFramesAcrossBatches) {
    gui::TFrameListModel model(nullptr, 60000, 3);
    int next = 0;
    const auto feed = [&](int n) {
        for (int i = 0; i < n; ++i) {
            core::TFrameEvent e;
            e.address = 1;
            e.function = 4;
            e.attempt = next++;
            model.OnFrame(e);
        }
    };
    const auto first = [&] {
        return model.index(0, gui::TFrameListModel::MeaningColumn).data().toString();
    };
    const struct {
        int frames;
        int rows;
        const char* first;
    } steps[] = {{2, 2, "запрос: адрес 1, функция 4"},
                 {5, 3, "запрос: адрес 1, функция 4 (повтор 4)"},
                 {1, 3, "запрос: адрес 1, функция 4 (повтор 5)"}};
    int shown = 0;
    for (const auto& s : steps) {
        feed(s.frames);
        EXPECT_EQ(model.rowCount(), shown) << "nothing shows before the flush";
        model.Flush();
        shown = model.rowCount();
        EXPECT_EQ(model.rowCount(), s.rows);
        EXPECT_EQ(first(), QString::fromUtf8(s.first));
    }
    model.Clear();
    EXPECT_EQ(model.rowCount(), 0);
}
