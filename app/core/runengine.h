// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldecoder.h"
#include "app/core/linetrace.h"
#include "app/core/readingrun.h"
#include "app/core/stringgrid.h"

#include <QElapsedTimer>
#include <QObject>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace core {

// What changed in a list since the last batch: the rows to write, and how the size moved.
struct TGridBatch {
    int clearFrom = -1;  // rows from here on were emptied (-1: none)
    int fewestRows = -1; // the smallest row count in between (-1: it did not shrink)
    int rows = 0;        // the size after the batch
    int columns = 0;
    int firstRow = 0; // the row of cells[0]
    std::vector<std::vector<QString>> cells;
    std::vector<bool> errors; // of each row of `cells`

    bool empty() const { return clearFrom < 0 && fewestRows < 0 && cells.empty(); }
};

// Brings `to` to what the list held when the batch was taken (given it held what the previous
// batch left).
void ApplyGridBatch(const TGridBatch& batch, IStringGrid& to);

// A list that keeps its rows and notes what changed, for another thread's copy of it.
class TBatchingGrid : public IStringGrid {
public:
    TBatchingGrid(int rows, int columns) : m_store(rows, columns) { Reset(); }

    int rowCount() const override { return m_store.rowCount(); }
    int columnCount() const override { return m_store.columnCount(); }
    void setRowCount(int rows) override;
    void setColumnCount(int columns) override;
    QString cell(int row, int column) const override { return m_store.cell(row, column); }
    void setCell(int row, int column, const QString& text) override;
    void clearCells(int fromRow) override;
    void setRowError(int row, bool error) override;
    bool rowError(int row) const override { return m_store.rowError(row); }

    // The changes since the last batch; the next one starts from here.
    TGridBatch TakeBatch();
    bool changed() const { return m_changed; }

private:
    void Touch(int row);
    void Reset();

    TStringGrid m_store;
    bool m_changed = false;
    int m_clearFrom = -1;
    int m_fewestRows = -1;
    bool m_columnsChanged = false;
    int m_dirtyFrom = 0;
    int m_dirtyTo = -1; // last dirty row; below m_dirtyFrom: none
};

// A call the run makes of its host, carried to the window's thread, with the window's list.
using THostCall = std::function<void(IRunHost& host, IStringGrid& list)>;

// The run's host on the worker thread. What the run shows is gathered and handed on in one
// update at most every `intervalMs` (0: after every record), and at once before a message box,
// a change of the buttons' state and the start of the record loop, with the rows the list
// gained. `post` carries the calls to the window's thread, in order.
class TQueuedRunHost : public IRunHost {
public:
    TQueuedRunHost(TBatchingGrid& list, std::function<void(std::vector<THostCall>)> post,
                   int intervalMs)
        : m_list(list), m_post(std::move(post)), m_intervalMs(intervalMs) {}

    // Checked between calls on the link: a stop asked for before the run started reaches it.
    void SetStopCheck(std::function<void()> check) { m_stopCheck = std::move(check); }

    void ShowMessage(const QString& text, const QString& detail) override;
    void SetExportVisible(bool visible) override;
    void SetStatusText(const QString& text) override { m_status = text; }
    void SetCountText(const QString& text) override { m_count = text; }
    void SetProgressMaximum(int maximum) override;
    void SetProgressPosition(int position) override { m_position = position; }
    void SetRecordProgress(int done, int total) override;
    void SetRunState(TRunState state) override;
    void BetweenCalls() override;

    // Hands on what is gathered, followed by `last` when given.
    void Flush(THostCall last = {});

private:
    TBatchingGrid& m_list;
    std::function<void(std::vector<THostCall>)> m_post;
    int m_intervalMs;
    QElapsedTimer m_sinceFlush;
    std::function<void()> m_stopCheck;
    std::optional<QString> m_status;
    std::optional<QString> m_count;
    std::optional<int> m_maximum;
    std::optional<int> m_position;
    std::optional<std::pair<int, int>> m_records;
};

// Trace events from any thread, handed to `target` on the thread of this object in the order
// they came; batched, as a line brings thousands of frames a second.
class TQueuedTraceObserver : public QObject, public ITraceObserver {
public:
    explicit TQueuedTraceObserver(ITraceObserver& target, QObject* parent = nullptr)
        : QObject(parent), m_target(target) {}

    void OnFrame(const TFrameEvent& event) override;
    // Hands on the events that came so far (on this object's thread).
    void Deliver();

private:
    ITraceObserver& m_target;
    std::mutex m_mutex;
    std::vector<TFrameEvent> m_pending;
};

// The window's reading runs on a worker thread of their own. The run talks to the link, decodes
// into a list of its own and stores into the archive on that thread; what it shows reaches
// `host` and `list` on the engine's thread through queued calls. One run at a time: Start
// refuses a second while one is active.
class TRunEngine : public QObject {
    Q_OBJECT
public:
    // `intervalMs`: the window is brought up to date at most this often during a run.
    TRunEngine(IModbusLink& link, IRunHost& host, IStringGrid& list, int intervalMs,
               QObject* parent = nullptr);
    // Stops a run in progress and joins the thread.
    ~TRunEngine() override;

    // Where the runs store; used on the worker thread only from now on.
    void SetArchive(IRunArchive* archive) { m_run.SetArchive(archive); }

    // Starts a run; false when one is active.
    bool Start(const TRunRequest& request);
    // The record loop ends after the record in progress.
    void Stop();
    // The run's connection is closed on the run's thread after the record in progress; the
    // records after it fail, as they fail when the line goes.
    void Disconnect();
    // Stops and waits for the thread to end (no more runs after).
    void Shutdown();

    // Runs `job` on the engine's thread when nothing runs there (the instrument search); `done`
    // follows on the engine's thread once it has returned. `stop` ends the job early (called on
    // the engine's thread, at Shutdown). False when a run or a job is active.
    bool RunJob(std::function<void()> job, std::function<void()> done, std::function<void()> stop);

    // From Start until `finished` has been emitted.
    bool IsActive() const { return m_active; }
    // A run or a job is active.
    bool IsBusy() const { return m_active || m_jobStop; }
    // The last run's result (the running one's once it has finished).
    const TRunResult& Result() const { return m_result; }
    // The last run's decoder and grouped grid; read them between runs only.
    const TJournalDecoder& decoder() const { return m_decoder; }
    const TStringGrid& groupGrid() const { return m_groupGrid; }

signals:
    // Rows of the run reached the list.
    void rowsShown();
    // The run has ended and everything it showed has reached the host.
    void finished(const core::TRunResult& result);

private:
    void Deliver(std::vector<THostCall> calls);
    void RunOnWorker(const TRunRequest& request);

    IModbusLink& m_link;
    IRunHost& m_host;
    IStringGrid& m_list;
    QThread m_thread;
    QObject* m_worker = nullptr; // lives on m_thread

    // The worker's side.
    TBatchingGrid m_runList{2, 5};
    TStringGrid m_groupGrid{2, 1};
    TJournalDecoder m_decoder{m_runList};
    TRunDecoder m_runDecoder{m_decoder, m_groupGrid};
    TQueuedRunHost m_runHost;
    TReadingRun m_run;
    std::atomic<bool> m_stopAsked = false;
    std::atomic<bool> m_disconnectAsked = false;

    // The engine's side.
    bool m_active = false;
    std::function<void()> m_jobStop; // of the active job
    TRunResult m_result;
    std::deque<THostCall> m_pending;
    bool m_delivering = false;
};

} // namespace core
