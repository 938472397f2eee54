// SPDX-License-Identifier: MIT
// Many lines read at once in one process: simulators on pseudo-terminals paced at 19,200 baud,
// each read (its record count, then every record of its journal) through a master instance of
// its own on a thread of its own, against the same reading of one line alone. Each line's
// records carry its number, so an answer that reached the wrong line counts as an error.
// Target: every line reads at >= 0.9 of the speed of the line alone.
// Usage: multiline_bench [records [lines]]   (default 1000 records, 8 lines)
#include "ombrel/rtuandtcpmaster.h"
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

// Reads the record count and every record through one master, as a reading run does.
LineRun readLine(const QString& device, int line) {
    LineRun run;
    ombrel::RtuAndTcpMaster master;
    if (!master.open(device, kBaud, false)) {
        std::fprintf(stderr, "line %d: %s\n", line, qPrintable(master.openError()));
        run.errors = 1;
        return run;
    }
    master.setRetries(2);
    QElapsedTimer t;
    t.start();
    QModbusResponse reply;
    const QModbusRequest count(QModbusPdu::ReadInputRegisters, quint16(0), quint16(1));
    if (master.exchange(1, count, &reply) != ombrel::rcOk || reply.data().size() != 3) {
        run.errors = 1;
        return run;
    }
    run.records = (quint8(reply.data()[1]) << 8) | quint8(reply.data()[2]);
    for (int i = 0; i < run.records; ++i) {
        const char req[7] = {0, 1, 0, 1, 0, char(i >> 8), char(i)};
        const QModbusRequest request(QModbusPdu::FunctionCode(0x41), QByteArray(req, 7));
        if (master.exchange(1, request, &reply) != ombrel::rcOk ||
            reply.data().mid(1) != record(line, i))
            ++run.errors;
    }
    run.seconds = double(t.nsecsElapsed()) / 1e9;
    return run;
}

// Reads the lines at once, each on a thread of its own.
std::vector<LineRun> readAtOnce(const std::vector<QString>& devices) {
    std::vector<LineRun> runs(devices.size());
    std::vector<std::unique_ptr<QThread>> threads;
    for (size_t k = 0; k < devices.size(); ++k)
        threads.emplace_back(QThread::create([&, k] { runs[k] = readLine(devices[k], int(k)); }))
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
    std::vector<QString> devices;
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
        devices.push_back(s->clientPath());
        simulators.push_back(std::move(s));
    }
    std::printf("%d lines at %d baud, %d function-65 records of 10 data bytes each\n\n", lines,
                kBaud, records);

    const LineRun alone = readAtOnce({devices[0]}).front();
    std::printf("one line alone : %8.3f s (%.3f ms per record, %d errors)\n", alone.seconds,
                alone.seconds * 1000 / std::max(1, alone.records), alone.errors);
    const std::vector<LineRun> runs = readAtOnce(devices);
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
