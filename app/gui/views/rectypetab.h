// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/gui/views/gridtab.h"

namespace views {

// "Типы записей" (tsSet): the record types of the selected device in the grid `sgType`.
class TRecTypeTab : public TGridTab {
    Q_OBJECT
public:
    explicit TRecTypeTab(QWidget* parent = nullptr);

    // FillRecTypeGrid: one row per record type of `device`; nothing happens without a device.
    void fill(const TDevInfo* device);
};

} // namespace views
