// SPDX-License-Identifier: MIT
// The main window's journal archive: where the runs store, "Дочитать", the "Архив" tab and a
// stored series opened into the list.
#include "app/core/archivebrowser.h"
#include "app/core/archiverecorder.h"
#include "app/gui/archivetab.h"
#include "app/gui/exchangetab.h"
#include "app/gui/mainform.h"
#include "app/models/stringtablemodel.h"
#include "platform/messagesink.h"

#include <QTimer>

void TForm1::setupArchive() {
    if (m_archiveSetting.enabled) {
        m_archiveRecorder = std::make_unique<core::TArchiveRecorder>(m_archiveSetting.url);
        m_archiveBrowser = std::make_unique<core::TArchiveBrowser>(m_archiveSetting.url);
        m_engine->SetArchive(m_archiveRecorder.get());
        m_serverPath->SetArchive(m_archiveRecorder.get());
    }
    m_archiveTab = new TArchiveTab(m_archiveBrowser.get(), messages());
    ui.PageControl1->addTab(m_archiveTab, QStringLiteral("Архив"));
    connect(m_archiveTab, &TArchiveTab::openRequested, this, &TForm1::openArchivedSeries);
    connect(m_archiveTab, &TArchiveTab::seriesDeleted, this, &TForm1::updateIncrementalButton);
    m_archiveWatch = new QTimer(this);
    m_archiveWatch->setInterval(100);
    connect(m_archiveWatch, &QTimer::timeout, this, &TForm1::watchArchiveWriter);
    updateIncrementalButton();
}

bool TForm1::archiveWriting() const {
    return m_archiveWatch && m_archiveWatch->isActive();
}

void TForm1::updateIncrementalButton() {
    ui.btnIncremental->setEnabled(!runActive() && !m_exchangeTab->searching() && m_curDev &&
                                  m_archiveBrowser &&
                                  m_archiveBrowser->HasSeries(*m_curDev, ui.rgTypeJ->itemIndex()));
}

void TForm1::watchArchiveWriter() {
    if (!m_archiveRecorder || !m_archiveRecorder->Finished())
        return;
    m_archiveWatch->stop();
    if (const auto error = m_archiveRecorder->TakeError())
        messages().warning(*error); // "Архив журналов <where>: <why>"
    else
        m_archiveBrowser->RetryOpening();
    updateIncrementalButton();
    if (m_archiveTab->isVisible())
        m_archiveTab->refresh();
}

void TForm1::openArchivedSeries(qint64 seriesId, std::optional<qint64> start,
                                std::optional<qint64> count) {
    if (runActive() || !m_archiveBrowser)
        return;
    const core::TShownSeries shown =
        m_archiveBrowser->Open(seriesId, start, count, m_listDev, *m_runDecoder, *sgCells());
    if (!shown.ok()) {
        messages().warning(shown.error);
        return;
    }
    // The device and journal of the series, so that "Сохранить..." writes what a reading of them
    // would have written.
    for (std::size_t i = 0; i < m_listDev.size(); ++i)
        if (m_listDev[i].get() == shown.device)
            ui.cbxDev->setCurrentIndex(static_cast<int>(i));
    ui.rgTypeJ->setItemIndex(shown.journalIndex);
    updateIncrementalButton();
    ui.lblStat->setText(QStringLiteral("Из архива: серия %1, записи %2–%3")
                            .arg(seriesId)
                            .arg(shown.startrec)
                            .arg(shown.startrec + shown.count - 1));
    ui.lblMaxRec->setText(
        QStringLiteral("Записей: %1, сбойных: %2").arg(shown.count).arg(shown.failed));
    ui.lblFailed->hide();
    m_runView->ShowStopped(QString());
    ui.lnkExchange->hide();
    m_runView->ShowStoredFailures(shown.failed);
    ui.BtnExcel->setVisible(shown.count > 0);
    ui.PageControl1->setCurrentWidget(ui.tsData);
}
