// SPDX-License-Identifier: MIT
#include "app/core/archiverecorder.h"

#include "archive/incrementalplan.h"

namespace core {

archive::TJournalKey JournalKeyOf(const TDevInfo& device, int journalIndex) {
    const TJournalInfo* journal = device.journalAt(journalIndex);
    return {device.Name, device.FileName, journalIndex + 1, journal ? journal->Name : QString(),
            journal ? static_cast<int>(journal->typedev) : 0};
}

archive::TArchiveSetting ArchiveSettingFor(const TConnectionSettings& settings,
                                           const QString& optionUrl, bool noArchive) {
    archive::TArchiveSettingSources sources = archive::ArchiveSettingSourcesFromEnvironment();
    sources.optionUrl = optionUrl;
    sources.noArchiveOption = noArchive;
    sources.iniUrl = settings.archiveUrl.value_or(QString());
    sources.iniEnabled = settings.archiveEnabled;
    return archive::ResolveArchiveSetting(sources);
}

TArchiveRecorder::TArchiveRecorder(QString url, archive::TWriterOptions options)
    : m_url(std::move(url)), m_options(options) {}

TArchiveRecorder::~TArchiveRecorder() {
    Finish();
}

archive::TJournalArchive* OpenArchive(std::unique_ptr<archive::TJournalArchive>& archive,
                                      const QString& url, QString& error, archive::TOpenMode mode,
                                      bool* notFound) {
    if (archive && archive->isOpen())
        return archive.get();
    archive = std::make_unique<archive::TJournalArchive>();
    if (archive->Open(url, archive::kDefaultBusyTimeoutMs, mode))
        return archive.get();
    error = archive->error();
    if (notFound)
        *notFound = archive->notFound();
    archive.reset();
    return nullptr;
}

archive::TJournalArchive* TArchiveRecorder::Archive(bool* failed) {
    QString error;
    bool notFound = false;
    archive::TJournalArchive* a =
        OpenArchive(m_archive, m_url, error, archive::TOpenMode::ReadOnly, &notFound);
    if (!a && !notFound)
        Note(error);
    if (failed)
        *failed = !a && !notFound;
    return a;
}

void TArchiveRecorder::Note(const QString& error) {
    if (!m_error)
        m_error = error;
}

void TArchiveRecorder::StartRun() {
    if (m_inRun)
        return;
    Finish();
    m_inRun = true;
}

std::vector<TArchiveCheck> TArchiveRecorder::Comparisons(const TArchiveRunInfo& run) {
    StartRun();
    m_comparisonsFailed = false;
    archive::TJournalArchive* a = run.device ? Archive(&m_comparisonsFailed) : nullptr;
    if (!a)
        return {};
    const auto series =
        m_perInstrument
            ? a->Candidates(JournalKeyOf(*run.device, run.journalIndex), 3, run.port, run.address)
            : a->Candidates(JournalKeyOf(*run.device, run.journalIndex));
    if (!series) {
        Note(a->error());
        m_comparisonsFailed = true;
        return {};
    }
    std::vector<archive::TPlanCandidate> candidates;
    for (const auto& s : *series)
        candidates.push_back({s.id, s.lastAnswered});
    const auto range = archive::RunRange(run.startrec, run.countRec, run.maxRec, run.ringSize);
    std::vector<TArchiveCheck> checks;
    for (const auto& step : archive::PlanComparisons(range, candidates)) {
        const auto records = a->Records(step.seriesId, step.number, step.number);
        if (!records) {
            Note(a->error());
            m_comparisonsFailed = checks.empty();
            break;
        }
        if (records->size() == 1 && records->front().ok())
            checks.push_back(
                {step.seriesId, step.number, step.requestIndex, records->front().bytes});
    }
    return checks;
}

std::vector<TStoredRecord> TArchiveRecorder::StoredAnswers(qint64 seriesId,
                                                           const TArchiveRunInfo& run) {
    archive::TJournalArchive* a = Archive();
    if (!a || run.countRec <= 0)
        return {};
    const auto records = a->Records(seriesId, run.startrec, run.startrec + run.countRec - 1);
    if (!records) {
        Note(a->error());
        return {};
    }
    std::vector<TStoredRecord> answers;
    answers.reserve(records->size());
    for (const auto& r : *records)
        if (r.ok())
            answers.push_back({r.number, 0, r.bytes});
    return answers;
}

void TArchiveRecorder::Begin(const TArchiveRunInfo& run, std::optional<qint64> series) {
    StartRun();
    if (!run.device)
        return;
    archive::TReadingInfo info;
    info.time = QDateTime::currentDateTime();
    info.port = run.port;
    info.address = run.address;
    info.speed = run.speed;
    info.journal = JournalKeyOf(*run.device, run.journalIndex);
    info.kind = series ? archive::TReadingKind::Incremental : archive::TReadingKind::Full;
    info.rangeFirst = run.startrec;
    info.rangeCount = run.countRec;
    m_writer = std::make_unique<archive::TArchiveWriter>(m_url, m_options);
    m_writer->Begin(info, series);
}

void TArchiveRecorder::Answered(qint64 number, const std::uint8_t* reply) {
    if (m_writer)
        m_writer->AppendAnswer(number, reply);
}

void TArchiveRecorder::Failed(qint64 number, int code) {
    if (m_writer)
        m_writer->AppendFailed(number, code);
}

void TArchiveRecorder::End(bool stopped) {
    m_inRun = false;
    if (!m_writer)
        return;
    if (stopped)
        m_writer->SetStopped();
    m_writer->RequestFinish();
}

bool TArchiveRecorder::Finished() const {
    return !m_writer || m_writer->Finished();
}

std::optional<qint64> TArchiveRecorder::Finish(const std::function<bool()>& stopRequested) {
    if (!m_writer)
        return std::nullopt;
    const archive::TWriterOutcome outcome = m_writer->Finish(stopRequested);
    if (const auto error = m_writer->TakeError())
        Note(*error);
    m_writer.reset();
    return outcome.seriesId;
}

std::optional<QString> TArchiveRecorder::TakeError() {
    if (m_writer && m_writer->Finished())
        Finish();
    return std::exchange(m_error, std::nullopt);
}

} // namespace core
