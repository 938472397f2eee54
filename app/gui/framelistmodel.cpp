// SPDX-License-Identifier: MIT
#include "app/gui/framelistmodel.h"

#include "app/models/stringtablemodel.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QStringList>

#include <algorithm>

namespace gui {

TFrameListModel::TFrameListModel(QObject* parent, int flushMs, int capacity)
    : QAbstractTableModel(parent), m_capacity(std::max(1, capacity)) {
    m_flush.setSingleShot(true);
    m_flush.setInterval(flushMs);
    connect(&m_flush, &QTimer::timeout, this, &TFrameListModel::Flush);
}

void TFrameListModel::OnFrame(const core::TFrameEvent& event) {
    Add({event, {}});
}

void TFrameListModel::AddSeparator(const QString& text) {
    core::TFrameEvent e;
    e.timeUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    Add({e, text});
}

void TFrameListModel::Add(TRow row) {
    m_pending.push_back(std::move(row));
    if (int(m_pending.size()) > m_capacity)
        m_pending.pop_front(); // older than any the list will show
    if (!m_flush.isActive())
        m_flush.start();
}

void TFrameListModel::Flush() {
    m_flush.stop();
    if (m_pending.empty())
        return;
    const int incoming = int(m_pending.size());
    const int drop = std::min(int(m_rows.size()), int(m_rows.size()) + incoming - m_capacity);
    if (drop > 0) {
        beginRemoveRows({}, 0, drop - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + drop);
        endRemoveRows();
    }
    const int first = int(m_rows.size());
    beginInsertRows({}, first, first + incoming - 1);
    std::move(m_pending.begin(), m_pending.end(), std::back_inserter(m_rows));
    m_pending.clear();
    endInsertRows();
}

void TFrameListModel::Clear() {
    m_flush.stop();
    m_pending.clear();
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

QString TFrameListModel::Text() const {
    QString text;
    for (const TRow& row : m_rows)
        text += (row.separator.isEmpty() ? core::TraceLine(row.event)
                                         : QStringLiteral("—— %1 ——").arg(row.separator)) +
                u'\n';
    return text;
}

int TFrameListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TFrameListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TFrameListModel::Cell(const TRow& row, int column) const {
    const core::TFrameEvent& e = row.event;
    switch (column) {
    case TimeColumn:
        return core::TraceTime(e.timeUs);
    case DirectionColumn:
        return row.separator.isEmpty() ? core::TraceDirection(e.kind) : QStringLiteral("——");
    case RecordColumn:
        return core::TraceRecord(e);
    case BytesColumn:
        return row.separator.isEmpty() ? core::TraceBytes(e) : row.separator;
    case MeaningColumn:
        return row.separator.isEmpty() ? core::TraceMeaning(e) : QString();
    default:
        return {};
    }
}

QVariant TFrameListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const TRow& row = m_rows[std::size_t(index.row())];
    if (role == Qt::BackgroundRole) {
        if (!row.separator.isEmpty())
            return QBrush(QColor(224, 224, 224));
        return core::IsTraceFault(row.event)
                   ? QVariant(QBrush(models::TStringTableModel::errorColour()))
                   : QVariant();
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return Cell(row, index.column());
}

QVariant TFrameListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const kTitles[] = {"Время", "", "Запись", "Байты", "Значение"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(kTitles[section]) : QVariant();
}

} // namespace gui
