// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

class QTableView;
namespace models {
class TStringTableModel;
} // namespace models

// Set-up of the window's three grids on table views over string-table models, so that the window
// itself only places the views. Grid row 0 (the heading row) is each view's header; the models
// must have their columns before the set-up (5 for the list, 1 for the grouped grid, 4 for the
// record types). The window then owns one decoder and hands its operations to it:
//
//     sgModel = new TStringTableModel(2, 5, this);
//     views::SetupLinearList(sg, sgModel);
//     decoder = std::make_unique<core::TJournalDecoder>(*sgModel);
//     decoder->setScrollHook([this] { views::ScrollToLastRow(sg); });
//     // on device / journal selection: decoder->setDevice(CurDev); decoder->setJournalIndex(i);
//     void TForm1::BuildGroupView() { decoder->BuildGroupView(*sgGrModel); }
namespace views {

// The linear list: five columns 31, 124, 305, 119, 110 pixels wide (the last stretches to the
// list's edge when there is room), uniform rows of 16 pixels,
// no row header, range selection, column resizing, no editing; the tooltip follows the last
// selected cell (sgSelectCell). Rows have one fixed height, so appending rows and scrolling to the
// last one never measures rows.
void SetupLinearList(QTableView* sg, models::TStringTableModel* model);

// Column set-up of the linear list: with the value before the change shown, "Значение до" is
// visible and columns 3 and 4 are 108 pixels wide; otherwise column 3 is hidden.
void ApplyLinearListLayout(QTableView* sg, bool valueBeforeVisible);

// Makes the last row of the list visible (the list's scroll hook after each record). The scroll
// happens when the event loop next runs, before the list is painted again; requests until then
// are joined into one.
void ScrollToLastRow(QTableView* sg);

// The linear list's cell selection: the list's tooltip becomes the text of grid cell
// (ARow, ACol).
void sgSelectCell(models::TStringTableModel& model, int ACol, int ARow);

// The grouped grid: columns of 120 pixels, rows and the heading row 32 pixels high and growing
// with their text, no row header, every cell drawn word-wrapped (TGroupCellDelegate,
// THeaderRowView), no editing.
void SetupGroupGrid(QTableView* sgGr, models::TStringTableModel* model);

// The record-type grid: four columns 31, 500, 74, 82 pixels wide, rows of 16 pixels, read-only.
void SetupRecTypeGrid(QTableView* sgType, models::TStringTableModel* model);

} // namespace views
