// SPDX-License-Identifier: MIT
#include "app/core/runengine.h"

#include <QMetaObject>

#include <algorithm>
#include <climits>

namespace core {

void ApplyGridBatch(const TGridBatch& batch, IStringGrid& to) {
    if (batch.clearFrom >= 0)
        to.clearCells(batch.clearFrom);
    // Rows dropped and grown again come back empty, as they did in the list.
    if (batch.fewestRows >= 0 && batch.fewestRows < to.rowCount())
        to.setRowCount(batch.fewestRows);
    if (to.columnCount() != batch.columns)
        to.setColumnCount(batch.columns);
    if (to.rowCount() != batch.rows)
        to.setRowCount(batch.rows);
    for (std::size_t i = 0; i < batch.cells.size(); ++i) {
        const int row = batch.firstRow + static_cast<int>(i);
        const std::vector<QString>& cells = batch.cells[i];
        for (std::size_t c = 0; c < cells.size(); ++c)
            if (cells[c] != to.cell(row, static_cast<int>(c)))
                to.setCell(row, static_cast<int>(c), cells[c]);
        if (to.rowError(row) != batch.errors[i])
            to.setRowError(row, batch.errors[i]);
    }
}

void TBatchingGrid::Reset() {
    m_changed = false;
    m_clearFrom = -1;
    m_fewestRows = -1;
    m_columnsChanged = false;
    m_dirtyFrom = INT_MAX;
    m_dirtyTo = -1;
}

void TBatchingGrid::Touch(int row) {
    m_changed = true;
    m_dirtyFrom = std::min(m_dirtyFrom, row);
    m_dirtyTo = std::max(m_dirtyTo, row);
}

void TBatchingGrid::setRowCount(int rows) {
    if (rows < m_store.rowCount())
        m_fewestRows = m_fewestRows < 0 ? rows : std::min(m_fewestRows, rows);
    m_changed = m_changed || rows != m_store.rowCount();
    m_store.setRowCount(rows);
}

void TBatchingGrid::setColumnCount(int columns) {
    m_changed = m_changed || columns != m_store.columnCount();
    m_store.setColumnCount(columns);
    // Every row's cells travel: a narrower grid drops cells the copy must drop too.
    if (m_store.rowCount() > 0) {
        Touch(0);
        Touch(m_store.rowCount() - 1);
    }
}

void TBatchingGrid::setCell(int row, int column, const QString& text) {
    m_store.setCell(row, column, text);
    if (row >= 0 && row < m_store.rowCount())
        Touch(row);
}

void TBatchingGrid::clearCells(int fromRow) {
    m_store.clearCells(fromRow);
    m_changed = true;
    m_clearFrom = m_clearFrom < 0 ? fromRow : std::min(m_clearFrom, fromRow);
}

void TBatchingGrid::setRowError(int row, bool error) {
    m_store.setRowError(row, error);
    if (row >= 0 && row < m_store.rowCount())
        Touch(row);
}

TGridBatch TBatchingGrid::TakeBatch() {
    TGridBatch batch;
    batch.clearFrom = m_clearFrom;
    batch.fewestRows = m_fewestRows;
    batch.rows = m_store.rowCount();
    batch.columns = m_store.columnCount();
    const int last = std::min(m_dirtyTo, batch.rows - 1);
    if (m_dirtyFrom <= last) {
        batch.firstRow = m_dirtyFrom;
        for (int row = m_dirtyFrom; row <= last; ++row) {
            std::vector<QString> cells(static_cast<std::size_t>(batch.columns));
            for (int c = 0; c < batch.columns; ++c)
                cells[static_cast<std::size_t>(c)] = m_store.cell(row, c);
            batch.cells.push_back(std::move(cells));
            batch.errors.push_back(m_store.rowError(row));
        }
    }
    Reset();
    return batch;
}

// ---- TQueuedRunHost ----

void TQueuedRunHost::Flush(THostCall last) {
    std::vector<THostCall> calls;
    if (m_list.changed())
        calls.push_back([batch = m_list.TakeBatch()](IRunHost&, IStringGrid& list) {
            ApplyGridBatch(batch, list);
        });
    // The last of each value is what the window shows; the bar's maximum before its position.
    if (m_maximum)
        calls.push_back([v = *m_maximum](IRunHost& h, IStringGrid&) { h.SetProgressMaximum(v); });
    if (m_position)
        calls.push_back([v = *m_position](IRunHost& h, IStringGrid&) { h.SetProgressPosition(v); });
    if (m_records)
        calls.push_back([v = *m_records](IRunHost& h, IStringGrid&) {
            h.SetRecordProgress(v.first, v.second);
        });
    if (m_count)
        calls.push_back([v = *m_count](IRunHost& h, IStringGrid&) { h.SetCountText(v); });
    if (m_status)
        calls.push_back([v = *m_status](IRunHost& h, IStringGrid&) { h.SetStatusText(v); });
    if (!calls.empty())
        calls.push_back([](IRunHost& h, IStringGrid&) { h.BetweenCalls(); });
    if (last)
        calls.push_back(std::move(last));
    m_maximum.reset();
    m_position.reset();
    m_records.reset();
    m_count.reset();
    m_status.reset();
    m_sinceFlush.start();
    if (!calls.empty())
        m_post(std::move(calls));
}

void TQueuedRunHost::ShowMessage(const QString& text, const QString& detail) {
    Flush([text, detail](IRunHost& h, IStringGrid&) { h.ShowMessage(text, detail); });
}

void TQueuedRunHost::SetExportVisible(bool visible) {
    Flush([visible](IRunHost& h, IStringGrid&) { h.SetExportVisible(visible); });
}

void TQueuedRunHost::SetProgressMaximum(int maximum) {
    // A position set before a new maximum was clamped to the old one.
    if (m_position)
        Flush();
    m_maximum = maximum;
}

void TQueuedRunHost::SetRecordProgress(int done, int total) {
    if (done == 0) { // the progress's clock starts with the record loop
        m_records.reset();
        Flush([total](IRunHost& h, IStringGrid&) { h.SetRecordProgress(0, total); });
        return;
    }
    m_records = {done, total};
}

void TQueuedRunHost::SetRunState(TRunState state) {
    Flush([state](IRunHost& h, IStringGrid&) { h.SetRunState(state); });
}

void TQueuedRunHost::BetweenCalls() {
    if (m_stopCheck)
        m_stopCheck();
    if (m_intervalMs > 0 && m_sinceFlush.isValid() && m_sinceFlush.elapsed() < m_intervalMs)
        return;
    Flush();
}

// ---- TQueuedTraceObserver ----

void TQueuedTraceObserver::OnFrame(const TFrameEvent& event) {
    if (QThread::currentThread() == thread()) {
        Deliver(); // those of another thread came first
        m_target.OnFrame(event);
        return;
    }
    bool first = false;
    {
        const std::lock_guard lock(m_mutex);
        first = m_pending.empty();
        m_pending.push_back(event);
    }
    if (first)
        QMetaObject::invokeMethod(this, &TQueuedTraceObserver::Deliver, Qt::QueuedConnection);
}

void TQueuedTraceObserver::Deliver() {
    std::vector<TFrameEvent> events;
    {
        const std::lock_guard lock(m_mutex);
        events.swap(m_pending);
    }
    for (const TFrameEvent& e : events)
        m_target.OnFrame(e);
}

// ---- TRunEngine ----

TRunEngine::TRunEngine(IModbusLink& link, IRunHost& host, IStringGrid& list, int intervalMs,
                       QObject* parent)
    : QObject(parent), m_link(link), m_host(host), m_list(list),
      m_runHost(
          m_runList,
          [this](std::vector<THostCall> calls) {
              QMetaObject::invokeMethod(
                  this, [this, calls = std::move(calls)]() mutable { Deliver(std::move(calls)); },
                  Qt::QueuedConnection);
          },
          intervalMs),
      m_run(link, m_runDecoder, m_runList, m_runHost) {
    m_runHost.SetStopCheck([this] {
        if (m_stopAsked)
            m_run.Stop();
        if (m_disconnectAsked.exchange(false))
            m_link.Disconnect();
    });
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("reading run"));
    m_thread.start();
}

TRunEngine::~TRunEngine() {
    Shutdown();
}

void TRunEngine::Shutdown() {
    if (!m_thread.isRunning())
        return;
    Stop();
    if (m_jobStop)
        m_jobStop();
    m_thread.quit();
    m_thread.wait();
}

bool TRunEngine::RunJob(std::function<void()> job, std::function<void()> done,
                        std::function<void()> stop) {
    if (IsBusy() || !m_thread.isRunning())
        return false;
    m_jobStop = stop ? std::move(stop) : [] {};
    QMetaObject::invokeMethod(
        m_worker,
        [this, job = std::move(job), done = std::move(done)] {
            job();
            QMetaObject::invokeMethod(
                this,
                [this, done] {
                    m_jobStop = nullptr;
                    done();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return true;
}

bool TRunEngine::Start(const TRunRequest& request) {
    if (IsBusy() || !m_thread.isRunning())
        return false;
    m_active = true;
    m_stopAsked = false;
    m_disconnectAsked = false;
    QMetaObject::invokeMethod(
        m_worker, [this, request] { RunOnWorker(request); }, Qt::QueuedConnection);
    return true;
}

void TRunEngine::Stop() {
    if (!m_active)
        return;
    m_stopAsked = true;
    m_run.Stop();
}

void TRunEngine::Disconnect() {
    if (m_active)
        m_disconnectAsked = true;
}

void TRunEngine::RunOnWorker(const TRunRequest& request) {
    const TRunResult result = m_run.Run(request);
    m_runHost.Flush([this, result](IRunHost&, IStringGrid&) {
        m_active = false;
        m_result = result;
        emit finished(m_result);
    });
}

void TRunEngine::Deliver(std::vector<THostCall> calls) {
    for (THostCall& c : calls)
        m_pending.push_back(std::move(c));
    // A message box runs an event loop of its own: what the run did after it waits until the
    // box is closed, as it did when the run waited for it.
    if (m_delivering)
        return;
    m_delivering = true;
    bool rows = false;
    while (!m_pending.empty()) {
        THostCall call = std::move(m_pending.front());
        m_pending.pop_front();
        const int before = m_list.rowCount();
        call(m_host, m_list);
        rows = rows || m_list.rowCount() != before;
    }
    m_delivering = false;
    if (rows)
        emit rowsShown();
}

} // namespace core
