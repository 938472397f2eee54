// SPDX-License-Identifier: MIT
#include "app/gui/views/journalviews.h"

#include "app/gui/views/groupcelldelegate.h"
#include "app/gui/views/headerrowview.h"
#include "app/models/stringtablemodel.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTableView>

namespace views {
namespace {

const char* const kScrollPending = "journalScrollPending";
const char* const kFollowLastRow = "journalFollowLastRow";

void SetupCommon(QTableView* view, models::TStringTableModel* model, int rowHeight) {
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectItems);
    view->setWordWrap(false);
    view->setCornerButtonEnabled(false);
    QHeaderView* rows = view->verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(rowHeight);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view->horizontalHeader()->setHighlightSections(false);
}

void SetWidths(QTableView* view, std::initializer_list<int> widths) {
    int column = 0;
    for (int w : widths)
        view->setColumnWidth(column++, w);
}

} // namespace

void SetupLinearList(QTableView* sg, models::TStringTableModel* model) {
    SetupCommon(sg, model, 16);
    sg->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    sg->setFont(font);
    SetWidths(sg, {31, 124, 305, 119, 110});
    // In a wide window the last column reaches the list's edge (it keeps its width otherwise).
    sg->horizontalHeader()->setStretchLastSection(true);
    // Texts wider than their column are cut at its edge, not shortened to "1…": a record number
    // of four or five digits then still shows its leading digits in the narrow "№" column.
    sg->setTextElideMode(Qt::ElideNone);
    // A list scrolled to its last row stays there when its scroll range changes later (a
    // horizontal scroll bar that appears takes a row's height), until the user scrolls it.
    QScrollBar* bar = sg->verticalScrollBar();
    QObject::connect(bar, &QScrollBar::rangeChanged, sg, [sg, bar](int, int max) {
        if (sg->property(kFollowLastRow).toBool())
            bar->setValue(max);
    });
    QObject::connect(bar, &QScrollBar::actionTriggered, sg,
                     [sg](int) { sg->setProperty(kFollowLastRow, false); });
    QObject::connect(sg->selectionModel(), &QItemSelectionModel::currentChanged, model,
                     [model](const QModelIndex& current) {
                         if (current.isValid())
                             sgSelectCell(*model, current.column(), current.row() + 1);
                     });
}

void ApplyLinearListLayout(QTableView* sg, bool valueBeforeVisible) {
    sg->setColumnHidden(3, !valueBeforeVisible);
    if (valueBeforeVisible) {
        sg->setColumnWidth(3, 108);
        sg->setColumnWidth(4, 108);
    }
}

void ScrollToLastRow(QTableView* sg) {
    // Scrolling lays the view out again, which costs far more than decoding a record. Requests
    // made between two turns of the event loop are joined into one scroll, done before the view
    // paints again, so the list still shows its last row whenever it is drawn.
    sg->setProperty(kFollowLastRow, true);
    if (sg->property(kScrollPending).toBool())
        return;
    sg->setProperty(kScrollPending, true);
    QMetaObject::invokeMethod(
        sg,
        [sg] {
            sg->setProperty(kScrollPending, false);
            sg->scrollToBottom();
        },
        Qt::QueuedConnection);
}

void sgSelectCell(models::TStringTableModel& model, int ACol, int ARow) {
    model.setToolTip(model.cell(ARow, ACol));
}

void SetupGroupGrid(QTableView* sgGr, models::TStringTableModel* model) {
    auto* header = new THeaderRowView(sgGr);
    header->setMinimumSectionSize(1);
    header->setDefaultSectionSize(120);
    sgGr->setHorizontalHeader(header);
    SetupCommon(sgGr, model, 32);
    sgGr->verticalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    sgGr->setItemDelegate(new TGroupCellDelegate(sgGr));
}

void SetupRecTypeGrid(QTableView* sgType, models::TStringTableModel* model) {
    SetupCommon(sgType, model, 16);
    sgType->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    SetWidths(sgType, {31, 500, 74, 82});
}

} // namespace views
