// SPDX-License-Identifier: MIT
#include "app/gui/archivetab.h"

#include "app/core/archivebrowser.h"
#include "app/models/stringtablemodel.h"
#include "platform/messagesink.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace gui {

namespace {

QTableView* RowTable(QWidget* parent, const char* name, models::TStringTableModel* model) {
    auto* view = new QTableView(parent);
    view->setObjectName(QLatin1String(name));
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(18);
    view->horizontalHeader()->setStretchLastSection(true);
    return view;
}

// Columns as wide as their texts, the last one to the table's edge. The stretch is set again:
// the header keeps stretching the section that was last when the columns were fewer.
void FitColumns(QTableView* view) {
    view->resizeColumnsToContents();
    view->horizontalHeader()->setStretchLastSection(false);
    view->horizontalHeader()->setStretchLastSection(true);
}

} // namespace

TArchiveTab::TArchiveTab(core::TArchiveBrowser* browser, platform::IMessageSink& messages,
                         QWidget* parent)
    : QWidget(parent), m_browser(browser), m_messages(messages) {
    setObjectName(QStringLiteral("tsArchive"));
    m_series = new models::TStringTableModel(2, 1, this);
    m_readings = new models::TStringTableModel(2, 1, this);
    seriesView = RowTable(this, "sgSeries", m_series);
    readingsView = RowTable(this, "sgReadings", m_readings);
    edtStart = new QLineEdit(this);
    edtCount = new QLineEdit(this);
    for (QLineEdit* e : {edtStart, edtCount}) {
        e->setFixedWidth(70);
        e->setPlaceholderText(QStringLiteral("все"));
    }
    btnOpen = new QPushButton(QStringLiteral("Открыть"), this);
    btnDelete = new QPushButton(QStringLiteral("Удалить"), this);
    btnRefresh = new QPushButton(QStringLiteral("Обновить"), this);
    lblState = new QLabel(this);
    lblState->setWordWrap(true);

    auto* controls = new QHBoxLayout();
    controls->addWidget(new QLabel(QStringLiteral("Начать с"), this));
    controls->addWidget(edtStart);
    controls->addWidget(new QLabel(QStringLiteral("Количество"), this));
    controls->addWidget(edtCount);
    controls->addWidget(btnOpen);
    controls->addWidget(btnDelete);
    controls->addStretch(1);
    controls->addWidget(btnRefresh);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(controls);
    layout->addWidget(lblState);
    layout->addWidget(seriesView, 3);
    layout->addWidget(new QLabel(QStringLiteral("Чтения серии"), this));
    layout->addWidget(readingsView, 2);

    connect(seriesView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { showReadings(); });
    connect(seriesView, &QTableView::doubleClicked, this, [this] { openClicked(); });
    connect(btnOpen, &QPushButton::clicked, this, &TArchiveTab::openClicked);
    connect(btnDelete, &QPushButton::clicked, this, &TArchiveTab::deleteClicked);
    connect(btnRefresh, &QPushButton::clicked, this, &TArchiveTab::refresh);
    updateButtons(); // the rows come when the tab is first shown
}

void TArchiveTab::refresh() {
    if (!m_browser) {
        lblState->setText(
            QStringLiteral("Архив журналов отключён (main.ini, [Archive] Enabled=0)"));
        updateButtons();
        return;
    }
    const std::optional<qint64> selected = selectedSeries();
    if (m_browser->FillSeries(*m_series))
        lblState->setText(m_browser->stateText());
    else
        lblState->setText(m_browser->error()); // "Архив журналов <where>: <why>"
    FitColumns(seriesView);
    if (selected)
        selectSeries(*selected);
    showReadings();
}

std::optional<qint64> TArchiveTab::selectedSeries() const {
    const QModelIndexList rows = seriesView->selectionModel()->selectedRows();
    if (!m_browser || rows.isEmpty())
        return std::nullopt;
    return m_browser->SeriesAt(rows.first().row() + 1);
}

void TArchiveTab::selectSeries(qint64 seriesId) {
    for (int row = 0; m_browser && row + 1 < m_series->rowCount(); ++row)
        if (m_browser->SeriesAt(row + 1) == seriesId) {
            seriesView->selectRow(row);
            return;
        }
    seriesView->clearSelection();
}

void TArchiveTab::showReadings() {
    const std::optional<qint64> series = selectedSeries();
    if (series)
        m_browser->FillReadings(*series, *m_readings);
    else
        m_readings->clearCells(1);
    FitColumns(readingsView);
    updateButtons();
}

void TArchiveTab::setReadingActive(bool active) {
    m_readingActive = active;
    updateButtons();
}

void TArchiveTab::updateButtons() {
    const bool usable = !m_readingActive && selectedSeries().has_value();
    btnOpen->setEnabled(usable);
    btnDelete->setEnabled(usable);
    btnRefresh->setEnabled(m_browser && !m_readingActive);
}

void TArchiveTab::openClicked() {
    const std::optional<qint64> series = selectedSeries();
    if (!series || m_readingActive)
        return;
    const core::TOpenRange range = core::ParseOpenRange(edtStart->text(), edtCount->text());
    if (!range.error.isEmpty()) {
        m_messages.warning(range.error);
        return;
    }
    emit openRequested(*series, range.start, range.count);
}

void TArchiveTab::deleteClicked() {
    const std::optional<qint64> series = selectedSeries();
    if (!series || m_readingActive || !m_messages.question(m_browser->DeleteQuestion(*series)))
        return;
    if (!m_browser->Delete(*series))
        m_messages.error(QStringLiteral("Серия не удалена: ") + m_browser->error());
    refresh();
    emit seriesDeleted(*series);
}

void TArchiveTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_readingActive)
        refresh();
}

} // namespace gui
