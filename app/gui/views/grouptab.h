// SPDX-License-Identifier: MIT
#pragma once

#include "app/gui/views/gridtab.h"

// "Группировка по типам" (tsGroup): the grouped grid `sgGr`, one row per record type of the run
// and one cell per event.
class TGroupTab : public TGridTab {
    Q_OBJECT
public:
    explicit TGroupTab(QWidget* parent = nullptr);
};
