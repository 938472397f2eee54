// SPDX-License-Identifier: MIT
#pragma once

#include "app/gui/views/gridtab.h"

#include <cstdint>

namespace views {

// "Линейный список" (tsData): the linear list `sg`, one row per record of the run.
class TLinearListTab : public TGridTab {
    Q_OBJECT
public:
    explicit TLinearListTab(QWidget* parent = nullptr);

    // Columns for the selected device: "Значение до" shown (columns 3 and 4 at 108 pixels) or
    // hidden.
    void applyDeviceView(bool valueBeforeVisible);
    // Shows the list's last row (the decoder's scroll hook).
    void scrollToLastRow();
    // Selects the row of the record at `index` of the run (row index + 1) and scrolls it to the
    // middle.
    void showRecord(std::int32_t index);
};

} // namespace views
