// SPDX-License-Identifier: MIT
#include "collect/scheduler.h"

#include "archive/journalarchive.h"
#include "collect/metrics.h"

#include <algorithm>

namespace collect {

std::chrono::milliseconds TBackoff::After(int failures) const {
    std::chrono::milliseconds pause = first;
    for (int i = 1; i < failures && pause < longest; ++i)
        pause *= 2;
    return std::min(pause, longest);
}

// When an instrument of the line is read next.
struct TScheduler::TPlanned {
    int instrument = 0; // index into the list
    QDateTime due;
    int failures = 0; // failed readings in a row
    bool done = false;
};

// The line's own connection to the archive: the instruments' state, and leases when the archive
// is shared (PostgreSQL). It is open only while the line reads (Close), so that a collector of
// many lines keeps a few connections to the database. Without an archive every instrument is
// this collector's and no state is kept; a shared archive that cannot be reached gives no lease,
// and nothing is read.
class TScheduler::TLineArchive {
public:
    explicit TLineArchive(const TSchedulerOptions& options) : m_options(options) {
        const auto location = archive::ParseArchiveUrl(options.archiveUrl);
        m_shared = location && location->engine == archive::TArchiveEngine::PostgreSQL;
    }

    // Opens the connection when it is not open; false when there is none to open or it fails.
    bool Ready() {
        return !m_options.archiveUrl.isEmpty() &&
               (m_archive.isOpen() || m_archive.Open(m_options.archiveUrl));
    }
    void Close() { m_archive.Close(); }

    const QString& error() const { return m_archive.error(); }
    int ttl() const { return int(m_options.lease.count()); }

    // True when the instrument and its line are this collector's for the lease's time; nullopt
    // when the archive failed. The line is leased too: the instruments of a bus are read one
    // after another, whichever collector reads them, and a gateway takes few connections.
    std::optional<bool> Take(const QString& instrument, const QString& line) {
        if (!m_shared)
            return true;
        if (!Ready())
            return std::nullopt;
        const auto lineTaken = m_archive.TakeLease(LineLease(line), m_options.collector, ttl());
        if (!lineTaken || !*lineTaken)
            return lineTaken;
        const auto taken = m_archive.TakeLease(instrument, m_options.collector, ttl());
        if (!taken || !*taken)
            m_archive.ReleaseLease(LineLease(line), m_options.collector);
        return taken;
    }
    // False when a lease went to another collector (it expired).
    std::optional<bool> Renew(const QString& instrument, const QString& line) {
        if (!m_shared)
            return true;
        const auto lineKept = m_archive.RenewLease(LineLease(line), m_options.collector, ttl());
        const auto kept = m_archive.RenewLease(instrument, m_options.collector, ttl());
        if (!lineKept || !kept)
            return std::nullopt;
        return *lineKept && *kept;
    }
    void Release(const QString& instrument, const QString& line) {
        if (!m_shared)
            return;
        m_archive.ReleaseLease(instrument, m_options.collector);
        m_archive.ReleaseLease(LineLease(line), m_options.collector);
    }
    std::optional<archive::TInstrumentState> State(const QString& instrument) {
        if (!Ready())
            return std::nullopt;
        const auto states = m_archive.InstrumentStates();
        if (!states)
            return std::nullopt;
        const auto it = std::find_if(states->begin(), states->end(),
                                     [&](const auto& s) { return s.instrument == instrument; });
        return it == states->end() ? std::nullopt : std::optional(*it);
    }
    bool Store(const archive::TInstrumentState& state) {
        return m_options.archiveUrl.isEmpty() || (Ready() && m_archive.StoreInstrumentState(state));
    }

private:
    // A line's lease in the table of instruments' leases: a section of the list cannot be named
    // so (its name ends at the first ']').
    static QString LineLease(const QString& line) { return QStringLiteral("[линия] ") + line; }

    const TSchedulerOptions& m_options;
    archive::TJournalArchive m_archive;
    bool m_shared = false;
};

TScheduler::TScheduler(TInstrumentList list, TLineReaderFactory readers, TCollectorMetrics& metrics,
                       TSchedulerOptions options, std::function<void(const QString&)> log)
    : m_list(std::move(list)), m_readers(std::move(readers)), m_metrics(metrics),
      m_options(std::move(options)), m_log(std::move(log)) {
    m_freeJobs = m_options.jobs > 0 ? m_options.jobs : int(m_list.lines.size());
    m_failures.resize(m_list.instruments.size());
}

TScheduler::~TScheduler() {
    Stop();
    Wait();
}

void TScheduler::Start() {
    m_running = int(m_list.lines.size());
    for (std::size_t l = 0; l < m_list.lines.size(); ++l)
        m_threads.emplace_back([this, l] {
            RunLine(l);
            --m_running;
            m_wake.notify_all();
        });
}

void TScheduler::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
}

void TScheduler::Wait() {
    for (std::thread& t : m_threads)
        if (t.joinable())
            t.join();
    m_threads.clear();
}

std::vector<TOnceFailure> TScheduler::Failures() const {
    std::lock_guard lock(m_mutex);
    std::vector<TOnceFailure> failures;
    for (const TOnceFailure& f : m_failures)
        if (!f.instrument.isEmpty())
            failures.push_back(f);
    return failures;
}

bool TScheduler::TakeJob() {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [&] { return m_stop || m_freeJobs > 0; });
    if (m_stop)
        return false;
    --m_freeJobs;
    return true;
}

void TScheduler::GiveJob() {
    {
        std::lock_guard lock(m_mutex);
        ++m_freeJobs;
    }
    m_wake.notify_all();
}

bool TScheduler::SleepUntil(const QDateTime& until) {
    std::unique_lock lock(m_mutex);
    const auto deadline = std::chrono::system_clock::now() +
                          std::chrono::milliseconds(QDateTime::currentDateTimeUtc().msecsTo(until));
    m_wake.wait_until(lock, deadline, [&] { return bool(m_stop); });
    return !m_stop;
}

void TScheduler::RunLine(std::size_t l) {
    const TLine& line = m_list.lines[l];
    const std::unique_ptr<ILineReader> reader = m_readers(line, m_metrics);
    TLineArchive archive(m_options);
    std::vector<TPlanned> plan;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const int i : line.instruments) {
        TPlanned slot{i, now};
        // A collector that starts again keeps the schedule the archive has of its instruments.
        const auto state =
            m_options.once ? std::nullopt : archive.State(m_list.instruments[i].name);
        if (state && state->nextReading.isValid())
            slot.due = std::clamp(state->nextReading, now,
                                  now.addSecs(m_list.instruments[i].every.count()));
        plan.push_back(slot);
    }
    archive.Close();
    while (!m_stop) {
        TPlanned* next = nullptr;
        for (TPlanned& slot : plan)
            if (!slot.done && (!next || slot.due < next->due))
                next = &slot;
        if (!next)
            break; // --once: every instrument is done
        if (next->due > QDateTime::currentDateTimeUtc()) {
            reader->Close(); // nothing to read for a while: a kept connection is given up
            if (!SleepUntil(next->due))
                break;
            continue;
        }
        if (!TakeJob())
            break;
        Attend(*next, *reader, archive, line);
        archive.Close();
        GiveJob();
    }
    reader->Close();
}

void TScheduler::Attend(TPlanned& slot, ILineReader& reader, TLineArchive& archive,
                        const TLine& line) {
    const TInstrument& instrument = m_list.instruments[std::size_t(slot.instrument)];
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto taken = archive.Take(instrument.name, line.key);
    if (!taken || !*taken) {
        // Another collector reads it now: look again soon. An archive that fails counts as a
        // failed reading, which is not made: two collectors might read it at once.
        const TReadingOutcome failed{false, false, 0, 0, archive.error()};
        if (!taken)
            Record(slot, line, failed, std::nullopt, now, 0, archive);
        else
            slot.due = now.addMSecs(std::min<qint64>(m_options.lease.count() / 4, 500));
        return;
    }
    const auto before = archive.State(instrument.name);
    const bool readElsewhere =
        before && before->collector != m_options.collector &&
        (m_options.once ? before->lastReading >= m_started
                        : before->nextReading.isValid() && before->nextReading > now);
    if (readElsewhere) {
        // Another collector has read it since: its schedule is the instrument's.
        slot.due = before->nextReading.isValid() ? before->nextReading
                                                 : now.addSecs(instrument.every.count());
        if (m_options.once) {
            slot.done = true;
            if (before->state == archive::TCollectState::Failing) {
                std::lock_guard lock(m_mutex);
                m_failures[std::size_t(slot.instrument)] = {instrument.name, line.key,
                                                            before->error};
            }
        }
        archive.Release(instrument.name, line.key);
        return;
    }
    const auto clockStart = std::chrono::steady_clock::now();
    auto renewed = clockStart;
    bool lost = false;
    const TReadingOutcome outcome = reader.Read(instrument, [&] {
        // The lease is renewed while the reading lasts; one lost to another collector ends it.
        if (!lost && std::chrono::steady_clock::now() - renewed > m_options.lease / 3) {
            renewed = std::chrono::steady_clock::now();
            lost = archive.Renew(instrument.name, line.key) == std::optional<bool>(false);
        }
        return m_stop || lost;
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - clockStart).count();
    if (lost) {
        archive.Release(instrument.name, line.key);
        slot.due = now.addSecs(instrument.every.count());
        std::lock_guard lock(m_logMutex);
        m_log(QStringLiteral("%1 [%2]: аренда прибора перешла к другому сборщику, чтение "
                             "остановлено")
                  .arg(instrument.name, line.key));
        return;
    }
    Record(slot, line, outcome, before, now, seconds, archive);
    archive.Release(instrument.name, line.key);
}

void TScheduler::Record(TPlanned& slot, const TLine& line, const TReadingOutcome& outcome,
                        const std::optional<archive::TInstrumentState>& before,
                        const QDateTime& began, double seconds, TLineArchive& archive) {
    const TInstrument& instrument = m_list.instruments[std::size_t(slot.instrument)];
    const QDateTime now = QDateTime::currentDateTimeUtc();
    slot.failures = outcome.ok || outcome.stopped ? 0 : slot.failures + 1;
    if (outcome.ok)
        slot.due = began.addSecs(instrument.every.count());
    else if (outcome.stopped)
        slot.due = now; // the next start continues it
    else
        slot.due = now.addMSecs(m_options.backoff.After(slot.failures).count());
    slot.done = m_options.once;
    m_metrics.ReadingDone(line.key,
                          {!outcome.ok, outcome.newRecords, outcome.failedRecords, seconds});
    const bool stored = archive.Store(
        StateAfterReading(instrument, line, before, outcome, began, slot.due, m_options.collector));

    QString text = QStringLiteral("%1 [%2]: ").arg(instrument.name, line.key);
    if (outcome.ok || outcome.stopped)
        text += QStringLiteral("%1новых записей %2, сбойных %3, %4 с")
                    .arg(outcome.stopped ? QStringLiteral("остановлено, ") : QString(),
                         QString::number(outcome.newRecords),
                         QString::number(outcome.failedRecords), QString::number(seconds, 'f', 1));
    else if (m_options.once)
        text += QStringLiteral("ошибка: %1").arg(outcome.error);
    else
        text += QStringLiteral("ошибка: %1; следующая попытка через %2 с")
                    .arg(outcome.error,
                         QString::number((m_options.backoff.After(slot.failures).count() + 999) /
                                         1000));
    std::lock_guard lock(m_logMutex);
    m_log(text);
    if (!stored)
        m_log(QStringLiteral("%1: состояние не сохранено в архиве: %2")
                  .arg(instrument.name, archive.error()));
    if (m_options.once && !outcome.ok) {
        std::lock_guard failures(m_mutex);
        m_failures[std::size_t(slot.instrument)] = {
            instrument.name, line.key,
            outcome.stopped ? QStringLiteral("чтение остановлено") : outcome.error};
    }
}

} // namespace collect
