// SPDX-License-Identifier: MIT
// Readings with the journal archive, through the reading run and the real access library against
// the simulator on a pseudo-terminal (a ring journal of N tdPlain records with its count and
// overflow registers):
//   (a) for each N: a full reading (paced at 19,200 baud up to PACED-FULL records, unpaced
//       above), then 100 new records and an incremental reading paced at 19,200 baud;
//   (b) a 65,536-record unpaced reading with the archive on SQLite and on a local PostgreSQL
//       server against the same reading without it (best of three turns each, the engines taken
//       in turn; the writer's end after the run is not counted: nothing waits for it);
//   (c) opening a stored 65,536-record series into the list and the grouped view (the window's
//       item models).
// The archive's size for 65,536 records is archive_bench's figure.
// Usage: incremental_bench [N...] [--paced-full M]   (defaults 10000 65536, M = 10000)
#include "app/core/accesslibrarybinding.h"
#include "app/core/archiverecorder.h"
#include "app/core/catalogue.h"
#include "app/core/journaldecoder.h"
#include "app/core/readingrun.h"
#include "app/core/storedseries.h"
#include "app/models/stringtablemodel.h"
#include "benchcatalogue.h"
#include "platform/messagesink.h"
#include "postgresserver.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kCom = 249;
constexpr int kNewRecords = 100;
constexpr int kPaceBaud = 19200;
constexpr int kLongJournal = 65536;

bool WriteFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

// A catalogue of one device with a ring journal of `ring` records.
const TDevInfo* Catalogue(const QTemporaryDir& dir, int ring, core::TCatalogue& catalogue) {
    const QByteArray device =
        QStringLiteral("[settings]\nname=Bench\narchtypecount=1\nArchName1=J\n"
                       "ArchNum1=1\nArchCountRec1=%1\nArchReg1=300001\nArchCycle1=1\n"
                       "ArchRegOverFlow1=300002\nArchStandart1=0\n[s0]\nID=1\n"
                       "name=Float\ntype=4\n[s1]\nID=2\nname=Word\ntype=2\n")
            .arg(ring)
            .toLatin1();
    const QString folder = dir.filePath(QStringLiteral("c%1").arg(ring));
    QDir().mkpath(folder);
    if (!WriteFile(folder + "/main.ini", "[Main]\nCountDev=1\nDev1=bench.ini\n") ||
        !WriteFile(folder + "/bench.ini", device))
        return nullptr;
    catalogue.Load(folder);
    return catalogue.ListDev.empty() ? nullptr : catalogue.ListDev[0].get();
}

// The instrument's ring holding records 0..total-1 of which the last `ring` are kept.
void Fill(sim::Instrument& inst, int ring, int total) {
    sim::Journal& j = *inst.journal(1);
    for (int x = std::max(0, total - ring); x < total; ++x) {
        sim::Journal one{1, sim::Layout::Plain, QList<QByteArray>(x)};
        sim::Instrument::addSynthetic(one, 1, {1, 2});
        if (j.records.size() < ring)
            j.records.resize(ring);
        j.records[x % ring] = one.records.last();
    }
    inst.setRegister(300001, quint16(total % ring));
    inst.setRegister(300002, quint16(total / ring));
}

// One reading run of the device's journal; returns its seconds (the writer's end not counted).
struct Reading {
    core::TAccessLibraryBinding& lib;
    const TDevInfo* device;

    double Run(core::IRunArchive* archive, bool incremental, QuietRunHost& host,
               int* requests = nullptr, sim::Simulator* sim = nullptr) {
        core::TStringGrid sg(2, 5), sgGr(2, 1);
        core::TJournalDecoder decoder(sg);
        core::TRunDecoder runDecoder(decoder, sgGr);
        core::TReadingRun run(lib, runDecoder, sg, host);
        run.SetArchive(archive);
        core::TRunRequest request;
        request.device = device;
        request.journalIndex = 0;
        request.portNumber = kCom;
        request.portName = QStringLiteral("COM%1").arg(kCom);
        request.speed = 115200;
        request.retries = 0;
        request.incremental = incremental;
        const int before = sim ? sim->requestCount() : 0;
        QElapsedTimer t;
        t.start();
        const core::TRunResult r = run.Run(request);
        const double s = t.nsecsElapsed() / 1e9;
        if (requests && sim)
            *requests = sim->requestCount() - before;
        if (r.end != core::TRunEnd::Finished || r.recordsFailed > 0)
            std::fprintf(stderr, "the run did not finish cleanly: %d failed\n", r.recordsFailed);
        return s;
    }
};

void StartSimulator(sim::Simulator& s, int pacing) {
    s.setPacing(pacing);
    QString error;
    if (!s.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        std::exit(1);
    }
    qputenv("JOURNAL_PORTS", QStringLiteral("COM%1=%2").arg(kCom).arg(s.clientPath()).toUtf8());
}

// The catalogue of a ring of n records and the simulator holding it full, serving COM<kCom>.
struct SimulatedRing {
    SimulatedRing(const QTemporaryDir& dir, int n, int pacing) {
        device = Catalogue(dir, n, catalogue);
        sim::Instrument inst;
        inst.addJournal(1, sim::Layout::Plain);
        Fill(inst, n, n);
        simulator = std::make_unique<sim::Simulator>(inst);
        StartSimulator(*simulator, pacing);
    }
    core::TCatalogue catalogue;
    const TDevInfo* device = nullptr;
    std::unique_ptr<sim::Simulator> simulator;
};

// (a) A full reading, 100 new records, an incremental reading at 19,200 baud.
void IncrementalAfterNewRecords(core::TAccessLibraryBinding& lib, const QTemporaryDir& dir, int n,
                                int pacedFull) {
    const bool pacedFirst = n <= pacedFull;
    SimulatedRing ring(dir, n, pacedFirst ? kPaceBaud : 0);
    sim::Simulator& s = *ring.simulator;
    const QString url = dir.filePath(QStringLiteral("a%1.sqlite").arg(n));
    core::TArchiveRecorder archive(url);
    Reading reading{lib, ring.device};
    QuietRunHost host(false);
    const double full = reading.Run(&archive, false, host);
    archive.Finish();
    std::printf("%6d records: full reading %s: %.1f s\n", n,
                pacedFirst ? "at 19,200 baud" : "unpaced", full);

    s.updateInstrument([&](sim::Instrument& i) { Fill(i, n, n + kNewRecords); });
    s.link()->setPacing(kPaceBaud);
    int requests = 0;
    const double incremental = reading.Run(&archive, true, host, &requests, &s);
    archive.Finish();
    std::printf("        %d new records, incremental reading at 19,200 baud: %.2f s (%d requests;"
                " %s)\n",
                kNewRecords, incremental, requests, qPrintable(host.status));
}

// (b) The unpaced reading with and without the archive, best of three each.
void SpeedWithArchive(core::TAccessLibraryBinding& lib, const QTemporaryDir& dir,
                      TPostgresServer* server) {
    const SimulatedRing ring(dir, kLongJournal, 0);
    Reading reading{lib, ring.device};
    QuietRunHost host(false);
    struct Engine {
        const char* name;
        bool available;
        std::function<QString(int)> url; // a new archive for each turn; empty: none
    };
    QString why;
    const Engine engines[] = {
        {"no archive", true, [](int) { return QString(); }},
        {"SQLite", true,
         [&](int k) { return dir.filePath(QStringLiteral("speed%1.sqlite").arg(k)); }},
        {"PostgreSQL", server != nullptr,
         [&](int k) { return server->CreateDatabase(QStringLiteral("speed%1").arg(k), &why); }},
    };
    // The turns take the engines in turn, so that a machine whose load changes during the
    // benchmark weighs on each engine alike.
    std::vector<double> best(std::size(engines), 1e9);
    for (int turn = 0; turn < 3; ++turn) {
        for (std::size_t k = 0; k < std::size(engines); ++k) {
            if (!engines[k].available)
                continue;
            const QString url = engines[k].url(turn);
            std::unique_ptr<core::TArchiveRecorder> archive;
            if (!url.isEmpty())
                archive = std::make_unique<core::TArchiveRecorder>(url);
            best[k] = std::min(best[k], reading.Run(archive.get(), false, host));
            if (archive) {
                archive->Finish();
                if (const auto error = archive->TakeError())
                    std::fprintf(stderr, "%s\n", qPrintable(*error));
            }
        }
    }
    for (std::size_t k = 0; k < std::size(engines); ++k) {
        if (!engines[k].available)
            std::printf("  %-11s skipped\n", engines[k].name);
        else
            std::printf("  %-11s %.2f s, %.0f records/s, %.3f of the speed without the archive\n",
                        engines[k].name, best[k], kLongJournal / best[k], best[0] / best[k]);
    }
}

// (c) Opening the stored series into the list and the grouped view.
void OpenSeries(const QTemporaryDir& dir) {
    core::TCatalogue catalogue;
    Catalogue(dir, kLongJournal, catalogue);
    archive::TJournalArchive archive;
    if (!archive.Open(dir.filePath(QStringLiteral("a%1.sqlite").arg(kLongJournal)))) {
        std::printf("  no stored %d-record series: %s\n", kLongJournal,
                    qPrintable(archive.error()));
        return;
    }
    const auto series = archive.ListSeries();
    if (!series || series->empty())
        return;
    models::TStringTableModel sg(2, 5), sgGr(2, 1);
    core::TJournalDecoder decoder(sg);
    core::TRunDecoder runDecoder(decoder, sgGr);
    QElapsedTimer t;
    t.start();
    const core::TShownSeries shown =
        core::ShowSeries(archive, catalogue.ListDev, series->back().id, {}, {}, runDecoder, sg);
    std::printf("  opening series of %d records into the list and the grouped view: %.2f s "
                "(%d rows, %d grouped columns)%s\n",
                shown.count, t.nsecsElapsed() / 1e9, sg.rowCount() - 1, sgGr.columnCount(),
                shown.ok() ? "" : qPrintable(shown.error));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<int> sizes;
    int pacedFull = 10000;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--paced-full") && i + 1 < args.size())
            pacedFull = args[++i].toInt();
        else
            sizes.push_back(std::clamp(args[i].toInt(), 200, kLongJournal));
    }
    if (sizes.empty())
        sizes = {10000, kLongJournal};

    QTemporaryDir dir;
    BenchSink sink;
    core::TAccessLibraryBinding lib;
    if (!QFile::link(QCoreApplication::applicationDirPath() + "/OmbrelDll.so",
                     dir.filePath("OmbrelDll.so")) ||
        !lib.LoadAccessLibrary(dir.path(), &sink)) {
        std::fprintf(stderr, "cannot load the access library\n");
        return 1;
    }
    std::printf("(a) ring journals of N tdPlain records on the simulator\n");
    for (const int n : sizes)
        IncrementalAfterNewRecords(lib, dir, n, pacedFull);

    std::printf("(b) %d records unpaced, with the archive against without it\n", kLongJournal);
    QString why;
    const auto server = TPostgresServer::Start(&why, true);
    if (!server)
        std::printf("  (PostgreSQL: %s)\n", qPrintable(why));
    SpeedWithArchive(lib, dir, server.get());

    std::printf("(c) the stored series\n");
    OpenSeries(dir);
    return 0;
}
