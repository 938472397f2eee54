// SPDX-License-Identifier: MIT
// The journal archive's costs, on SQLite (a temporary file) and on a local PostgreSQL server
// (started in a temporary folder when PostgreSQL is installed):
//   (a) storing a reading of N records: what the reading's thread pays per record (queueing),
//       how long the writer's thread takes to commit everything, the CPU time per record, and a
//       reading loop that waits WORK microseconds per record for its answer (as an unpaced
//       reading waits for the simulator) with the writer against the same loop without it;
//   (b) a second full reading of the same records (the series is continued: merge at the end);
//   (c) reading the N-record series back (what opening it into the list needs);
//   (d) the incremental plan's queries (candidates, answered numbers);
//   (e) the archive's size for N records (after the first reading).
// Usage: archive_bench [records [work-us]]   (defaults 65536 and 250)
#include "archive/archivewriter.h"
#include "archive/journalarchive.h"
#include "postgresserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

using namespace archive;

namespace {

QByteArray Answer(qint64 number) {
    QByteArray bytes(14, '\0');
    bytes[0] = 0x41;
    bytes[1] = 12;
    for (int i = 0; i < 12; ++i)
        bytes[2 + i] = static_cast<char>((number >> (i % 4 * 8)) + i);
    return bytes;
}

TReadingInfo Info() {
    return {QDateTime::currentDateTime(),
            QStringLiteral("COM5"),
            1,
            19200,
            {QStringLiteral("Регулятор РТ-10"), QStringLiteral("rt10.ini"), 1,
             QStringLiteral("События"), 0},
            TReadingKind::Full,
            {},
            {}};
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// A record's exchange: the reading's thread waits for the instrument's answer.
void Exchange(int us) {
    if (us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// A reading loop of `records` records waiting `workUs` per record; with a writer when `url` is
// given. Returns the seconds of the record loop (the reading); `finishS` gets the wait for the
// writer's end after it (a window asks for it and goes on: RequestFinish), `appendNs` what the
// appends cost the loop.
double ReadingLoop(const QString& url, qint64 records, int workUs, double* appendNs = nullptr,
                   double* finishS = nullptr, bool* failed = nullptr) {
    QElapsedTimer total;
    total.start();
    std::unique_ptr<TArchiveWriter> writer;
    if (!url.isEmpty()) {
        writer = std::make_unique<TArchiveWriter>(url);
        writer->Begin(Info());
    }
    qint64 appendTotal = 0;
    QElapsedTimer t;
    for (qint64 n = 0; n < records; ++n) {
        Exchange(workUs);
        if (writer) {
            t.start();
            writer->AppendRecord(n, 0, Answer(n));
            appendTotal += t.nsecsElapsed();
        }
    }
    const double loop = total.nsecsElapsed() / 1e9;
    if (writer) {
        QElapsedTimer f;
        f.start();
        const auto outcome = writer->Finish();
        if (finishS)
            *finishS = f.nsecsElapsed() / 1e9;
        if (failed)
            *failed = outcome.failed;
        if (outcome.failed)
            std::printf("    archive failed: %s\n",
                        qPrintable(writer->TakeError().value_or(QString())));
    }
    if (appendNs)
        *appendNs = static_cast<double>(appendTotal) / std::max<qint64>(1, records);
    return loop;
}

double Seconds(const std::function<void()>& step) {
    QElapsedTimer t;
    t.start();
    step();
    return t.nsecsElapsed() / 1e9;
}

void Measure(const char* engine, const QString& url, qint64 records, int workUs,
             const std::function<qint64()>& size) {
    std::printf("%s (%s)\n", engine, qPrintable(url));
    double appendNs = 0;
    const double cpu0 = CpuSeconds();
    double finish = 0;
    const double unpacedStore = ReadingLoop(url, records, 0, &appendNs, &finish) + finish;
    const double cpu = CpuSeconds() - cpu0;
    std::printf("  (a) %lld records stored by an unpaced loop: %.3f s (%.0f records/s),"
                " %.0f ns per record on the reading's thread, %.1f us CPU per record in the"
                " process (both threads)\n",
                static_cast<long long>(records), unpacedStore, records / unpacedStore, appendNs,
                cpu / records * 1e6);
    const qint64 bytes = size();
    std::printf("  (e) archive size after it: %.2f MB (%.1f bytes per record)\n", bytes / 1048576.0,
                static_cast<double>(bytes) / std::max<qint64>(1, records));
    // Three turns each, alternating; the best of each counts (the machine may be shared).
    const qint64 paced = std::min<qint64>(records, 20000);
    double bare = 1e9, with = 1e9;
    for (int turn = 0; turn < 3; ++turn) {
        bare = std::min(bare, ReadingLoop({}, paced, workUs));
        with = std::min(with, ReadingLoop(url, paced, workUs, &appendNs, &finish));
    }
    std::printf(
        "      a reading of %lld records waiting %d us per record: %.3f s without the archive,"
        " %.3f s with it (speed %.3f of it; %.0f ns per append; then %.3f s until the writer"
        " has finished)\n",
        static_cast<long long>(paced), workUs, bare, with, bare / with, appendNs, finish);
    const double again = ReadingLoop(url, records, 0, nullptr, &finish) + finish;
    std::printf("  (b) the same records read again (series continued): %.3f s, of which the"
                " finish (merge) %.3f s\n",
                again, finish);

    TJournalArchive archive;
    if (!archive.Open(url)) {
        std::printf("  %s\n", qPrintable(archive.error()));
        return;
    }
    const auto list = archive.ListSeries();
    const qint64 series = list && !list->empty() ? list->front().id : 0;
    std::size_t got = 0;
    const double readBack = Seconds([&] { got = archive.Records(series, 0, records - 1)->size(); });
    std::printf("  (c) a %zu-record series read back: %.3f s\n", got, readBack);
    const double plan = Seconds([&] {
        archive.Candidates(Info().journal);
        archive.AnsweredNumbers(series, 0, records - 1);
    });
    std::printf("  (d) incremental plan queries (candidates, answered numbers): %.3f s\n", plan);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 records = argc > 1 ? QString::fromLocal8Bit(argv[1]).toLongLong() : 65536;
    const int workUs = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 250;

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("archive.sqlite"));
    Measure("SQLite", file, records, workUs, [&] {
        return QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
    });

    QString why;
    const auto server = TPostgresServer::Start(&why, true);
    if (!server) {
        std::printf("PostgreSQL: skipped (%s)\n", qPrintable(why));
        return 0;
    }
    const QString url = server->CreateDatabase(QStringLiteral("bench"), &why);
    Measure("PostgreSQL", url, records, workUs, [&] {
        TJournalArchive archive; // the tables' size, indexes included
        archive.Open(url);
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("size"));
        db.setHostName(server->socketFolder());
        db.setUserName(QStringLiteral("journal"));
        db.setDatabaseName(QStringLiteral("bench"));
        qint64 bytes = 0;
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT pg_total_relation_size('records') +"
                                      " pg_total_relation_size('readings') +"
                                      " pg_total_relation_size('series')")) &&
                q.next())
                bytes = q.value(0).toLongLong();
        }
        return bytes;
    });
    QSqlDatabase::removeDatabase(QStringLiteral("size"));
    return 0;
}
