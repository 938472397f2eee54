// SPDX-License-Identifier: MIT
#include "app/gui/runview.h"

#include "platform/messagesink.h"
#include "ui_mainform.h"

#include <QCoreApplication>

#include <algorithm>

TRunView::TRunView(Ui::TForm1& form, IMessageSink& messages, std::function<void()> processEvents,
                   int eventIntervalMs)
    : ui(form), m_messages(messages), m_processEvents(std::move(processEvents)),
      m_eventIntervalMs(eventIntervalMs) {}

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

void TRunView::SetRunState(TRunState state) {
    switch (state) {
    case TRunState::Connected:
        ui.btnRead2->setEnabled(false);
        ui.btnStop->setEnabled(true);
        ui.BtnDisconnect2->setEnabled(true);
        ui.BtnConnect2->setEnabled(false);
        break;
    case TRunState::Reading:
        ui.rgTypeJ->setEnabled(false);
        ui.btnStop2->setEnabled(true);
        break;
    case TRunState::Idle:
        ui.rgTypeJ->setEnabled(true);
        ui.btnStop2->setEnabled(false);
        ui.btnRead2->setEnabled(true);
        ui.BtnConnect2->setEnabled(true);
        ui.BtnDisconnect2->setEnabled(false);
        break;
    }
}

void TRunView::ProcessEvents() {
    if (m_eventIntervalMs > 0 && m_sinceEvents.isValid() &&
        m_sinceEvents.elapsed() < m_eventIntervalMs)
        return;
    m_sinceEvents.start();
    if (m_processEvents)
        m_processEvents();
    else
        QCoreApplication::processEvents();
}
