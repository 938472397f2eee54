// SPDX-License-Identifier: MIT
// journal-collect over a simulated site: instruments behind queueing Modbus TCP gateways, each
// gateway's line paced at 19,200 baud with 20 ms on the network each way. Measured:
//   - the floor: one line read alone (all lines are alike), a full reading and a reading of the
//     new records;
//   - the first cycle (full readings) and the second (the new records) of every line at once:
//     their time against the floor, parallel efficiency = floor / cycle (target >= 0.8), and
//     where the second cycle's time goes (wire, network latency, the rest: archive and program);
//   - the collector's peak memory (target < 200 MB);
//   - with a PostgreSQL archive, a cycle of new records by two collectors against one, each with
//     --jobs a quarter of the lines (target <= 0.6); a line reading holds three connections, and
//     the server of the tests takes 40.
// Usage: collect_bench [records [new [gateways [per-gateway]]]]   (default 1000 100 16 4)
#include "collectsite.h"
#include "postgresserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kBaud = 19200;
constexpr int kLatencyMs = 20;
const QString kCatalogue = QStringLiteral(JOURNAL_SOURCE_DIR "/examples");

struct TSite {
    std::vector<std::unique_ptr<sim::Simulator>> gateways;
    int perGateway = 0;

    std::vector<fixture::SiteEntry> Entries(std::size_t lines) const {
        std::vector<fixture::SiteEntry> entries;
        for (std::size_t g = 0; g < lines; ++g)
            for (int a = 1; a <= perGateway; ++a)
                entries.push_back(
                    {QStringLiteral("Г%1-%2").arg(g + 1).arg(a), gateways[g]->clientPath(), a});
        return entries;
    }
    void Grow(int added) {
        for (std::size_t g = 0; g < gateways.size(); ++g)
            for (int a = 1; a <= perGateway; ++a)
                fixture::GrowSite(*gateways[g], int(g) + 1, a, added);
    }
};

// Runs the collectors (one per argument list, started together) with --once to their end; the
// seconds until the last ended, -1 when one failed.
double Collect(const QString& list, const QString& archive, const std::vector<QStringList>& extra) {
    std::vector<std::unique_ptr<QProcess>> collectors;
    QElapsedTimer t;
    t.start();
    for (const QStringList& more : extra) {
        auto& p = collectors.emplace_back(std::make_unique<QProcess>());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QStringLiteral(JOURNAL_BIN_DIR "/journal-collect"),
                 QStringList{"--catalogue", kCatalogue, "--config", list, "--archive", archive,
                             "--once"} +
                     more);
    }
    bool ok = true;
    for (auto& p : collectors)
        ok = p->waitForFinished(-1) && p->exitCode() == 0 && ok;
    return ok ? double(t.nsecsElapsed()) / 1e9 : -1;
}

// One exchange on the line: a request of 8 bytes (RTU frame of function 65: 11 bytes) and an
// answer of the tdPlain record (15 bytes), at 10 bits a byte.
double WireSeconds(long exchanges) {
    return double(exchanges) * (11 + 15) * 10.0 / kBaud;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int records = args.value(1, "1000").toInt();
    const int added = args.value(2, "100").toInt();
    const int gateways = args.value(3, "16").toInt();
    TSite site;
    site.perGateway = args.value(4, "4").toInt();
    for (int g = 1; g <= gateways; ++g) {
        site.gateways.push_back(fixture::StartSite(g, site.perGateway, records, kBaud, kLatencyMs));
        if (!site.gateways.back()) {
            std::fprintf(stderr, "gateway %d did not start\n", g);
            return 1;
        }
    }
    QTemporaryDir dir;
    const QString all = dir.filePath("all.ini");
    const QString one = dir.filePath("one.ini");
    fixture::WriteSiteList(all, site.Entries(site.gateways.size()), QStringLiteral("1d"));
    fixture::WriteSiteList(one, site.Entries(1), QStringLiteral("1d"));
    std::printf("collect_bench: %d instruments behind %d gateways (%d baud, %d ms each way), "
                "%d records each, then %d new\n",
                gateways * site.perGateway, gateways, kBaud, kLatencyMs, records, added);

    const double floorFirst = Collect(one, dir.filePath("floor.sqlite"), {{}});
    const double first = Collect(all, dir.filePath("archive.sqlite"), {{}});
    site.Grow(added);
    const double floorSecond = Collect(one, dir.filePath("floor.sqlite"), {{}});
    const double second = Collect(all, dir.filePath("archive.sqlite"), {{}});
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("first cycle:  %.1f s, floor (one line alone) %.1f s, efficiency %.2f\n", first,
                floorFirst, floorFirst / first);
    std::printf("second cycle: %.1f s, floor %.1f s, efficiency %.2f\n", second, floorSecond,
                floorSecond / second);
    // A line's second reading of an instrument: the count, one comparison, the new records.
    const long exchanges = long(site.perGateway) * (2 + added);
    const double wire = WireSeconds(exchanges);
    const double latency = exchanges * 2.0 * kLatencyMs / 1000;
    std::printf("  a line's second cycle: %ld exchanges, wire %.1f s, network latency %.1f s, "
                "the rest (archive, program) %.1f s of %.1f s\n",
                exchanges, wire, latency, floorSecond - wire - latency, floorSecond);
    std::printf("peak memory of a collector: %.1f MB\n", double(usage.ru_maxrss) / 1024);

    QString why;
    const auto server = TPostgresServer::Start(&why);
    const QString url = server ? server->CreateDatabase(QStringLiteral("bench"), &why) : QString();
    if (url.isEmpty()) {
        std::printf("two collectors: skipped (%s)\n", qPrintable(why));
        return 0;
    }
    const QString jobs = QString::number(std::max(1, gateways / 4));
    Collect(all, url, {{"--jobs", jobs}});
    site.Grow(added);
    const double alone = Collect(all, url, {{"--jobs", jobs}});
    site.Grow(added);
    const double two = Collect(all, url, {{"--jobs", jobs}, {"--jobs", jobs}});
    std::printf("PostgreSQL, --jobs %s, a cycle of new records: one collector %.1f s, two %.1f s, "
                "ratio %.2f\n",
                qPrintable(jobs), alone, two, two / alone);
    return 0;
}
