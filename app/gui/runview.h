// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/readingrun.h"
#include "app/core/runprogress.h"

#include <QElapsedTimer>

namespace platform {
class IMessageSink;
} // namespace platform
class QWidget;

namespace Ui {
class TForm1;
}

namespace gui {

// The reading run's view of the main window: its message boxes, the status and count labels,
// the progress bar and its text, the buttons a run enables and disables; after a run, its failed
// records and where to look for the cause. The engine calls it on the window's thread.
class TRunView : public core::IRunHost {
public:
    TRunView(Ui::TForm1& ui, platform::IMessageSink& messages);

    void ShowMessage(const QString& text, const QString& detail) override;
    void SetExportVisible(bool visible) override;
    void SetStatusText(const QString& text) override;
    void SetCountText(const QString& text) override;
    void SetProgressMaximum(int maximum) override;
    void SetProgressPosition(int position) override;
    void SetRecordProgress(int done, int total) override;
    void SetRunState(core::TRunState state) override;
    void BetweenCalls() override;

    // The "Обмен" tab, marked after a reading whose line failed.
    void setExchangeTab(QWidget* tab) { m_exchangeTab = tab; }
    // A reading starts: what the window said of the last one goes; the grouped view says that
    // it fills at the end.
    void ShowRunStart();
    // A reading ended: "сбойных: N" once records were asked for, and when the count or records
    // could not be read a pointer to the "Обмен" tab and a mark on it; the grouped view's note of
    // the failed records. A stopped reading says where it stopped, with its bar in a warning
    // colour.
    void ShowRunEnd(const core::TRunResult& result);
    // The note of a stopped reading beside the status texts (empty: none), and the bar's colour.
    void ShowStopped(const QString& text);
    // Records shown from the archive, `failed` of them error rows: the same note, no mark.
    void ShowStoredFailures(int failed);

private:
    void MarkExchangeTab(bool on);

    void ShowProgressText();

    Ui::TForm1& ui;
    platform::IMessageSink& m_messages;
    QElapsedTimer m_clock; // the progress text's clock
    core::TRunProgress m_progress;
    bool m_progressChanged = false; // the text is behind the records
    QWidget* m_exchangeTab = nullptr;
};

} // namespace gui
