// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/linetrace.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <deque>
#include <vector>

// The frame list of the "Обмен" tab: the newest frames of the line trace, faults in colour.
// Frames are collected as they come and shown in batches, at most every flush interval, so that
// the list costs a reading nothing but the copying of each frame.
class TFrameListModel : public QAbstractTableModel, public core::ITraceObserver {
    Q_OBJECT
public:
    static constexpr int kCapacity = 10000;
    enum Column { TimeColumn, DirectionColumn, BytesColumn, MeaningColumn, ColumnCount };

    explicit TFrameListModel(QObject* parent = nullptr, int flushMs = 100,
                             int capacity = kCapacity);

    void OnFrame(const core::TFrameEvent& event) override;
    // Shows the frames collected so far now.
    void Flush();
    void Clear();
    // Every frame shown, one line each (the trace's text form).
    QString Text() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    int m_capacity;
    std::deque<core::TFrameEvent> m_rows;
    std::deque<core::TFrameEvent> m_pending;
    QTimer m_flush;
};
