// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

#include <optional>

namespace platform {
class IMessageSink;
} // namespace platform
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
namespace models {
class TStringTableModel;
} // namespace models

namespace core {
class TArchiveBrowser;
}

namespace gui {

// "Архив": the journal archive's series, the readings of the selected one, "Открыть" (the whole
// series, or the range of "Начать с" and "Количество") and "Удалить" after a question. The rows,
// the range and the deletion are core::TArchiveBrowser's; the window shows an opened series.
class TArchiveTab : public QWidget {
    Q_OBJECT
public:
    // `browser` nullptr: the archive is turned off, and the tab says so.
    TArchiveTab(core::TArchiveBrowser* browser, platform::IMessageSink& messages,
                QWidget* parent = nullptr);

    // Reloads the series (keeping the selected one when it is still there) and its readings.
    void refresh();
    // The buttons follow the window: nothing is opened or deleted during a reading.
    void setReadingActive(bool active);
    // The series of the selected row, if any.
    std::optional<qint64> selectedSeries() const;
    void selectSeries(qint64 seriesId);

    QTableView* seriesView = nullptr;
    QTableView* readingsView = nullptr;
    QLineEdit* edtStart = nullptr;
    QLineEdit* edtCount = nullptr;
    QPushButton* btnOpen = nullptr;
    QPushButton* btnDelete = nullptr;
    QPushButton* btnRefresh = nullptr;
    QLabel* lblState = nullptr;

signals:
    // "Открыть": the window shows the series (or the range) in the list and the grouped view.
    void openRequested(qint64 seriesId, std::optional<qint64> start, std::optional<qint64> count);
    // A series was deleted.
    void seriesDeleted(qint64 seriesId);

private:
    void showReadings();
    void openClicked();
    void deleteClicked();
    void updateButtons();
    void showEvent(QShowEvent* event) override;

    core::TArchiveBrowser* m_browser;
    platform::IMessageSink& m_messages;
    models::TStringTableModel* m_series = nullptr;
    models::TStringTableModel* m_readings = nullptr;
    bool m_readingActive = false;
};

} // namespace gui
