// SPDX-License-Identifier: MIT
#pragma once

#include "app/gui/views/gridtab.h"

class QLabel;

namespace views {

// "Группировка по типам" (tsGroup): the grouped grid `sgGr`, one row per record type of the run
// and one cell per event, under a line of notes about it (that it fills at the end of a reading;
// failed records, which belong to no group).
class TGroupTab : public TGridTab {
    Q_OBJECT
public:
    explicit TGroupTab(QWidget* parent = nullptr);

    // The note above the grid; empty hides it. `error`: drawn on the error rows' colour.
    void setNote(const QString& text, bool error = false);
    QLabel* lblNote() const { return m_note; }

private:
    QLabel* m_note;
};

} // namespace views
