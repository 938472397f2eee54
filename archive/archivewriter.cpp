// SPDX-License-Identifier: MIT
#include "archive/archivewriter.h"

namespace archive {

TArchiveWriter::TArchiveWriter(QString url, TWriterOptions options)
    : m_url(std::move(url)), m_options(options) {}

TArchiveWriter::~TArchiveWriter() {
    Finish();
}

void TArchiveWriter::Begin(const TReadingInfo& info, std::optional<qint64> intoSeries) {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this, info, intoSeries] {
        Work(info, intoSeries);
        std::lock_guard lock(m_mutex);
        m_done = true;
    });
}

void TArchiveWriter::AppendAnswer(qint64 number, const std::uint8_t* reply) {
    AppendRecord(number, 0, MeaningfulReply(reply));
}

void TArchiveWriter::AppendRecord(qint64 number, int code, QByteArray bytes) {
    std::lock_guard lock(m_mutex);
    if (m_failed || m_finishing || !m_thread.joinable())
        return;
    if (m_queue.empty())
        m_firstQueued = std::chrono::steady_clock::now();
    m_queue.push_back({number, code, code == 0 ? std::move(bytes) : QByteArray(), 0});
    // The worker waits for the first record (to start the interval) and for a full batch.
    if (m_queue.size() == 1 || m_queue.size() == static_cast<std::size_t>(m_options.commitRecords))
        m_wake.notify_one();
}

void TArchiveWriter::RequestFinish() {
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_wake.notify_one();
}

bool TArchiveWriter::Finished() const {
    std::lock_guard lock(m_mutex);
    return m_done || !m_thread.joinable();
}

TWriterOutcome TArchiveWriter::Finish() {
    RequestFinish();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    m_outcome.failed = m_failed;
    return m_outcome;
}

std::optional<QString> TArchiveWriter::TakeError() {
    std::lock_guard lock(m_mutex);
    if (!m_failed || m_errorTaken)
        return std::nullopt;
    m_errorTaken = true;
    return m_error;
}

bool TArchiveWriter::failed() const {
    std::lock_guard lock(m_mutex);
    return m_failed;
}

void TArchiveWriter::SetFailed(const QString& error) {
    std::lock_guard lock(m_mutex);
    m_failed = true;
    m_error = error;
    m_queue.clear();
}

// Waits until a batch is due: commitRecords queued, commitIntervalMs since the first queued
// record, or the reading finishing. Returns false when the reading finished and nothing is left.
bool TArchiveWriter::WaitForBatch(std::vector<TArchivedRecord>& batch) {
    std::unique_lock lock(m_mutex);
    const auto due = [this] {
        return m_finishing || m_queue.size() >= static_cast<std::size_t>(m_options.commitRecords);
    };
    while (!due()) {
        if (m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const auto deadline = m_firstQueued + std::chrono::milliseconds(m_options.commitIntervalMs);
        m_wake.wait_until(lock, deadline, due);
        break;
    }
    // At most one batch per transaction, so that the commits keep their rhythm.
    const std::size_t take =
        std::min(m_queue.size(), static_cast<std::size_t>(m_options.commitRecords));
    batch.assign(std::make_move_iterator(m_queue.begin()),
                 std::make_move_iterator(m_queue.begin() + static_cast<std::ptrdiff_t>(take)));
    m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(take));
    return !batch.empty() || !m_finishing;
}

void TArchiveWriter::Work(TReadingInfo info, std::optional<qint64> intoSeries) {
    TJournalArchive archive;
    std::optional<TReadingHandle> reading;
    if (archive.Open(m_url, m_options.busyTimeoutMs))
        reading = archive.BeginReading(info, intoSeries);
    if (!reading)
        return SetFailed(archive.error());
    std::vector<TArchivedRecord> batch;
    while (WaitForBatch(batch)) {
        if (!archive.StoreRecords(*reading, std::move(batch)))
            return SetFailed(archive.error());
        batch.clear();
        std::lock_guard lock(m_mutex);
        m_outcome.stored = reading->records;
        m_outcome.readingId = reading->readingId;
    }
    const auto finished = archive.FinishReading(*reading);
    if (!finished)
        return SetFailed(archive.error());
    std::lock_guard lock(m_mutex);
    m_outcome.seriesId = finished->seriesId;
    if (!m_outcome.readingId && finished->readingId)
        m_outcome.readingId = finished->readingId;
    m_outcome.continued = finished->continued;
}

} // namespace archive
