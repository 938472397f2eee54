// SPDX-License-Identifier: MIT
#include "collect/statustable.h"

#include <algorithm>

namespace collect {

QStringList StatusHeadings() {
    return {QStringLiteral("Прибор"),           QStringLiteral("Линия"),
            QStringLiteral("Последнее чтение"), QStringLiteral("Новых записей"),
            QStringLiteral("Сбойных записей"),  QStringLiteral("Состояние"),
            QStringLiteral("Следующее чтение")};
}

QString StatusTime(const QDateTime& time) {
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("—");
}

QString StateText(const archive::TInstrumentState& state) {
    switch (state.state) {
    case archive::TCollectState::Ok:
        return QStringLiteral("в порядке");
    case archive::TCollectState::Stopped:
        return QStringLiteral("остановлено");
    case archive::TCollectState::Failing:
        break;
    }
    const QString since = QStringLiteral("сбой с %1").arg(StatusTime(state.failingSince));
    return state.error.isEmpty() ? since : QStringLiteral("%1 (%2)").arg(since, state.error);
}

QStringList StatusRow(const archive::TInstrumentState& state) {
    const bool read = state.lastReading.isValid();
    return {state.instrument,
            state.line,
            StatusTime(state.lastReading),
            read ? QString::number(state.newRecords) : QStringLiteral("—"),
            read ? QString::number(state.failedRecords) : QStringLiteral("—"),
            StateText(state),
            StatusTime(state.nextReading)};
}

QString StatusTableText(const std::vector<archive::TInstrumentState>& states) {
    std::vector<QStringList> rows{StatusHeadings()};
    for (const auto& s : states)
        rows.push_back(StatusRow(s));
    std::vector<qsizetype> widths(std::size_t(rows.front().size()), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[std::size_t(c)] = std::max(widths[std::size_t(c)], row[c].size());
    QString text;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c].leftJustified(widths[std::size_t(c)] + 2) : row[c];
        text += line + u'\n';
    }
    return text;
}

} // namespace collect
