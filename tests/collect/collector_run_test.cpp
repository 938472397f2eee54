// SPDX-License-Identifier: MIT
// journal-collect as a process against simulated sites (instruments behind a queueing Modbus TCP
// gateway): --once and its exit status, SIGTERM in the middle of a cycle, and two collectors
// sharing a PostgreSQL archive, one of them killed.
#include "archive/journalarchive.h"
#include "collectsite.h"
#include "postgresserver.h"
#include "qstringprinter.h"
#include "sim/simulator.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <numeric>

namespace {

const QString kCatalogue = QStringLiteral(JOURNAL_SOURCE_DIR "/examples");

using fixture::SiteEntry;

using fixture::StartSite;

QString WriteList(const QString& path, const std::vector<SiteEntry>& entries, const char* every) {
    EXPECT_TRUE(fixture::WriteSiteList(path, entries, QString::fromUtf8(every)));
    return path;
}

void StartCollector(QProcess& p, const QString& list, const QString& archive,
                    const QStringList& more = {}) {
    p.setReadChannel(QProcess::StandardError);
    p.start(QStringLiteral(JOURNAL_BIN_DIR "/journal-collect"),
            QStringList{"--catalogue", kCatalogue, "--config", list, "--archive", archive} + more);
    ASSERT_TRUE(p.waitForStarted());
}

// Series of the archive by the ID their records carry: the records' numbers.
std::map<int, std::vector<qint64>> StoredJournals(const QString& url) {
    archive::TJournalArchive a;
    std::map<int, std::vector<qint64>> journals;
    EXPECT_TRUE(a.Open(url, archive::kDefaultBusyTimeoutMs, archive::TOpenMode::ReadOnly))
        << a.error().toStdString();
    for (const auto& s : a.ListSeries().value_or(std::vector<archive::TSeriesSummary>{})) {
        const auto records =
            a.Records(s.id, 0, 1 << 20).value_or(decltype(a.Records(0, 0, 0))::value_type{});
        auto& numbers = journals[records.empty() ? -1 : fixture::SiteRecordId(records[0].bytes)];
        EXPECT_TRUE(numbers.empty()) << "two series of one instrument";
        for (const auto& r : records)
            numbers.push_back(r.number);
    }
    EXPECT_EQ(a.CheckConsistency().value_or(QStringList{"?"}), QStringList());
    return journals;
}

std::vector<qint64> Numbers(int count) {
    std::vector<qint64> numbers(static_cast<std::size_t>(count));
    std::iota(numbers.begin(), numbers.end(), 0);
    return numbers;
}

} // namespace

TEST(CollectorRun, OnceReadsEverythingAndFailsForAnInstrumentThatDoesNotAnswer) {
    QTemporaryDir dir;
    const auto site = StartSite(1, 3, 40);
    const QString port = site->clientPath();
    struct TCase {
        bool withMissing;
        int exitCode;
    };
    for (const TCase c : {TCase{false, 0}, TCase{true, 1}}) {
        std::vector<SiteEntry> entries{{"П1", port, 1}, {"П2", port, 2}, {"П3", port, 3}};
        if (c.withMissing)
            entries.insert(entries.begin(), {"Нет", port, 9});
        const QString archive = dir.filePath(QStringLiteral("a%1.sqlite").arg(c.withMissing));
        QProcess collector;
        StartCollector(collector, WriteList(dir.filePath("collect.ini"), entries, "15m"), archive,
                       {"--once"});
        ASSERT_TRUE(collector.waitForFinished(60000));
        const QString said = QString::fromUtf8(collector.readAllStandardError());
        EXPECT_EQ(collector.exitCode(), c.exitCode) << said.toStdString();
        EXPECT_TRUE(said.contains(QStringLiteral("П2 [%1]: новых записей 40, сбойных 0").arg(port)))
            << said.toStdString();
        EXPECT_EQ(said.contains(QStringLiteral("Не прочитаны приборы: 1 из 4\n  Нет [")),
                  c.withMissing)
            << said.toStdString();
        const auto journals = StoredJournals(archive);
        EXPECT_EQ(journals.size(), 3u);
        for (const auto& [id, numbers] : journals)
            EXPECT_EQ(numbers, Numbers(40)) << id;
    }
}

TEST(CollectorRun, SigtermStoresWhatWasReadAndTheNextCycleContinuesIt) {
    QTemporaryDir dir;
    const auto a = StartSite(1, 1, 200);
    const auto b = StartSite(2, 1, 200);
    const QString list = WriteList(dir.filePath("collect.ini"),
                                   {{"A", a->clientPath(), 1}, {"B", b->clientPath(), 1}}, "15m");
    const QString archive = dir.filePath("archive.sqlite");
    QProcess collector;
    StartCollector(collector, list, archive);
    QThread::msleep(1500); // both lines are in the middle of their 200 records (about 4 s)
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(collector.processId()), SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(5000));
    EXPECT_LT(stopping.elapsed(), 2000);
    EXPECT_EQ(collector.exitCode(), 0);
    const QString said = QString::fromUtf8(collector.readAllStandardError());
    EXPECT_EQ(said.count(QStringLiteral(": остановлено, новых записей")), 2) << said.toStdString();
    for (const auto& [id, numbers] : StoredJournals(archive)) {
        EXPECT_GT(numbers.size(), 0u) << id;
        EXPECT_LT(numbers.size(), 200u) << id;
    }

    QProcess next;
    StartCollector(next, list, archive, {"--once"});
    ASSERT_TRUE(next.waitForFinished(60000));
    EXPECT_EQ(next.exitCode(), 0) << next.readAllStandardError().toStdString();
    const auto journals = StoredJournals(archive);
    EXPECT_EQ(journals.size(), 2u);
    for (const auto& [id, numbers] : journals)
        EXPECT_EQ(numbers, Numbers(200)) << id;
}

TEST(CollectorRun, TwoCollectorsShareAPostgresArchiveAndTakeOverAKilledOnesInstruments) {
    QString why;
    const auto server = TPostgresServer::Start(&why);
    if (!server && !TPostgresServer::Available())
        GTEST_SKIP() << why.toStdString();
    ASSERT_TRUE(server) << why.toStdString();
    const QString url = server->CreateDatabase(QStringLiteral("fleet"), &why);
    ASSERT_FALSE(url.isEmpty()) << why.toStdString();
    {
        archive::TJournalArchive made; // both collectors find the schema made
        ASSERT_TRUE(made.Open(url)) << made.error().toStdString();
    }
    QTemporaryDir dir;
    std::vector<std::unique_ptr<sim::Simulator>> sites;
    std::vector<SiteEntry> entries;
    for (int s = 0; s < 3; ++s) {
        sites.push_back(StartSite(s + 1, 2, 20));
        for (int a = 1; a <= 2; ++a)
            entries.push_back(
                {QStringLiteral("С%1-%2").arg(s + 1).arg(a), sites.back()->clientPath(), a});
    }
    const QString list = WriteList(dir.filePath("collect.ini"), entries, "3s");
    QProcess first, second;
    StartCollector(first, list, url, {"--lease", "5s"});
    StartCollector(second, list, url, {"--lease", "5s"});

    // When each instrument's record count is read: a reading of it begins.
    std::map<std::pair<int, int>, std::vector<qint64>> readings;
    std::vector<qsizetype> seen(sites.size(), 0);
    QElapsedTimer clock;
    clock.start();
    qint64 killedAt = -1;
    while (clock.elapsed() < 22000) {
        for (std::size_t s = 0; s < sites.size(); ++s) {
            const auto log = sites[s]->requestLog();
            for (qsizetype k = seen[s]; k < log.size(); ++k)
                if (log[k].function == 4)
                    readings[{int(s), log[k].address}].push_back(clock.elapsed());
            seen[s] = log.size();
        }
        if (clock.elapsed() / 2000 != (clock.elapsed() + 50) / 2000)
            for (std::size_t s = 0; s < sites.size(); ++s)
                for (int a = 1; a <= 2; ++a)
                    fixture::GrowSite(*sites[s], int(s) + 1, a, 3);
        if (killedAt < 0 && clock.elapsed() > 8000) {
            first.kill(); // SIGKILL: its leases stay until they expire
            killedAt = clock.elapsed();
        }
        QThread::msleep(50);
    }
    ::kill(pid_t(second.processId()), SIGTERM);
    ASSERT_TRUE(second.waitForFinished(5000));
    first.waitForFinished(1000);
    SCOPED_TRACE((first.readAllStandardError() + second.readAllStandardError()).toStdString());

    ASSERT_EQ(readings.size(), 6u);
    for (const auto& [instrument, times] : readings) {
        SCOPED_TRACE(testing::Message()
                     << "site " << instrument.first << " address " << instrument.second);
        for (std::size_t k = 1; k < times.size(); ++k) {
            const qint64 gap = times[k] - times[k - 1];
            EXPECT_GE(gap, 2500) << "read twice in a cycle at " << times[k];
            // Once a cycle (a reading and a lease poll late at most); across the kill, at most a
            // lease longer.
            EXPECT_LE(gap, times[k] > killedAt && times[k - 1] < killedAt + 5000 ? 10500 : 5500)
                << "left out before " << times[k];
        }
        EXPECT_GT(times.back(), 19000 - 3000 - 1000);
    }
    // Nothing stored twice or lost: each instrument's one series holds every record it has.
    const auto journals = StoredJournals(url);
    ASSERT_EQ(journals.size(), 6u);
    for (const auto& [id, numbers] : journals) {
        const auto& site = *sites[std::size_t(id / 100 - 1)];
        const int held = site.site()[id % 100 - 1].journal(1)->records.size();
        EXPECT_GE(qsizetype(numbers.size()), held - 9) << id; // the last growths may come late
        EXPECT_EQ(numbers, Numbers(int(numbers.size()))) << id;
    }
}
