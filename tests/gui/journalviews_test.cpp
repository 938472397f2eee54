// SPDX-License-Identifier: MIT
#include "app/core/journaldecoder.h"
#include "app/gui/views/headerrowview.h"
#include "app/gui/views/journalviews.h"
#include "app/gui/views/wraptext.h"
#include "app/models/stringtablemodel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Handles events until `done` holds or two seconds pass.
bool WaitFor(const std::function<bool()>& done) {
    QDeadlineTimer deadline(2000);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

// Repaints the view at once and handles what the paint queued.
void PaintNow(QTableView& view) {
    view.viewport()->repaint();
    view.horizontalHeader()->viewport()->repaint();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

const QString kLong = QStringLiteral(
    "13.09.20 12:26:40\rочень длинный текст значения, который не помещается в одну строку "
    "столбца шириной сто двадцать точек");

struct GroupGrid : testing::Test {
    models::TStringTableModel model{3, 3};
    QTableView view;
    GroupGrid() {
        model.setCell(0, 0, QStringLiteral("Название"));
        views::SetupGroupGrid(&view, &model);
        view.resize(600, 400);
        view.show();
        QCoreApplication::processEvents();
    }
    int Expected(const QString& text) const {
        return views::WrappedTextHeight(view.font(), QRect(0, 0, view.columnWidth(1), 32), text) +
               views::kRowSlack;
    }
    int RowHeight(int modelRow) const { return view.verticalHeader()->sectionSize(modelRow); }
};

} // namespace

TEST_F(GroupGrid, RowsStartAt32AndColumnsAt120) {
    model.setCell(1, 0, QStringLiteral("Коэффициент"));
    model.setCell(1, 1, QStringLiteral("13.09.20 12:26:40\r1.5000000"));
    PaintNow(view);
    EXPECT_EQ(view.columnWidth(0), 120);
    EXPECT_EQ(view.columnWidth(2), 120);
    EXPECT_EQ(RowHeight(0), 32);
    EXPECT_EQ(RowHeight(1), 32);
    EXPECT_EQ(view.horizontalHeader()->height(), 32);
    EXPECT_TRUE(view.verticalHeader()->isHidden());
}

TEST_F(GroupGrid, TallTextGrowsItsRowAndRowsNeverShrink) {
    ASSERT_GT(Expected(kLong), 32 + views::kRowSlack);
    model.setCell(2, 2, kLong);
    PaintNow(view);
    ASSERT_TRUE(WaitFor([&] { return RowHeight(1) > 32; }));
    EXPECT_EQ(RowHeight(1), Expected(kLong));
    EXPECT_EQ(RowHeight(0), 32); // other rows keep their height

    model.setCell(2, 2, QStringLiteral("коротко"));
    PaintNow(view);
    EXPECT_EQ(RowHeight(1), Expected(kLong));
}

TEST_F(GroupGrid, HeadingRowIsDrawnTheSameWay) {
    model.setCell(0, 1, kLong);
    PaintNow(view);
    auto* header = qobject_cast<views::THeaderRowView*>(view.horizontalHeader());
    ASSERT_NE(header, nullptr);
    ASSERT_TRUE(WaitFor([&] { return header->height() > 32; }));
    EXPECT_EQ(header->rowHeight(), Expected(kLong));
    // The body starts below the grown heading row.
    EXPECT_EQ(view.viewport()->geometry().top() - view.frameWidth(), header->height());
}

TEST(WrapText, LineBreaksAndWordWrap) {
    EXPECT_EQ(views::NormalizeLineBreaks("a\r\nb\rc\nd"), "a\nb\nc\nd");
    const QFont font;
    const QRect cell(0, 0, 120, 32);
    const int one = views::WrappedTextHeight(font, cell, "a");
    const int two = views::WrappedTextHeight(font, cell, "a\rb");
    EXPECT_GT(two, one);
    EXPECT_EQ(views::WrappedTextHeight(font, cell, "a\r\nb"), two);
    EXPECT_EQ(views::WrappedTextHeight(font, cell, "a\nb"), two);
    // Words wrap within the column; a narrower column wraps more.
    EXPECT_GT(views::WrappedTextHeight(font, cell, kLong), two);
    EXPECT_GT(views::WrappedTextHeight(font, QRect(0, 0, 60, 32), kLong),
              views::WrappedTextHeight(font, cell, kLong));
    EXPECT_EQ(views::TextRect(cell), QRect(2, 2, 116, 30));
}

TEST(LinearList, ColumnsToolTipAndLastRow) {
    models::TStringTableModel model(2, 5);
    QTableView view;
    views::SetupLinearList(&view, &model);
    view.resize(500, 300); // narrower than the columns: each keeps its width
    view.show();
    PaintNow(view); // the window is on screen before a run starts
    const int widths[] = {31, 124, 305, 119, 110};
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(view.columnWidth(c), widths[c]) << c;

    core::TJournalDecoder decoder(model);
    decoder.setScrollHook([&view] { views::ScrollToLastRow(&view); });
    TDevInfo dev;
    dev.ListRecType = {{1, dtLongWord, QStringLiteral("Очень длинное название параметра"), {}, {}}};
    decoder.setDevice(&dev);
    for (int i = 0; i < 2000; ++i)
        decoder.DecodeRecord(i, 0, 1, 0, 0, static_cast<std::uint32_t>(i));
    ASSERT_TRUE(WaitFor([&] {
        return view.verticalScrollBar()->maximum() > 0 &&
               view.verticalScrollBar()->value() == view.verticalScrollBar()->maximum();
    }));
    EXPECT_EQ(view.rowAt(view.viewport()->height() - 2), 1999);
    EXPECT_EQ(view.verticalHeader()->sectionSize(1999), 16);

    // The tooltip is the text of the last selected cell, wherever the mouse is.
    view.selectionModel()->setCurrentIndex(model.index(4, 2), QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(model.data(model.index(1999, 4), Qt::ToolTipRole).toString(),
              QStringLiteral("Очень длинное название параметра"));
    view.selectionModel()->setCurrentIndex(model.index(7, 4), QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(model.data(model.index(0, 0), Qt::ToolTipRole).toString(), "7");

    views::ApplyLinearListLayout(&view, false);
    EXPECT_TRUE(view.isColumnHidden(3));
    EXPECT_EQ(view.columnWidth(4), 110);
    views::ApplyLinearListLayout(&view, true);
    EXPECT_FALSE(view.isColumnHidden(3));
    EXPECT_EQ(view.columnWidth(3), 108);
    EXPECT_EQ(view.columnWidth(4), 108);

    // A wide list: the last column reaches its edge, the others keep their widths.
    view.resize(1400, 300);
    PaintNow(view);
    EXPECT_EQ(view.columnWidth(3), 108);
    EXPECT_GT(view.columnWidth(4), 108);
    EXPECT_EQ(view.horizontalHeader()->length(), view.viewport()->width());
}

TEST(RecTypeGrid, ReadOnlyWithItsWidths) {
    models::TStringTableModel model(2, 4);
    QTableView view;
    views::SetupRecTypeGrid(&view, &model);
    const int widths[] = {31, 500, 74, 82};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(view.columnWidth(c), widths[c]) << c;
    EXPECT_EQ(view.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(model.flags(model.index(0, 0)) & Qt::ItemIsEditable);
}

// The grids' model keeps the item-model contract (checked by Qt's model tester, which aborts the
// test on a breach) through every change the window, the run and the decoder make to it; grid
// row 0 stays the heading row and never becomes a model row.
TEST(StringTableModel, KeepsTheItemModelContract) {
    models::TStringTableModel model(2, 5);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    const struct {
        std::function<void()> change;
        int modelRows, columns;
    } steps[] = {
        {[&] { model.setCell(0, 0, QStringLiteral("№")); }, 1, 5},
        {[&] { model.setRowCount(40); }, 39, 5},
        {[&] { model.setCell(39, 4, QStringLiteral("x")); }, 39, 5},
        {[&] { model.setCell(40, 0, QStringLiteral("outside")); }, 39, 5},
        {[&] { model.clearCells(1); }, 39, 5},
        {[&] { model.setColumnCount(9); }, 39, 9},
        {[&] { model.setRowCount(2); }, 1, 9},
        {[&] { model.setColumnCount(1); }, 1, 1},
        {[&] { model.setRowCount(0); }, 0, 1},
        {[&] { model.clearCells(0); }, 0, 1},
        {[&] { model.setRowCount(3); }, 2, 1},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(model.rowCount(QModelIndex()), step.modelRows);
        EXPECT_EQ(model.columnCount(QModelIndex()), step.columns);
    }
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString());
}
