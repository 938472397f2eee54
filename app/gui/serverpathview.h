// SPDX-License-Identifier: MIT
#pragma once

#include "app/serverpath/serverreadingpath.h"

#include <QEvent>

#include <functional>

namespace platform {
class IMessageSink;
} // namespace platform
class QObject;

namespace Ui {
class TForm1;
}

namespace gui {

// The window's private "record answer" message (w, l): WM_USER + 1, delivered synchronously.
class TRecordAnswerEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 1);
    TRecordAnswerEvent(std::int32_t w, std::int32_t l) : QEvent(kType), W(w), L(l) {}
    std::int32_t W;
    std::int32_t L;
};

// The server path's view of the main window: the hidden buttons and the journal selector it
// enables, the count label, message boxes and the "record answer" message to the window.
class TServerPathView : public serverpath::IServerPathHost {
public:
    TServerPathView(Ui::TForm1& ui, platform::IMessageSink& messages, QObject& window,
                    std::function<const TDevInfo*()> currentDevice);

    const TDevInfo* CurrentDevice() const override { return m_currentDevice(); }
    int JournalItemIndex() const override;
    void SetControlEnabled(Control control, bool enabled) override;
    void SetCountText(const QString& text) override;
    void ShowMessageBox(const QString& text) override;
    void ShowErrorBox(const QString& text) override;
    void SendRecordAnswer(std::int32_t w, std::int32_t result) override;

private:
    Ui::TForm1& ui;
    platform::IMessageSink& m_messages;
    QObject& m_window;
    std::function<const TDevInfo*()> m_currentDevice;
};

} // namespace gui
