// SPDX-License-Identifier: MIT
// The archive against both engines: SQLite in a temporary file and PostgreSQL on a server of the
// suite's own (skipped only when PostgreSQL is not installed).
#include "archivetestfixture.h"

#include "archive/incrementalplan.h"

#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <atomic>
#include <csignal>
#include <thread>

namespace {

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

// --- Which series a reading goes to --------------------------------------------------------

struct Step {
    qint64 first;
    qint64 count;
    int seed = 1;
    std::vector<qint64> failed = {};
    std::optional<int> into = {}; // incremental into the series at this position of the list
    int journal = 1;
    std::vector<qint64> changed = {}; // numbers whose bytes differ from the seed's
};

struct SeriesExpect {
    qint64 first, last, records, failed;
    std::size_t readings;
    int seed; // every answer has this seed's bytes; 0: not checked
};

struct SeriesCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<SeriesExpect> series;
};

const SeriesCase kSeriesCases[] = {
    {"a first reading makes a series", {{0, 100}}, {{0, 99, 100, 0, 1, 1}}},
    {"an overlapping equal reading continues it", {{0, 100}, {50, 100}}, {{0, 149, 150, 0, 2, 1}}},
    {"other bytes start a new series",
     {{0, 100}, {50, 100, 2}},
     {{0, 99, 100, 0, 1, 1}, {50, 149, 100, 0, 1, 2}}},
    {"one changed record in the overlap starts a new series",
     {{0, 100}, {0, 100, 1, {}, {}, 1, {70}}},
     {{0, 99, 100, 0, 1, 1}, {0, 99, 100, 0, 1, 0}}},
    {"no shared number starts a new series",
     {{0, 100}, {200, 50}},
     {{0, 99, 100, 0, 1, 1}, {200, 249, 50, 0, 1, 1}}},
    {"an answer replaces a failed record",
     {{0, 100, 1, {10, 20}}, {0, 100}},
     {{0, 99, 100, 0, 2, 1}}},
    {"a failed request keeps the answer", {{0, 100}, {0, 100, 1, {5}}}, {{0, 99, 100, 0, 2, 1}}},
    {"only failed records: kept as failed", {{0, 5, 1, {0, 1, 2, 3, 4}}}, {{0, 4, 5, 5, 1, 1}}},
    {"an incremental reading adds to its series",
     {{0, 100, 1, {3}}, {100, 50, 1, {}, 0}, {3, 1, 1, {}, 0}},
     {{0, 149, 150, 0, 3, 1}}},
    {"a reading without records leaves nothing", {{0, 100}, {0, 0}}, {{0, 99, 100, 0, 1, 1}}},
    {"the most recent agreeing series of three is continued",
     {{0, 100, 1}, {0, 100, 2}, {50, 100, 1}},
     {{0, 149, 150, 0, 2, 1}, {0, 99, 100, 0, 1, 2}}},
    {"another journal never continues",
     {{0, 100, 1, {}, {}, 1}, {0, 100, 1, {}, {}, 2}},
     {{0, 99, 100, 0, 1, 1}, {0, 99, 100, 0, 1, 1}}},
};

TEST_P(ArchiveTest, ReadingsGoToTheRightSeries) {
    for (const auto& c : kSeriesCases) {
        SCOPED_TRACE(c.name);
        NewArchive();
        for (const Step& s : c.steps) {
            std::optional<qint64> into;
            if (s.into) {
                const auto list = Open()->ListSeries();
                ASSERT_TRUE(list && *s.into < static_cast<int>(list->size()));
                into = (*list)[*s.into].id;
            }
            Write(s.first, s.count, s.seed, s.failed, into, s.journal, s.changed);
        }
        auto archive = Open();
        const auto list = archive->ListSeries();
        ASSERT_TRUE(list);
        ASSERT_EQ(list->size(), c.series.size());
        for (std::size_t i = 0; i < list->size(); ++i) {
            const auto& got = (*list)[i];
            const auto& want = c.series[i];
            EXPECT_EQ(got.firstNumber, want.first);
            EXPECT_EQ(got.lastNumber, want.last);
            EXPECT_EQ(got.records, want.records);
            EXPECT_EQ(got.failed, want.failed);
            EXPECT_EQ(archive->Readings(got.id)->size(), want.readings);
            const auto records = archive->Records(got.id, want.first, want.last);
            ASSERT_TRUE(records);
            for (const auto& r : *records) {
                if (want.seed != 0 && r.ok()) {
                    ASSERT_EQ(r.bytes, RecordBytes(r.number, want.seed)) << r.number;
                }
            }
        }
        ExpectConsistent(*archive);
    }
}

// --- Queries ---------------------------------------------------------------------------------

TEST_P(ArchiveTest, AnswersQueries) {
    for (int seed = 1; seed <= 4; ++seed)
        Write(0, 10, seed);
    Write(0, 10, 1, {}, std::nullopt, 2);
    const qint64 newest = *Write(5, 20, 4, {12, 14}).seriesId; // continues seed 4's series

    auto archive = Open();
    const auto candidates = archive->Candidates(Journal(1));
    ASSERT_TRUE(candidates);
    ASSERT_EQ(candidates->size(), 3u);
    EXPECT_EQ((*candidates)[0].id, newest);
    EXPECT_EQ((*candidates)[0].lastAnswered, 24);
    EXPECT_EQ((*candidates)[0].lastPort, QStringLiteral("COM5"));
    EXPECT_EQ((*candidates)[0].lastAddress, 7);
    EXPECT_EQ((*candidates)[0].journal.deviceName, QStringLiteral("Регулятор РТ-10"));
    EXPECT_TRUE((*candidates)[0].lastReadingTime.isValid());

    EXPECT_EQ(*archive->MissingOrFailed(newest, 10, 30),
              (std::vector<qint64>{12, 14, 25, 26, 27, 28, 29, 30}));
    const auto records = archive->Records(newest, 11, 13);
    ASSERT_TRUE(records && records->size() == 3u);
    EXPECT_EQ((*records)[0].bytes, RecordBytes(11, 4));
    EXPECT_EQ((*records)[1].code, 1);
    EXPECT_TRUE((*records)[1].bytes.isEmpty());
    const auto readings = archive->Readings(newest);
    ASSERT_TRUE(readings && readings->size() == 2u);
    EXPECT_EQ((*readings)[1].firstNumber, 5);
    EXPECT_EQ((*readings)[1].lastNumber, 24);
    EXPECT_EQ((*readings)[1].records, 20);
    EXPECT_EQ((*readings)[1].info.speed, 19200);
    EXPECT_TRUE((*readings)[1].finished.isValid());

    ASSERT_TRUE(archive->DeleteSeries(newest));
    EXPECT_EQ(archive->ListSeries()->size(), 4u);
    EXPECT_FALSE(archive->DeleteSeries(newest));
    EXPECT_TRUE(archive->error().startsWith(QStringLiteral("Архив журналов")));
    ExpectConsistent(*archive);
}

// Text values are bound, never spliced into SQL.
TEST_P(ArchiveTest, KeepsHostileTextsAsTheyAre) {
    const QString hostile = QStringLiteral("x'); DROP TABLE records; --\"\\%_");
    TArchiveWriter writer(m_url);
    TReadingInfo info = Reading(Journal(1, hostile));
    info.port = hostile;
    writer.Begin(info);
    writer.AppendRecord(0, 0, RecordBytes(0, 1));
    ASSERT_FALSE(writer.Finish().failed);
    const auto list = Open()->Candidates(Journal(1, hostile));
    ASSERT_TRUE(list && list->size() == 1u);
    EXPECT_EQ((*list)[0].journal.deviceName, hostile);
    EXPECT_EQ((*list)[0].lastPort, hostile);
}

// --- An archive of an older program -----------------------------------------------------------

// An archive of schema 1, whose readings keep neither how they ended nor their failed records nor
// their range, is listed as it is when opened to read; the next writer brings it up to date. Its
// readings stay, as finished, their failed records not counted; a stopped reading is then kept as
// stopped, with its range and failed records.
TEST_P(ArchiveTest, OpensAnArchiveOfSchemaOne) {
    Write(0, 10, 1, {3});
    {
        QSqlDatabase db = RawConnection(QStringLiteral("old"));
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        for (const char* column : {"stopped", "failed", "range_first", "range_count"})
            ASSERT_TRUE(query.exec(
                QStringLiteral("ALTER TABLE readings DROP COLUMN %1").arg(QLatin1String(column))));
        ASSERT_TRUE(query.exec(QStringLiteral("UPDATE archive_schema SET version = 1")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
    const auto look = [&](TReadingEnd lastEnd) {
        TJournalArchive archive;
        EXPECT_TRUE(archive.Open(m_url, kDefaultBusyTimeoutMs, TOpenMode::ReadOnly))
            << archive.error().toStdString();
        const auto series = archive.ListSeries();
        EXPECT_TRUE(series && series->size() == 1u);
        EXPECT_EQ(series->front().lastEnd, lastEnd);
        return archive.Readings(series->front().id).value_or(std::vector<TReadingSummary>{});
    };
    auto readings = look(TReadingEnd::Finished);
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_EQ(readings[0].failed, std::nullopt);
    EXPECT_EQ(readings[0].info.rangeCount, std::nullopt);

    TArchiveWriter writer(m_url);
    TReadingInfo info = Reading(Journal());
    info.rangeFirst = 5;
    info.rangeCount = 20;
    writer.Begin(info);
    for (qint64 n = 5; n < 12; ++n)
        n == 7 ? writer.AppendFailed(n, 2) : writer.AppendRecord(n, 0, RecordBytes(n, 1));
    writer.SetStopped();
    ASSERT_FALSE(writer.Finish().failed);
    readings = look(TReadingEnd::Stopped);
    ASSERT_EQ(readings.size(), 2u);
    EXPECT_EQ(readings[0].end, TReadingEnd::Finished);
    EXPECT_EQ(readings[0].failed, std::nullopt);
    EXPECT_EQ(readings[0].records, 10);
    EXPECT_EQ(readings[1].end, TReadingEnd::Stopped);
    EXPECT_EQ(readings[1].failed, 1);
    EXPECT_EQ(readings[1].records, 7);
    EXPECT_EQ(readings[1].info.rangeFirst, 5);
    EXPECT_EQ(readings[1].info.rangeCount, 20);
    ExpectConsistent(*Open());
}

// --- Commits during the reading ----------------------------------------------------------------

TEST_P(ArchiveTest, CommitsEveryBatchAndEverySecond) {
    struct Case {
        const char* name;
        TWriterOptions options;
        qint64 appended;
        qint64 visible; // committed before Finish
    };
    const Case cases[] = {
        {"every 500 records", {kWriterBusyTimeoutMs, 500, 600000}, 1200, 1000},
        {"every interval", {kWriterBusyTimeoutMs, 500, 300}, 10, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TArchiveWriter writer(m_url, c.options);
        writer.Begin(Reading(Journal()));
        const qint64 first = c.appended * 10;
        for (qint64 n = first; n < first + c.appended; ++n)
            writer.AppendRecord(n, 0, RecordBytes(n, 1));
        auto archive = Open();
        qint64 seen = 0;
        EXPECT_TRUE(WaitUntil([&] {
            seen = 0;
            for (const auto& s : archive->ListSeries().value_or(std::vector<TSeriesSummary>{}))
                seen += s.firstNumber == first ? s.records : 0;
            return seen >= c.visible;
        }));
        EXPECT_EQ(seen, c.visible);
        writer.RequestFinish();
        EXPECT_TRUE(WaitUntil([&] { return writer.Finished(); }));
        EXPECT_EQ(writer.Finish().stored, c.appended);
    }
}

// --- Two programs at once ----------------------------------------------------------------------

// Connections that create the same new archive together (the writer thread and the window, two
// programs) all open it: SQLite refuses the switch to WAL at once while another one creates it.
// And an archive being written opens at once for a look.
TEST_P(ArchiveTest, OpensWhileOthersCreateOrWriteIt) {
    if (GetParam() != Engine::SQLite)
        GTEST_SKIP() << "a PostgreSQL database exists before its first connection";
    for (int round = 0; round < 40; ++round) {
        NewArchive();
        std::atomic<int> opened{0};
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&] {
                TJournalArchive archive;
                for (++ready; ready < 3;) // all three open at the same moment
                    std::this_thread::yield();
                if (archive.Open(m_url) && archive.ListSeries())
                    ++opened;
            });
        }
        for (auto& t : threads)
            t.join();
        ASSERT_EQ(opened, 3) << "round " << round;
    }
    // Opening to look does not wait for a writer's transaction to end.
    Write(0, 10, 1);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "holder");
        db.setDatabaseName(m_url);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("BEGIN IMMEDIATE")));
        TJournalArchive archive;
        EXPECT_TRUE(archive.Open(m_url, 100)) << archive.error().toStdString();
        EXPECT_TRUE(archive.ListSeries().has_value());
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));
}

TEST_P(ArchiveTest, TwoProgramsWritingAtOnceLoseNothing) {
    Write(0, 10, 1); // the archive and its schema exist before the programs start
    // Paced so that the three readings overlap in time.
    const QStringList pace{QStringLiteral("--pace-us"), QStringLiteral("200")};
    QProcess* a = StartHelper(QStringList{QStringLiteral("0"), QStringLiteral("4000")} + pace);
    QProcess* b =
        StartHelper(QStringList{QStringLiteral("0"), QStringLiteral("4000"),
                                QStringLiteral("--device"), QStringLiteral("Другой прибор"),
                                QStringLiteral("--seed"), QStringLiteral("2")} +
                    pace);
    QProcess* c = StartHelper(QStringList{QStringLiteral("2000"), QStringLiteral("4000")} + pace);
    for (QProcess* p : {a, b, c}) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    auto archive = Open();
    const auto ours = archive->Candidates(Journal());
    ASSERT_TRUE(ours && ours->size() == 1u);
    EXPECT_EQ((*ours)[0].records, 6000);
    EXPECT_EQ(archive->Readings((*ours)[0].id)->size(), 3u);
    const auto other = archive->Candidates(Journal(1, QStringLiteral("Другой прибор")));
    ASSERT_TRUE(other && other->size() == 1u);
    EXPECT_EQ(archive->HasSeries(Journal()), std::optional(true));
    EXPECT_EQ(archive->HasSeries(Journal(1, QStringLiteral("Третий прибор"))),
              std::optional(false));
    EXPECT_EQ((*other)[0].records, 4000);
    EXPECT_TRUE(archive->MissingOrFailed((*ours)[0].id, 0, 5999)->empty());
    ExpectConsistent(*archive);
}

// --- kill -9 during a reading ------------------------------------------------------------------

// After each kill the archive opens, is consistent, and an incremental reading completes the
// range: it compares the highest answered record and reads only what is missing.
TEST_P(ArchiveTest, SurvivesKilledReadings) {
    constexpr qint64 kCount = 2000;
    const TInstrumentRange range{0, kCount, 0, kCount, 0};
    QRandomGenerator random(20240518);
    for (int round = 0; round < 20; ++round) {
        const int delayMs = static_cast<int>(random.bounded(20, 900));
        SCOPED_TRACE(testing::Message()
                     << "round " << round << ", killed after " << delayMs << " ms");
        QProcess* p = StartHelper({QStringLiteral("0"), QString::number(kCount),
                                   QStringLiteral("--pace-us"), QStringLiteral("300")});
        QThread::msleep(delayMs);
        KillIfRunning(*p);
        ASSERT_TRUE(p->waitForFinished(10000));

        auto archive = Open();
        ASSERT_TRUE(archive->isOpen());
        ExpectConsistent(*archive);
        const auto series = archive->Candidates(Journal());
        ASSERT_TRUE(series) << archive->error().toStdString();
        std::vector<TPlanCandidate> candidates;
        for (const auto& s : *series)
            candidates.push_back({s.id, s.lastAnswered});
        std::optional<qint64> matched;
        for (const auto& step : PlanComparisons(range, candidates)) {
            const auto stored = archive->Records(step.seriesId, step.number, step.number);
            if (stored && stored->size() == 1 &&
                stored->front().bytes == RecordBytes(step.number, 1)) {
                matched = step.seriesId;
                break;
            }
        }
        const auto answered =
            matched ? *archive->AnsweredNumbers(*matched, 0, kCount - 1) : std::vector<qint64>{};
        TArchiveWriter writer(m_url);
        writer.Begin(Reading(Journal(), matched ? TReadingKind::Incremental : TReadingKind::Full),
                     matched);
        for (const qint64 n : NumbersToRead(range, answered))
            writer.AppendRecord(n, 0, RecordBytes(n, 1));
        const auto outcome = writer.Finish();
        ASSERT_FALSE(outcome.failed) << writer.TakeError().value_or(QString()).toStdString();
        ASSERT_TRUE(outcome.seriesId);
        EXPECT_TRUE(archive->MissingOrFailed(*outcome.seriesId, 0, kCount - 1)->empty());
        const auto records = archive->Records(*outcome.seriesId, 0, kCount - 1);
        for (const auto& r : *records)
            ASSERT_EQ(r.bytes, RecordBytes(r.number, 1)) << r.number;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ArchiveTest, kEngines, EngineName);

} // namespace
