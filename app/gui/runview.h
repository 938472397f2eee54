// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/readingrun.h"

#include <QElapsedTimer>

#include <functional>

class IMessageSink;

namespace Ui {
class TForm1;
}

// The reading run's view of the main window: its message boxes, the status and count labels,
// the progress bar, the buttons a run enables and disables, and the handling of pending window
// events between records.
class TRunView : public IRunHost {
public:
    // `processEvents` handles pending events (empty: QCoreApplication::processEvents()); they
    // are handled after a record only when `eventIntervalMs` have passed since the last time
    // (0: after every record).
    TRunView(Ui::TForm1& ui, IMessageSink& messages, std::function<void()> processEvents,
             int eventIntervalMs);

    void ShowMessage(const QString& text, const QString& detail) override;
    void SetExportVisible(bool visible) override;
    void SetStatusText(const QString& text) override;
    void SetCountText(const QString& text) override;
    void SetProgressMaximum(int maximum) override;
    void SetProgressPosition(int position) override;
    void SetRunState(TRunState state) override;
    void ProcessEvents() override;

private:
    Ui::TForm1& ui;
    IMessageSink& m_messages;
    std::function<void()> m_processEvents;
    int m_eventIntervalMs;
    QElapsedTimer m_sinceEvents; // since pending events were last handled during a run
};
