// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/linetrace.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <deque>
#include <vector>

namespace gui {

// The frame list of the "Обмен" tab: the newest frames of the line trace, faults in colour, each
// with the record it asks for. Frames are collected as they come and shown in batches, at most
// every flush interval, so that the list costs a reading nothing but the copying of each frame.
// A separator row can divide the frames of one exchange (a reading, a search) from the next.
class TFrameListModel : public QAbstractTableModel, public core::ITraceObserver {
    Q_OBJECT
public:
    static constexpr int kCapacity = 10000;
    enum Column {
        TimeColumn,
        DirectionColumn,
        RecordColumn,
        BytesColumn,
        MeaningColumn,
        ColumnCount
    };

    explicit TFrameListModel(QObject* parent = nullptr, int flushMs = 100,
                             int capacity = kCapacity);

    void OnFrame(const core::TFrameEvent& event) override;
    // A row that says what the frames after it belong to ("Поиск прибора на COM5").
    void AddSeparator(const QString& text);
    // Shows the frames collected so far now.
    void Flush();
    void Clear();
    // Every row shown, one line each (the trace's text form; a separator between dashes).
    QString Text() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct TRow {
        core::TFrameEvent event;
        QString separator; // a separator row when not empty
    };
    void Add(TRow row);
    QVariant Cell(const TRow& row, int column) const;

    int m_capacity;
    std::deque<TRow> m_rows;
    std::deque<TRow> m_pending;
    QTimer m_flush;
};

} // namespace gui
