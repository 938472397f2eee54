// SPDX-License-Identifier: MIT
#include "app/gui/archivecontroller.h"

#include "app/core/archivebrowser.h"
#include "app/core/archiverecorder.h"
#include "app/gui/archivetab.h"
#include "app/gui/readingcontroller.h"
#include "app/gui/runview.h"
#include "app/models/stringtablemodel.h"
#include "app/serverpath/serverreadingpath.h"
#include "platform/messagesink.h"
#include "ui_mainform.h"

#include <QTimer>

namespace gui {

TArchiveController::TArchiveController(Ui::TForm1& ui, platform::IMessageSink& messages,
                                       TReadingController& reading, const core::TDevList& devices,
                                       std::function<TDevInfo*()> device,
                                       std::function<bool()> lineBusy)
    : ui(ui), m_messages(messages), m_reading(reading), m_devices(devices),
      m_device(std::move(device)), m_lineBusy(std::move(lineBusy)) {}

TArchiveController::~TArchiveController() = default;

void TArchiveController::Setup(const archive::TArchiveSetting& setting,
                               serverpath::TServerReadingPath& serverPath) {
    if (setting.enabled) {
        m_recorder = std::make_unique<core::TArchiveRecorder>(setting.url);
        m_browser = std::make_unique<core::TArchiveBrowser>(setting.url);
        m_reading.engine().SetArchive(m_recorder.get());
        serverPath.SetArchive(m_recorder.get());
    }
    m_tab = new TArchiveTab(m_browser.get(), m_messages);
    ui.PageControl1->addTab(m_tab, QStringLiteral("Архив"));
    connect(m_tab, &TArchiveTab::openRequested, this, &TArchiveController::openSeries);
    connect(m_tab, &TArchiveTab::seriesDeleted, this, &TArchiveController::UpdateIncrementalButton);
    m_watch = new QTimer(this);
    m_watch->setInterval(100);
    connect(m_watch, &QTimer::timeout, this, &TArchiveController::watchWriter);
    UpdateIncrementalButton();
}

bool TArchiveController::writing() const {
    return m_watch && m_watch->isActive();
}

void TArchiveController::UpdateIncrementalButton() {
    if (!m_tab) // before start-up has set the archive up
        return;
    const TDevInfo* device = m_device();
    ui.btnIncremental->setEnabled(!m_reading.active() && !m_lineBusy() && device && m_browser &&
                                  m_browser->HasSeries(*device, ui.rgTypeJ->itemIndex()));
}

void TArchiveController::ReadingStarted() {
    ui.btnIncremental->setEnabled(false);
    m_tab->setReadingActive(true);
}

void TArchiveController::ReadingEnded() {
    m_tab->setReadingActive(false);
    UpdateIncrementalButton();
    if (m_recorder)
        m_watch->start();
}

void TArchiveController::watchWriter() {
    if (!m_recorder || !m_recorder->Finished())
        return;
    m_watch->stop();
    if (const auto error = m_recorder->TakeError())
        m_messages.warning(*error); // "Архив журналов <where>: <why>"
    else
        m_browser->RetryOpening();
    UpdateIncrementalButton();
    if (m_tab->isVisible())
        m_tab->refresh();
}

void TArchiveController::openSeries(qint64 seriesId, std::optional<qint64> start,
                                    std::optional<qint64> count) {
    if (m_reading.active() || !m_browser)
        return;
    const core::TShownSeries shown = m_browser->Open(seriesId, start, count, m_devices,
                                                     m_reading.runDecoder(), *ui.tsData->cells());
    if (!shown.ok()) {
        m_messages.warning(shown.error);
        return;
    }
    // The device and journal of the series, so that "Сохранить..." writes what a reading of them
    // would have written.
    for (std::size_t i = 0; i < m_devices.size(); ++i)
        if (m_devices[i].get() == shown.device)
            ui.cbxDev->setCurrentIndex(static_cast<int>(i));
    ui.rgTypeJ->setItemIndex(shown.journalIndex);
    UpdateIncrementalButton();
    ui.lblStat->setText(QStringLiteral("Из архива: серия %1, записи %2–%3")
                            .arg(seriesId)
                            .arg(shown.startrec)
                            .arg(shown.startrec + shown.count - 1));
    ui.lblMaxRec->setText(
        QStringLiteral("Записей: %1, сбойных: %2").arg(shown.count).arg(shown.failed));
    ui.lblFailed->hide();
    m_reading.view().ShowStopped(QString());
    ui.lnkExchange->hide();
    m_reading.view().ShowStoredFailures(shown.failed);
    ui.BtnExcel->setVisible(shown.count > 0);
    ui.PageControl1->setCurrentWidget(ui.tsData);
}

} // namespace gui
