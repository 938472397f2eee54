// SPDX-License-Identifier: MIT
// Many lines read at once in one process: simulators on pseudo-terminals paced at 19,200 baud,
// each read (its record count, then every record of its journal) through a Modbus link of its
// own (a master linked in) on a thread of its own, against the same reading of one line alone. Each
// line's records carry its number, so an answer that reached the wrong line counts as an error.
// Target: every line reads at >= 0.9 of the speed of the line alone.
// Usage: multiline_bench [records [lines]]   (default 1000 records, 8 lines)
#include "app/core/masterlink.h"
#include "app/core/readingrun.h"
#include "platform/portlist.h"
#include "tests/simulatorfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kBaud = 19200;
constexpr int kFirstCom = 180;

struct LineRun {
    double seconds = 0;
    int records = 0;
    int errors = 0; // failed exchanges and answers that are not this line's record
};

// Record i of line `line`: 10 bytes that name both.
QByteArray record(int line, int i) {
    QByteArray r(10, char(0xA5));
    r[0] = char(line);
    r[1] = char(i >> 8);
    r[2] = char(i);
    return r;
}

// Reads the record count and every record of line `line` (COM<com>) through a Modbus link of its
// own, a master linked in, as a reading run does.
LineRun readLine(int com, int line) {
    LineRun run;
    core::TMasterLink link;
    if (!link.Connect(com, kBaud, 0)) {
        std::fprintf(stderr, "line %d: %s\n", line, qPrintable(link.LastErrorDetail()));
        run.errors = 1;
        return run;
    }
    link.Retries(2);
    QElapsedTimer t;
    t.start();
    if (core::ReadCountRegister(link, 1, 300001, run.records) != 0) {
        run.errors = 1;
        return run;
    }
    std::vector<core::TRecordAsk> asks;
    for (int i = 0; i < run.records; ++i)
        asks.push_back({i, 1, i});
    link.ReadRecords(1, asks, [&](std::size_t i, int code, const std::uint8_t* reply) {
        const QByteArray data(reinterpret_cast<const char*>(reply) + 2, 10);
        if (code != 0 || reply[1] != 10 || data != record(line, int(i)))
            ++run.errors;
        return true;
    });
    link.Disconnect();
    run.seconds = double(t.nsecsElapsed()) / 1e9;
    return run;
}

// Reads the lines at once, each on a thread of its own.
// Line k is COM<kFirstCom + k>.
std::vector<LineRun> readAtOnce(int lines) {
    std::vector<LineRun> runs(std::size_t(lines), LineRun{});
    std::vector<std::unique_ptr<QThread>> threads;
    for (int k = 0; k < lines; ++k)
        threads
            .emplace_back(
                QThread::create([&, k] { runs[std::size_t(k)] = readLine(kFirstCom + k, k); }))
            ->start();
    for (const auto& thread : threads)
        thread->wait();
    return runs;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 65535) : 1000;
    const int lines = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 64) : 8;

    std::vector<std::unique_ptr<sim::Simulator>> simulators;
    for (int k = 0; k < lines; ++k) {
        sim::Instrument inst;
        inst.setRegister(300001, quint16(records));
        sim::Journal& journal = inst.addJournal(1, sim::Layout::Plain);
        for (int i = 0; i < records; ++i)
            journal.records.append(record(k, i));
        QString error;
        auto s = fixture::StartSimulator(inst, {.baud = kBaud, .pacing = kBaud}, &error);
        if (!s) {
            std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
            return 1;
        }
        platform::addEnvironmentPortMapping(kFirstCom + k, s->clientPath());
        simulators.push_back(std::move(s));
    }
    std::printf("%d lines at %d baud, %d function-65 records of 10 data bytes each\n\n", lines,
                kBaud, records);

    const LineRun alone = readAtOnce(1).front();
    std::printf("one line alone : %8.3f s (%.3f ms per record, %d errors)\n", alone.seconds,
                alone.seconds * 1000 / std::max(1, alone.records), alone.errors);
    const std::vector<LineRun> runs = readAtOnce(lines);
    bool ok = alone.errors == 0 && alone.records == records;
    double slowest = 1e9;
    for (size_t k = 0; k < runs.size(); ++k) {
        const double share = runs[k].seconds > 0 ? alone.seconds / runs[k].seconds : 0;
        slowest = std::min(slowest, share);
        std::printf(
            "line %zu of %d   : %8.3f s (%.3f ms per record, %d errors), %5.1f %% of alone\n",
            k + 1, lines, runs[k].seconds, runs[k].seconds * 1000 / std::max(1, records),
            runs[k].errors, share * 100);
        ok = ok && runs[k].errors == 0 && runs[k].records == records;
    }
    std::printf("\nslowest line   : %5.1f %% of the line alone (target >= 90 %%)\n", slowest * 100);
    ok = ok && slowest >= 0.9;
    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 3;
}
