// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/catalogue.h"
#include "app/core/runarchive.h"
#include "archive/archivelocation.h"
#include "archive/archivewriter.h"
#include "archive/journalarchive.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace core {

// The device type and journal a series keeps, from the catalogue's device.
archive::TJournalKey JournalKeyOf(const TDevInfo& device, int journalIndex);

// Whether and where the archive is used: journal-read's --archive URL or --no-archive, main.ini's
// [Archive], JOURNAL_ARCHIVE and the default location (see archive::ResolveArchiveSetting).
archive::TArchiveSetting ArchiveSettingFor(const TConnectionSettings& settings,
                                           const QString& optionUrl = {}, bool noArchive = false);

// `archive` opened at `url` when it is not open yet; nullptr (and `archive` empty) when it cannot
// be opened, the reason in `error` (and `notFound` set when there is no archive at `url`).
archive::TJournalArchive* OpenArchive(std::unique_ptr<archive::TJournalArchive>& archive,
                                      const QString& url, QString& error,
                                      archive::TOpenMode mode = archive::TOpenMode::Write,
                                      bool* notFound = nullptr);

// The reading runs' journal archive: queries for an incremental reading on the caller's thread,
// and a TArchiveWriter per run that commits off it. A failing archive never stops a run: its
// first failure is kept for one message (TakeError) and the run goes on.
class TArchiveRecorder : public IRunArchive {
public:
    explicit TArchiveRecorder(QString url, archive::TWriterOptions options = {});
    // Waits for the last run's writer.
    ~TArchiveRecorder() override;
    TArchiveRecorder(const TArchiveRecorder&) = delete;
    TArchiveRecorder& operator=(const TArchiveRecorder&) = delete;

    const QString& url() const { return m_url; }
    // An incremental reading compares the instrument only with the series last read at its port
    // and address: where many instruments of one type share the archive (a collector's), the
    // few most recent series of the type are mostly other instruments'.
    void SetPerInstrument(bool on) { m_perInstrument = on; }

    std::vector<TArchiveCheck> Comparisons(const TArchiveRunInfo& run) override;
    bool ComparisonsFailed() const override { return m_comparisonsFailed; }
    std::vector<TStoredRecord> StoredAnswers(qint64 seriesId, const TArchiveRunInfo& run) override;
    void Begin(const TArchiveRunInfo& run, std::optional<qint64> series) override;
    void Answered(qint64 number, const std::uint8_t* reply) override;
    void Failed(qint64 number, int code) override;
    void End(bool stopped) override;

    // The last run's writer has committed everything (or failed); true when there is none.
    bool Finished() const;
    // Waits for the last run's writer (no longer than its finish deadline, or its stop grace once
    // `stopRequested` turns true); the series it stored into, if any.
    std::optional<qint64> Finish(const std::function<bool()>& stopRequested = {});
    // The archive's failure not yet reported, once.
    std::optional<QString> TakeError();

private:
    // The connection for queries, opened to read on first use; nullptr when the archive cannot
    // be opened (the failure noted) or is not there yet (a reading makes it).
    archive::TJournalArchive* Archive(bool* failed = nullptr);
    void StartRun();
    void Note(const QString& error);

    const QString m_url;
    const archive::TWriterOptions m_options;
    std::unique_ptr<archive::TJournalArchive> m_archive;
    std::unique_ptr<archive::TArchiveWriter> m_writer;
    bool m_inRun = false;
    bool m_comparisonsFailed = false;
    bool m_perInstrument = false;
    std::optional<QString> m_error;
};

} // namespace core
