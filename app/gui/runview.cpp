// SPDX-License-Identifier: MIT
#include "app/gui/runview.h"

#include "app/gui/views/grouptab.h"
#include "app/models/stringtablemodel.h"
#include "platform/messagesink.h"
#include "ui_mainform.h"

#include <QStyle>
#include <QTabBar>

#include <algorithm>

namespace gui {

namespace {
// A reading that did not read its whole range: its bar and its note.
const QColor kWarningColour(204, 102, 0);

// The grouped view's note of failed records, which belong to no group.
QString FailedRecordsNote(int failed) {
    return QStringLiteral("Сбойных записей: %1. В группы они не входят: их строки с текстом "
                          "ошибки выделены цветом в «Линейном списке».")
        .arg(failed);
}
} // namespace

TRunView::TRunView(Ui::TForm1& form, platform::IMessageSink& messages)
    : ui(form), m_messages(messages), m_progress([this] { return m_clock.elapsed(); }) {
    m_clock.start();
}

void TRunView::ShowMessage(const QString& text, const QString& detail) {
    m_messages.information(text, detail);
}

void TRunView::SetExportVisible(bool visible) {
    ui.BtnExcel->setVisible(visible);
}

void TRunView::SetStatusText(const QString& text) {
    ui.lblStat->setText(text);
}

void TRunView::SetCountText(const QString& text) {
    ui.lblMaxRec->setText(text);
}

void TRunView::SetProgressMaximum(int maximum) {
    ui.PBar->setMaximum(std::max(maximum, 0));
}

void TRunView::SetProgressPosition(int position) {
    ui.PBar->setValue(std::clamp(position, ui.PBar->minimum(), ui.PBar->maximum()));
}

void TRunView::SetRecordProgress(int done, int total) {
    if (done == 0)
        m_progress.Start(total);
    else
        m_progress.Update(done);
    // The text is set once the update that brought the count is in, which is when it can be
    // seen: a label that changes lays the status line out again.
    m_progressChanged = true;
    if (done == 0 || done >= total)
        ShowProgressText();
}

void TRunView::ShowProgressText() {
    m_progressChanged = false;
    ui.lblProgress->setText(m_progress.Text());
}

void TRunView::ShowRunStart() {
    ShowStopped(QString());
    // Nothing of the last reading's bar stays: a reading that fails to count its records
    // leaves it empty.
    ui.PBar->setValue(ui.PBar->minimum());
    ui.lblProgress->clear();
    ui.lblFailed->hide();
    ui.lnkExchange->hide();
    MarkExchangeTab(false);
    ui.tsGroup->setNote(QStringLiteral("Группировка по типам заполнится в конце чтения."));
}

void TRunView::ShowRunEnd(const core::TRunResult& result) {
    ShowStopped(core::StoppedText(result));
    // Failed records are counted once records were asked for; a failed count read has none.
    ui.lblFailed->setText(QStringLiteral("сбойных: %1").arg(result.recordsFailed));
    QPalette palette = ui.lblFailed->parentWidget()->palette();
    if (result.recordsFailed > 0)
        palette.setColor(QPalette::WindowText, Qt::red);
    ui.lblFailed->setPalette(palette);
    ui.lblFailed->setVisible(result.readRecords());
    ui.lnkExchange->setVisible(result.readFailed());
    MarkExchangeTab(result.readFailed());
    ShowStoredFailures(result.recordsFailed);
}

void TRunView::ShowStopped(const QString& text) {
    ui.lblProgress->setText(text);
    const bool stopped = !text.isEmpty();
    QPalette label = ui.lblProgress->parentWidget()->palette();
    QPalette bar = ui.PBar->parentWidget()->palette();
    if (stopped) {
        label.setColor(QPalette::WindowText, kWarningColour);
        bar.setColor(QPalette::Highlight, kWarningColour);
    }
    ui.lblProgress->setPalette(label);
    ui.PBar->setPalette(bar);
}

void TRunView::ShowStoredFailures(int failed) {
    ui.tsGroup->setNote(failed > 0 ? FailedRecordsNote(failed) : QString(), true);
}

void TRunView::MarkExchangeTab(bool on) {
    const int index = m_exchangeTab ? ui.PageControl1->indexOf(m_exchangeTab) : -1;
    if (index < 0)
        return;
    QTabBar* bar = ui.PageControl1->tabBar();
    bar->setTabTextColor(index, on ? QColor(Qt::red) : QColor());
    ui.PageControl1->setTabIcon(
        index, on ? ui.PageControl1->style()->standardIcon(QStyle::SP_MessageBoxWarning) : QIcon());
    ui.PageControl1->setTabToolTip(
        index, on ? QStringLiteral("Последнее чтение прошло со сбоями обмена") : QString());
}

void TRunView::SetRunState(core::TRunState state) {
    switch (state) {
    case core::TRunState::Connected:
        ui.btnRead2->setEnabled(false);
        ui.btnStop->setEnabled(true);
        ui.BtnDisconnect2->setEnabled(true);
        ui.BtnConnect2->setEnabled(false);
        break;
    case core::TRunState::Reading:
        ui.rgTypeJ->setEnabled(false);
        ui.btnStop2->setEnabled(true);
        break;
    case core::TRunState::Idle:
        ui.rgTypeJ->setEnabled(true);
        ui.btnStop2->setEnabled(false);
        ui.btnRead2->setEnabled(true);
        ui.BtnConnect2->setEnabled(true);
        ui.BtnDisconnect2->setEnabled(false);
        break;
    }
}

void TRunView::BetweenCalls() {
    // The end of one update from the engine.
    if (m_progressChanged)
        ShowProgressText();
}

} // namespace gui
