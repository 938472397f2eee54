// SPDX-License-Identifier: MIT
#include "app/gui/serverpathview.h"

#include "platform/messagesink.h"
#include "ui_mainform.h"

#include <QCoreApplication>

#include <iterator>

namespace gui {

TServerPathView::TServerPathView(Ui::TForm1& form, platform::IMessageSink& messages,
                                 QObject& window, std::function<const TDevInfo*()> currentDevice)
    : ui(form), m_messages(messages), m_window(window), m_currentDevice(std::move(currentDevice)) {}

int TServerPathView::JournalItemIndex() const {
    return ui.rgTypeJ->itemIndex();
}

void TServerPathView::SetControlEnabled(Control control, bool enabled) {
    // In the order of Control.
    QWidget* const widgets[] = {ui.btnConnect, ui.btnRead, ui.btnStop, ui.BtnDisconnect,
                                ui.rgTypeJ};
    static_assert(std::size(widgets) == static_cast<std::size_t>(Control::JournalSelector) + 1);
    widgets[static_cast<std::size_t>(control)]->setEnabled(enabled);
}

void TServerPathView::SetCountText(const QString& text) {
    ui.lblMaxRec->setText(text);
}

void TServerPathView::ShowMessageBox(const QString& text) {
    m_messages.information(text);
}

void TServerPathView::ShowErrorBox(const QString& text) {
    m_messages.error(text);
}

void TServerPathView::SendRecordAnswer(std::int32_t w, std::int32_t result) {
    TRecordAnswerEvent e(w, result);
    QCoreApplication::sendEvent(&m_window, &e);
}

} // namespace gui
