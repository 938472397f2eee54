// SPDX-License-Identifier: MIT
#include "archive/archivewriter.h"

#include "archive/abortableconnections.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace archive {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a writer's thread may take to end once its connection has been cut.
constexpr milliseconds kCutOffWait{500};

std::atomic<int> g_abandoned{0};

QString ArchiveName(const QString& url) {
    const auto location = ParseArchiveUrl(url);
    return location ? location->displayName() : QString();
}

} // namespace

// What the writer shares with its thread; the thread keeps it alive when the writer has left it.
struct TArchiveWriter::TState {
    TState(QString u, TWriterOptions o) : url(std::move(u)), options(o) {}

    // Waits until a batch is due: commitRecords queued, commitIntervalMs since the first queued
    // record, or the reading finishing. False when the reading finished and nothing is left, or
    // the writer failed.
    bool WaitForBatch(std::vector<TArchivedRecord>& batch);
    // The first failure is the one reported.
    void SetFailed(const QString& text);
    bool Failed() const {
        std::lock_guard lock(mutex);
        return failed;
    }
    // Until the thread has ended (true), the finish deadline has passed, or kWriterStopGraceMs
    // since `stopRequested` turned true.
    bool WaitForEnd(const std::function<bool()>& stopRequested);
    // Gives up the records not confirmed and cuts the connection, so that a wait on a server
    // that does not answer ends; true when the thread then ends within kCutOffWait.
    bool CutOff();
    Clock::time_point Deadline() const {
        return *finishAsked + milliseconds(options.finishDeadlineMs);
    }

    const QString url;
    const TWriterOptions options;
    mutable std::mutex mutex;
    std::condition_variable wake;  // the thread: records or the finish
    std::condition_variable ended; // Finish: the thread has ended
    std::vector<TArchivedRecord> queue;
    Clock::time_point firstQueued;
    std::optional<Clock::time_point> finishAsked;
    qint64 appended = 0;
    int abortHandle = 0; // the thread's connection in abortable connections
    bool done = false;   // the thread has ended
    bool failed = false;
    bool errorTaken = false;
    bool abandoned = false; // the writer no longer waits for the thread
    bool stopped = false;   // the reading stopped before the end of its range
    QString error;
    TWriterOutcome outcome;
};

bool TArchiveWriter::TState::WaitForBatch(std::vector<TArchivedRecord>& batch) {
    std::unique_lock lock(mutex);
    const auto due = [this] {
        return failed || finishAsked ||
               queue.size() >= static_cast<std::size_t>(options.commitRecords);
    };
    while (!due()) {
        if (queue.empty()) {
            wake.wait(lock);
            continue;
        }
        wake.wait_until(lock, firstQueued + milliseconds(options.commitIntervalMs), due);
        break;
    }
    // At most one batch per transaction, so that the commits keep their rhythm.
    const std::size_t take =
        std::min(queue.size(), static_cast<std::size_t>(options.commitRecords));
    batch.assign(std::make_move_iterator(queue.begin()),
                 std::make_move_iterator(queue.begin() + static_cast<std::ptrdiff_t>(take)));
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(take));
    return !failed && (!batch.empty() || !finishAsked);
}

void TArchiveWriter::TState::SetFailed(const QString& text) {
    std::lock_guard lock(mutex);
    if (!failed)
        error = text;
    failed = true;
    queue.clear();
}

bool TArchiveWriter::TState::WaitForEnd(const std::function<bool()>& stopRequested) {
    std::unique_lock lock(mutex);
    Clock::time_point deadline = Deadline();
    bool stopping = false;
    while (!done) {
        const auto now = Clock::now();
        if (!stopping && stopRequested && stopRequested()) {
            stopping = true;
            deadline = std::min(deadline, now + milliseconds(kWriterStopGraceMs));
        }
        if (now >= deadline)
            return false;
        ended.wait_until(lock, std::min(deadline, now + milliseconds(50)));
    }
    return true;
}

bool TArchiveWriter::TState::CutOff() {
    std::unique_lock lock(mutex);
    if (done)
        return true;
    if (!failed) {
        const auto waited =
            std::chrono::duration_cast<milliseconds>(Clock::now() - *finishAsked).count();
        const auto seconds = std::max<qint64>(1, (waited + 500) / 1000);
        error =
            QStringLiteral("Архив журналов %1: архив не подтвердил сохранение последних записей "
                           "за %2 с (подтверждено %3 из %4), в архиве их может не оказаться")
                .arg(ArchiveName(url))
                .arg(seconds)
                .arg(outcome.stored)
                .arg(appended);
        failed = true;
        outcome.unconfirmed = true;
    }
    queue.clear();
    AbortConnection(abortHandle);
    wake.notify_all();
    if (ended.wait_for(lock, kCutOffWait, [this] { return done; }))
        return true;
    abandoned = true;
    ++g_abandoned;
    return false;
}

TArchiveWriter::TArchiveWriter(QString url, TWriterOptions options)
    : m_state(std::make_shared<TState>(std::move(url), options)) {}

TArchiveWriter::~TArchiveWriter() {
    Finish();
}

int TArchiveWriter::Abandoned() {
    return g_abandoned.load();
}

void TArchiveWriter::Begin(const TReadingInfo& info, std::optional<qint64> intoSeries) {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([state = m_state, info, intoSeries] { Work(state, info, intoSeries); });
}

void TArchiveWriter::AppendAnswer(qint64 number, const std::uint8_t* reply) {
    AppendRecord(number, 0, MeaningfulReply(reply));
}

void TArchiveWriter::AppendRecord(qint64 number, int code, QByteArray bytes) {
    TState& s = *m_state;
    std::lock_guard lock(s.mutex);
    if (s.failed || s.finishAsked || !m_thread.joinable())
        return;
    if (s.queue.empty())
        s.firstQueued = Clock::now();
    s.queue.push_back({number, code, code == 0 ? std::move(bytes) : QByteArray(), 0});
    ++s.appended;
    // The worker waits for the first record (to start the interval) and for a full batch.
    if (s.queue.size() == 1 || s.queue.size() == static_cast<std::size_t>(s.options.commitRecords))
        s.wake.notify_one();
}

void TArchiveWriter::SetStopped() {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->finishAsked)
        m_state->stopped = true;
}

void TArchiveWriter::RequestFinish() {
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->finishAsked)
            m_state->finishAsked = Clock::now();
    }
    m_state->wake.notify_one();
}

bool TArchiveWriter::Finished() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->done || !m_thread.joinable() ||
           (m_state->finishAsked && Clock::now() >= m_state->Deadline());
}

TWriterOutcome TArchiveWriter::Finish(const std::function<bool()>& stopRequested) {
    RequestFinish();
    if (m_thread.joinable()) {
        if (m_state->WaitForEnd(stopRequested) || m_state->CutOff())
            m_thread.join();
        else
            m_thread.detach();
    }
    std::lock_guard lock(m_state->mutex);
    m_state->outcome.failed = m_state->failed;
    return m_state->outcome;
}

std::optional<QString> TArchiveWriter::TakeError() {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->failed || m_state->errorTaken)
        return std::nullopt;
    m_state->errorTaken = true;
    return m_state->error;
}

bool TArchiveWriter::failed() const {
    return m_state->Failed();
}

void TArchiveWriter::Work(const std::shared_ptr<TState>& state, const TReadingInfo& info,
                          std::optional<qint64> intoSeries) {
    {
        TJournalArchive archive;
        if (archive.Open(state->url, state->options.busyTimeoutMs)) {
            std::lock_guard lock(state->mutex);
            state->abortHandle = archive.abortHandle();
        }
        std::optional<TReadingHandle> reading;
        if (archive.isOpen() && !state->Failed())
            reading = archive.BeginReading(info, intoSeries);
        if (reading)
            Store(*state, archive, *reading);
        else
            state->SetFailed(archive.error());
    }
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->abortHandle = 0;
    if (state->abandoned)
        --g_abandoned;
    state->ended.notify_all();
}

void TArchiveWriter::Store(TState& state, TJournalArchive& archive, TReadingHandle& reading) {
    std::vector<TArchivedRecord> batch;
    while (state.WaitForBatch(batch)) {
        if (!archive.StoreRecords(reading, std::move(batch)))
            return state.SetFailed(archive.error());
        batch.clear();
        std::lock_guard lock(state.mutex);
        state.outcome.stored = reading.records;
        state.outcome.readingId = reading.readingId;
    }
    // Cut off at the deadline: the reading is left unfinished, as a killed program leaves it.
    if (state.Failed())
        return;
    bool stopped = false;
    {
        std::lock_guard lock(state.mutex);
        stopped = state.stopped;
    }
    const auto finished = archive.FinishReading(reading, stopped);
    if (!finished)
        return state.SetFailed(archive.error());
    std::lock_guard lock(state.mutex);
    state.outcome.seriesId = finished->seriesId;
    if (!state.outcome.readingId && finished->readingId)
        state.outcome.readingId = finished->readingId;
    state.outcome.continued = finished->continued;
}

} // namespace archive
